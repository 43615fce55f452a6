#!/usr/bin/env python3
"""Writes a sample KELVRA release into a folder laid out like the release API and the image server.

usage: sample_release.py FOLDER TAG SIZE_MIB
"""
import gzip
import json
import os
import random
import struct
import sys

folder, tag, size_mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
size = size_mib * 1024 * 1024
config_offset = 2 * 1024 * 1024  # inside the first partition's reserved area

rng = random.Random(2026)
image = bytearray(size)
# An MBR with one FAT32 partition from sector 2048 to the end.
entry = struct.pack("<B3sB3sII", 0x80, b"\x00\x00\x00", 0x0C, b"\x00\x00\x00", 2048, size // 512 - 2048)
image[446:446 + 16] = entry
image[510:512] = b"\x55\xaa"
# Random (data) and zero (free space) stretches, like a file system.
block = 256 * 1024
for start in range(1024 * 1024, size - block, block):
    if rng.random() < 0.4:
        image[start:start + block] = rng.randbytes(block)
image[config_offset:config_offset + 2048] = b"\n" * 2048
image[-8:] = struct.pack(">Q", config_offset)

image_dir = os.path.join(folder, "orvminer", "kelvra", "kelvra-" + tag, "image")
os.makedirs(image_dir, exist_ok=True)
with gzip.open(os.path.join(image_dir, "kelvra-" + tag + ".img.gz"), "wb", compresslevel=6) as archive:
    archive.write(image)

release_dir = os.path.join(folder, "repos", "orvane", "KELVRA", "releases")
os.makedirs(release_dir, exist_ok=True)
with open(os.path.join(release_dir, "latest"), "w") as release:
    json.dump({"tag_name": tag, "name": "KELVRA " + tag}, release)

#!/usr/bin/env python3
"""A reproducible benchmark disk image: about 30 % random, 20 % text-like and 50 % zero regions in
1 MiB pieces, with the config offset in its last eight bytes.

usage: make_image.py OUTPUT SIZE_MIB
"""
import random
import struct
import sys

output, size_mib = sys.argv[1], int(sys.argv[2])
mib = 1024 * 1024
rng = random.Random(4242)
words = [b"kelvra", b"miner", b"hash", b"block", b"pool", b"stratum", b"worker", b"rig", b"share", b"difficulty",
         b"nonce", b"kernel", b"config", b"\n", b"=", b"0x", b"device", b"temperature", b"fan", b"voltage"]
text = b""
while len(text) < 4 * mib:
    text += b" ".join(rng.choice(words) for _ in range(100000)) + b"\n"
text = text[: 4 * mib]
zeros = bytes(mib)

with open(output, "wb") as image:
    for piece in range(size_mib):
        kind = piece % 10
        if kind < 3:
            data = rng.randbytes(mib)
        elif kind < 5:
            start = rng.randrange(0, 3 * mib)
            data = text[start:start + mib]
        else:
            data = zeros
        if piece == size_mib - 1:
            data = data[:-8] + struct.pack(">Q", 4 * mib)
        image.write(data)

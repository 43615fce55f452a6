#!/usr/bin/env python3
"""kelvra-flash-cli.exe under Wine, installed in C:\\Users\\José\\Łódź: flashes a local archive
onto a disk-image file, then the latest release from a server on 127.0.0.1 onto another; each
target must hold the image byte for byte with the configuration text at its offset.

usage: cli_under_wine.py BUILD_DIR SAMPLE_RELEASE_SCRIPT
"""
import functools
import gzip
import http.server
import json
import os
import struct
import subprocess
import sys
import threading

import wine_common

build, sample_release = sys.argv[1], sys.argv[2]
folder, windows_folder = wine_common.install(build)
tag = "2.7.0"
server_root = os.path.join(folder, "server")
subprocess.run([sys.executable, sample_release, server_root, tag, "12"], check=True)
archive = os.path.join(server_root, "orvminer", "kelvra", "kelvra-" + tag, "image", "kelvra-" + tag + ".img.gz")
with gzip.open(archive, "rb") as inflated:
    image = inflated.read()
offset = struct.unpack(">Q", image[-8:])[0]
local_archive = os.path.join(folder, "kelvra-" + tag + ".img.gz")
with open(archive, "rb") as source, open(local_archive, "wb") as copy:
    copy.write(source.read())



class quiet_handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(quiet_handler, directory=server_root))
threading.Thread(target=server.serve_forever, daemon=True).start()
base = "http://127.0.0.1:%d" % server.server_address[1]


def flash(target, worker_number, *options):
    command = [wine_common.WINE, os.path.join(folder, "kelvra-flash-cli.exe"),
               "--folder", windows_folder + "\\work", "--btc", "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2",
               "--worker", "rig(%d)", "--target", windows_folder + "\\" + target, "--verify", *options]
    run = subprocess.run(command, cwd=folder, env=wine_common.environment(KELVRA_RELEASE_API=base, KELVRA_IMAGE_SERVER=base),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
    output = run.stdout.decode("utf-8", "replace")
    print(output)
    if run.returncode != 0:
        wine_common.fail("kelvra-flash-cli %s ended with %d" % (" ".join(options), run.returncode))
    with open(os.path.join(folder, target), "rb") as written:
        disk = written.read(len(image))
    text = disk[offset:offset + 2048]
    if disk[:offset] != image[:offset] or disk[offset + 2048:] != image[offset + 2048:]:
        wine_common.fail("%s does not hold the image outside the configuration text" % target)
    settings = json.loads(text.rstrip(b"\n\x00 ").decode("utf-8"))
    if settings["rig"]["worker"] != "rig%d" % worker_number:
        wine_common.fail("%s is named %r, not rig%d" % (target, settings["rig"]["worker"], worker_number))
    print("ok: %s holds the image and worker rig%d" % (target, worker_number))


flash("local.img", 1, "--image", windows_folder + "\\kelvra-" + tag + ".img.gz")
flash("downloaded.img", 2)
server.shutdown()

#!/usr/bin/env python3
"""Races pairs of kelvra-flash-cli runs on one application folder and counts what went wrong.

usage: race_trial.py CLI WORK PAIRS

For each of three cases (the archive cached, the archive being downloaded, one --image named by
both runs) it starts PAIRS pairs, the second run 0-90 ms after the first, each onto its own
disk-image file. A run is "failed" when it exits non-zero, "corrupt" when it exits 0 but its
target is not the image with a configuration text at the offset, and the shared folder is
"corrupt" when the image it keeps afterwards differs from the release outside that text.
"""
import http.server
import os
import random
import shutil
import subprocess
import sys
import threading
import time

cli, work, pairs = sys.argv[1], sys.argv[2], int(sys.argv[3])
tag = "9.9.1"
here = os.path.dirname(os.path.abspath(__file__))
server_root = os.path.join(work, "server")
subprocess.run([sys.executable, os.path.join(here, "sample_release.py"), server_root, tag, "32"], check=True)
archive = os.path.join(server_root, "orvminer", "kelvra", "kelvra-" + tag, "image", "kelvra-" + tag + ".img.gz")
image = subprocess.run(["gzip", "-dc", archive], check=True, stdout=subprocess.PIPE).stdout
offset = int.from_bytes(image[-8:], "big")


class quiet_handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=server_root, **kwargs)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), quiet_handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
environment = dict(os.environ, KELVRA_RELEASE_API="http://127.0.0.1:%d" % server.server_port,
                   KELVRA_IMAGE_SERVER="http://127.0.0.1:%d" % server.server_port)


def whole(data):
    """The release image with some configuration text laid over it at the offset."""
    text = data[offset:offset + 2048]
    return len(data) >= len(image) and text.startswith(b"{") and \
        data[:offset] == image[:offset] and data[offset + 2048:len(image)] == image[offset + 2048:]


rng = random.Random(13)
totals = {}
for case in ("cached", "downloading", "same --image"):
    failed = corrupt = folder_corrupt = 0
    for pair in range(pairs):
        folder = os.path.join(work, "app")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "downloads"))
        extra = []
        if case == "cached":
            shutil.copy(archive, os.path.join(folder, "downloads", tag + ".gz"))
        elif case == "same --image":
            extra = ["--image", archive]
        runs = []
        for i in range(2):
            target = os.path.join(work, "t%d.img" % i)
            if os.path.exists(target):
                os.remove(target)
            runs.append((target, subprocess.Popen(
                [cli, "--folder", folder, "--btc", "1BvBMSEYstWetqTFn5Au4m4GFg7xJaNVN2", "--target", target] + extra,
                env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)))
            if i == 0:
                time.sleep(rng.uniform(0, 0.09))
        for target, run in runs:
            if run.wait() != 0:
                failed += 1
            elif not whole(open(target, "rb").read()):
                corrupt += 1
        kept = os.path.join(folder, "downloads", tag)
        if case != "same --image" and os.path.exists(kept) and not whole(open(kept, "rb").read()):
            folder_corrupt += 1
    totals[case] = (failed, corrupt, folder_corrupt)
    print("%-13s %d pairs: %d runs failed, %d runs corrupt, %d folders corrupt"
          % (case, pairs, failed, corrupt, folder_corrupt), flush=True)
server.shutdown()
sys.exit(0 if all(sum(values) == 0 for values in totals.values()) else 1)

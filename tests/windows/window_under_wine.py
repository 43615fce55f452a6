#!/usr/bin/env python3
"""kelvra-flash-tool.exe under Wine and Xvfb, installed in C:\\Users\\José\\Łódź: the window
appears with its fixed size, and its SVG icons and its text are drawn. Its picture is kept.

usage: window_under_wine.py BUILD_DIR SCREENSHOT.png
"""
import os
import select
import struct
import subprocess
import sys
import time
import zlib

import wine_common

build, screenshot = sys.argv[1], sys.argv[2]
WIDTH, HEIGHT = 610, 585
# Where the window has its idle state's pieces, from its top left corner: (left, top, right, bottom).
PIECES = {
    "the logo (SVG), orange": ((150, 515, 200, 560), lambda r, g, b: r > 200 and 100 < g < 190 and b < 110, 100),
    "the USB plug icon (SVG), dark": ((34, 78, 56, 104), lambda r, g, b: max(r, g, b) < 110, 40),
    "the heading's text, dark": ((62, 82, 240, 106), lambda r, g, b: max(r, g, b) < 110, 150),
    "the form's heading text, dark": ((58, 238, 250, 262), lambda r, g, b: max(r, g, b) < 110, 150),
}


def write_png(path, width, height, rgb):
    rows = b"".join(b"\x00" + rgb[y * width * 3:(y + 1) * width * 3] for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def capture(window, env):
    """The window's pixels as (width, height, RGB bytes), read from a PPM of ImageMagick's import."""
    data = subprocess.run(["import", "-window", window, "-depth", "8", "ppm:-"], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=True).stdout
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    width, height = int(fields[1]), int(fields[2])
    if fields[0] != b"P6" or fields[3] != b"255":
        wine_common.fail("import gave no 8-bit PPM but %r" % fields)
    return width, height, data[at + 1:at + 1 + width * height * 3]


def missing_pieces(width, rgb):
    missing = []
    for name, ((left, top, right, bottom), looks, least) in PIECES.items():
        found = 0
        for y in range(top, bottom):
            for x in range(left, right):
                at = (y * width + x) * 3
                found += looks(rgb[at], rgb[at + 1], rgb[at + 2])
        if found < least:
            missing.append("%s (%d of %d pixels)" % (name, found, least))
    return missing


folder, _ = wine_common.install(build)
read_end, write_end = os.pipe()
xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                        pass_fds=(write_end,), stderr=subprocess.DEVNULL)
os.close(write_end)
program = None
try:
    if not select.select([read_end], [], [], 120)[0]:
        wine_common.fail("Xvfb named no display within 120 s")
    display = ":" + os.read(read_end, 64).decode().strip()
    env = wine_common.environment(DISPLAY=display)
    program = subprocess.Popen([wine_common.WINE, os.path.join(folder, "kelvra-flash-tool.exe")], cwd=folder, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Wine's first window in a Windows takes a while on a busy machine: wait for it, and then for
    # its pieces to be drawn, polling both up to generous limits.
    deadline, window, missing = time.monotonic() + float(os.environ.get('KELVRA_WINDOW_WAIT', 300)), None, ["the window"]
    while missing and time.monotonic() < deadline:
        if program.poll() is not None:
            wine_common.fail("kelvra-flash-tool.exe ended with %d before its window was drawn" % program.returncode)
        if window is None:
            info = subprocess.run(["xwininfo", "-name", "KELVRA Flash Tool"], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
            if info.returncode == 0 and "IsViewable" in info.stdout:
                window = info.stdout.split("Window id: ")[1].split()[0]
                size = {k: int(v) for k, v in (line.strip().split(": ") for line in info.stdout.splitlines()
                                                if line.strip().startswith(("Width:", "Height:")))}
                if (size["Width"], size["Height"]) != (WIDTH, HEIGHT):
                    wine_common.fail("the window is %dx%d, not %dx%d" % (size["Width"], size["Height"], WIDTH, HEIGHT))
        if window is not None:
            width, height, rgb = capture(window, env)
            missing = missing_pieces(width, rgb)
        if missing:
            time.sleep(0.5)
    if window is not None:
        write_png(screenshot, width, height, rgb)
    if missing:
        wine_common.fail("after 300 s the window lacks: %s; its last picture is %s" % (", ".join(missing), screenshot))
    print("ok: a %dx%d window with its icons and text; its picture is %s" % (width, height, screenshot))
finally:
    if program is not None:
        program.kill()
        program.wait()
    xvfb.terminate()
    xvfb.wait()

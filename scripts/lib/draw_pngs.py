#!/usr/bin/env python3
"""Draws the two PNG icons of the interface kit (arrow-up and info-circle) without any image library."""
import math
import struct
import sys
import zlib


def write_png(path, width, height, pixel):
    rows = b""
    for y in range(height):
        rows += b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        out.write(chunk(b"IEND", b""))


def coverage(inside, x, y, samples=4):
    hits = sum(inside(x + (i + 0.5) / samples, y + (j + 0.5) / samples) for i in range(samples) for j in range(samples))
    return hits / (samples * samples)


def arrow_up(px, py):
    # a chevron pointing up, 8 x 5, stroke 1.4
    def on_stroke(x, y):
        for (x1, y1, x2, y2) in ((0.5, 4.5, 4, 0.5), (4, 0.5, 7.5, 4.5)):
            dx, dy = x2 - x1, y2 - y1
            t = max(0, min(1, ((x - x1) * dx + (y - y1) * dy) / (dx * dx + dy * dy)))
            if math.hypot(x - (x1 + t * dx), y - (y1 + t * dy)) <= 0.7:
                return True
        return False
    return (0x12, 0x8E, 0xDE, round(255 * coverage(on_stroke, px, py)))


def info_circle(px, py):
    def ring(x, y):
        d = math.hypot(x - 5.5, y - 5.5)
        return 4.4 <= d <= 5.4
    def mark(x, y):
        return (5.0 <= x <= 6.0 and 4.8 <= y <= 8.6) or math.hypot(x - 5.5, y - 3.2) <= 0.65
    return (0x95, 0x95, 0x95, round(255 * coverage(lambda x, y: ring(x, y) or mark(x, y), px, py)))


folder = sys.argv[1]
write_png(folder + "/arrow-up.png", 8, 5, arrow_up)
write_png(folder + "/info-circle.png", 11, 11, info_circle)

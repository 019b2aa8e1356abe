#!/usr/bin/env python3
"""Draws the project's 48x48 icon (a wine glass in front of a gear) as a PNG.

Usage: make_icon.py OUT.png
"""
import math
import struct
import sys
import zlib

SIZE = 48
SS = 4  # samples per pixel side, for smooth edges


def gear(x, y):
    cx, cy = 31.0, 17.0
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    a = math.atan2(dy, dx)
    teeth = 8
    tooth = (math.cos(a * teeth) > 0.3)
    outer = 14.5 if tooth else 11.5
    return 4.5 < r < outer


def glass(x, y):
    # bowl: lower half of an ellipse
    bx, by, rx, ry = 18.0, 20.0, 10.0, 12.0
    if y >= 12 and y <= by + 0.0 and ((x - bx) / rx) ** 2 + ((y - 12) / ry) ** 2 <= 1:
        return "bowl"
    if 12 <= y and ((x - bx) / rx) ** 2 + ((y - 12) / ry) ** 2 <= 1:
        return "wine"
    if abs(x - bx) <= 1.3 and 23.5 <= y <= 38:
        return "stem"
    if 37 <= y <= 40.5 and abs(x - bx) <= 8 - (y - 37) * 0.3:
        return "stem"
    return None


def colour(x, y):
    g = glass(x, y)
    if g == "wine":
        return (150, 20, 50, 255)
    if g in ("bowl",):
        return (205, 225, 240, 230)
    if g == "stem":
        return (170, 195, 215, 255)
    if gear(x, y):
        return (90, 100, 110, 255)
    return (0, 0, 0, 0)


def main(out):
    rows = []
    for py in range(SIZE):
        row = bytearray([0])
        for px in range(SIZE):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    c = colour(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS)
                    for i in range(3):
                        acc[i] += c[i] * c[3]
                    acc[3] += c[3]
            alpha = acc[3] / (SS * SS)
            if acc[3]:
                rgb = [int(acc[i] / acc[3]) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row += bytes(rgb + [int(alpha)])
        rows.append(bytes(row))
    raw = b"".join(rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(out, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main(sys.argv[1])

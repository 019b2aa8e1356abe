#!/usr/bin/env python3
"""Draws the project's icon (a wine glass in front of a gear) for the hicolor icon theme: a
scalable SVG and PNGs of every size up to 256, all from the same shapes, drawn on a grid of
48 units.

Usage: make_icon.py OUT_DIR   (writes OUT_DIR/nivra-wine-helper.svg and OUT_DIR/NxN.png)
"""
import math
import os
import struct
import sys
import zlib

GRID = 48
SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
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


def png(out, size):
    unit = GRID / size
    rows = []
    for py in range(size):
        row = bytearray([0])
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    c = colour((px + (sx + 0.5) / SS) * unit, (py + (sy + 0.5) / SS) * unit)
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

    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(raw, 9))
    data += chunk(b"IEND", b"")
    with open(out, "wb") as f:
        f.write(data)


def svg(out):
    """The same shapes as paths: the gear's outline at fine steps, the bowl's ellipse cut
    into its glass and its wine at y = 20."""
    steps = 720
    points = []
    for i in range(steps):
        a = 2 * math.pi * i / steps - math.pi
        r = 14.5 if math.cos(a * 8) > 0.3 else 11.5
        points.append("%.3f,%.3f" % (31 + r * math.cos(a), 17 + r * math.sin(a)))
    gear_path = "M" + " L".join(points) + " Z M35.5,17 A4.5,4.5 0 1 0 26.5,17 A4.5,4.5 0 1 0 35.5,17 Z"
    text = f"""<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="48" height="48" viewBox="0 0 48 48">
  <defs>
    <clipPath id="glass"><rect x="0" y="12" width="48" height="8"/></clipPath>
    <clipPath id="wine"><rect x="0" y="20" width="48" height="28"/></clipPath>
  </defs>
  <path d="{gear_path}" fill="#5a646e" fill-rule="evenodd"/>
  <ellipse cx="18" cy="12" rx="10" ry="12" fill="#cde1f0" clip-path="url(#glass)"/>
  <ellipse cx="18" cy="12" rx="10" ry="12" fill="#961432" clip-path="url(#wine)"/>
  <rect x="16.7" y="23.5" width="2.6" height="14.5" fill="#aac3d7"/>
  <path d="M10,37 L26,37 L24.95,40.5 L11.05,40.5 Z" fill="#aac3d7"/>
</svg>
"""
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)


def main(out_dir):
    svg(os.path.join(out_dir, "nivra-wine-helper.svg"))
    for size in SIZES:
        png(os.path.join(out_dir, "%dx%d.png" % (size, size)), size)


if __name__ == "__main__":
    main(sys.argv[1])

#!/usr/bin/env python3
"""Draws the VELMORA icon and writes it as a Windows .ico with 16, 32, 48 and 256 px images.

The icon is this file: a gauge mark in the accent yellow on the dark background of the
dashboard - the dial's 240 degree arc, open at the bottom, and a needle pointing up and to the
right. Each size is rendered from the geometry below with 4 x 4 supersampling, so small sizes
stay crisp without a separate drawing. Standard library only.

  make_icon.py OUTPUT.ico
"""
import math, struct, sys, zlib

BACKGROUND = (10, 10, 10)
ACCENT = (255, 208, 0)
NEEDLE = (255, 255, 255)
SIZES = (16, 32, 48, 256)
SAMPLES = 4


def coverage(x, y):
    """What covers the point (x, y) of the unit square: (rgb, alpha) or None."""
    # Rounded square background, corner radius 0.18.
    r = 0.18
    dx = max(r - x, 0, x - (1 - r))
    dy = max(r - y, 0, y - (1 - r))
    if dx * dx + dy * dy > r * r:
        return None
    cx, cy = 0.5, 0.54
    dist = math.hypot(x - cx, y - cy)
    angle = math.degrees(math.atan2(y - cy, x - cx)) % 360
    # The dial: 240 degrees from 150 (lower left) clockwise through the top to 30 (lower right).
    in_sweep = angle >= 150 or angle <= 30
    if in_sweep and 0.27 <= dist <= 0.37:
        return ACCENT
    # Needle: from the hub towards 300 degrees (up and to the right), tapering.
    a = math.radians(300)
    ux, uy = math.cos(a), math.sin(a)
    along = (x - cx) * ux + (y - cy) * uy
    across = abs(-(x - cx) * uy + (y - cy) * ux)
    if -0.03 <= along <= 0.30 and across <= 0.045 * (1 - along / 0.34):
        return NEEDLE
    if dist <= 0.07:
        return ACCENT
    return BACKGROUND


def render(size):
    rows = []
    for py in range(size):
        row = bytearray([0])  # PNG filter: none
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = coverage((px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 1
            n = acc[3]
            if n == 0:
                row += bytes(4)
            else:
                row += bytes((acc[0] // n, acc[1] // n, acc[2] // n, 255 * n // (SAMPLES * SAMPLES)))
        rows.append(bytes(row))
    return png(size, b"".join(rows))


def png(size, raw):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    images = [render(s) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


main()

#!/usr/bin/env python3
"""Draws the programs' icon and writes it as a Windows .ico file:
    icon.py OUT.ico

A blue rounded square with a white seal and check mark, drawn from signed
distance functions so every size is anti-aliased from the same shapes, and
byte-for-byte the same on every run. Sizes up to 48 pixels are bitmaps, the
256-pixel one is PNG, as Windows expects."""

import math
import struct
import sys
import zlib

BLUE = (0x1D, 0x4F, 0x91)
WHITE = (0xFF, 0xFF, 0xFF)
SIZES = (16, 24, 32, 48, 256)


def rounded_square(x, y):
    # Centre 0.5, half side 0.47, corner radius 0.16.
    qx, qy = abs(x - 0.5) - 0.31, abs(y - 0.5) - 0.31
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - 0.16


def segment(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - ax - t * dx, y - ay - t * dy)


def mark(x, y):
    ring = abs(math.hypot(x - 0.5, y - 0.5) - 0.29) - 0.045
    check = min(segment(x, y, 0.36, 0.51, 0.46, 0.61), segment(x, y, 0.46, 0.61, 0.65, 0.40)) - 0.05
    return min(ring, check)


def pixels(size):
    """Rows top to bottom of (r, g, b, a)."""
    half_pixel = 0.5 / size
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            x, y = (i + 0.5) / size, (j + 0.5) / size
            cover = min(max(0.5 - rounded_square(x, y) / (2 * half_pixel), 0.0), 1.0)
            white = min(max(0.5 - mark(x, y) / (2 * half_pixel), 0.0), 1.0)
            rgb = tuple(round(b + (w - b) * white) for b, w in zip(BLUE, WHITE))
            row.append(rgb + (round(255 * cover),))
        rows.append(row)
    return rows


def bmp(size, rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    # The AND mask is unused with 32-bit colour, but must be there.
    mask = bytes(((size + 31) // 32) * 4 * size)
    return header + colour + mask


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    images = [(size, (png if size >= 256 else bmp)(size, pixels(size))) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Draws LumvexInstaller.ico: a blue rounded tile with a white download arrow, at 64, 32 and
16 pixels, 32 bits per pixel with alpha (classic DIB images, which Windows XP reads)."""
import struct
import sys

SIZES = (64, 32, 16)
SAMPLES = 4  # per axis, for smooth edges


def inside_tile(x, y):
    r = 0.2
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and 0.03 <= x <= 0.97 and 0.03 <= y <= 0.97


def inside_arrow(x, y):
    shaft = 0.42 <= x <= 0.58 and 0.18 <= y <= 0.52
    head = y >= 0.46 and y <= 0.72 and abs(x - 0.5) <= (0.72 - y) * 1.05
    tray = 0.22 <= x <= 0.78 and 0.78 <= y <= 0.86
    return shaft or head or tray


def pixel(px, py, size):
    tile = arrow = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if inside_tile(x, y):
                tile += 1
                if inside_arrow(x, y):
                    arrow += 1
    n = SAMPLES * SAMPLES
    if tile == 0:
        return (0, 0, 0, 0)
    # Vertical gradient from a light to a deep blue, the arrow mixed in by coverage.
    t = py / max(size - 1, 1)
    blue = (int(40 + 20 * t), int(150 - 70 * t), int(235 - 45 * t))
    a = arrow / tile
    r, g, b = (int(c * (1 - a) + 255 * a) for c in blue)
    return (r, g, b, int(255 * tile / n))


def image(size):
    rows = [[pixel(x, y, size) for x in range(size)] for y in range(size)]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = (size + 31) // 32 * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + xor + mask


def main(path):
    images = [image(size) for size in SIZES]
    offset = 6 + 16 * len(images)
    out = struct.pack("<HHH", 0, 1, len(images))
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "LumvexInstaller.ico")

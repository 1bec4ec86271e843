#!/usr/bin/env python3
"""Draws the launcher's default icon: nine PNG images (16 to 256 pixels) in one
.ico file. Pure standard library and no timestamps, so every run writes the
same bytes.

    make-icon.py OUT.ico
"""
import struct
import sys
import zlib

SIZES = [16, 20, 24, 32, 40, 48, 64, 128, 256]
SAMPLES = 3  # supersampling per axis, for smooth edges

TOP = (0x1B, 0x3A, 0x5C)     # deep blue
BOTTOM = (0x1F, 0x9E, 0x89)  # teal
WHITE = (0xFF, 0xFF, 0xFF)


def inside_rounded_square(x, y, radius):
    # Unit square [0, 1]^2 with rounded corners.
    cx = min(max(x, radius), 1 - radius)
    cy = min(max(y, radius), 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and 0 <= x <= 1 and 0 <= y <= 1


def inside_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i in range(len(points)):
        xi, yi = points[i]
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


# The mark: an arrow pointing down into an open tray ("unpack").
ARROW = [(0.42, 0.16), (0.58, 0.16), (0.58, 0.44), (0.71, 0.44), (0.50, 0.66),
         (0.29, 0.44), (0.42, 0.44)]
TRAY = [(0.20, 0.58), (0.29, 0.58), (0.29, 0.74), (0.71, 0.74), (0.71, 0.58),
        (0.80, 0.58), (0.80, 0.83), (0.20, 0.83)]


def pixel(px, py, size):
    cover = 0
    mark = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if inside_rounded_square(x, y, 0.2):
                cover += 1
                if inside_polygon(x, y, ARROW) or inside_polygon(x, y, TRAY):
                    mark += 1
    n = SAMPLES * SAMPLES
    if cover == 0:
        return (0, 0, 0, 0)
    t = py / max(size - 1, 1)
    back = [round(TOP[k] + (BOTTOM[k] - TOP[k]) * t) for k in range(3)]
    m = mark / cover
    rgb = [round(back[k] + (WHITE[k] - back[k]) * m) for k in range(3)]
    return (rgb[0], rgb[1], rgb[2], round(255 * cover / n))


def png(size):
    rows = b"".join(
        b"\x00" + b"".join(bytes(pixel(x, y, size)) for x in range(size)) for y in range(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-icon.py OUT.ico")
    images = [png(s) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    out += b"".join(images)
    with open(sys.argv[1] + ".tmp", "wb") as f:
        f.write(out)
    import os
    os.replace(sys.argv[1] + ".tmp", sys.argv[1])


if __name__ == "__main__":
    main()

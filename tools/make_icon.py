#!/usr/bin/env python3
"""Draws an icon from its description (a JSON list of shapes in a unit square)
at each size it names and writes a Windows .ico file of 32-bit images.

    make_icon.py <description.json> <output.ico> [--bmp-below <size>]

Images smaller than --bmp-below are stored as uncompressed bitmaps, the rest
as PNG (every Windows from Vista on reads PNG images in icons at any size).
"""
import argparse
import json
import math
import struct
import zlib


def parse_color(text):
    text = text.lstrip("#")
    return tuple(int(text[i:i + 2], 16) for i in (0, 2, 4))


def inside(shape, x, y):
    kind = shape["kind"]
    if kind == "circle":
        return math.hypot(x - shape["cx"], y - shape["cy"]) <= shape["r"]
    if kind == "ring":
        distance = math.hypot(x - shape["cx"], y - shape["cy"])
        return abs(distance - shape["r"]) <= shape["width"] / 2
    if kind == "roundrect":
        r = shape["radius"]
        # Distance from the rectangle shrunk by the radius.
        dx = max(shape["x0"] + r - x, 0, x - (shape["x1"] - r))
        dy = max(shape["y0"] + r - y, 0, y - (shape["y1"] - r))
        return math.hypot(dx, dy) <= r
    raise ValueError(f"unknown shape kind {kind!r}")


def render(shapes, size):
    """Rows of (r, g, b, a) pixels, top row first, each shape laid over the ones before."""
    samples = 4 if size <= 64 else 3
    colors = [parse_color(s["color"]) for s in shapes]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    color = None
                    for shape, shape_color in zip(shapes, colors):
                        if inside(shape, x, y):
                            color = shape_color
                    if color:
                        r += color[0]
                        g += color[1]
                        b += color[2]
                        a += 255
            n = samples * samples
            coverage = a / 255
            if coverage:
                row.append((round(r / coverage), round(g / coverage), round(b / coverage), round(a / n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bitmap(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    # Bottom-up BGRA, then an all-clear AND mask: the alpha channel does the masking.
    pixels = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(rows) for p in row)
    mask = b"\0" * (((size + 31) // 32) * 4 * size)
    return header + pixels + mask


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("description")
    parser.add_argument("output")
    parser.add_argument("--bmp-below", type=int, default=0)
    args = parser.parse_args()
    with open(args.description, encoding="utf-8") as f:
        description = json.load(f)
    images = []
    for size in description["sizes"]:
        rows = render(description["shapes"], size)
        images.append((size, bitmap(rows) if size < args.bmp_below else png(rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(args.output, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()

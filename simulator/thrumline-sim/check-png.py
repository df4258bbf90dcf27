#!/usr/bin/env python3
"""Checks a browser screenshot of a thrumline-sim SVG.

Usage: check-png.py PNG COLOUR...   (colours as rrggbb)

Passes when the picture is a rendered timeline: mostly white background,
dark axis and text, and at least a few dozen pixels of each COLOUR exactly
(the solid pattern bars and pulse markers). Standard library only.
"""
import struct
import sys
import zlib


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour_type, _, _, interlace = header
    if depth != 8 or colour_type not in (2, 6) or interlace:
        raise ValueError("unsupported PNG form")
    channels = 3 if colour_type == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                pred = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
                line[i] = (line[i] + pred) & 0xFF
        rows.append(line)
        previous = line
    return width, height, channels, rows


def main():
    path, colours = sys.argv[1], sys.argv[2:]
    try:
        width, height, channels, rows = read_png(path)
    except (OSError, ValueError, TypeError, zlib.error) as error:
        print(f"{path}: {error}", file=sys.stderr)
        return 1
    counts = {}
    white = dark = 0
    for line in rows:
        for x in range(width):
            r, g, b = line[x * channels:x * channels + 3]
            if r > 245 and g > 245 and b > 245:
                white += 1
            elif r < 90 and g < 90 and b < 90:
                dark += 1
            key = f"{r:02x}{g:02x}{b:02x}"
            counts[key] = counts.get(key, 0) + 1
    total = width * height
    problems = []
    if white < total * 0.6:
        problems.append(f"only {white} of {total} pixels are background white")
    if dark < 200:
        problems.append(f"only {dark} dark pixels: no axis or text drawn")
    for colour in colours:
        if counts.get(colour.lower(), 0) < 40:
            problems.append(f"colour #{colour} has {counts.get(colour.lower(), 0)} pixels, expected 40 or more")
    for problem in problems:
        print(f"{path}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Draws the three 16 x 16 tray icons as 16-colour (4-bit palette) PNG files.

Run once from this folder; the PNG files are committed beside it. Each icon is a square of
one colour with a one-pixel black edge, so it stays visible on light and dark panels.
"""
import struct
import zlib

SIZE = 16
EDGE = (0, 0, 0)
ICONS = {
    "green.png": (0, 176, 0),      # no alarm
    "red.png": (255, 0, 0),        # alarm, frame 0
    "darkred.png": (128, 0, 0),    # alarm, frame 1
}


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(fill):
    # Palette index 0 is the edge, 1 the fill; the rest of the 16 entries stay black.
    palette = [EDGE, fill] + [(0, 0, 0)] * 14
    rows = b""
    for y in range(SIZE):
        pixels = [0 if x in (0, SIZE - 1) or y in (0, SIZE - 1) else 1 for x in range(SIZE)]
        packed = bytes((pixels[i] << 4) | pixels[i + 1] for i in range(0, SIZE, 2))
        rows += b"\x00" + packed  # filter type 0 per row
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 4, 3, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"PLTE", b"".join(bytes(c) for c in palette))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    for name, colour in ICONS.items():
        with open(name, "wb") as f:
            f.write(png(colour))

#!/usr/bin/env python3
"""Draws the window's 12 x 12 images as PNG files beside this script.

Run it again after changing a picture and commit the PNGs; the build only packs them.
Each picture is a character map: '.' is transparent, other letters pick a colour.
"""
import os
import struct
import zlib

PALETTE = {
    'k': (64, 48, 0, 255),      # bulb outline
    'y': (255, 230, 40, 255),   # bulb glass
    'w': (255, 255, 200, 255),  # highlight
    'g': (128, 128, 128, 255),  # screw base
    'd': (80, 80, 80, 255),     # base shadow
    'b': (0, 64, 224, 255),     # blue arrow
    'G': (0, 176, 0, 255),      # green square
    'H': (0, 96, 0, 255),       # its border
    'R': (232, 0, 0, 255),      # red square
    'S': (128, 0, 0, 255),      # its border
}

IMAGES = {
    'bulb': [
        "....kkkk....",
        "...kwyyyk...",
        "..kwyyyyyk..",
        "..kwyyyyyk..",
        "..kyyyyyyk..",
        "..kyyyyyyk..",
        "...kyyyyk...",
        "....kyyk....",
        "....gggg....",
        "....dddd....",
        "....gggg....",
        ".....dd.....",
    ],
    'checking': [
        "............",
        "............",
        "............",
        "..b......b..",
        ".bb......bb.",
        "bbbbbbbbbbbb",
        "bbbbbbbbbbbb",
        ".bb......bb.",
        "..b......b..",
        "............",
        "............",
        "............",
    ],
    'ok': [
        "............",
        ".HHHHHHHHHH.",
        ".HGGGGGGGGH.",
        ".HGGGGGGGGH.",
        ".HGGGGGGGGH.",
        ".HGGGGGGGGH.",
        ".HGGGGGGGGH.",
        ".HGGGGGGGGH.",
        ".HGGGGGGGGH.",
        ".HGGGGGGGGH.",
        ".HHHHHHHHHH.",
        "............",
    ],
    'error': [
        "............",
        ".SSSSSSSSSS.",
        ".SRRRRRRRRS.",
        ".SRRRRRRRRS.",
        ".SRRRRRRRRS.",
        ".SRRRRRRRRS.",
        ".SRRRRRRRRS.",
        ".SRRRRRRRRS.",
        ".SRRRRRRRRS.",
        ".SRRRRRRRRS.",
        ".SSSSSSSSSS.",
        "............",
    ],
}


def chunk(kind, data):
    body = kind + data
    return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)


def png(rows):
    height = len(rows)
    width = len(rows[0])
    raw = b''
    for row in rows:
        assert len(row) == width
        raw += b'\0' + b''.join(bytes(PALETTE.get(c, (0, 0, 0, 0))) for c in row)
    header = struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(raw, 9)) +
            chunk(b'IEND', b''))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, rows in IMAGES.items():
        assert len(rows) == 12
        with open(os.path.join(here, name + '.png'), 'wb') as out:
            out.write(png(rows))


if __name__ == '__main__':
    main()

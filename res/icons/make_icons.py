#!/usr/bin/env python3
"""Draws the application icon (vardex-48.png, vardex-256.png) beside this script.

Run it again after changing the picture and commit the PNGs; the install step only copies
them. The picture is described in unit coordinates (0..1, y down) as shapes with signed
distances, so every size is drawn sharp and anti-aliased from the same description: a
rounded blue tile, a white pulse line across it, and a green light in the upper right.
"""
import math
import os
import struct
import zlib

SIZES = (48, 256)

TILE_MARGIN = 0.04
TILE_RADIUS = 0.20
TILE_TOP = (40, 92, 160)
TILE_BOTTOM = (18, 46, 92)

PULSE = [(0.12, 0.60), (0.33, 0.60), (0.42, 0.36), (0.52, 0.80), (0.61, 0.48), (0.67, 0.60),
         (0.88, 0.60)]
PULSE_HALF_WIDTH = 0.036
PULSE_COLOUR = (255, 255, 255)

LIGHT_CENTRE = (0.75, 0.27)
LIGHT_RADIUS = 0.095
RING_RADIUS = 0.13
LIGHT_COLOUR = (0, 176, 0)
RING_COLOUR = (235, 245, 255)


def rounded_rect_distance(x, y, left, top, right, bottom, radius):
    cx, cy = (left + right) / 2, (top + bottom) / 2
    hx, hy = (right - left) / 2 - radius, (bottom - top) / 2 - radius
    qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def segment_distance(x, y, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy))


def coverage(distance, pixel):
    """How much of a pixel a shape covers, from the signed distance of the pixel's centre."""
    return min(max(0.5 - distance / pixel, 0.0), 1.0)


def over(dst, colour, alpha):
    """Source-over compositing of an opaque colour with coverage alpha onto (r, g, b, a)."""
    r, g, b, a = dst
    out_a = alpha + a * (1 - alpha)
    if out_a == 0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = [(c * alpha + d * a * (1 - alpha)) / out_a for c, d in zip(colour, (r, g, b))]
    return (mix[0], mix[1], mix[2], out_a)


def pixel_colour(x, y, pixel):
    result = (0.0, 0.0, 0.0, 0.0)
    tile = rounded_rect_distance(x, y, TILE_MARGIN, TILE_MARGIN, 1 - TILE_MARGIN, 1 - TILE_MARGIN,
                                 TILE_RADIUS)
    t = min(max((y - TILE_MARGIN) / (1 - 2 * TILE_MARGIN), 0.0), 1.0)
    tile_colour = tuple(top + (bottom - top) * t for top, bottom in zip(TILE_TOP, TILE_BOTTOM))
    result = over(result, tile_colour, coverage(tile, pixel))

    pulse = min(segment_distance(x, y, a, b) for a, b in zip(PULSE, PULSE[1:])) - PULSE_HALF_WIDTH
    result = over(result, PULSE_COLOUR, coverage(pulse, pixel))

    centre = math.hypot(x - LIGHT_CENTRE[0], y - LIGHT_CENTRE[1])
    result = over(result, RING_COLOUR, coverage(centre - RING_RADIUS, pixel))
    result = over(result, LIGHT_COLOUR, coverage(centre - LIGHT_RADIUS, pixel))
    return result


def chunk(kind, data):
    body = kind + data
    return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)


def png(size):
    pixel = 1.0 / size
    raw = bytearray()
    for row in range(size):
        raw.append(0)
        for column in range(size):
            r, g, b, a = pixel_colour((column + 0.5) * pixel, (row + 0.5) * pixel, pixel)
            raw += bytes((round(r), round(g), round(b), round(a * 255)))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(bytes(raw), 9)) +
            chunk(b'IEND', b''))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for size in SIZES:
        with open(os.path.join(here, 'vardex-%d.png' % size), 'wb') as out:
            out.write(png(size))


if __name__ == '__main__':
    main()

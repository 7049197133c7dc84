#!/usr/bin/env python3
"""Draws Tavrin's icon: a MIDI cable looped back on itself, its two DIN plugs
side by side. Writes tavrin.ico beside this script: one 32x32 image, 4 bits
per pixel with a 16-entry palette, and a 1-bit transparency mask.

Standard library only; run it again after changing the drawing."""

import math
import os
import struct

SIZE = 32

# The 16 colours of the classic display palette, as (r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, SILVER, GRAY, BLUE, WHITE, CYAN = 0, 4, 7, 8, 12, 15, 14

CLEAR = None  # transparent pixel


def bezier(p0, p1, p2, p3, steps=80):
    for i in range(steps + 1):
        t = i / steps
        u = 1 - t
        yield (u**3 * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t**3 * p3[0],
               u**3 * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t**3 * p3[1])


def disc(img, cx, cy, r, colour):
    for y in range(SIZE):
        for x in range(SIZE):
            if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r:
                img[y][x] = colour


def strand(img, points):
    """A cable piece: a navy rim, a blue core and a cyan sheen on its upper left."""
    points = list(points)
    for x, y in points:
        disc(img, x, y, 1.9, NAVY)
    for x, y in points:
        disc(img, x, y, 1.05, BLUE)
    for x, y in points:
        disc(img, x - 0.45, y - 0.45, 0.3, CYAN)


def din_plug(img, cx, cy):
    """A DIN plug seen from its face: metal shell, dark face, five pins in an arc and the key."""
    disc(img, cx, cy, 5.6, BLACK)
    disc(img, cx, cy, 4.8, SILVER)
    disc(img, cx, cy, 3.6, GRAY)
    disc(img, cx, cy, 2.9, BLACK)
    for angle in (-180, -135, -90, -45, 0):
        a = math.radians(angle)
        x = cx + 1.9 * math.cos(a)
        y = cy + 1.9 * math.sin(a) + 0.4
        img[int(y)][int(x)] = WHITE
    img[int(cy + 3.3)][int(cx)] = SILVER  # the key notch at the bottom


def draw():
    img = [[CLEAR] * SIZE for _ in range(SIZE)]
    left_plug, right_plug = (7.5, 25.0), (24.5, 25.0)
    # The cable leaves the left plug, climbs, swings round a loop at the top
    # and comes down, crossing itself, into the right plug.
    first = list(bezier((8.0, 19.0), (8.0, 10.0), (22.0, 14.0), (23.0, 7.5)))
    second = list(bezier((23.0, 7.5), (23.5, 1.5), (8.5, 1.0), (9.0, 7.5)))
    third = list(bezier((9.0, 7.5), (9.5, 14.0), (24.0, 10.0), (24.0, 19.0)))
    strand(img, first + second)
    strand(img, third)  # drawn last: it crosses over the first strand
    din_plug(img, *left_plug)
    din_plug(img, *right_plug)
    return img


def ico_bytes(img):
    # Rows are stored bottom-up; each row of 4-bit pixels is 16 bytes, each
    # mask row 4 bytes (already a multiple of four).
    xor = bytearray()
    mask = bytearray()
    for row in reversed(img):
        for x in range(0, SIZE, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            xor.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (1 if row[x] is None else 0)
        mask += bits.to_bytes(4, "big")
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tavrin.ico")
    with open(out, "wb") as f:
        f.write(ico_bytes(draw()))


if __name__ == "__main__":
    main()

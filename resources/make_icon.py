#!/usr/bin/env python3
"""Draws Tavrin's icon: a MIDI cable looped back on itself, its two DIN plugs
side by side.

The drawing is a list of shapes laid out on a 32x32 grid. Without arguments
the script writes tavrin.ico beside itself: the 32x32 image pixel for pixel, 4
bits per pixel with a 16-entry palette and a 1-bit transparency mask. With
arguments it writes the same drawing for desktops:

  make_icon.py --png SIZE FILE   a PNG with alpha; 32 is the .ico's image,
                                 larger sizes are drawn smooth at that scale
  make_icon.py --svg FILE        a scalable SVG

Standard library only; run it again after changing the drawing."""

import argparse
import math
import os
import struct
import zlib

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

# Points sampled along each cubic curve of a stroke.
CURVE_STEPS = 80


def bezier(p0, p1, p2, p3, steps=CURVE_STEPS):
    for i in range(steps + 1):
        t = i / steps
        u = 1 - t
        yield (u**3 * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t**3 * p3[0],
               u**3 * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t**3 * p3[1])


# Shapes, painted in order:
#   ("stroke", curves, radius, colour, (dx, dy))  a round pen along cubic curves,
#                                                 shifted by (dx, dy)
#   ("disc", cx, cy, radius, colour)
#   ("cell", x, y, colour)                        one grid cell, a dot when smooth
def strand(curves):
    """A cable piece: a navy rim, a blue core and a cyan sheen on its upper left."""
    return [("stroke", curves, 1.9, NAVY, (0, 0)),
            ("stroke", curves, 1.05, BLUE, (0, 0)),
            ("stroke", curves, 0.3, CYAN, (-0.45, -0.45))]


def din_plug(cx, cy):
    """A DIN plug seen from its face: metal shell, dark face, five pins in an arc and the key."""
    shapes = [("disc", cx, cy, 5.6, BLACK), ("disc", cx, cy, 4.8, SILVER),
              ("disc", cx, cy, 3.6, GRAY), ("disc", cx, cy, 2.9, BLACK)]
    for angle in (-180, -135, -90, -45, 0):
        a = math.radians(angle)
        x = cx + 1.9 * math.cos(a)
        y = cy + 1.9 * math.sin(a) + 0.4
        shapes.append(("cell", int(x), int(y), WHITE))
    shapes.append(("cell", int(cx), int(cy + 3.3), SILVER))  # the key notch at the bottom
    return shapes


def drawing():
    # The cable leaves the left plug, climbs, swings round a loop at the top
    # and comes down, crossing itself, into the right plug.
    first = ((8.0, 19.0), (8.0, 10.0), (22.0, 14.0), (23.0, 7.5))
    second = ((23.0, 7.5), (23.5, 1.5), (8.5, 1.0), (9.0, 7.5))
    third = ((9.0, 7.5), (9.5, 14.0), (24.0, 10.0), (24.0, 19.0))
    return (strand([first, second])
            + strand([third])  # drawn last: it crosses over the first strand
            + din_plug(7.5, 25.0) + din_plug(24.5, 25.0))


def stroke_points(curves, offset):
    dx, dy = offset
    return [(x + dx, y + dy) for curve in curves for x, y in bezier(*curve)]


# --- The 32x32 palette image of the .ico ---------------------------------------

def pixel_disc(img, cx, cy, r, colour):
    for y in range(SIZE):
        for x in range(SIZE):
            if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r:
                img[y][x] = colour


def draw_pixels():
    img = [[CLEAR] * SIZE for _ in range(SIZE)]
    for shape in drawing():
        kind = shape[0]
        if kind == "stroke":
            _, curves, r, colour, offset = shape
            for x, y in stroke_points(curves, offset):
                pixel_disc(img, x, y, r, colour)
        elif kind == "disc":
            pixel_disc(img, *shape[1:])
        else:
            _, x, y, colour = shape
            img[y][x] = colour
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


# --- Smooth renderings at larger sizes ----------------------------------------

class Canvas:
    """Premultiplied RGBA in floats; shapes are painted with edge coverage."""

    def __init__(self, size):
        self.size = size
        self.scale = size / SIZE
        self.rgba = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]

    def paint(self, coverage, colour):
        r, g, b = (c / 255 for c in PALETTE[colour])
        for i, a in coverage.items():
            px = self.rgba[i]
            keep = 1 - a
            px[0] = r * a + px[0] * keep
            px[1] = g * a + px[1] * keep
            px[2] = b * a + px[2] * keep
            px[3] = a + px[3] * keep

    def cover(self, coverage, box, distance, r):
        """Adds to coverage the pixels of box (grid units) within r of the shape."""
        s, n = self.scale, self.size
        x0, y0, x1, y1 = box
        for py in range(max(0, int((y0 - r) * s) - 1), min(n, int((y1 + r) * s) + 2)):
            gy = (py + 0.5) / s
            for px in range(max(0, int((x0 - r) * s) - 1), min(n, int((x1 + r) * s) + 2)):
                a = (r - distance((px + 0.5) / s, gy)) * s + 0.5
                if a > 0:
                    i = py * n + px
                    coverage[i] = max(coverage.get(i, 0.0), min(a, 1.0))

    def disc(self, cx, cy, r, colour):
        coverage = {}
        self.cover(coverage, (cx, cy, cx, cy), lambda x, y: math.hypot(x - cx, y - cy), r)
        self.paint(coverage, colour)

    def stroke(self, points, r, colour):
        coverage = {}
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            vx, vy = bx - ax, by - ay
            length2 = vx * vx + vy * vy or 1e-12

            def distance(x, y, ax=ax, ay=ay, vx=vx, vy=vy, length2=length2):
                t = min(1.0, max(0.0, ((x - ax) * vx + (y - ay) * vy) / length2))
                return math.hypot(x - ax - t * vx, y - ay - t * vy)
            box = (min(ax, bx), min(ay, by), max(ax, bx), max(ay, by))
            self.cover(coverage, box, distance, r)
        self.paint(coverage, colour)

    def png(self):
        rows = bytearray()
        n = self.size
        for y in range(n):
            rows.append(0)  # no filter
            for px in self.rgba[y * n:(y + 1) * n]:
                a = px[3]
                if a <= 0:
                    rows += b"\0\0\0\0"
                    continue
                rows += bytes(round(min(1.0, c / a) * 255) for c in px[:3])
                rows.append(round(a * 255))
        return png_file(n, 6, bytes(rows))


def png_file(size, colour_type, raw_rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    header = struct.pack(">IIBBBBB", size, size, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw_rows, 9)) + chunk(b"IEND", b""))


def png_of_pixels(img):
    rows = bytearray()
    for row in img:
        rows.append(0)
        for colour in row:
            rows += bytes(PALETTE[colour]) + b"\xff" if colour is not None else b"\0\0\0\0"
    return png_file(SIZE, 6, bytes(rows))


def png_bytes(size):
    if size == SIZE:
        return png_of_pixels(draw_pixels())
    canvas = Canvas(size)
    for shape in drawing():
        kind = shape[0]
        if kind == "stroke":
            _, curves, r, colour, offset = shape
            # Enough points that a thin pen leaves no beads at this scale.
            steps = max(CURVE_STEPS, int(CURVE_STEPS * canvas.scale / 2))
            points = [(x + offset[0], y + offset[1]) for curve in curves
                      for x, y in bezier(*curve, steps=steps)]
            canvas.stroke(points, r, colour)
        elif kind == "disc":
            canvas.disc(*shape[1:])
        else:
            _, x, y, colour = shape
            canvas.disc(x + 0.5, y + 0.5, 0.5, colour)
    return canvas.png()


# --- Scalable --------------------------------------------------------------------

def svg_text():
    def hexcolour(colour):
        return "#%02x%02x%02x" % PALETTE[colour]

    def num(v):
        return ("%.3f" % v).rstrip("0").rstrip(".")
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d">'
           % (SIZE, SIZE, SIZE, SIZE),
           '  <title>Tavrin</title>']
    for shape in drawing():
        kind = shape[0]
        if kind == "stroke":
            _, curves, r, colour, (dx, dy) = shape
            d = "M%s,%s" % (num(curves[0][0][0] + dx), num(curves[0][0][1] + dy))
            for curve in curves:
                d += " C" + " ".join("%s,%s" % (num(x + dx), num(y + dy)) for x, y in curve[1:])
            out.append('  <path d="%s" fill="none" stroke="%s" stroke-width="%s" '
                       'stroke-linecap="round" stroke-linejoin="round"/>'
                       % (d, hexcolour(colour), num(2 * r)))
        elif kind == "disc":
            _, cx, cy, r, colour = shape
            out.append('  <circle cx="%s" cy="%s" r="%s" fill="%s"/>'
                       % (num(cx), num(cy), num(r), hexcolour(colour)))
        else:
            _, x, y, colour = shape
            out.append('  <circle cx="%s" cy="%s" r="0.5" fill="%s"/>'
                       % (num(x + 0.5), num(y + 0.5), hexcolour(colour)))
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description="Draws Tavrin's icon.")
    parser.add_argument("--png", nargs=2, metavar=("SIZE", "FILE"), action="append", default=[])
    parser.add_argument("--svg", metavar="FILE", action="append", default=[])
    args = parser.parse_args()
    if not args.png and not args.svg:
        out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tavrin.ico")
        with open(out, "wb") as f:
            f.write(ico_bytes(draw_pixels()))
        return
    for size, path in args.png:
        with open(path, "wb") as f:
            f.write(png_bytes(int(size)))
    for path in args.svg:
        with open(path, "w", encoding="utf-8") as f:
            f.write(svg_text())


if __name__ == "__main__":
    main()

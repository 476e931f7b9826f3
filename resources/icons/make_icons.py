#!/usr/bin/env python3
"""Draws the add-on's icon set into this folder as PNG files.

One look for the whole set: a rounded tile with a soft vertical gradient in
the colour of the command's role and a white glyph with a faint shadow.
Status lamps sit on a dark tile. Shapes are signed distance functions, so the
edges are anti-aliased at any size. Run it after changing a drawing:

    python3 resources/icons/make_icons.py

Needs only the Python standard library.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


# ---- PNG ---------------------------------------------------------------------

def write_png(path, width, height, pixels):
    """pixels: rows of (r, g, b, a) floats 0..1, top row first."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((round(r * 255), round(g * 255), round(b * 255), round(a * 255)))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


# ---- Signed distances (unit square coordinates, y down) ----------------------

def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def rbox(cx, cy, hw, hh, rad=0.0):
    def d(x, y):
        qx = abs(x - cx) - hw + rad
        qy = abs(y - cy) - hh + rad
        return math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - rad
    return d


def capsule(ax, ay, bx, by, r):
    def d(x, y):
        px, py = x - ax, y - ay
        vx, vy = bx - ax, by - ay
        h = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
        return math.hypot(px - vx * h, py - vy * h) - r
    return d


def polygon(points, rad=0.0):
    def d(x, y):
        best = (x - points[0][0]) ** 2 + (y - points[0][1]) ** 2
        s = 1.0
        n = len(points)
        j = n - 1
        for i in range(n):
            ex, ey = points[j][0] - points[i][0], points[j][1] - points[i][1]
            wx, wy = x - points[i][0], y - points[i][1]
            h = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
            bx, by = wx - ex * h, wy - ey * h
            best = min(best, bx * bx + by * by)
            c1 = y >= points[i][1]
            c2 = y < points[j][1]
            c3 = ex * wy > ey * wx
            if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
                s = -s
            j = i
        return s * math.sqrt(best) - rad
    return d


def ring(cx, cy, r, w):
    c = circle(cx, cy, r)
    return lambda x, y: abs(c(x, y)) - w


def union(*fs):
    return lambda x, y: min(f(x, y) for f in fs)


def cut(a, b):
    return lambda x, y: max(a(x, y), -b(x, y))


def intersect(a, b):
    return lambda x, y: max(a(x, y), b(x, y))


def gear(cx, cy, r_outer, r_root, r_hole, teeth):
    def d(x, y):
        dx, dy = x - cx, y - cy
        r = math.hypot(dx, dy)
        a = math.atan2(dy, dx)
        t = (math.cos(a * teeth) + 1) / 2  # 1 on a tooth
        t = min(1.0, max(0.0, (t - 0.35) * 3.0))
        rr = r_root + (r_outer - r_root) * t
        return max(r - rr, r_hole - r)
    return d


def translate(f, dx, dy):
    return lambda x, y: f(x - dx, y - dy)


# ---- Painting ------------------------------------------------------------------

def hexrgb(h):
    return tuple(int(h[i:i + 2], 16) / 255 for i in (1, 3, 5))


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


WHITE = (1.0, 1.0, 1.0)


class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[(0.0, 0.0, 0.0, 0.0) for _ in range(w)] for _ in range(h)]
        self.unit = 1.0 / max(w, h)  # one pixel in unit coordinates

    def fill(self, sdf, colour, alpha=1.0, shade=None):
        """shade(x, y) -> rgb overrides colour (gradients)."""
        w, h = self.w, self.h
        s = max(w, h)
        ox = (s - w) / 2
        oy = (s - h) / 2
        for j in range(h):
            for i in range(w):
                x = (i + 0.5 + ox) / s
                y = (j + 0.5 + oy) / s
                d = sdf(x, y)
                cover = max(0.0, min(1.0, 0.5 - d / self.unit))
                if cover <= 0:
                    continue
                a = cover * alpha
                rgb = shade(x, y) if shade else colour
                r0, g0, b0, a0 = self.px[j][i]
                out_a = a + a0 * (1 - a)
                if out_a <= 0:
                    continue
                self.px[j][i] = tuple(
                    (rgb[k] * a + (r0, g0, b0)[k] * a0 * (1 - a)) / out_a for k in range(3)) + (out_a,)

    def save(self, name):
        write_png(os.path.join(HERE, name), self.w, self.h, self.px)


TILE = rbox(0.5, 0.5, 0.46, 0.46, 0.2)


def tile(canvas, colour, dark=False):
    top = hexrgb(colour)
    bottom = mix(top, (0, 0, 0), 0.28)
    top = mix(top, WHITE, 0.12)
    canvas.fill(TILE, None, shade=lambda x, y: mix(top, bottom, y))
    # a fine lighter rim on the upper edge gives the set its depth
    edge = cut(TILE, rbox(0.5, 0.53, 0.44, 0.43, 0.19))
    canvas.fill(edge, WHITE, alpha=0.10 if not dark else 0.06)


def glyph(canvas, sdf, alpha=1.0):
    canvas.fill(translate(sdf, 0.0, 0.025), (0, 0, 0), alpha=0.22 * alpha)
    canvas.fill(sdf, WHITE, alpha=alpha)


# Role colours: one hue per kind of command.
NAVY = "#2c4a7a"    # about, the add-on itself
GREEN = "#2f8f5b"   # start / resume
AMBER = "#c98a1b"   # pause
RED = "#b83a3a"     # stop
BLUE = "#2f77b8"    # camera
SLATE = "#56606e"   # settings, palette
PURPLE = "#6b4fa3"  # export
DARK = "#323a46"    # status tile
GREY = "#8d96a3"    # unavailable

# Glyphs in unit coordinates.
PLAY = polygon([(0.38, 0.28), (0.74, 0.5), (0.38, 0.72)], 0.03)
PAUSE = union(rbox(0.38, 0.5, 0.07, 0.2, 0.03), rbox(0.62, 0.5, 0.07, 0.2, 0.03))
STOP = rbox(0.5, 0.5, 0.19, 0.19, 0.05)
RESUME = union(rbox(0.33, 0.5, 0.05, 0.2, 0.02), polygon([(0.46, 0.29), (0.76, 0.5), (0.46, 0.71)], 0.03))
INFO = union(circle(0.5, 0.3, 0.07), rbox(0.5, 0.6, 0.065, 0.17, 0.03))
CAMERA = cut(union(rbox(0.5, 0.55, 0.28, 0.19, 0.06), rbox(0.41, 0.35, 0.09, 0.05, 0.02)),
             circle(0.5, 0.56, 0.1))
CAMERA_LENS = circle(0.5, 0.56, 0.05)
GEAR = gear(0.5, 0.5, 0.31, 0.23, 0.09, 8)
PALETTE = union(rbox(0.27, 0.5, 0.09, 0.09, 0.03), rbox(0.5, 0.5, 0.09, 0.09, 0.03),
                rbox(0.73, 0.5, 0.09, 0.09, 0.03), rbox(0.5, 0.68, 0.32, 0.025, 0.01))
# An isometric cube: the model leaving as a document.
CUBE_TOP = polygon([(0.5, 0.2), (0.77, 0.34), (0.5, 0.48), (0.23, 0.34)])
CUBE_LEFT = polygon([(0.23, 0.38), (0.48, 0.51), (0.48, 0.8), (0.23, 0.66)])
CUBE_RIGHT = polygon([(0.52, 0.51), (0.77, 0.38), (0.77, 0.66), (0.52, 0.8)])
# The brand mark: an open ring (C) around a dot, the link between two worlds.
MARK = union(cut(ring(0.5, 0.5, 0.22, 0.065), polygon([(0.5, 0.5), (0.95, 0.2), (0.95, 0.8)])),
             circle(0.5, 0.5, 0.08))


def command(name, colour, shape, extra=None, size=32):
    c = Canvas(size, size)
    tile(c, colour)
    glyph(c, shape)
    if extra:
        extra(c)
    c.save(name)


def cube(c, alpha=1.0):
    c.fill(translate(union(CUBE_TOP, CUBE_LEFT, CUBE_RIGHT), 0, 0.025), (0, 0, 0), alpha=0.22 * alpha)
    c.fill(CUBE_TOP, WHITE, alpha=alpha)
    c.fill(CUBE_LEFT, WHITE, alpha=0.78 * alpha)
    c.fill(CUBE_RIGHT, WHITE, alpha=0.58 * alpha)


def export_icon(name):
    c = Canvas(32, 32)
    tile(c, PURPLE)
    cube(c)
    c.save(name)


def camera_icon(name, colour, badge=None, alpha=1.0):
    c = Canvas(32, 32)
    tile(c, colour)
    glyph(c, CAMERA, alpha)
    c.fill(CAMERA_LENS, WHITE, alpha=alpha)
    if badge:
        c.fill(circle(0.76, 0.27, 0.13), hexrgb(DARK))
        c.fill(circle(0.76, 0.27, 0.095), hexrgb(badge))
    c.save(name)


def lamp_icon(name, colour):
    c = Canvas(32, 32)
    tile(c, DARK, dark=True)
    c.fill(circle(0.5, 0.5, 0.25), (0.1, 0.12, 0.15))
    lamp = hexrgb(colour)
    c.fill(circle(0.5, 0.5, 0.2), None, shade=lambda x, y: mix(mix(lamp, WHITE, 0.35), lamp, min(1, y * 1.6)))
    c.fill(circle(0.44, 0.42, 0.07), WHITE, alpha=0.45)
    c.save(name)


def level_icon(name, colour, shape):
    c = Canvas(16, 16)
    tile(c, colour)
    c.fill(shape, WHITE)
    c.save(name)


def logo(name):
    c = Canvas(120, 150)
    top, bottom = hexrgb("#34598f"), hexrgb("#16243d")
    panel = rbox(0.5, 0.5, 0.39, 0.49, 0.06)
    c.fill(panel, None, shade=lambda x, y: mix(top, bottom, (y - 0.0) / 1.0))
    # a building's outline rising behind the mark
    city = union(rbox(0.3, 0.78, 0.07, 0.18), rbox(0.45, 0.72, 0.06, 0.24), rbox(0.6, 0.8, 0.08, 0.16),
                 rbox(0.72, 0.75, 0.04, 0.21))
    c.fill(intersect(city, panel), WHITE, alpha=0.12)
    big = lambda x, y: MARK((x - 0.5) / 0.62 + 0.5, (y - 0.4) / 0.62 + 0.5) * 0.62
    c.fill(translate(big, 0, 0.01), (0, 0, 0), alpha=0.3)
    c.fill(big, WHITE)
    c.fill(rbox(0.5, 0.66, 0.22, 0.012, 0.01), WHITE, alpha=0.6)
    c.save(name)


def main():
    # Menu commands.
    command("32100.png", NAVY, INFO)
    command("32101.png", GREEN, PLAY)
    command("32102.png", AMBER, PAUSE)
    command("32103.png", RED, STOP)
    camera_icon("32104.png", BLUE)
    export_icon("32105.png")
    command("32106.png", SLATE, PALETTE)
    command("32107.png", SLATE, GEAR)
    # Palette.
    command("32110.png", NAVY, INFO)
    command("32111.png", GREEN, PLAY)
    command("32112.png", AMBER, PAUSE)
    command("32113.png", GREEN, RESUME)
    command("32114.png", RED, STOP)
    camera_icon("32120.png", GREY, alpha=0.75)
    camera_icon("32121.png", BLUE)
    camera_icon("32122.png", BLUE, badge="#53d18a")
    lamp_icon("32131.png", "#8d96a3")
    lamp_icon("32132.png", "#f0b429")
    lamp_icon("32133.png", "#3fcf7f")
    command("32140.png", SLATE, GEAR)
    export_icon("32150.png")
    # The add-on and its about box.
    command("101.png", NAVY, MARK)
    logo("32200.png")
    # Offset levels in the settings dialog.
    level_icon("32210.png", SLATE, union(rbox(0.5, 0.62, 0.3, 0.06), polygon([(0.5, 0.5), (0.32, 0.24), (0.68, 0.24)])))
    level_icon("32211.png", BLUE, union(capsule(0.2, 0.4, 0.4, 0.33, 0.05), capsule(0.4, 0.33, 0.6, 0.4, 0.05),
                                        capsule(0.6, 0.4, 0.8, 0.33, 0.05), capsule(0.2, 0.66, 0.4, 0.59, 0.05),
                                        capsule(0.4, 0.59, 0.6, 0.66, 0.05), capsule(0.6, 0.66, 0.8, 0.59, 0.05)))
    level_icon("32212.png", SLATE, ring(0.5, 0.5, 0.2, 0.07))
    level_icon("32213.png", SLATE, union(rbox(0.5, 0.36, 0.3, 0.06), rbox(0.5, 0.66, 0.3, 0.06)))
    level_icon("32214.png", PURPLE, union(capsule(0.3, 0.7, 0.68, 0.32, 0.08), polygon([(0.22, 0.78), (0.24, 0.6), (0.4, 0.76)])))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Draws the About page banner (bitmap 300): a dark emblem panel on the left,
a signal trace watched through a lens, and a light field on the right where
the page paints the product name. Writes a 24-bit BMP.

    tools/images/make_banner.py filters/special/brevane/res/banner.bmp
"""
import math
import struct
import sys

WIDTH, HEIGHT = 400, 60
SS = 3  # supersampling per axis for smooth edges
EDGE = 138  # where the emblem panel meets the light field


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


NAVY = (18, 38, 74)
TEAL = (20, 112, 140)
LIGHT_L = (232, 239, 246)
LIGHT_R = (250, 252, 254)
ACCENT = (28, 132, 160)
TRACE = (120, 220, 230)
LENS = (236, 246, 250)


def wave(x):
    """The signal trace across the panel, centred vertically."""
    return HEIGHT / 2 + 9 * math.sin(x / 9.0) * math.exp(-((x - 62) / 46.0) ** 2)


def sample(x, y):
    # Diagonal edge between the panel and the light field.
    edge = EDGE - (y - HEIGHT / 2) * 0.35
    if x < edge:
        c = mix(NAVY, TEAL, (x + y * 0.6) / (EDGE + HEIGHT * 0.6))
        # Faint grid like a scope's graticule.
        if int(x) % 12 == 0 or int(y) % 12 == 0:
            c = mix(c, (255, 255, 255), 0.06)
        # Signal trace.
        d = abs(y - wave(x))
        if d < 1.3:
            c = mix(c, TRACE, 1.0 - d / 1.3 * 0.4)
        # Lens: a ring over the trace with a short handle.
        cx, cy, r = 86.0, 27.0, 15.0
        dist = math.hypot(x - cx, y - cy)
        if dist < r - 2:
            c = mix(c, LENS, 0.16)
        if abs(dist - r) < 1.6:
            c = LENS
        hx, hy = x - (cx + r * 0.72), y - (cy + r * 0.72)
        along = (hx + hy) / math.sqrt(2)
        across = abs(hx - hy) / math.sqrt(2)
        if 0 <= along <= 12 and across < 2.2:
            c = LENS
        return c
    # Light field, with a thin accent rule along the panel edge and the bottom.
    if x - edge < 2.0:
        return ACCENT
    c = mix(LIGHT_L, LIGHT_R, (x - EDGE) / (WIDTH - EDGE))
    if y >= HEIGHT - 3:
        c = mix(c, ACCENT, 0.85)
    return c


def main(path):
    rows = []
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(WIDTH):
            acc = [0.0, 0.0, 0.0]
            for sy in range(SS):
                for sx in range(SS):
                    c = sample(x + (sx + 0.5) / SS, y + (sy + 0.5) / SS)
                    for i in range(3):
                        acc[i] += c[i]
            r, g, b = (int(round(v / (SS * SS))) for v in acc)
            row += bytes((b, g, r))
        row += b"\0" * ((4 - len(row) % 4) % 4)
        rows.append(bytes(row))
    pixels = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


if __name__ == "__main__":
    main(sys.argv[1])

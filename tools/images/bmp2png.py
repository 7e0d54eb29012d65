#!/usr/bin/env python3
"""Converts 24- or 32-bit uncompressed BMP files to PNG (for the screenshots
under docs/ and for looking at the banner).

    tools/images/bmp2png.py in.bmp out.png
"""
import struct
import sys
import zlib


def read_bmp(path):
    data = open(path, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    _, width, height, _, bits = struct.unpack_from("<IiiHH", data, 14)
    bpp = bits // 8
    stride = (width * bpp + 3) & ~3
    rows = []
    for y in range(abs(height)):
        src = y if height < 0 else abs(height) - 1 - y
        line = data[offset + src * stride: offset + src * stride + width * bpp]
        rgb = bytearray()
        for x in range(width):
            b, g, r = line[x * bpp: x * bpp + 3]
            rgb += bytes((r, g, b))
        rows.append(bytes(rgb))
    return width, abs(height), rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    raw = b"".join(b"\0" + r for r in rows)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    open(path, "wb").write(png)


if __name__ == "__main__":
    write_png(sys.argv[2], *read_bmp(sys.argv[1]))

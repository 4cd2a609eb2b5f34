#!/usr/bin/env python3
"""Converts the driver's 24-bit bottom-up BMP screenshots to PNG (standard library only)."""
import struct
import sys
import zlib


def read_bmp(path):
    with open(path, "rb") as source:
        data = source.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits != 24:
        raise ValueError("only 24-bit bitmaps")
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        source = height - 1 - y if height > 0 else y
        row = data[offset + source * stride: offset + source * stride + width * 3]
        rows.append(bytes(b for i in range(0, len(row), 3) for b in (row[i + 2], row[i + 1], row[i])))
    return width, abs(height), rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\0" + row for row in rows)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        out.write(chunk(b"IEND", b""))


if __name__ == "__main__":
    width, height, rows = read_bmp(sys.argv[1])
    write_png(sys.argv[2], width, height, rows)

#!/usr/bin/python3
"""Makes the PNG files with tRNS transparency in tests/data/png/, chunk by
chunk with zlib and CRC-32 from the standard library (no imaging library
needed), for tests/newer_formats_test.cpp's exact-alpha check:

- trns_rgb8_4x2.png: truecolour, 8 bits, colour key (10, 20, 30);
- trns_palette8_4x2.png: five palette entries, tRNS for the first three
  (alpha 0, 128, 255), so entries 3 and 4 are opaque;
- trns_grey16_4x1.png: 16-bit grey, key 0x1234, beside 0x1235, which shares
  the key's high byte and must stay opaque.
"""
import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "png")


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(width, height, depth, colour_type, rows, extra=b""):
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 0)
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    rgb = [[(10, 20, 30), (200, 20, 30), (10, 20, 30), (0, 0, 0)],
           [(10, 20, 31), (255, 255, 255), (10, 20, 30), (9, 20, 30)]]
    write("trns_rgb8_4x2.png",
          png(4, 2, 8, 2, [bytes(c for p in row for c in p) for row in rgb],
              chunk(b"tRNS", struct.pack(">HHH", 10, 20, 30))))

    palette = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0), (1, 2, 3)]
    write("trns_palette8_4x2.png",
          png(4, 2, 8, 3, [bytes([0, 1, 2, 3]), bytes([4, 3, 1, 0])],
              chunk(b"PLTE", bytes(c for p in palette for c in p)) + chunk(b"tRNS", bytes([0, 128, 255]))))

    write("trns_grey16_4x1.png",
          png(4, 1, 16, 0, [struct.pack(">HHHH", 0x1234, 0x1235, 0xFFFF, 0x0000)],
              chunk(b"tRNS", struct.pack(">H", 0x1234))))


if __name__ == "__main__":
    main()

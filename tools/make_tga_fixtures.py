#!/usr/bin/python3
"""Writes the small TGA files of tests/data/tga/ with two other encoders
(Pillow and ImageMagick's `convert`) and prints, for tests/tga_test.cpp, the
pixels Pillow reads back from each: the CRC-32 of R,G,B bytes per pixel, top
row first, and the CRC-32 of (alpha, 0, 0) per pixel, alpha being 0 where the
file holds none.

Run with Debian's Pillow: /usr/bin/python3 tools/make_tga_fixtures.py
"""
import os
import subprocess
import tempfile
import zlib

from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "tga")
W, H = 37, 11  # odd sizes, several packets per row


def picture():
    """Flat stretches (run packets) beside noisy ones (raw packets)."""
    img = Image.new("RGBA", (W, H))
    px = img.load()
    for y in range(H):
        for x in range(W):
            if x < 12:
                c = (200, 40 + 10 * y, 30, 255)
            elif x < 25:
                c = ((x * 37 + y * 91) % 256, (x * 13 + y * 7) % 256, (x * y * 5) % 256, (x * 20 + y) % 256)
            else:
                c = (20, 30, 250 - 5 * y, 128)
            px[x, y] = c
    return img


def crcs(path):
    im = Image.open(path)
    im.load()
    rgb = im.convert("RGB").tobytes()
    if im.mode in ("RGBA", "LA", "PA"):
        alpha = im.getchannel("A").tobytes()
    else:
        alpha = bytes(W * H)
    a = b"".join(bytes((v, 0, 0)) for v in alpha)
    return zlib.crc32(rgb), zlib.crc32(a)


def main():
    os.makedirs(OUT, exist_ok=True)
    src = picture()
    rgb = src.convert("RGB")
    made = []

    def pil(name, im, rle, top):
        path = os.path.join(OUT, name)
        im.save(path, compression="tga_rle" if rle else None, orientation=1 if top else -1)
        made.append(name)

    for top in (False, True):
        side = "top" if top else "bottom"
        for rle in (False, True):
            kind = "rle" if rle else "plain"
            pil(f"pil_rgb_{kind}_{side}.tga", rgb, rle, top)
            pil(f"pil_rgba_{kind}_{side}.tga", src, rle, top)
        pil(f"pil_palette_{'rle' if top else 'plain'}_{side}.tga", rgb.quantize(64), top, top)
        pil(f"pil_grey_{'rle' if not top else 'plain'}_{side}.tga", rgb.convert("L"), not top, top)
        pil(f"pil_greyalpha_{'rle' if top else 'plain'}_{side}.tga", src.convert("LA"), top, top)

    with tempfile.TemporaryDirectory() as tmp:
        png = os.path.join(tmp, "src.png")
        src.save(png)
        jobs = [
            ("im_rgb_plain_bottom.tga", ["-alpha", "off", "-compress", "None"]),
            ("im_rgb_rle_top.tga", ["-alpha", "off", "-compress", "RLE", "-orient", "TopLeft"]),
            ("im_rgba_rle_bottom.tga", ["-compress", "RLE"]),
            ("im_rgba_plain_top.tga", ["-compress", "None", "-orient", "TopLeft"]),
            ("im_palette_plain_bottom.tga", ["-alpha", "off", "-colors", "32", "-type", "Palette", "-compress", "None"]),
            ("im_palette_rle_top.tga", ["-alpha", "off", "-colors", "32", "-type", "Palette", "-compress", "RLE", "-orient", "TopLeft"]),
            ("im_grey_plain_top.tga", ["-alpha", "off", "-colorspace", "Gray", "-type", "Grayscale", "-compress", "None", "-orient", "TopLeft"]),
            ("im_grey_rle_bottom.tga", ["-alpha", "off", "-colorspace", "Gray", "-type", "Grayscale", "-compress", "RLE"]),
        ]
        for name, args in jobs:
            subprocess.run(["convert", png] + args + [os.path.join(OUT, name)], check=True)
            made.append(name)

    for name in made:
        path = os.path.join(OUT, name)
        with open(path, "rb") as f:
            head = f.read(18)
        r, a = crcs(path)
        print(f'        {{"{name}", {head[2]}, 0x{head[17]:02X}, {head[16]}, 0x{r:08X}u, 0x{a:08X}u}},')


if __name__ == "__main__":
    main()

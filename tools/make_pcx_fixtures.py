#!/usr/bin/python3
"""Makes the PCX fixtures in tests/data/pcx with Pillow and ImageMagick's
`convert`, and prints each file's size and the CRC-32 of its pixels as Pillow
reads them (red, green, blue bytes per pixel, top row first) for the table in
tests/pcx_test.cpp. Run with Debian's /usr/bin/python3 (Pillow)."""
import os
import subprocess
import tempfile
import zlib

from PIL import Image

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "pcx")


def rgb_picture(w, h):
    img = Image.new("RGB", (w, h))
    px = img.load()
    for y in range(h):
        for x in range(w):
            if x < 3 and y % 2 == 0:
                px[x, y] = (250, 250, 10)  # a run of bytes above 191 in every plane
            else:
                px[x, y] = ((x * 37 + y * 11) % 256, (y * 53 + x * 5) % 256, (x * y * 29 + 200) % 256)
    return img


def palette_picture(w, h):
    img = Image.new("P", (w, h))
    img.putpalette([v for e in range(256) for v in ((e * 7) % 256, (255 - e) % 256, (e * 13 + 5) % 256)])
    px = img.load()
    for y in range(h):
        for x in range(w):
            px[x, y] = 230 if x >= w - 3 else (x * 7 + y * 13 + 190) % 256
    return img


def crc_of(path):
    img = Image.open(path)
    rgb = img.convert("RGB")
    return img.size, zlib.crc32(rgb.tobytes()) & 0xFFFFFFFF


def main():
    made = []
    for w, h in ((7, 5), (8, 4)):
        name = "pillow_rgb_%dx%d.pcx" % (w, h)
        rgb_picture(w, h).save(os.path.join(HERE, name))
        made.append(name)
        name = "pillow_p_%dx%d.pcx" % (w, h)
        palette_picture(w, h).save(os.path.join(HERE, name))
        made.append(name)
    with tempfile.TemporaryDirectory() as tmp:
        for w, h in ((9, 5), (10, 6)):
            src = os.path.join(tmp, "src.png")
            rgb_picture(w, h).save(src)
            name = "magick_rgb_%dx%d.pcx" % (w, h)
            subprocess.run(["convert", src, "-type", "TrueColor", os.path.join(HERE, name)], check=True)
            made.append(name)
            palette_picture(w, h).convert("RGB").save(src)
            name = "magick_p_%dx%d.pcx" % (w, h)
            subprocess.run(["convert", src, "-type", "Palette", os.path.join(HERE, name)], check=True)
            made.append(name)
    for name in made:
        (w, h), crc = crc_of(os.path.join(HERE, name))
        print('{"%s", %d, %d, 0x%08Xu},' % (name, w, h, crc))


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Makes the JPEG and PNG test fixtures in tests/data/jpeg/ and tests/data/png/,
and BMP files of the kinds the classic readers decline in tests/data/bmp/,
with Pillow and ImageMagick, and prints the expected-values table for
tests/newer_formats_test.cpp.

The expected pixels of each file are what Pillow decodes from it: CRC-32 of
red, green, blue (and alpha, for files that have it) bytes per pixel, top row
first. Pillow decodes JPEG with libjpeg-turbo's accurate integer transform and
smooth chroma upsampling, as the tool does, so JPEG pixels are compared
exactly, no tolerance. The CMYK file is one the tool declines. The 5-6-5 BMP
gets no row: Pillow widens 5-bit channels as v * 255 / 31, the tool (as the
format's other readers) by repeating the bits.
"""
import math
import os
import subprocess
import zlib

from PIL import Image

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data")


def picture(w, h):
    img = Image.new("RGB", (w, h))
    px = img.load()
    for y in range(h):
        for x in range(w):
            px[x, y] = (int(127 + 120 * math.sin(x / 3.0)), int(127 + 120 * math.cos(y / 4.0)), (x * 7 + y * 11) % 256)
    return img


def crc_of(path):
    img = Image.open(path)
    img.load()
    mode = "RGBA" if img.mode in ("RGBA", "LA", "PA") or "transparency" in img.info else "RGB"
    img = img.convert(mode)
    return img.size, zlib.crc32(img.tobytes()) & 0xFFFFFFFF, mode == "RGBA"


def main():
    os.makedirs(os.path.join(ROOT, "jpeg"), exist_ok=True)
    os.makedirs(os.path.join(ROOT, "png"), exist_ok=True)
    made = []
    base = picture(21, 13)

    path = os.path.join(ROOT, "jpeg", "pillow_baseline_420_21x13.jpg")
    base.save(path, quality=90, subsampling=2)
    made.append(path)
    path = os.path.join(ROOT, "jpeg", "pillow_progressive_grey_21x13.jpg")
    base.convert("L").save(path, quality=85, progressive=True)
    made.append(path)
    path = os.path.join(ROOT, "jpeg", "magick_progressive_444_17x11.jpg")
    src = os.path.join(ROOT, "jpeg", "source.ppm")
    picture(17, 11).save(src)
    subprocess.run(["convert", src, "-quality", "80", "-sampling-factor", "1x1", "-interlace", "Plane",
                    "-strip", path], check=True)
    os.remove(src)
    made.append(path)
    base.convert("CMYK").save(os.path.join(ROOT, "jpeg", "pillow_cmyk_21x13.jpg"), quality=90)

    rgba = picture(15, 9).convert("RGBA")
    px = rgba.load()
    for y in range(9):
        for x in range(15):
            px[x, y] = px[x, y][:3] + ((x * 17 + y * 5) % 256,)
    path = os.path.join(ROOT, "png", "pillow_rgba_15x9.png")
    rgba.save(path)
    made.append(path)
    path = os.path.join(ROOT, "png", "magick_palette_interlaced_15x9.png")
    src = os.path.join(ROOT, "png", "source.png")
    picture(15, 9).quantize(16).save(src)
    subprocess.run(["convert", src, "-interlace", "PNG", "-strip", "PNG8:" + path], check=True)
    os.remove(src)
    made.append(path)

    bmp = picture(13, 7)
    src = os.path.join(ROOT, "bmp", "source.png")
    bmp.save(src)
    for name, args in [("magick_pal1_13x7.bmp", ["-monochrome"]), ("magick_pal4_13x7.bmp", ["-colors", "12"]),
                       ("magick_rgb565_13x7.bmp", ["-define", "bmp:subtype=RGB565"])]:
        path = os.path.join(ROOT, "bmp", name)
        subprocess.run(["convert", src] + args + [path], check=True)
        if "565" not in name:
            made.append(path)
    rgba = bmp.convert("RGBA")
    px = rgba.load()
    for y in range(7):
        for x in range(13):
            px[x, y] = px[x, y][:3] + ((x * 20 + y * 30) % 256,)
    rgba.save(src)
    path = os.path.join(ROOT, "bmp", "magick_rgba32_v5_13x7.bmp")
    subprocess.run(["convert", src, path], check=True)
    made.append(path)
    os.remove(src)
    path = os.path.join(ROOT, "bmp", "pillow_pal1_13x7.bmp")
    bmp.convert("1").save(path)
    made.append(path)

    for path in made:
        (w, h), crc, alpha = crc_of(path)
        print('    {"%s/%s", %d, %d, 0x%08X, %s},' % (os.path.basename(os.path.dirname(path)), os.path.basename(path),
                                                   w, h, crc, "true" if alpha else "false"))


if __name__ == "__main__":
    main()

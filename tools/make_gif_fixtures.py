#!/usr/bin/python3
"""Makes the GIF test fixtures in tests/data/gif/ with Pillow and ImageMagick,
and prints the expected-values table for tests/gif_fixtures_test.cpp.

Each frame's expected pixels come from that frame alone: the frame's
descriptor, colour table and image data are copied into a one-frame GIF of
their own, which Pillow then decodes. That is the raster and palette the
encoder stored, not the composited animation a viewer would show.
"""
import io
import math
import os
import subprocess
import sys
import zlib

from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "gif")


def picture(w, h, phase):
    img = Image.new("RGB", (w, h))
    px = img.load()
    for y in range(h):
        for x in range(w):
            r = int(127 + 120 * math.sin((x + phase) / 3.0))
            g = int(127 + 120 * math.cos((y - phase) / 4.0))
            b = (x * 7 + y * 11 + phase * 40) % 256
            px[x, y] = (r, g, b)
    return img


def moving_square(w, h, step):
    img = Image.new("RGB", (w, h), (30, 60, 90))
    px = img.load()
    for y in range(4 + step * 3, 10 + step * 3):
        for x in range(2 + step * 4, 9 + step * 4):
            px[x, y] = (250 - step * 60, 40 + step * 50, 20)
    return img


def chain(data, pos):
    start = pos
    while data[pos]:
        pos += data[pos] + 1
    return data[start:pos + 1], pos + 1


def frames_of(data):
    """Yields (descriptor, local table, min code size + chain) of every frame."""
    flags = data[10]
    pos = 13
    global_table = b""
    if flags & 0x80:
        global_table = data[13:13 + 3 * (2 << (flags & 7))]
        pos += len(global_table)
    frames = []
    while pos < len(data):
        b = data[pos]
        if b == 0x2C:
            desc = data[pos + 1:pos + 10]
            pos += 10
            local = b""
            if desc[8] & 0x80:
                local = data[pos:pos + 3 * (2 << (desc[8] & 7))]
                pos += len(local)
            body, end = chain(data, pos + 1)
            frames.append((desc, local, data[pos:pos + 1] + body))
            pos = end
        elif b == 0x21:
            _, pos = chain(data, pos + 2)
        else:
            break
    return flags, global_table, frames


def frame_alone(data):
    """Each frame's own pixels, decoded by Pillow, as (width, height, rgb bytes)."""
    flags, global_table, frames = frames_of(data)
    out = []
    for desc, local, body in frames:
        w = desc[4] | desc[5] << 8
        h = desc[6] | desc[7] << 8
        header = b"GIF89a" + bytes([w & 255, w >> 8, h & 255, h >> 8, flags, 0, 0]) + global_table
        alone = header + b"\x2C" + bytes(4) + desc[4:] + local + body + b"\x3B"
        im = Image.open(io.BytesIO(alone))
        im.load()
        out.append((w, h, im.convert("RGB").tobytes(), bool(desc[8] & 0x40), bool(local)))
    return out


def save_pillow():
    picture(24, 16, 0).quantize(200).save(os.path.join(OUT, "pillow-single.gif"), interlace=False)
    picture(20, 19, 1).quantize(64).save(os.path.join(OUT, "pillow-interlaced.gif"), interlace=True)
    frames = [moving_square(32, 24, s).quantize(16) for s in range(3)]
    frames[0].save(os.path.join(OUT, "pillow-animation.gif"), save_all=True, append_images=frames[1:],
                   duration=100, loop=0, optimize=False)
    # Each frame quantised alone: different palettes, so local tables.
    frames = [picture(16, 12, s).quantize(8 + 8 * s) for s in range(3)]
    frames[0].save(os.path.join(OUT, "pillow-local-tables.gif"), save_all=True, append_images=frames[1:],
                   duration=80)


def save_magick():
    src = os.path.join(OUT, "source.ppm")
    picture(22, 14, 2).save(src)
    subprocess.check_call(["convert", src, "-colors", "100", "-interlace", "none",
                           os.path.join(OUT, "magick-single.gif")])
    subprocess.check_call(["convert", src, "-colors", "32", "-interlace", "GIF",
                           os.path.join(OUT, "magick-interlaced.gif")])
    names = []
    for s in range(3):
        name = os.path.join(OUT, "frame%d.ppm" % s)
        moving_square(32, 24, s).save(name)
        names.append(name)
    # Optimised frames cover only what changed (smaller, differing sizes);
    # Each frame keeps its own few colours in a local table.
    subprocess.check_call(["convert", "-delay", "10"] + names +
                          ["-layers", "Optimize", os.path.join(OUT, "magick-optimised.gif")])
    # Frames each reduced alone to colours of their own: local tables.
    more = []
    for s in range(3):
        name = os.path.join(OUT, "part%d.ppm" % s)
        img = moving_square(24, 20, s)
        img.paste(picture(6, 5, s * 3), (16, 14))
        img.save(name)
        more.append(name)
    subprocess.check_call(["convert", "-delay", "10", "(", more[0], "-colors", "8", ")",
                           "(", more[1], "-colors", "16", ")", "(", more[2], "-colors", "4", ")",
                           os.path.join(OUT, "magick-local-tables.gif")])
    for name in names + more + [src]:
        os.remove(name)


def main():
    os.makedirs(OUT, exist_ok=True)
    save_pillow()
    save_magick()
    for name in sorted(os.listdir(OUT)):
        if not name.endswith(".gif"):
            continue
        data = open(os.path.join(OUT, name), "rb").read()
        frames = frame_alone(data)
        parts = ", ".join("{%d, %d, 0x%08X}" % (w, h, zlib.crc32(rgb)) for w, h, rgb, _, _ in frames)
        notes = "; ".join("%dx%d%s%s" % (w, h, " interlaced" if i else "", " local table" if l else "")
                          for w, h, _, i, l in frames)
        print('    {"%s", {%s}},  // %d bytes: %s' % (name, parts, len(data), notes))


if __name__ == "__main__":
    sys.exit(main())

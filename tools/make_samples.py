#!/usr/bin/python3
"""Makes the sample textures in samples/ (needs Pillow: Debian's python3-pil):
wall.bmp, and the same picture as the run-length encoded TGA wall-tga.tga.

The picture is a 256 x 256 texture built to show what an atlas does: fine
vertical and horizontal stripes that blur differently under horizontal and
vertical halving, a colour wheel, and a one-pixel grid that box filtering
turns to an even tone.
"""
import math
import os
import sys

from PIL import Image

SIZE = 256


def texture():
    img = Image.new("RGB", (SIZE, SIZE))
    px = img.load()
    for y in range(SIZE):
        for x in range(SIZE):
            if x < SIZE // 2 and y < SIZE // 2:
                # vertical stripes of rising width: horizontal halving blurs them first
                w = 1 + x // 16
                v = 230 if (x // w) % 2 else 30
                px[x, y] = (v, v // 2 + 60, 255 - v)
            elif x >= SIZE // 2 and y < SIZE // 2:
                # horizontal stripes: vertical halving blurs them first
                h = 1 + (y % 128) // 16
                v = 230 if (y // h) % 2 else 30
                px[x, y] = (255 - v, v, v // 2 + 60)
            elif x < SIZE // 2:
                # colour wheel
                dx, dy = x - 64 + 0.5, y - 192 + 0.5
                r = math.hypot(dx, dy)
                a = math.atan2(dy, dx)
                if r < 60:
                    px[x, y] = tuple(int(127.5 + 127.5 * math.cos(a + k * 2.094)) for k in range(3))
                else:
                    px[x, y] = (20, 20, 40)
            else:
                # one-pixel checker grid in two colours
                px[x, y] = (250, 200, 40) if (x + y) % 2 else (40, 60, 200)
    return img


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "samples")
    img = texture()
    img.save(os.path.join(out, "wall.bmp"))
    # The same picture as a run-length encoded TGA; its own base name keeps
    # its atlas apart from wall.bmp's.
    img.save(os.path.join(out, "wall-tga.tga"), compression="tga_rle")
    # The same picture as 24-bit PCX; its own base name keeps the two atlases apart.
    img.save(os.path.join(out, "wall-pcx.pcx"))
    # The same picture as a GIF, reduced to 256 colours. Its own base name
    # keeps its atlas apart from wall.bmp's.
    img.quantize(256).save(os.path.join(out, "wall-gif.gif"))


if __name__ == "__main__":
    main()

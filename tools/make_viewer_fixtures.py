#!/usr/bin/env python3
"""Makes the viewer's test files: a checkerboard source, its rip and mip
atlases made by the tool, and a manifest for each written from the README's
layout rules (rip: block (i, j) at the sums of the widths before i and the
heights before j; mip: level k at the sum of the widths before it, top row).

    tools/make_viewer_fixtures.py TOOL OUTDIR

writes OUTDIR/checker.png, OUTDIR/rip/checker_mip.{png,json} and
OUTDIR/mip/checker_mip.{png,json}. The checkerboard's cells are 2 texels
across and 16 down: fine along u, and still there after the halvings down
that a plane tilted about the horizontal axis asks for.
"""
import hashlib
import json
import os
import struct
import subprocess
import sys
import zlib

SOURCE_SIZE = 128
CELL = (2, 16)
EDGE = "wrap"


def png_bytes(width, height, rows):
    """An 8-bit RGB PNG of `rows` (each width * 3 bytes), unfiltered."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    return struct.unpack(">II", head[16:24])


def checker_rows(width, height, cell):
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            row += b"\xff\xff\xff" if (x // cell[0] + y // cell[1]) % 2 == 0 else b"\0\0\0"
        rows.append(bytes(row))
    return rows


def halvings(n):
    sizes = [n]
    while sizes[-1] > 1:
        sizes.append(max(1, sizes[-1] // 2))
    return sizes


def starts(sizes):
    return [sum(sizes[:k]) for k in range(len(sizes))]


def rip_blocks(width, height):
    ws, hs = halvings(width), halvings(height)
    xs, ys = starts(ws), starts(hs)
    return [{"across": i, "down": j, "x": xs[i], "y": ys[j], "width": ws[i], "height": hs[j]}
            for j in range(len(hs)) for i in range(len(ws))]


def mip_blocks(width, height):
    count = max(len(halvings(width)), len(halvings(height)))
    ws = [max(1, width >> k) for k in range(count)]
    xs = starts(ws)
    return [{"across": k, "down": k, "x": xs[k], "y": 0, "width": ws[k], "height": max(1, height >> k)}
            for k in range(count)]


def manifest(source_path, atlas_path, layout, edge):
    with open(source_path, "rb") as f:
        source = f.read()
    width, height = png_size(source_path)
    atlas_width, atlas_height = png_size(atlas_path)
    blocks = rip_blocks(width, height) if layout == "rip" else mip_blocks(width, height)
    across = max(b["across"] for b in blocks) + 1
    down = max(b["down"] for b in blocks) + 1
    return {
        "tool": "orvandel",
        "version": "2.0",
        "options": {"layout": layout, "filter": "box", "colour": "srgb", "edge": edge, "normal": False,
                    "coverage": 0, "alpha": "keep", "padding": 0},
        "source": {"file": os.path.basename(source_path), "width": width, "height": height,
                   "sha256": hashlib.sha256(source).hexdigest()},
        "atlas": {"file": os.path.basename(atlas_path), "width": atlas_width, "height": atlas_height,
                  "layout": layout, "container": "png", "pixel_format": "rgb8", "colour_space": "srgb",
                  "alpha": False, "padding": 0, "alignment": 1, "edge": edge,
                  "levels_across": across, "levels_down": down},
        "blocks": blocks,
    }


def make(tool, outdir):
    """The fixture set in `outdir`; returns {layout: (atlas path, manifest path)}."""
    os.makedirs(outdir, exist_ok=True)
    source = os.path.join(outdir, "checker.png")
    with open(source, "wb") as f:
        f.write(png_bytes(SOURCE_SIZE, SOURCE_SIZE, checker_rows(SOURCE_SIZE, SOURCE_SIZE, CELL)))
    made = {}
    for layout in ("rip", "mip"):
        folder = os.path.join(outdir, layout)
        subprocess.run([tool, "-q", "-f", "png", "-l", layout, "--edge", EDGE, "-o", folder, source], check=True)
        atlas = os.path.join(folder, "checker_mip.png")
        path = os.path.join(folder, "checker_mip.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(manifest(source, atlas, layout, EDGE), f, indent=2)
            f.write("\n")
        made[layout] = (atlas, path)
    return made


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    for layout, paths in make(sys.argv[1], sys.argv[2]).items():
        print(layout, *paths)

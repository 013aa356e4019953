#!/usr/bin/env python3
"""Makes the viewer's test files: a checkerboard source, its rip and mip
atlases made by the tool, and a manifest for each written from the README's
layout rules (rip: block (i, j) at the sums of the widths before i and the
heights before j; mip: level k at the sum of the widths before it, top row).

    tools/make_viewer_fixtures.py TOOL OUTDIR

writes OUTDIR/checker.png, OUTDIR/rip/checker_mip.{png,json},
OUTDIR/mip/checker_mip.{png,json} and OUTDIR/bmp/checker_mip.{bmp,json} (the
rip atlas as a BMP), and OUTDIR/tool/checker_mip.{png,json}: the tool's own
manifest (--manifest) of the atlas with 2 texels of mirrored padding. The checkerboard's cells are 2 texels
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


def read_png(path):
    """(width, height, rows of (r, g, b) tuples) of an 8-bit RGB or RGBA PNG."""
    with open(path, "rb") as f:
        data = f.read()
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or colour not in (2, 6) or interlace:
                raise ValueError(f"{path}: not an 8-bit RGB or RGBA PNG")
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    step = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(idat), width * step
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, previous))
        elif kind in (1, 3, 4):
            for i in range(stride):
                a = line[i - step] if i >= step else 0
                b, c = previous[i], previous[i - step] if i >= step else 0
                if kind == 1:
                    line[i] = (line[i] + a) & 255
                elif kind == 3:
                    line[i] = (line[i] + (a + b) // 2) & 255
                else:
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, step)])
        previous = line
    return width, height, rows


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


def edge_index(i, n, edge):
    """A texel index outside [0, n) as the edge mode maps it (mirror: the
    half-sample mirror, the edge texel repeated once)."""
    if 0 <= i < n:
        return i
    if edge == "wrap":
        return i % n
    if edge == "mirror":
        m = i % (2 * n)
        return m if m < n else 2 * n - 1 - m
    return min(max(i, 0), n - 1)


def pad_rip_atlas(rows, blocks, padding, edge):
    """The rip atlas `rows` (rows of (r, g, b)) laid out again with `padding`
    texels around every block, filled as the edge mode says; returns
    (width, height, rows, blocks)."""
    widths = [b["width"] for b in blocks if b["down"] == 0]
    heights = [b["height"] for b in blocks if b["across"] == 0]
    xs = [padding + x for x in starts([w + 2 * padding for w in widths])]
    ys = [padding + y for y in starts([h + 2 * padding for h in heights])]
    width, height = sum(widths) + 2 * padding * len(widths), sum(heights) + 2 * padding * len(heights)
    out = [[(0, 0, 0)] * width for _ in range(height)]
    placed = []
    for b in blocks:
        x, y = xs[b["across"]], ys[b["down"]]
        for j in range(-padding, b["height"] + padding):
            source = rows[b["y"] + edge_index(j, b["height"], edge)]
            target = out[y + j]
            for i in range(-padding, b["width"] + padding):
                target[x + i] = source[b["x"] + edge_index(i, b["width"], edge)]
        placed.append(dict(b, x=x, y=y))
    return width, height, out, placed


def padded_copy(atlas, manifest_path, padding, folder):
    """A padded copy of a rip atlas and its manifest in `folder`; returns
    (atlas path, manifest path)."""
    with open(manifest_path, encoding="utf-8") as f:
        described = json.load(f)
    _, _, rows = read_png(atlas)
    edge = described["atlas"]["edge"]
    width, height, padded, blocks = pad_rip_atlas(rows, described["blocks"], padding, edge)
    os.makedirs(folder, exist_ok=True)
    out = os.path.join(folder, os.path.basename(atlas))
    with open(out, "wb") as f:
        f.write(png_bytes(width, height, [bytes(c for p in row for c in p) for row in padded]))
    described["options"]["padding"] = padding
    described["atlas"].update(width=width, height=height, padding=padding)
    described["blocks"] = blocks
    path = os.path.join(folder, os.path.basename(manifest_path))
    with open(path, "w", encoding="utf-8") as f:
        json.dump(described, f, indent=2)
        f.write("\n")
    return out, path


def manifest(source_path, atlas_path, layout, edge, size):
    with open(source_path, "rb") as f:
        source = f.read()
    width, height = png_size(source_path)
    atlas_width, atlas_height = size
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
                  "layout": layout, "container": os.path.splitext(atlas_path)[1][1:], "pixel_format": "rgb8", "colour_space": "srgb",
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
    for name, layout, container in (("rip", "rip", "png"), ("mip", "mip", "png"), ("bmp", "rip", "bmp")):
        folder = os.path.join(outdir, name)
        subprocess.run([tool, "-q", "-f", container, "-l", layout, "--edge", EDGE, "-o", folder, source], check=True)
        atlas = os.path.join(folder, "checker_mip." + container)
        with open(atlas, "rb") as f:
            head = f.read(26)
        # PNG: IHDR's big-endian size; BMP: the info header's little-endian one (height negative when top-down).
        size = struct.unpack(">II", head[16:24]) if container == "png" else struct.unpack("<ii", head[18:26])
        path = os.path.join(folder, "checker_mip.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(manifest(source, atlas, layout, EDGE, (size[0], abs(size[1]))), f, indent=2)
            f.write("\n")
        made[name] = (atlas, path)
    # The tool's own manifest, of a padded atlas.
    folder = os.path.join(outdir, "tool")
    subprocess.run([tool, "-q", "--manifest", "-f", "png", "--padding", "2", "--edge", "mirror", "-o", folder, source],
                   check=True)
    made["tool"] = (os.path.join(folder, "checker_mip.png"), os.path.join(folder, "checker_mip.json"))
    return made


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    for layout, paths in make(sys.argv[1], sys.argv[2]).items():
        print(layout, *paths)

#!/usr/bin/env python3
"""Checks the manifests the tool writes for several option sets: against
docs/manifest.schema.json, the source's SHA-256 (hashlib), the atlas file
(its size; for BMP atlases block (0, 0) of a box-filtered atlas is the
source and every padding texel the edge mode's texel) and the rectangles
(inside, disjoint when padded, aligned, ordered, of the halvings' sizes).

    tools/check_manifests.py ORVANDEL_BINARY [ROOT]

Exit status 1 when one does not hold, 77 (skipped) without python3-jsonschema.
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed: skipped")
    sys.exit(77)

OPTION_SETS = [
    [],
    ["-l", "mip"],
    ["--padding", "3", "--edge", "wrap"],
    ["--padding", "2", "--edge", "mirror", "-l", "mip"],
    ["--padding", "5", "--filter", "kaiser"],
    ["--filter", "classic"],
    ["--filter", "classic", "-l", "mip"],
    ["-f", "png", "--padding", "1"],
    ["-f", "png", "-l", "mip", "--colour", "linear", "--padding", "64"],
]


def read_bmp(path):
    """Pixels of an uncompressed 24- or 32-bit BMP as rows of (r, g, b) tuples, top row first."""
    data = open(path, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    bits, = struct.unpack_from("<H", data, 28)
    step = bits // 8
    stride = (width * step + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        stored = abs(height) - 1 - y if height > 0 else y
        base = offset + stored * stride
        rows.append([tuple(data[base + step * x + k] for k in (2, 1, 0)) for x in range(width)])
    return rows


def png_size(path):
    data = open(path, "rb").read(24)
    return struct.unpack(">II", data[16:24])


def edge_index(edge, i, n):
    if 0 <= i < n:
        return i
    if edge == "clamp":
        return 0 if i < 0 else n - 1
    if edge == "wrap":
        return i % n
    k = i % (2 * n)
    return k if k < n else 2 * n - 1 - k


def halvings(n):
    sizes = [n]
    while sizes[-1] > 1:
        sizes.append(sizes[-1] // 2)
    return sizes


def check_rectangles(m, fail):
    atlas, blocks = m["atlas"], m["blocks"]
    p, a = atlas["padding"], atlas["alignment"]
    widths, heights = halvings(m["source"]["width"]), halvings(m["source"]["height"])
    if atlas["layout"] == "rip":
        expected = [(i, j) for j in range(atlas["levels_down"]) for i in range(atlas["levels_across"])]
    else:
        expected = [(k, k) for k in range(atlas["levels_across"])]
    if [(b["across"], b["down"]) for b in blocks] != expected:
        fail("blocks are not one per (across, down) in order")
    padded = []
    for b in blocks:
        w = widths[min(b["across"], len(widths) - 1)]
        h = heights[min(b["down"], len(heights) - 1)]
        if (b["width"], b["height"]) != (w, h):
            fail(f"block {b} is not {w} x {h}")
        if b["x"] % a or b["y"] % a:
            fail(f"block {b} does not start on a multiple of {a}")
        r = (b["x"] - p, b["y"] - p, b["x"] + b["width"] + p, b["y"] + b["height"] + p)
        if r[0] < 0 or r[1] < 0 or r[2] > atlas["width"] or r[3] > atlas["height"]:
            fail(f"padded block {b} leaves the atlas")
        padded.append(r)
    for i, r in enumerate(padded):
        for s in padded[i + 1:]:
            if r[0] < s[2] and s[0] < r[2] and r[1] < s[3] and s[1] < r[3]:
                fail(f"padded blocks {r} and {s} overlap")


def check_pixels(m, atlas_path, source_path, fail):
    rows = read_bmp(atlas_path)
    if (len(rows[0]), len(rows)) != (m["atlas"]["width"], m["atlas"]["height"]):
        fail("the atlas file's size is not the manifest's")
        return
    p, edge = m["atlas"]["padding"], m["atlas"]["edge"]
    if m["options"]["filter"] == "box":
        source = read_bmp(source_path)
        b = m["blocks"][0]
        if any(rows[b["y"] + y][b["x"]:b["x"] + b["width"]] != source[y] for y in range(b["height"])):
            fail("block (0, 0) is not the source")
    for b in m["blocks"]:
        for y in range(-p, b["height"] + p):
            for x in range(-p, b["width"] + p):
                if 0 <= x < b["width"] and 0 <= y < b["height"]:
                    continue
                want = rows[b["y"] + edge_index(edge, y, b["height"])][b["x"] + edge_index(edge, x, b["width"])]
                if rows[b["y"] + y][b["x"] + x] != want:
                    fail(f"padding texel ({x}, {y}) of block {b['across']}, {b['down']} is not the {edge} texel")
                    return


def main():
    binary = sys.argv[1]
    root = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), ".."))
    schema = json.load(open(os.path.join(root, "docs", "manifest.schema.json")))
    validator = jsonschema.Draft202012Validator(schema)
    source = os.path.join(root, "samples", "wall.bmp")
    digest = hashlib.sha256(open(source, "rb").read()).hexdigest()
    failures = []
    work = tempfile.mkdtemp()
    try:
        for number, options in enumerate(OPTION_SETS):
            out = os.path.join(work, str(number))
            run = subprocess.run([binary, "-q", "--manifest", "-o", out] + options + [source],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)

            def fail(text, options=options):
                failures.append(f"{' '.join(options) or '(defaults)'}: {text}")

            if run.returncode != 0:
                fail(f"status {run.returncode}: {run.stderr.decode(errors='replace')}")
                continue
            m = json.load(open(os.path.join(out, "wall_mip.json"), encoding="utf-8"))
            for error in validator.iter_errors(m):
                fail(f"schema: {error.message} at {list(error.absolute_path)}")
            if m["source"]["sha256"] != digest or m["source"]["file"] != "wall.bmp":
                fail("the source's name or SHA-256 is not the file's")
            atlas_path = os.path.join(out, m["atlas"]["file"])
            if m["atlas"]["container"] == "png":
                if png_size(atlas_path) != (m["atlas"]["width"], m["atlas"]["height"]):
                    fail("the atlas file's size is not the manifest's")
            else:
                check_pixels(m, atlas_path, source, fail)
            check_rectangles(m, fail)
    finally:
        shutil.rmtree(work)
    for line in failures:
        print(line)
    print(f"{len(OPTION_SETS)} manifests checked, {len(failures)} faults")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks the manifests the tool writes for several option sets: against
docs/manifest.schema.json, the source's SHA-256 (hashlib), the atlas file
(its size; for BMP and uncompressed DDS/KTX2 atlases every padding texel is
the edge mode's texel, and block (0, 0) of a box-filtered atlas of the BMP
source is the source; for DDS and KTX2 the format and level sizes in the
header; for OpenEXR the size and level mode in the header) and the
rectangles (inside, disjoint when padded, aligned, ordered, of the halvings'
sizes; with a block format no compressed block touches two padded blocks).
A float source (OpenEXR) gives the half-float and OpenEXR cases.

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
    ["-f", "dds", "--padding", "3", "--edge", "mirror"],
    ["-f", "ktx2", "--padding", "6", "--edge", "wrap", "--colour", "linear"],
    ["-f", "dds", "-c", "bc7", "--padding", "2", "--quality", "fast"],
    ["-f", "ktx2", "-c", "astc6x6", "--padding", "5", "--quality", "fast"],
    ["-f", "ktx2", "-c", "bc4", "-l", "mip"],
    ["-f", "dds", "-l", "mip", "--normal"],
]
# With the float source: its own levels (OpenEXR) and half-float textures.
FLOAT_OPTION_SETS = [
    ["-f", "exr"],
    ["-f", "exr", "-l", "mip", "--exr-type", "float", "--edge", "wrap"],
    ["-f", "dds", "--padding", "2", "--edge", "mirror"],
    ["-f", "ktx2", "-l", "mip", "--zstd", "3"],
]
FLOAT_SOURCE = os.path.join("tests", "data", "float", "tiled-half-rgba.exr")

# Header format numbers (DXGI_FORMAT, VkFormat) -> (pixel_format, colour_space).
DXGI_FORMATS = {10: ("rgba16f", "linear"), 28: ("rgba8", "linear"), 29: ("rgba8", "srgb"), 71: ("bc1", "linear"), 72: ("bc1", "srgb"),
                77: ("bc3", "linear"), 78: ("bc3", "srgb"), 80: ("bc4", "linear"), 83: ("bc5", "linear"),
                98: ("bc7", "linear"), 99: ("bc7", "srgb")}
VK_FORMATS = {97: ("rgba16f", "linear"), 37: ("rgba8", "linear"), 43: ("rgba8", "srgb"), 131: ("bc1", "linear"), 132: ("bc1", "srgb"),
              133: ("bc1", "linear"), 134: ("bc1", "srgb"), 137: ("bc3", "linear"), 138: ("bc3", "srgb"),
              139: ("bc4", "linear"), 141: ("bc5", "linear"), 145: ("bc7", "linear"), 146: ("bc7", "srgb")}
for first, n in ((157, 4), (161, 5), (165, 6), (171, 8)):
    VK_FORMATS[first] = (f"astc{n}x{n}", "linear")
    VK_FORMATS[first + 1] = (f"astc{n}x{n}", "srgb")
BLOCK_SIZE = {"rgba8": 1, "rgba16f": 1, "bc1": 4, "bc3": 4, "bc4": 4, "bc5": 4, "bc7": 4,
              "astc4x4": 4, "astc5x5": 5, "astc6x6": 6, "astc8x8": 8}


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


def read_gpu_header(path):
    """(format words, width, height, levels, offset of level 0's texels) of a DDS (DX10) or KTX2 file."""
    data = open(path, "rb").read()
    if data[:4] == b"DDS ":
        height, width = struct.unpack_from("<II", data, 12)
        levels, = struct.unpack_from("<I", data, 28)
        dxgi, = struct.unpack_from("<I", data, 128)
        return DXGI_FORMATS.get(dxgi), width, height, max(levels, 1), 148, data
    vk_format, = struct.unpack_from("<I", data, 12)
    width, height = struct.unpack_from("<II", data, 20)
    levels, = struct.unpack_from("<I", data, 40)
    offset, = struct.unpack_from("<Q", data, 80)  # level 0 comes first in the level index
    return VK_FORMATS.get(vk_format), width, height, max(levels, 1), offset, data


def texel_rows(data, offset, width, height, size):
    """Rows of texels, each its bytes (colour only for 4-byte texels, as a BMP has it)."""
    kept = 3 if size == 4 else size
    return [[tuple(data[offset + size * (y * width + x) + k] for k in range(kept)) for x in range(width)]
            for y in range(height)]


def check_exr_file(m, path, fail):
    """The header's data window and level mode against the manifest."""
    data = open(path, "rb").read()
    if data[:4] != b"\x76\x2f\x31\x01":
        fail("the atlas is not an OpenEXR file")
        return
    at, attributes = 8, {}
    while data[at] != 0:
        name_end = data.index(b"\0", at)
        type_end = data.index(b"\0", name_end + 1)
        size, = struct.unpack_from("<i", data, type_end + 1)
        attributes[data[at:name_end].decode()] = data[type_end + 5:type_end + 5 + size]
        at = type_end + 5 + size
    x0, y0, x1, y1 = struct.unpack("<4i", attributes["dataWindow"])
    atlas = m["atlas"]
    if (x1 - x0 + 1, y1 - y0 + 1) != (atlas["width"], atlas["height"]):
        fail("the OpenEXR file's size is not the manifest's")
    mode = attributes["tiles"][8] & 15  # 1: MIPMAP_LEVELS, 2: RIPMAP_LEVELS
    if mode != (2 if atlas["layout"] == "rip" else 1):
        fail(f"the OpenEXR file's level mode is {mode}")


def check_gpu_file(m, path, fail):
    """The header against the manifest; level 0's texels as rows when uncompressed, else None."""
    atlas = m["atlas"]
    words, width, height, levels, offset, data = read_gpu_header(path)
    if words != (atlas["pixel_format"], atlas["colour_space"]):
        fail(f"the file's format is {words}, not the manifest's")
    if (width, height) != (atlas["width"], atlas["height"]):
        fail("the file's size is not the manifest's")
    chain = atlas["layout"] == "mip"
    if levels != (len(m["blocks"]) if chain else 1):
        fail(f"the file has {levels} levels")
    for k, b in enumerate(m["blocks"] if chain else []):
        if (b["x"], b["y"], b["width"], b["height"]) != (0, 0, max(1, width >> k), max(1, height >> k)):
            fail(f"block {b} is not level {k} of the file")
    if atlas["alignment"] != BLOCK_SIZE.get(atlas["pixel_format"]):
        fail(f"alignment {atlas['alignment']} is not the block size of {atlas['pixel_format']}")
    if not words or words[0] not in ("rgba8", "rgba16f") or chain:
        return None
    return texel_rows(data, offset, width, height, 4 if words[0] == "rgba8" else 8)


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
    # A level each, not one picture.
    chain = atlas["container"] == "exr" or (atlas["container"] in ("dds", "ktx2") and atlas["layout"] == "mip")
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
    # The padded rectangles grown out to the a x a grid: one compressed block never holds texels of two.
    grid = [(r[0] // a * a, r[1] // a * a, -(-r[2] // a) * a, -(-r[3] // a) * a) for r in padded]
    for i, r in enumerate([] if chain else grid):
        for s in grid[i + 1:]:
            if r[0] < s[2] and s[0] < r[2] and r[1] < s[3] and s[1] < r[3]:
                fail(f"padded blocks {r} and {s} share a {a} x {a} cell")


def check_pixels(m, rows, source_path, fail):
    if (len(rows[0]), len(rows)) != (m["atlas"]["width"], m["atlas"]["height"]):
        fail("the atlas file's size is not the manifest's")
        return
    p, edge = m["atlas"]["padding"], m["atlas"]["edge"]
    if m["options"]["filter"] == "box" and source_path.endswith(".bmp"):
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
    failures = []
    work = tempfile.mkdtemp()
    try:
        runs = [(o, os.path.join(root, "samples", "wall.bmp")) for o in OPTION_SETS]
        runs += [(o, os.path.join(root, FLOAT_SOURCE)) for o in FLOAT_OPTION_SETS]
        for number, (options, source) in enumerate(runs):
            out = os.path.join(work, str(number))
            run = subprocess.run([binary, "-q", "--manifest", "-o", out] + options + [source],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)

            def fail(text, options=options):
                failures.append(f"{' '.join(options) or '(defaults)'}: {text}")

            if run.returncode != 0:
                fail(f"status {run.returncode}: {run.stderr.decode(errors='replace')}")
                continue
            stem = os.path.splitext(os.path.basename(source))[0]
            m = json.load(open(os.path.join(out, stem + "_mip.json"), encoding="utf-8"))
            for error in validator.iter_errors(m):
                fail(f"schema: {error.message} at {list(error.absolute_path)}")
            digest = hashlib.sha256(open(source, "rb").read()).hexdigest()
            if m["source"]["sha256"] != digest or m["source"]["file"] != os.path.basename(source):
                fail("the source's name or SHA-256 is not the file's")
            atlas_path = os.path.join(out, m["atlas"]["file"])
            container = m["atlas"]["container"]
            if container == "png":
                if png_size(atlas_path) != (m["atlas"]["width"], m["atlas"]["height"]):
                    fail("the atlas file's size is not the manifest's")
            elif container == "exr":
                check_exr_file(m, atlas_path, fail)
            elif container in ("dds", "ktx2"):
                rows = check_gpu_file(m, atlas_path, fail)
                if rows:
                    check_pixels(m, rows, source, fail)
            else:
                check_pixels(m, read_bmp(atlas_path), source, fail)
            check_rectangles(m, fail)
    finally:
        shutil.rmtree(work)
    for line in failures:
        print(line)
    print(f"{len(OPTION_SETS) + len(FLOAT_OPTION_SETS)} manifests checked, {len(failures)} faults")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

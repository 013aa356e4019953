#!/usr/bin/env python3
"""Runs two orvandel binaries over the same textures in every mode and says
where their results differ: the atlas bytes, the exit status and the console
text (timings left out). For changes that must keep every output as it was.

    tools/compare_outputs.py OLD_BINARY NEW_BINARY [TEXTURE_DIR...]

Without directories: samples/, tests/data/ and ../shared/corpus (where it
exists). Exit status 0 when nothing differs, 1 otherwise. PNG atlases whose
bytes differ are decoded here (Python's zlib and the PNG row filters, a
decoder of its own) and count as the same when their pixels are: the default
compression may change, the picture may not.
"""
import concurrent.futures
import os
import re
import subprocess
import sys
import struct
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SUFFIXES = (".bmp", ".pcx", ".gif", ".tga", ".png", ".jpg", ".jpeg")

# Classic runs: (name, extra arguments after the texture).
CLASSIC = [("classic-rip", []), ("classic-mip", ["ord"])]
# Modern runs: options before the texture.
MODERN = [
    ["-l", "rip"], ["-l", "mip"], ["-l", "rip", "-f", "png"], ["-l", "mip", "-f", "png", "--png-level", "1"],
    ["-l", "mip", "-f", "dds"], ["--filter", "kaiser"], ["--filter", "kaiser", "--edge", "wrap", "-l", "mip"],
    ["--filter", "kaiser", "--edge", "mirror"], ["--filter", "classic"], ["--filter", "classic", "-l", "mip"],
    ["--colour", "linear"], ["--alpha", "drop"], ["--normal", "-l", "mip"], ["--coverage", "0.5"],
    ["--filter", "kaiser", "--coverage", "0.3", "-l", "mip", "-f", "dds"], ["-j", "1", "--max-pixels", "4096"],
]
TIME = re.compile(rb", [0-9.]+ s$", re.M)


def textures(dirs):
    for d in dirs:
        for base, _, files in os.walk(d):
            for f in sorted(files):
                if f.lower().endswith(SUFFIXES) and "_mip." not in f:
                    yield os.path.join(base, f)


def run(binary, args, texture, work):
    os.makedirs(work, exist_ok=True)
    link = os.path.join(work, "t" + os.path.splitext(texture)[1])
    with open(texture, "rb") as src, open(link, "wb") as dst:
        dst.write(src.read())
    p = subprocess.run([binary] + args[0] + [os.path.basename(link)] + args[1], cwd=work, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=600)
    outputs = {}
    for f in sorted(os.listdir(work)):
        if f != os.path.basename(link):
            with open(os.path.join(work, f), "rb") as fh:
                outputs[f] = fh.read()
            os.unlink(os.path.join(work, f))
    os.unlink(link)
    return p.returncode, TIME.sub(b"", p.stdout), p.stderr, outputs


def png_pixels(data):
    """(width, height, colour type, unfiltered rows) of an 8 or 16-bit RGB or RGBA PNG, or None."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    at, idat, header = 8, b"", None
    while at + 12 <= len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if zlib.crc32(kind + body) != struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0]:
            return None
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height, depth, colour = header[:4]
    if depth not in (8, 16) or colour not in (2, 6):
        return None
    bpp = (3 if colour == 2 else 4) * depth // 8
    raw, line = zlib.decompress(idat), width * bpp
    rows, prior = [], bytearray(line)
    for y in range(height):
        kind, row = raw[y * (line + 1)], bytearray(raw[y * (line + 1) + 1:(y + 1) * (line + 1)])
        for i in range(line):
            a = row[i - bpp] if i >= bpp else 0
            b, c = prior[i], prior[i - bpp] if i >= bpp else 0
            if kind == 1:
                row[i] = (row[i] + a) & 255
            elif kind == 2:
                row[i] = (row[i] + b) & 255
            elif kind == 3:
                row[i] = (row[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                row[i] = (row[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(row))
        prior = row
    return width, height, colour, b"".join(rows)


def same_outputs(x, y):
    if x.keys() != y.keys():
        return False
    return all(x[f] == y[f] or (f.endswith(".png") and png_pixels(x[f]) is not None and
                                png_pixels(x[f]) == png_pixels(y[f])) for f in x)


def compare(old, new, texture, mode, args, scratch):
    a = run(old, args, texture, os.path.join(scratch, "old"))
    b = run(new, args, texture, os.path.join(scratch, "new"))
    if a[:3] == b[:3] and same_outputs(a[3], b[3]):
        return None
    return None if a == b else f"{mode}: {texture}: " + ", ".join(
        what for what, x, y in zip(("status", "stdout", "stderr", "files"), a, b) if x != y)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    old, new = (os.path.abspath(p) for p in sys.argv[1:3])
    dirs = sys.argv[3:] or [d for d in (os.path.join(ROOT, "samples"), os.path.join(ROOT, "tests", "data"),
                                        os.path.join(ROOT, "..", "shared", "corpus")) if os.path.isdir(d)]
    modes = [(name, ([], extra)) for name, extra in CLASSIC] + [(" ".join(m), (m, [])) for m in MODERN]
    jobs = [(t, name, args) for t in textures(dirs) for name, args in modes]
    differences = []
    with tempfile.TemporaryDirectory() as scratch, concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        futures = [pool.submit(compare, old, new, t, name, args, os.path.join(scratch, str(i)))
                   for i, (t, name, args) in enumerate(jobs)]
        for f in futures:
            if f.result():
                differences.append(f.result())
    for d in differences:
        print(d)
    print(f"{len(jobs)} runs of each binary, {len(differences)} differ")
    sys.exit(1 if differences else 0)


if __name__ == "__main__":
    main()

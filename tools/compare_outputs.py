#!/usr/bin/env python3
"""Runs two orvandel binaries over the same textures in every mode and says
where their results differ: the atlas bytes, the exit status and the console
text (timings left out). For changes that must keep every output as it was.

    tools/compare_outputs.py OLD_BINARY NEW_BINARY [TEXTURE_DIR...]

Without directories: samples/, tests/data/ and ../shared/corpus (where it
exists). Exit status 0 when nothing differs, 1 otherwise.
"""
import concurrent.futures
import os
import re
import subprocess
import sys
import tempfile

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


def compare(old, new, texture, mode, args, scratch):
    a = run(old, args, texture, os.path.join(scratch, "old"))
    b = run(new, args, texture, os.path.join(scratch, "new"))
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

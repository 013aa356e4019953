#!/usr/bin/python3
"""Makes the progressive JPEG files of many scans in tests/data/jpeg/ with
libjpeg-turbo's cjpeg (Debian: libjpeg-turbo-progs) and scan scripts: each
component's AC coefficients split into single-coefficient bands, so the scan
count is whatever the script says. A restart marker after every block and a
noisy picture put RSTn markers and stuffed 0xFF 0x00 bytes in the scan data,
which the reader's scan count must step over.

  grey_scans32_16x16.jpg    1 component, 32 scans: the most the reader takes
  grey_scans33_16x16.jpg    1 component, 33 scans: declined
  colour_scans96_16x16.jpg  3 components, 96 scans: taken
  colour_scans97_16x16.jpg  3 components, 97 scans: declined
"""
import os
import random
import subprocess
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "jpeg")
SIZE = 16


def bands(component, count):
    """`count` AC scans of one component: single coefficients, then the rest."""
    lines = ["%d: %d %d 0 0;" % (component, k, k) for k in range(1, count)]
    lines.append("%d: %d 63 0 0;" % (component, count))
    return lines


def make(name, components, ac_scans):
    rnd = random.Random(name)
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "in.pnm")
        with open(source, "wb") as f:
            f.write(b"P%d\n%d %d\n255\n" % (5 if components == 1 else 6, SIZE, SIZE))
            f.write(bytes(rnd.randrange(256) for _ in range(SIZE * SIZE * components)))
        script = os.path.join(tmp, "scans.txt")
        lines = ["%s: 0 0 0 0;" % " ".join(str(c) for c in range(components))]
        for c, count in enumerate(ac_scans):
            lines += bands(c, count)
        with open(script, "w") as f:
            f.write("\n".join(lines) + "\n")
        out = os.path.join(ROOT, name)
        subprocess.run(["cjpeg", "-quality", "100", "-restart", "1B", "-scans", script, "-outfile", out, source],
                       check=True)
    data = open(out, "rb").read()
    assert data.count(b"\xff\xda") == len(lines), name
    assert b"\xff\x00" in data and b"\xff\xd0" in data, name


make("grey_scans32_16x16.jpg", 1, [31])
make("grey_scans33_16x16.jpg", 1, [32])
make("colour_scans96_16x16.jpg", 3, [32, 32, 31])
make("colour_scans97_16x16.jpg", 3, [32, 32, 32])

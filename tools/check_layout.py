#!/usr/bin/env python3
"""Checks that includes run one way through the stages a texture passes:
picture (the raster and its memory) and io (bytes in, whole-or-nothing
output) at the bottom, then the readers, builders and writers, which do not
know each other (the encoders, which turn pictures into GPU blocks, sit
below the writers that put those blocks in containers), then the command
lines; sampler/ (the header-only sampler users copy into their own
programs) includes nothing of ours. A file may include its own stage and
the stages below it, never a sibling or one above. tests/, bench/, fuzz/ and
tools/ may include anything.

    tools/check_layout.py [ROOT]

Prints each include that runs the wrong way; exit status 1 when there is one.
"""
import os
import re
import sys

# Stage -> the stages its files may include besides their own.
ALLOWED = {
    "picture": set(),
    "io": {"picture"},
    "readers": {"picture", "io"},
    "builders": {"picture", "io"},
    "encoders": {"picture", "io"},
    "writers": {"picture", "io", "encoders"},
    "cli": {"picture", "io", "readers", "builders", "encoders", "writers"},
    "sampler": set(),
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    wrong = []
    checked = 0
    for stage, allowed in ALLOWED.items():
        folder = os.path.join(root, stage)
        if not os.path.isdir(folder):
            wrong.append(f"{stage}/: missing")
            continue
        for base, _, files in os.walk(folder):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                checked += 1
                for target in INCLUDE.findall(text):
                    top = target.split("/")[0]
                    if "/" not in target or not os.path.exists(os.path.join(root, target)):
                        wrong.append(f"{os.path.relpath(path, root)}: \"{target}\" is not a project header by its path")
                    elif top != stage and top not in allowed:
                        wrong.append(f"{os.path.relpath(path, root)}: includes \"{target}\" ({stage} may not know {top})")
    for line in wrong:
        print(line)
    print(f"{checked} files checked, {len(wrong)} includes run the wrong way")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())

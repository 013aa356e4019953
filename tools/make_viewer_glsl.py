#!/usr/bin/env python3
"""Copies sampler/ripmap.glsl into viewer/ripmap.glsl.js as a JavaScript
string, so the viewer has the sampler's text when opened from file://, where
a page may not read files beside it. Run it after every change to the GLSL.

    tools/make_viewer_glsl.py [ROOT]
"""
import json
import os
import sys

PREFIX = "window.ORVANDEL_RIPMAP_GLSL = "


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    with open(os.path.join(root, "sampler", "ripmap.glsl"), "rb") as f:
        text = f.read().decode("utf-8")
    script = ("// Made by tools/make_viewer_glsl.py from sampler/ripmap.glsl: edit that file, then run the script.\n"
              + PREFIX + json.dumps(text) + ";\n")
    with open(os.path.join(root, "viewer", "ripmap.glsl.js"), "w", encoding="utf-8", newline="\n") as f:
        f.write(script)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The browser viewer's tests.

    viewer_test.py copy            viewer/ripmap.glsl.js carries sampler/ripmap.glsl unchanged
    viewer_test.py browser TOOL    the page in headless Chromium, on atlases TOOL makes

The browser test exits 77 (skipped) where no Chromium is installed.
"""
import concurrent.futures
import html.parser
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import make_viewer_fixtures as fixtures  # noqa: E402

SKIP = 77
WINDOW = (1280, 800)
BACKGROUND = (16, 18, 20)


def check(condition, text):
    if not condition:
        raise AssertionError(text)


def test_copy():
    with open(os.path.join(ROOT, "sampler", "ripmap.glsl"), "rb") as f:
        original = f.read()
    with open(os.path.join(ROOT, "viewer", "ripmap.glsl.js"), encoding="utf-8") as f:
        lines = [line for line in f if line.startswith("window.ORVANDEL_RIPMAP_GLSL = ")]
    check(len(lines) == 1, "viewer/ripmap.glsl.js sets window.ORVANDEL_RIPMAP_GLSL on one line")
    literal = lines[0].split(" = ", 1)[1].rstrip().rstrip(";")
    copy = json.loads(literal).encode("utf-8")
    check(copy == original, "viewer/ripmap.glsl.js differs from sampler/ripmap.glsl: run tools/make_viewer_glsl.py")


# ---- Chromium ------------------------------------------------------------

def chromium():
    for name in (os.environ.get("ORVANDEL_CHROMIUM"), "chromium", "chromium-browser"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


def page_address(atlas, manifest, **settings):
    query = "&".join([f"atlas={atlas}", f"manifest={manifest}"] + [f"{k}={v}" for k, v in settings.items()])
    return "file://" + os.path.join(ROOT, "viewer", "index.html") + "?" + query


def run_chromium(browser, profile, address, *what):
    command = [browser, "--headless", "--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
               "--allow-file-access-from-files", "--hide-scrollbars", f"--user-data-dir={profile}",
               f"--window-size={WINDOW[0]},{WINDOW[1]}", "--virtual-time-budget=5000", *what, address]
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    check(done.returncode == 0, f"chromium failed ({done.returncode}) on {address}")
    return done.stdout.decode("utf-8", "replace")


def is_outline(pixel):
    r, g, b = pixel
    return r > 220 and 170 < g < 235 and b < 80


def is_plane(pixel):
    return max(abs(p - q) for p, q in zip(pixel, BACKGROUND)) > 24


def check_outlines(rows, width, blocks):
    """Every block of at least 8 x 8 screen pixels has the outline colour on
    its four edges (within a pixel) and not at its middle."""
    found = [(x, y) for y, row in enumerate(rows) for x, p in enumerate(row[:width * 2 // 5]) if is_outline(p)]
    check(found, "no block outlines in the atlas panel")
    left, top = min(x for x, _ in found), min(y for _, y in found)
    right, bottom = max(x for x, _ in found) + 1, max(y for _, y in found) + 1
    origin = (min(b["x"] for b in blocks), min(b["y"] for b in blocks))
    extent = (max(b["x"] + b["width"] for b in blocks) - origin[0], max(b["y"] + b["height"] for b in blocks) - origin[1])
    scale = ((right - left) / extent[0], (bottom - top) / extent[1])
    check(abs(scale[0] - scale[1]) < 0.02, f"the atlas view keeps the atlas's shape (scales {scale})")

    def outline_near(x, y):
        return any(is_outline(rows[y + dy][x + dx]) for dx in (-1, 0, 1) for dy in (-1, 0, 1))

    checked = 0
    for b in blocks:
        x, y = b["x"] - origin[0], b["y"] - origin[1]
        x0, y0 = left + round(x * scale[0]), top + round(y * scale[1])
        x1, y1 = left + round((x + b["width"]) * scale[0]) - 1, top + round((y + b["height"]) * scale[1]) - 1
        if x1 - x0 < 8 or y1 - y0 < 8:
            continue
        mx, my = (x0 + x1) // 2, (y0 + y1) // 2
        for x, y in ((x0, my), (x1, my), (mx, y0), (mx, y1)):
            check(outline_near(x, y), f"block ({b['across']}, {b['down']}): no outline at screen {x}, {y}")
        check(not outline_near(mx, my), f"block ({b['across']}, {b['down']}): outline colour inside at {mx}, {my}")
        checked += 1
    check(checked >= 9, f"only {checked} blocks large enough to check")


def luminance_spread(rows, xs, ys):
    values = [sum(rows[y][x]) / 3 for y in ys for x in xs]
    mean = sum(values) / len(values)
    return mean, (sum((v - mean) ** 2 for v in values) / len(values)) ** 0.5


def check_plane(rows, width):
    """Both halves of the plane panel are drawn, and the rip-map half keeps
    more of the fine checkerboard's contrast across than the mip-map half."""
    start = width * 2 // 5 + 20
    marked = [(x, y) for y, row in enumerate(rows[60:], 60) for x in range(start, width) if is_plane(row[x])]
    counts = {}
    for x, y in marked:
        counts[y] = counts.get(y, 0) + 1
    plane_rows = [y for y, n in counts.items() if n > (width - start) // 2]
    check(len(plane_rows) > 40, f"the plane covers {len(plane_rows)} rows; expected a tilted plane")
    columns = [x for x, y in marked if y == plane_rows[len(plane_rows) // 2]]
    middle = (min(columns) + max(columns)) // 2
    band = plane_rows[len(plane_rows) // 3:2 * len(plane_rows) // 3]
    spreads = []
    for lo, hi in ((min(columns), middle), (middle, max(columns))):
        xs = range(lo + (hi - lo) // 5, hi - (hi - lo) // 5)
        spreads.append(luminance_spread(rows, xs, band))
    (rip_mean, rip_spread), (mip_mean, mip_spread) = spreads
    for name, mean in (("rip-map", rip_mean), ("mip-map", mip_mean)):
        check(90 < mean < 230, f"{name} half: mean {mean:.0f}, not a black and white checkerboard's average")
    check(rip_spread > 2 * mip_spread + 10,
          f"rip-map contrast {rip_spread:.1f} is not well above mip-map contrast {mip_spread:.1f}")
    return rip_spread, mip_spread


class Finder(html.parser.HTMLParser):
    """The text and attributes of the element with the given id."""
    def __init__(self, wanted):
        super().__init__()
        self.wanted, self.depth, self.attributes, self.text = wanted, 0, None, ""

    def handle_starttag(self, tag, attrs):
        if self.depth:
            self.depth += 1
        elif dict(attrs).get("id") == self.wanted:
            self.depth, self.attributes = 1, dict(attrs)

    def handle_endtag(self, tag):
        if self.depth:
            self.depth -= 1

    def handle_data(self, data):
        if self.depth:
            self.text += data


def edited(manifest_path, change):
    with open(manifest_path, encoding="utf-8") as f:
        manifest = json.load(f)
    change(manifest)
    return json.dumps(manifest)


def summary(manifest_path):
    """What the status line says of an accepted atlas: its file, layout and size."""
    with open(manifest_path, encoding="utf-8") as f:
        atlas = json.load(f)["atlas"]
    return f"{atlas['file']}: {atlas['layout']} atlas {atlas['width']} x {atlas['height']}"


def test_browser(tool):
    browser = chromium()
    if not browser:
        print("chromium is not installed: skipped (tools/install-deps.sh browser installs it)")
        return SKIP
    with tempfile.TemporaryDirectory() as scratch:
        made = fixtures.make(tool, os.path.join(scratch, "files"))
        atlas, manifest = made["rip"]
        pool = concurrent.futures.ThreadPoolExecutor(2)  # each run is mostly the browser starting

        # The atlas under each edge mode (a box filter's atlas is the same for
        # all three), unpadded and with 3 texels of padding.
        views = {}
        for edge in ("wrap", "mirror", "clamp"):
            folder = os.path.join(scratch, edge)
            os.makedirs(folder)
            plain = os.path.join(folder, os.path.basename(manifest))
            with open(plain, "w", encoding="utf-8") as f:
                f.write(edited(manifest, lambda m: m["atlas"].update(edge=edge)))
            views[edge] = (atlas, plain)
            views[edge + " padded"] = fixtures.padded_copy(atlas, plain, 3, os.path.join(folder, "padded"))
        views["mirror padded by the tool"] = made["tool"]

        def screenshot(name):
            shot = os.path.join(scratch, name.replace(" ", "-") + ".png")
            run_chromium(browser, os.path.join(scratch, "profile " + name),
                         page_address(*views[name], tilt=75, repeat=4), f"--screenshot={shot}")
            width, height, rows = fixtures.read_png(shot)
            check((width, height) == WINDOW, f"screenshot is {width} x {height}")
            return rows

        shots = dict(zip(views, pool.map(screenshot, views)))
        width = WINDOW[0]
        for name in ("wrap", "wrap padded", "mirror padded by the tool"):
            with open(views[name][1], encoding="utf-8") as f:
                check_outlines(shots[name], width, json.load(f)["blocks"])
        rip, mip = check_plane(shots["wrap"], width)
        print(f"outlines in place; contrast on the plane: rip-map {rip:.1f}, mip-map {mip:.1f}")

        # Padding holds what the edge mode gives, so the plane is sampled to
        # the same pixels with and without it; and each edge mode is honoured.
        def plane(name):  # the plane panel, below the captions
            return [row[width * 2 // 5 + 20:] for row in shots[name][120:]]

        pairs = [(edge, edge + " padded") for edge in ("wrap", "mirror", "clamp")]
        for plain, padded in pairs + [("mirror", "mirror padded by the tool")]:
            differ = sum(p != q for p, q in zip(plane(plain), plane(padded)))
            check(differ == 0, f"{differ} rows of the plane differ between '{plain}' and '{padded}'")
        for edge in ("mirror", "clamp"):
            check(plane(edge) != plane("wrap"), f"edge {edge}: the plane is drawn as with wrap")
        print("padded and unpadded atlases sampled alike under wrap, mirror and clamp, the tool's own included")

        with open(manifest, encoding="utf-8") as f:
            good = json.load(f)
        size, grid = good["atlas"], (good["atlas"]["levels_across"], good["atlas"]["levels_down"])
        last, second = good["blocks"][-1], good["blocks"][1]
        moved = dict(last, x=last["x"] + size["width"])
        cases = [  # (what, manifest text (None: as made), atlas, the error it shows (None: none), status)
            ("atlas of another size", edited(manifest, lambda m: m["atlas"].update(width=2 * size["width"])), atlas,
             f"describes a {2 * size['width']} x {size['height']} atlas but checker_mip.png is "
             f"{size['width']} x {size['height']}", ""),
            ("block outside the atlas", edited(manifest, lambda m: m["blocks"][-1].update(moved)), atlas,
             f"block ({grid[0] - 1}, {grid[1] - 1}) at {moved['x']}, {moved['y']}, 1 x 1 reaches past the "
             f"{size['width']} x {size['height']} atlas", ""),
            ("block missing", edited(manifest, lambda m: m["blocks"].pop()), atlas,
             f"lists {grid[0] * grid[1] - 1} blocks; a rip grid of {grid[0]} x {grid[1]} has {grid[0] * grid[1]}", ""),
            ("blocks out of order", edited(manifest, lambda m: m["blocks"].insert(0, m["blocks"].pop(1))), atlas,
             "entry 1 of \"blocks\" should be block (0, 0)", ""),
            ("block of the wrong size", edited(manifest, lambda m: m["blocks"][1].update(width=second["width"] - 4)),
             atlas, f"block (1, 0) is {second['width'] - 4} x {second['height']}; halving", ""),
            ("blocks overlapping", edited(manifest, lambda m: m["blocks"][1].update(x=second["x"] - 8)), atlas,
             "blocks (0, 0) and (1, 0) overlap", ""),
            ("container a browser cannot show", edited(manifest, lambda m: m["atlas"].update(container="dds")),
             atlas, "describes a DDS atlas", ""),
            ("not JSON", '{"atlas": ', atlas, "is not valid JSON", ""),
            ("not an image", None, manifest, "checker_mip.json is not an image", ""),
            ("mip atlas", None, made["mip"][0], None, summary(made["mip"][1])),
            ("BMP atlas", None, made["bmp"][0], None, summary(made["bmp"][1])),
        ]
        own_manifest = {atlas_path: manifest_path for atlas_path, manifest_path in made.values()}

        def run_case(number):
            what, text, atlas_path, expected, status = cases[number]
            manifest_path = own_manifest.get(atlas_path, manifest)
            if text is not None:
                manifest_path = os.path.join(scratch, f"case{number}_mip.json")
                with open(manifest_path, "w", encoding="utf-8") as f:
                    f.write(text)
            dom = run_chromium(browser, os.path.join(scratch, f"profile{number}"),
                               page_address(atlas_path, manifest_path), "--dump-dom")
            message, line = Finder("message"), Finder("status")
            message.feed(dom)
            line.feed(dom)
            check(message.attributes is not None, f"{what}: the page has no message element")
            shown = "hidden" not in message.attributes and message.attributes.get("class") == "error"
            check(shown == (expected is not None), f"{what}: error shown: {shown} ({message.text!r})")
            check(expected is None or expected in message.text,
                  f"{what}: the message says {message.text!r}, not {expected!r}")
            check(status in line.text, f"{what}: the status line says {line.text!r}, not {status!r}")
            check(("<title>Orvandel atlas viewer: error</title>" in dom) == shown, f"{what}: the title is wrong")

        list(pool.map(run_case, range(len(cases))))
        pool.shutdown()
        print(f"{len(cases)} manifests: the declined ones shown as errors")
    return 0


def main():
    try:
        if sys.argv[1:2] == ["copy"]:
            test_copy()
            return 0
        if sys.argv[1:2] == ["browser"] and len(sys.argv) == 3:
            return test_browser(sys.argv[2])
    except AssertionError as e:
        print("FAILED:", e)
        return 1
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())

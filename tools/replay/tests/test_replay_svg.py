"""The picture renders: rsvg-convert turns it into a PNG of the SVG's size,
with the night shaded where the replay says it was night, and every day and
night visible however short. Without rsvg-convert (Debian's librsvg2-bin) or
pngtopnm (netpbm), which turns the PNG into pixels, the module exits with
status 77, which CTest counts as skipped."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

from replay_support import run_replay, switches

RSVG = shutil.which("rsvg-convert")
PNGTOPNM = shutil.which("pngtopnm")
if not RSVG or not PNGTOPNM:
    sys.stderr.write("picture rendering tests skipped: needs rsvg-convert (librsvg2-bin) and pngtopnm (netpbm)\n")
    sys.exit(77)

SVG = "{http://www.w3.org/2000/svg}"
WHITE = (255, 255, 255)


class Picture:
    """The pixels of a PNG, read through netpbm's plain RGB format."""

    def __init__(self, png):
        ppm = subprocess.run([PNGTOPNM, png], capture_output=True, check=True, timeout=60).stdout
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
        self.size = (int(header.group(1)), int(header.group(2)))
        self.pixels = ppm[header.end():]

    def getpixel(self, xy):
        start = 3 * (xy[1] * self.size[0] + xy[0])
        return tuple(self.pixels[start:start + 3])

    def getdata(self):
        return zip(self.pixels[0::3], self.pixels[1::3], self.pixels[2::3])


class Rendering(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="lumenflip-replay-")
        self.addCleanup(self.tmp.cleanup)

    def render(self, csv, args):
        """(svg root, the rendered picture as RGB, the report)."""
        trace = os.path.join(self.tmp.name, "trace.csv")
        with open(trace, "w") as f:
            f.write(csv)
        svg = os.path.join(self.tmp.name, "trace.svg")
        png = os.path.join(self.tmp.name, "trace.png")
        status, out, err = run_replay(args + ["--svg", svg, trace])
        self.assertEqual(status, 0, out + err)
        subprocess.run([RSVG, "-o", png, svg], check=True, timeout=60, capture_output=True)
        root = ET.parse(svg).getroot()
        rgb = Picture(png)
        self.assertEqual(rgb.size, (int(root.get("width")), int(root.get("height"))))
        return root, rgb, out

    @staticmethod
    def shades(root, fill):
        return [tuple(float(r.get(k)) for k in ("x", "y", "width", "height"))
                for r in root.iter(SVG + "rect") if r.get("fill") == fill and float(r.get("y", "0")) > 0]

    def test_light_sensor_picture_renders_with_the_night_shaded(self):
        # Night from the third sample to the seventh, with a window of 1.
        values = [90, 90, 10, 10, 10, 10, 90, 90, 90, 90]
        root, rgb, _ = self.render("".join("%d,%d\n" % (10 * k, v) for k, v in enumerate(values)), ["-n", "1"])
        (x, y, w, h), = self.shades(root, "#25336b")
        night = rgb.getpixel((int(x + w / 2), int(y + 0.35 * h)))
        day = rgb.getpixel((int(x + w + 100), int(y + 0.35 * h)))
        self.assertEqual(day, WHITE)
        self.assertTrue(200 < night[0] < 240 and night[2] > night[0], night)
        ink = sum(1 for r, g, b in rgb.getdata() if r < 100 and b > 100)
        self.assertGreater(ink, 500, "the samples and the window mean are drawn")

    def test_a_day_of_one_sample_in_a_long_night_still_shows(self):
        # 5000 samples, each far less than a pixel: a car's headlights give
        # one sample of day in the night, and a shower cloud one of night.
        values = [90] * 1000 + [10] * 2000 + [90] + [10] * 1000 + [90] * 600 + [10] + [90] * 398
        root, rgb, out = self.render("".join("%d\n" % v for v in values), ["-n", "1"])
        self.assertEqual([(s, m) for s, _, m, _ in switches(out)],
                         [(1001, "night"), (3001, "day"), (3002, "night"), (4002, "day"), (4602, "night"),
                          (4603, "day")])
        (x, y, w, h), = self.shades(root, "white")
        self.assertGreaterEqual(w, 3.0)
        middle = int(y + 0.35 * h)
        # The samples' spike runs up its left edge: white beside it.
        self.assertEqual(rgb.getpixel((int(x + w - 1), middle)), WHITE)
        self.assertNotEqual(rgb.getpixel((int(x - 3), middle)), WHITE, "night on both sides")
        self.assertNotEqual(rgb.getpixel((int(x + w + 3), middle)), WHITE)
        nights = self.shades(root, "#25336b")
        self.assertEqual(len(nights), 3)
        x, y, w, h = nights[-1]
        self.assertGreaterEqual(w, 3.0)
        self.assertNotEqual(rgb.getpixel((int(x + w / 2), middle)), WHITE, "the one-sample night")

    def test_switches_too_close_to_tell_apart_are_counted(self):
        # 30 switches each way within 1% of the picture, two each way far away.
        values = [90] * 3000 + [10, 90] * 30 + [90] * 3000 + [10] * 1000 + [90] * 1000
        root, rgb, out = self.render("".join("%d\n" % v for v in values), ["-n", "1"])
        self.assertEqual(len(switches(out)), 62)
        counts = sorted(t.text for t in root.iter(SVG + "text") if t.get("font-size") == "10")
        self.assertEqual(counts, ["30", "30"])
        to_night = [p for p in root.iter(SVG + "path") if p.get("fill") == "#c0392b" and p.get("d", "").endswith("z")]
        to_day = [p for p in root.iter(SVG + "path") if p.get("fill") == "#d68910" and p.get("d", "").endswith("z")]
        tip = lambda p: float(p.get("d").split()[1])  # noqa: E731
        # Each kind in a row of its own, apart from the other's.
        self.assertEqual(len({tip(p) for p in to_night[1:]}), 1)
        self.assertEqual(len({tip(p) for p in to_day[1:]}), 1)
        self.assertGreaterEqual(tip(to_night[-1]) - tip(to_day[-1]), 8.0)

    def test_software_picture_renders_at_its_size(self):
        csv = "".join("%d,%d,%d\n" % (1300000 if k % 20 < 10 else 500000, 10, 5000) for k in range(60))
        root, rgb, _ = self.render(csv, ["-w", "0"])
        self.assertGreater(rgb.size[1], rgb.size[0] / 2, "three panels, one above the other")


if __name__ == "__main__":
    unittest.main()

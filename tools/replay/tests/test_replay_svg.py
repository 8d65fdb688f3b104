"""The picture renders: rsvg-convert turns it into a PNG of the SVG's size,
with the night shaded where the replay says it was night. Without
rsvg-convert (Debian's librsvg2-bin) the module exits with status 77,
which CTest counts as skipped."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib

from replay_support import run_replay

RSVG = shutil.which("rsvg-convert")
if not RSVG:
    sys.stderr.write("picture rendering tests skipped: rsvg-convert (librsvg2-bin) is not installed\n")
    sys.exit(77)

SVG = "{http://www.w3.org/2000/svg}"


def read_png(path):
    """(width, height, rows of (r, g, b) tuples) of an 8-bit RGB or RGBA PNG."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
    assert depth == 8 and colour in (2, 6) and interlace == 0, (depth, colour, interlace)
    n = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * n
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - n] if i >= n else 0
            b = previous[i]
            c = previous[i - n] if i >= n else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * n:x * n + 3]) for x in range(width)])
        previous = line
    return width, height, rows


class Rendering(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="lumenflip-replay-")
        self.addCleanup(self.tmp.cleanup)

    def render(self, csv, args):
        trace = os.path.join(self.tmp.name, "trace.csv")
        with open(trace, "w") as f:
            f.write(csv)
        svg = os.path.join(self.tmp.name, "trace.svg")
        png = os.path.join(self.tmp.name, "trace.png")
        status, out, err = run_replay(args + ["--svg", svg, trace])
        self.assertEqual(status, 0, out + err)
        subprocess.run([RSVG, "-o", png, svg], check=True, timeout=60, capture_output=True)
        return ET.parse(svg).getroot(), read_png(png)

    def test_light_sensor_picture_renders_with_the_night_shaded(self):
        # Night from the third sample to the seventh, with a window of 1.
        values = [90, 90, 10, 10, 10, 10, 90, 90, 90, 90]
        root, (width, height, rows) = self.render("".join("%d,%d\n" % (10 * k, v) for k, v in enumerate(values)),
                                                  ["-n", "1"])
        self.assertEqual((width, height), (int(root.get("width")), int(root.get("height"))))
        shade = [r for r in root.iter(SVG + "rect") if r.get("fill") == "#25336b" and float(r.get("y")) >= 0]
        self.assertEqual(len(shade), 1)
        x, y, w, h = (float(shade[0].get(k)) for k in ("x", "y", "width", "height"))
        night = rows[int(y + 0.35 * h)][int(x + w / 2)]
        day = rows[int(y + 0.35 * h)][int(x + w + 100)]
        self.assertEqual(day, (255, 255, 255))
        self.assertTrue(200 < night[0] < 240 and night[2] > night[0], night)
        ink = sum(1 for row in rows for r, g, b in row if r < 100 and b > 100)
        self.assertGreater(ink, 500, "the samples and the window mean are drawn")

    def test_software_picture_renders_at_its_size(self):
        csv = "".join("%d,%d,%d\n" % (1300000 if k % 20 < 10 else 500000, 10, 5000) for k in range(60))
        root, (width, height, _) = self.render(csv, ["-w", "0"])
        self.assertEqual((width, height), (int(root.get("width")), int(root.get("height"))))
        self.assertGreater(height, width / 2, "three panels, one above the other")


if __name__ == "__main__":
    unittest.main()

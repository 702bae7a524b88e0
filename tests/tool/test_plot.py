#!/usr/bin/env python3
"""qvutil plot: the numbers it draws against what frames prints, the picture well formed.

    test_plot.py QVUTIL SAMPLES_DIR SHARED_DATA_DIR REQUIRE_DATA [EMULATOR...]

The bundled samples (bare H.264, H.265, MPEG-2 and the MP4) and copies of them that ffmpeg
puts into MPEG-TS, MPEG-PS and Matroska, and a stream long enough to be binned. The plot
carries its numbers as JSON in its metadata element; they must be frames' sizes, types and
key flags, in decode or display order, and, binned, the least, most and mean of each column
as computed here.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from qvtool import run_tool

QVUTIL, SAMPLES, SHARED, REQUIRE = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] in ("1", "ON", "TRUE")
EMULATOR = sys.argv[5:]
G = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-threads", "1"]


def run(args):
    p = run_tool(EMULATOR, QVUTIL, args, b"", None, 300)
    return p.returncode, p.stdout, p.stderr.decode()


def metadata(svg):
    m = re.search(rb'<metadata id="qvutil-plot"><!\[CDATA\[(.*?)\]\]></metadata>', svg, re.S)
    return json.loads(m.group(1))


def frames(path):
    """frames' pictures per stream: (size, type, key, pts) in decode order."""
    rc, out, err = run(["frames", path])
    lines = out.decode().splitlines()
    head = lines[0].split()
    col = head.index("offset")
    streams = {}
    for line in lines[1:]:
        r = line.split()
        if len(r) != len(head):
            continue  # the summary
        sid = int(r[0], 16) if col else -1
        streams.setdefault(sid, []).append((int(r[col + 1]), r[col + 2], r[col + 3] == "key",
                                            None if r[col + 6] == "-" else int(r[col + 6])))
    return streams


def bins(sizes, keys, columns=1000):
    """Each column's first frame, count, least, most, mean and key frames."""
    n, out = len(sizes), []
    for k in range(min(n, columns)):
        a, b = k * n // min(n, columns), (k + 1) * n // min(n, columns)
        part = sizes[a:b]
        out.append([a, b - a, min(part), max(part), sum(part) / len(part), sum(keys[a:b])])
    return out


class Plot(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.files = [os.path.join(SAMPLES, n) for n in ("sample.h264", "sample.h265", "sample.m2v", "sample.mp4")]
        if not shutil.which("ffmpeg"):
            if REQUIRE:
                raise AssertionError("ffmpeg is needed (Debian: ffmpeg)")
            return
        mp4 = os.path.join(SAMPLES, "sample.mp4")
        for name, args in (("sample.ts", ["-i", mp4, "-c", "copy", "-f", "mpegts"]),
                           ("sample.mkv", ["-i", mp4, "-c", "copy"]),
                           ("sample.mpg", ["-i", os.path.join(SAMPLES, "sample.m2v"), "-c", "copy", "-f", "mpeg"]),
                           # Past 1000 frames: binned.
                           ("long.ts", ["-f", "lavfi", "-i", "testsrc2=size=96x64:rate=50:duration=26", "-c:v",
                                        "libx264", "-preset", "ultrafast", "-g", "25", "-f", "mpegts"]),
                           ("audio.m4a", ["-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac"])):
            path = os.path.join(cls.tmp, name)
            subprocess.run(G + args + [path], check=True)
            if name != "audio.m4a":
                cls.files.append(path)
        cls.audio_only = os.path.join(cls.tmp, "audio.m4a")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def plot(self, path, *args):
        rc, out, err = run(["plot", path] + list(args))
        self.assertEqual((rc, err), (0, ""), path)
        return out

    def test_numbers_are_frames(self):
        for path in self.files:
            want = frames(path)
            for order in ("decode", "display"):
                with self.subTest(file=os.path.basename(path), order=order):
                    got = metadata(self.plot(path, "--order", order))["streams"]
                    self.assertEqual(sorted(s["id"] for s in got), sorted(want))
                    for s in got:
                        pics = want[s["id"]]
                        if order == "display" and all(p[3] is not None for p in pics):
                            pics = sorted(pics, key=lambda p: p[3])
                        sizes, keys = [p[0] for p in pics], [int(p[2]) for p in pics]
                        if len(pics) > 1000:
                            self.assertEqual(s["bins"], bins(sizes, keys))
                        else:
                            self.assertEqual(s["frames"], [[p[0], p[1], int(p[2])] for p in pics])

    def test_bit_rates_are_the_stream_s(self):
        """The average is the frames' bits over their time; the peak, over a one-second window,
        lies between the average and the bits of the largest second that could be."""
        path = [f for f in self.files if f.endswith("long.ts")]
        if not path:
            self.skipTest("no ffmpeg")
        s = metadata(self.plot(path[0]))["streams"][0]
        pics = frames(path[0])[s["id"]]
        total = sum(p[0] for p in pics) * 8
        self.assertAlmostEqual(s["average_bit_rate"], total / (len(pics) / 50), delta=total / len(pics) / 26)
        self.assertGreaterEqual(s["peak_bit_rate"], s["average_bit_rate"])
        self.assertLessEqual(s["peak_bit_rate"], max(sum(p[0] for p in pics[i:i + 51]) * 8 for i in range(len(pics))))

    def test_well_formed_and_html(self):
        for path in self.files:
            with self.subTest(file=os.path.basename(path)):
                svg = os.path.join(self.tmp, "out.svg")
                self.assertEqual(run(["plot", path, "-o", svg])[0], 0)
                if shutil.which("xmllint"):
                    subprocess.run(["xmllint", "--noout", svg], check=True)
                html = os.path.join(self.tmp, "out.html")
                self.assertEqual(run(["plot", path, "-o", html])[0], 0)
                with open(html, "rb") as f:
                    page = f.read()
                self.assertTrue(page.startswith(b"<!DOCTYPE html>"))
                self.assertIn(b"<svg", page)
                self.assertIn(b"<script>", page)
                with open(svg, "rb") as f:
                    self.assertEqual(metadata(page), metadata(f.read()))

    @unittest.skipUnless(shutil.which("chromium") or shutil.which("chromium-browser"), "no headless Chromium")
    def test_renders_in_a_browser(self):
        browser = shutil.which("chromium") or shutil.which("chromium-browser")
        svg, png = os.path.join(self.tmp, "r.svg"), os.path.join(self.tmp, "r.png")
        self.assertEqual(run(["plot", self.files[0], "-o", svg])[0], 0)
        subprocess.run([browser, "--headless", "--no-sandbox", "--screenshot=" + png, "--window-size=1200,600",
                        "file://" + svg], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertGreater(os.path.getsize(png), 1000)

    def test_no_video_and_bad_options(self):
        rows = [(["plot", os.path.join(SAMPLES, "sample.mp4"), "--stream", "2"], "no video stream 0x2 to plot"),
                (["plot", os.path.join(SAMPLES, "sample.h264"), "--order", "random"], "ORDER must be"),
                (["plot", os.path.join(SAMPLES, "sample.h264"), "--window", "0"], "SECONDS must be")]
        if os.path.exists(getattr(self, "audio_only", "")):
            rows.append((["plot", self.audio_only], "no video stream to plot"))
        for args, message in rows:
            with self.subTest(args=args[2:]):
                rc, out, err = run(args)
                self.assertEqual((rc, out), (2, b""))
                self.assertIn(message, err)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])

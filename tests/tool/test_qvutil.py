#!/usr/bin/env python3
"""End-to-end tests of the qvutil tool on the bundled samples and the shared streams.

    test_qvutil.py QVUTIL SAMPLES_DIR SHARED_DATA_DIR REQUIRE_DATA [EMULATOR...]

Expected values come from the samples' and streams' documentation, from coreutils
(md5sum, sha1sum, base64) and from small independent models written here.
"""

import base64
import hashlib
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest

from qvtool import run_tool

QVUTIL, SAMPLES, SHARED, REQUIRE = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] in ("1", "ON", "TRUE")
EMULATOR = sys.argv[5:]
STREAMS = os.path.join(SHARED, "streams")


def run(args, stdin=b"", env=None, piece=None):
    e = dict(os.environ)
    e.update(env or {})
    if piece:
        e["QVUTIL_PIECE_SIZE"] = str(piece)
    p = run_tool(EMULATOR, QVUTIL, args, stdin, e)
    return p.returncode, p.stdout, p.stderr.decode()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def start_codes(data):
    """Forward walk written plainly: a start code at i, then search on from i + 4."""
    out, i = [], 0
    while i + 4 <= len(data):
        if data[i] == 0 and data[i + 1] == 0 and data[i + 2] == 1:
            out.append((i, 0x100 + data[i + 3]))
            i += 4
        else:
            i += 1
    return out


def escape_model(data):
    out, win = bytearray(), 0
    for i, b in enumerate(data):
        win = ((win << 8) | b) & 0xFFFFFFFF
        if i >= 3 and (win & 0xFFFFFFF0) == 0x1F0:
            out.append(0xFF)
        out.append(b)
    return bytes(out)


def unescape_model(data):
    out, win, i = bytearray(), 0, 0
    while i < len(data):
        b = data[i]
        win = ((win << 8) | b) & 0xFFFFFFFF
        if i >= 3 and win == 0x1FF:
            if i + 1 < len(data):
                out.append(data[i + 1])
            i += 2
            continue
        out.append(b)
        i += 1
    return bytes(out)


def escape_prone(n, seed):
    """Random bytes thick with 00 00 01 and code bytes F0..FF."""
    r = random.Random(seed)
    parts = []
    while sum(map(len, parts)) < n:
        parts.append(r.choice([b"\x00\x00\x01", b"\x00\x00\x00\x01", bytes([0xF0 + r.randrange(16)]),
                               b"\xff", b"\x00", bytes([r.randrange(256)])]))
    return b"".join(parts)[:n]


class Samples(unittest.TestCase):
    # file, codec, profile, level, picture line start, SHA-1 from the samples' README
    ROWS = [
        ("sample.h264", "H.264/AVC", "High (100)", "1.2",
         "320x180 (coded 320x192, cropped left 0 right 0 top 0 bottom 12)",
         "9b5ccfa17f82b21ebabd26846bc35d8a3cdf6c20"),
        ("sample.h265", "H.265/HEVC", "Main (1)", None, "320x180", "03d8f744c8dffeea72d6a7e691327c52b1fb1411"),
        ("sample.m2v", "MPEG-1/2 video", "Main", "Main", "320x180", "d63bbf5bb49a1cbdb73c59445a55ace344214f64"),
    ]

    def test_inspect(self):
        for name, codec, profile, level, picture, sha1 in self.ROWS:
            path = os.path.join(SAMPLES, name)
            data = read(path)
            for piece in (None, 9, 1000):
                rc, out, err = run(["inspect", path], piece=piece)
                out = out.decode()
                self.assertEqual(rc, 0, err)
                self.assertIn("Size         %d bytes" % len(data), out)
                self.assertIn("MD5          " + hashlib.md5(data).hexdigest(), out)
                self.assertIn("SHA-1        " + sha1, out)
                self.assertIn("Codec        " + codec, out)
                self.assertIn("Start codes  %d\n" % len(start_codes(data)), out)
                self.assertIn("  profile      " + profile + "\n", out)
                if level:
                    self.assertRegex(out, r"  level        %s\b" % re.escape(level))
                self.assertIn("  picture      " + picture, out)

    def test_gop_line_covers_the_gops_it_counts(self):
        """The GOPs, from the key flags frames prints: how many, the lengths of those a key
        picture ended (least, most, average) and the last, which the stream's end cut."""
        for name in ("sample.h264", "sample.h265", "sample.m2v", "sample.mp4"):
            path = os.path.join(SAMPLES, name)
            rc, out, err = run(["frames", path])
            lines = out.decode().splitlines()
            column = lines[0].split().index("key")  # a container's frames name their stream first
            rows = [line.split() for line in lines[1:]]
            keys = [r[column] == "key" for r in rows if len(r) > column + 4 and r[column] in ("key", "-")]
            starts = [i for i, k in enumerate(keys) if k]
            lengths = [b - a for a, b in zip(starts, starts[1:])]
            last = len(keys) - starts[-1]
            rc, out, err = run(["inspect", "--json", "--no-digests", path])
            gop = json.loads(out)["streams"][0]["gop"]
            want = {"count": len(starts)}
            if lengths:
                want.update(min_frames=min(lengths), max_frames=max(lengths), last_frames=last,
                            average_frames=sum(lengths) / len(lengths))
            else:
                want.update(min_frames=last, max_frames=last, average_frames=last)
            self.assertEqual({k: gop.get(k) for k in want}, want, name)
            rc, out, err = run(["inspect", "--no-digests", path])
            line = next(l for l in out.decode().splitlines() if l.startswith("  GOP"))
            if lengths:
                self.assertIn("%d GOPs: %d of" % (len(starts), len(lengths)), line)
                self.assertIn("and a last of %d" % last, line)

    def test_inspect_stdin_matches_file(self):
        path = os.path.join(SAMPLES, "sample.h264")
        rc, from_file, _ = run(["inspect", path])
        rc2, from_pipe, _ = run(["inspect", "-"], stdin=read(path), piece=64)
        self.assertEqual((rc, rc2), (0, 0))
        self.assertEqual(from_file.split(b"\n")[1:], from_pipe.split(b"\n")[1:])

    def test_h264_type_counts_match_the_file(self):
        path = os.path.join(SAMPLES, "sample.h264")
        counts = {}
        for _, code in start_codes(read(path)):
            counts[code & 0x1F] = counts.get(code & 0x1F, 0) + 1
        rc, out, _ = run(["inspect", path])
        listed = {int(t): int(n) for n, t in re.findall(r"^\s+(\d+)\s+(\d+)\s+\S", out.decode(), re.M)}
        self.assertEqual(listed, counts)
        self.assertEqual(counts[5], 2)  # two IDR pictures


class Scan(unittest.TestCase):
    def files(self):
        names = [os.path.join(SAMPLES, n) for n in ("sample.h264", "sample.h265", "sample.m2v")]
        if os.path.isdir(STREAMS):
            names += [os.path.join(STREAMS, n) for n in sorted(os.listdir(STREAMS)) if not n.endswith(".md")
                      and not n.startswith(".")]
        elif REQUIRE:
            self.fail("missing " + STREAMS)
        return names

    @staticmethod
    def lines(out):
        return [l for l in out.decode().splitlines() if re.match(r"^\d+ 0x1[0-9a-f]{2} ", l)]

    def test_forward_and_reverse_agree_with_a_plain_walk(self):
        for path in self.files():
            expected = ["%d 0x%03x" % hit for hit in start_codes(read(path))]
            for piece in (None, 8, 13, 4096):
                rc, out, err = run(["scan", path], piece=piece)
                self.assertEqual(rc, 0, err)
                fwd = self.lines(out)
                self.assertEqual([" ".join(l.split()[:2]) for l in fwd], expected, (path, piece))
                rc, out, err = run(["scan", "--reverse", path], piece=piece)
                self.assertEqual(rc, 0, err)
                self.assertEqual(self.lines(out), fwd[::-1], (path, piece))

    def test_stream_counts_and_find(self):
        if not os.path.isdir(STREAMS):
            self.skipTest("no shared streams")
        rows = [("h264-176x144-cbp-4byte.h264", 102, "0x167", 1), ("h264-1280x720-high-mixed.h264", 23, "0x109", 10),
                ("hevc-640x360-main-mixed.h265", 49, "0x140", 4), ("mpeg2-128x128-mssg.m2v", 36, "0x1b5", 5)]
        for name, total, code, found in rows:
            path = os.path.join(STREAMS, name)
            rc, out, _ = run(["scan", path])
            self.assertEqual(len(self.lines(out)), total, name)
            self.assertRegex(out.decode().splitlines()[-1], r"^%d start codes, " % total)
            for rev in ([], ["--reverse"]):
                rc, out, _ = run(["scan", "--find", code] + rev + [path], piece=50)
                self.assertEqual(rc, 0)
                got = self.lines(out)
                self.assertEqual(len(got), found, (name, rev))
                self.assertTrue(all(l.split()[1] == code for l in got))
                self.assertNotIn("code byte", out.decode())  # named by the stream's codec

    def test_stream_headers(self):
        if not os.path.isdir(STREAMS):
            self.skipTest("no shared streams")
        rows = [("h264-176x144-cbp-4byte.h264", "Constrained Baseline (66)", "1.0", "176x144",
                 {"7": 1, "8": 1, "1": 96, "5": 4}),
                ("h264-1280x720-high-mixed.h264", "High (100)", "3.1", "1280x720",
                 {"9": 10, "7": 1, "8": 1, "6": 1, "5": 1, "1": 9}),
                ("hevc-640x360-main-mixed.h265", "Main (1)", "2.1", "640x360",
                 {"32": 4, "33": 4, "34": 4, "39": 4, "20": 1, "21": 3, "1": 15, "0": 11, "8": 3}),
                ("mpeg2-128x128-mssg.m2v", "Main", "Main", "128x128",
                 {"0xb3": 1, "0xb5": 5, "0xb2": 1, "0xb8": 1, "0x00": 3, "0x01": 24, "0xb7": 1})]
        for name, profile, level, picture, types in rows:
            rc, out, err = run(["inspect", os.path.join(STREAMS, name)])
            out = out.decode()
            self.assertEqual(rc, 0, err)
            self.assertIn("  profile      %s\n" % profile, out)
            self.assertRegex(out, r"  level        %s\b" % re.escape(level))
            self.assertIn("  picture      " + picture, out)
            listed = dict((t, int(n)) for n, t in re.findall(r"^\s+(\d+)\s+(\S+)\s", out, re.M))
            self.assertEqual(listed, types, name)


class Digests(unittest.TestCase):
    def test_sums_are_accepted_by_coreutils(self):
        paths = [os.path.join(SAMPLES, n) for n in ("sample.h264", "sample.h265", "sample.m2v")]
        with tempfile.TemporaryDirectory() as tmp:
            for cmd, tool in (("md5", "md5sum"), ("sha1", "sha1sum")):
                rc, out, err = run([cmd] + paths, piece=100)
                self.assertEqual(rc, 0, err)
                ref = subprocess.run([tool] + paths, stdout=subprocess.PIPE, check=True).stdout
                self.assertEqual(out, ref)
                listing = os.path.join(tmp, cmd + ".txt")
                with open(listing, "wb") as f:  # upper-case digits must be accepted too
                    f.write(b"".join(l[:l.index(b" ")].upper() + l[l.index(b" "):] for l in out.splitlines(True)))
                subprocess.run([tool, "-c", "--quiet", listing], check=True)
                rc, out, _ = run([cmd, "-c", listing])
                self.assertEqual((rc, out.count(b": OK\n")), (0, 3))
                # One wrong digit, one missing file: both reported, status 1.
                lines = read(listing).splitlines()
                lines[0] = (b"0" if lines[0][:1] != b"0" else b"1") + lines[0][1:]
                lines.append(lines[1][:lines[1].index(b"  ") + 2] + b"/no/such/file")
                with open(listing, "wb") as f:
                    f.write(b"\n".join(lines) + b"\n")
                rc, out, err = run([cmd, "-c", listing])
                self.assertEqual(rc, 1)
                self.assertIn(b": FAILED\n", out)
                self.assertIn(b"/no/such/file: FAILED open or read", out)
                self.assertIn("did NOT match", err)

    def test_stdin(self):
        data = os.urandom(100000)
        rc, out, _ = run(["sha1"], stdin=data, piece=777)
        self.assertEqual(out, (hashlib.sha1(data).hexdigest() + "  -\n").encode())


class Base64(unittest.TestCase):
    def test_matches_coreutils_and_round_trips(self):
        r = random.Random(5)
        for n in (0, 1, 2, 3, 4, 56, 57, 58, 228, 1000, 70000):
            data = bytes(r.randrange(256) for _ in range(n))
            for wrap in ("76", "0", "1", "5", "64"):
                for piece in (None, 10):
                    rc, out, err = run(["base64", "-w", wrap], stdin=data, piece=piece)
                    ref = subprocess.run(["base64", "-w", wrap], input=data, stdout=subprocess.PIPE,
                                         check=True).stdout
                    self.assertEqual((rc, out), (0, ref), (n, wrap, piece, err))
            rc, back, _ = run(["base64", "-d"], stdin=ref, piece=11)
            self.assertEqual((rc, back), (0, data), n)

    def test_lenient_decoding(self):
        data = os.urandom(3000)
        text = base64.b64encode(data)
        noisy = bytearray()
        r = random.Random(9)
        for c in text:
            noisy.append(c)
            if r.random() < 0.1:
                noisy += r.choice([b"\r\n", b" ", b"\x80\xff", b"!", b"="[:0]])
        for piece in (None, 8, 333):
            rc, out, _ = run(["base64", "-d"], stdin=bytes(noisy), piece=piece)
            self.assertEqual(out, data, piece)
        # A pad that ends a group ends the text: what follows is not decoded.
        for text in (b"QQ==QUJD", b"Q" + b" " * 200000 + b"Q\r\n==QUJD"):
            rc, out, _ = run(["base64", "-d"], stdin=text, piece=1000)
            self.assertEqual(out, b"A")


class Escape(unittest.TestCase):
    def test_round_trip_and_models(self):
        inputs = [escape_prone(n, n) for n in (0, 1, 3, 4, 5, 64, 5000)]
        inputs.append(read(os.path.join(SAMPLES, "sample.h264")))
        inputs.append(b"\x00\x00\x01\xff\x00\x00\x01\xff\xe0" * 50)
        for data in inputs:
            for piece in (None, 8, 9, 31):
                rc, esc, err = run(["escape"], stdin=data, piece=piece)
                self.assertEqual((rc, esc), (0, escape_model(data)), (len(data), piece, err))
                rc, back, err = run(["unescape"], stdin=esc, piece=piece)
                self.assertEqual((rc, back), (0, data), (len(data), piece, err))
                rc, raw, err = run(["unescape"], stdin=data, piece=piece)
                self.assertEqual((rc, raw), (0, unescape_model(data)), (len(data), piece, err))

    def test_output_file(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "out.bin")
            data = escape_prone(2000, 1)
            with open(os.path.join(tmp, "in.bin"), "wb") as f:
                f.write(data)
            rc, _, err = run(["escape", os.path.join(tmp, "in.bin"), "-o", out])
            self.assertEqual(rc, 0, err)
            self.assertEqual(read(out), escape_model(data))


class BadInput(unittest.TestCase):
    ROWS = [
        (["inspect", "/no/such/file"], 2, "qvutil: /no/such/file: No such file"),
        (["inspect", "/"], 2, "qvutil: /: Is a directory"),
        (["scan", "--bogus", "x"], 2, "unknown option '--bogus'"),
        (["scan", "--find", "0x2b3", "x"], 2, "CODEWORD must be"),
        (["scan", "--reverse", "-"], 2, "--reverse needs a regular file"),
        (["inspect"], 2, "needs exactly one FILE"),
        (["inspect", "--jsn", "x"], 2, "unknown option '--jsn'"),
        (["frames", "a", "b"], 2, "needs exactly one FILE"),
        (["frames", "/no/such/file"], 2, "qvutil: /no/such/file: No such file"),
        (["base64", "-w", "x"], 2, "invalid wrap size"),
        (["md5", "/no/such/file"], 1, "qvutil: /no/such/file: No such file"),  # as md5sum
        (["base64", "-d", "/no/such/file"], 1, "qvutil: /no/such/file: No such file"),
        (["frobnicate"], 2, "unknown command"),
        (["--json", "inspect", "x"], 2, "options follow the command"),
        (["escape", "-o", "/no/such/dir/out"], 2, "/no/such/dir/out"),
        # Names quoted as coreutils quotes them: a newline or an escape cannot split or
        # colour the message, an empty name still shows. (Windows refuses such names for
        # reasons of its own.)
        (["inspect", ""], 2, "qvutil: '': "),
        (["inspect", "/no/such\nfile"], 2, "qvutil: '/no/such'$'\\n''file': "),
        (["frames", "/no/\x1b[31mred"], 2, "qvutil: '/no/'$'\\033''[31mred': "),
        (["demux", "/no/such file"], 2, "qvutil: '/no/such file': No such file"),
        (["scan", "it's"], 2, "qvutil: \"it's\": No such file"),
    ]

    def test_status_and_message(self):
        for args, status, message in self.ROWS:
            rc, _, err = run(args)
            self.assertEqual(rc, status, args)
            self.assertIn(message, err, args)

    def test_empty_and_random_files_do_not_crash(self):
        with tempfile.TemporaryDirectory() as tmp:
            empty = os.path.join(tmp, "empty")
            noise = os.path.join(tmp, "noise")
            open(empty, "wb").close()
            with open(noise, "wb") as f:
                f.write(random.Random(3).randbytes(200000) + b"\x00\x00\x01\x67\xff\xff\xff")
            for path in (empty, noise):
                for args in (["inspect", path], ["inspect", "--json", path], ["frames", path], ["scan", path],
                             ["scan", "-r", path]):
                    rc, out, err = run(args)
                    self.assertEqual(rc, 0, (args, err))
            rc, out, _ = run(["inspect", empty])
            self.assertIn(b"Start codes  0\n", out)

    @unittest.skipIf(any("wine" in a for a in EMULATOR), "no /dev/null")
    def test_reverse_scan_of_a_device(self):
        rc, _, err = run(["scan", "--reverse", "/dev/null"])
        self.assertEqual(rc, 2)
        self.assertIn("/dev/null: --reverse needs a regular file, not a device", err)

    @unittest.skipIf(any("wine" in a for a in EMULATOR), "no /dev/full")
    def test_output_that_cannot_be_written(self):
        """A full disk loses no report silently: every command that writes to standard output
        says so and fails (md5, sha1 and base64 as coreutils do, with status 1)."""
        sample = os.path.join(SAMPLES, "sample.mp4")
        rows = [(["inspect", sample], 2), (["inspect", "--json", sample], 2), (["frames", sample], 2),
                (["scan", os.path.join(SAMPLES, "sample.h264")], 2), (["demux", "--list", sample], 2),
                (["demux", sample], 2), (["escape", sample], 2), (["md5", sample], 1), (["sha1", sample], 1),
                (["base64", sample], 1)]
        for args, status in rows:
            with self.subTest(args=args[:-1]), open("/dev/full", "wb") as full:
                p = subprocess.run(EMULATOR + [QVUTIL] + args, stdout=full, stderr=subprocess.PIPE)
                self.assertEqual(p.returncode, status)
                self.assertIn(b"write error", p.stderr)

    def test_help_and_version(self):
        for cmd in ([], ["inspect"], ["frames"], ["scan"], ["md5"], ["sha1"], ["base64"], ["escape"], ["unescape"],
                    ["demux"], ["plot"]):
            rc, out, _ = run(cmd + ["--help"])
            self.assertEqual(rc, 0, cmd)
            self.assertIn(b"Usage: qvutil", out)
        rc, out, _ = run(["--version"])
        self.assertRegex(out.decode(), r"^qvutil \(QvUtility\) \d+\.\d+\.\d+\n$")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])

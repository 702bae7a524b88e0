#!/usr/bin/env python3
"""qvutil demux on MPEG-TS, M2TS and MPEG-PS files, and the refusal of other containers.

    test_demux.py QVUTIL SAMPLES_DIR SHARED_DATA_DIR REQUIRE_DATA [EMULATOR...]

The files are made here with ffmpeg and kept beside the tool or in $QV_TEST_CACHE
(demux-corpus/, remade when the recipes or ffmpeg change); what 'ffmpeg -c copy' takes out of them is the expected
output. Damaged and hand-built streams come from the small writer below, with their
expected output worked out as they are built.
"""

import hashlib
import json
import os
import random
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

from qvtool import CorpusCase, run_tool

QVUTIL, SAMPLES, SHARED, REQUIRE = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] in ("1", "ON", "TRUE")
EMULATOR = sys.argv[5:]
CORPUS = os.path.join(os.environ.get("QV_TEST_CACHE") or os.path.dirname(os.path.abspath(QVUTIL)), "demux-corpus")
G = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-threads", "1"]


def lavfi(source, seconds=1.2):
    return ["-f", "lavfi", "-i", "%s:duration=%s" % (source, seconds)]


V1, V2 = lavfi("testsrc=size=160x120:rate=25"), lavfi("testsrc2=size=128x96:rate=30")
A = lavfi("sine=frequency=440")
X265 = ["-x265-params", "log-level=error"]
# name: the ffmpeg arguments that make it. Several programs and PIDs, audio beside
# video, PES packets with and without length, MPEG-1 and MPEG-2 packs.
RECIPES = {
    "h264_mp2.ts": V1 + A + ["-c:v", "libx264", "-g", "12", "-bf", "2", "-c:a", "mp2", "-f", "mpegts"],
    "hevc_aac_len.ts": V1 + A + ["-c:v", "libx265"] + X265 + ["-c:a", "aac", "-omit_video_pes_length", "0",
                                                             "-f", "mpegts"],
    "mpeg2_ac3.m2ts": V2 + A + ["-c:v", "mpeg2video", "-c:a", "ac3", "-mpegts_m2ts_mode", "1", "-f", "mpegts"],
    "mpeg1.ts": V1 + ["-c:v", "mpeg1video", "-f", "mpegts"],
    "programs.ts": V1 + V2 + A + lavfi("testsrc=size=96x64:rate=24") + [
        "-map", "0:v", "-map", "1:v", "-map", "2:a", "-map", "3:v", "-map", "2:a",
        "-c:v:0", "libx264", "-c:v:1", "mpeg2video", "-c:v:2", "libx265"] + X265 + [
        "-c:a:0", "mp2", "-c:a:1", "aac", "-streamid", "1:0x1e1", "-streamid", "3:0x7ff",
        "-metadata:s:a:0", "language=fra", "-metadata:s:a:1", "language=ger",
        "-program", "program_num=10:st=0:st=2", "-program", "program_num=20:st=1:st=3:st=4",
        "-f", "mpegts"],
    "mpeg1_mp2.mpg": V1 + A + ["-c:v", "mpeg1video", "-c:a", "mp2", "-f", "mpeg"],
    "mpeg2_mp2.vob": V2 + A + ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"],
    # With DVD navigation packets: a data stream of its own, the first.
    "mpeg2_ac3_nav.vob": V2 + A + ["-c:v", "mpeg2video", "-c:a", "ac3", "-f", "dvd"],
    "h264_hevc.vob": V1 + V2 + A + ["-map", "0:v", "-map", "1:v", "-map", "2:a", "-c:v:0", "libx264",
                                    "-c:v:1", "libx265"] + X265 + ["-c:a", "ac3", "-f", "vob"],
    # Containers qvutil refuses.
    "h264_aac.mp4": V1 + A + ["-c:v", "libx264", "-c:a", "aac"],
    "h264.mov": V1 + ["-c:v", "libx264"],
    "hevc_mp2.mkv": V1 + A + ["-c:v", "libx265"] + X265 + ["-c:a", "mp2"],
    "vp9.webm": V1 + ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8"],
    "mpeg4.avi": V1 + ["-c:v", "mpeg4"],
    "picture.png": V1 + ["-frames:v", "1"],
    "picture.jpg": V1 + ["-frames:v", "1"],
}


def ffmpeg_version():
    return subprocess.run(["ffmpeg", "-version"], stdout=subprocess.PIPE).stdout.split(b"\n")[0].decode()


def corpus():
    """The folder with every recipe's file, made once per recipe set and ffmpeg."""
    key = hashlib.sha1((ffmpeg_version() + json.dumps(RECIPES, sort_keys=True)).encode()).hexdigest()[:12]
    folder = os.path.join(CORPUS, key)
    if not os.path.isdir(folder):
        work = tempfile.mkdtemp(dir=os.path.dirname(folder) if os.path.isdir(CORPUS) else None)
        for name, args in RECIPES.items():
            subprocess.run(G + args + [os.path.join(work, name)], check=True)
        os.makedirs(CORPUS, exist_ok=True)
        shutil.rmtree(folder, ignore_errors=True)
        shutil.move(work, folder)
    return folder


def run(args, piece=None, stdin=b""):
    env = dict(os.environ)
    env.pop("QVUTIL_PIECE_SIZE", None)
    if piece:
        env["QVUTIL_PIECE_SIZE"] = str(piece)
    p = run_tool(EMULATOR, QVUTIL, args, stdin, env)
    return p.returncode, p.stdout, p.stderr.decode()


def demux(path, stream=None, piece=None):
    rc, out, err = run(["demux", path] + (["--stream", stream] if stream else []), piece=piece)
    if rc != 0:
        raise AssertionError("qvutil demux %s: %d %s" % (path, rc, err))
    return out, err


def probe(path):
    p = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_programs", "-of", "json", path],
                       stdout=subprocess.PIPE, check=True)
    return json.loads(p.stdout)


def probe_now(path):
    """ffprobe on a file a test made (never cached: the same name comes back)."""
    out = subprocess.run(["ffprobe", "-v", "quiet", "-of", "json", "-show_streams", path], stdout=subprocess.PIPE,
                         check=True).stdout
    return json.loads(out)


def ffmpeg_copy(path, selector, fmt):
    p = subprocess.run(G + ["-i", path, "-map", selector, "-c", "copy", "-f", fmt, "-"], stdout=subprocess.PIPE,
                       check=True)
    return p.stdout


def read(path):
    with open(path, "rb") as f:
        return f.read()


# --- A small transport and program stream writer ------------------------------------------

def crc32(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = (crc << 1 ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc


def section(table_id, ext, body, version=0):
    head = bytes([table_id, 0xB0 | (len(body) + 9) >> 8, (len(body) + 9) & 0xFF, ext >> 8, ext & 0xFF,
                  0xC1 | version << 1, 0, 0]) + body
    return head + crc32(head).to_bytes(4, "big")


def pat(programs, version=0):
    return section(0, 1, b"".join(n.to_bytes(2, "big") + (0xE000 | pid).to_bytes(2, "big")
                                  for n, pid in programs), version)


def pmt(number, streams, version=0):
    return section(2, number, b"\xe1\x00\xf0\x00" + b"".join(
        bytes([t]) + (0xE000 | pid).to_bytes(2, "big") + b"\xf0\x00" for t, pid in streams), version)


def pes(sid, payload, length=True, stuffing=0, pts=None):
    """MPEG-2 syntax; length: True for the right one, 0 for none, or the one to write."""
    opt = b"" if pts is None else bytes([0x21 | (pts >> 29 & 0xE), pts >> 22 & 0xFF, pts >> 14 & 0xFE | 1,
                                         pts >> 7 & 0xFF, pts << 1 & 0xFE | 1])
    tail = bytes([0x80, 0x80 if opt else 0, len(opt) + stuffing]) + opt + b"\xff" * stuffing + payload
    return b"\x00\x00\x01" + bytes([sid]) + (len(tail) if length is True else length).to_bytes(2, "big") + tail


class Mux:
    """Transport packets: tables and PES packets cut into payloads of the sizes asked."""

    def __init__(self, size=188):
        self.out, self.cc, self.size = bytearray(), {}, size

    def packet(self, pid, payload, start, af=None):
        """af: the adaptation field's length byte (0..183); the payload fills what is left."""
        # The counter counts packets with payload; one without repeats the last.
        cc = self.cc.get(pid, 0) if payload else (self.cc.get(pid, 0) - 1) % 16
        afc = (2 if af is not None else 0) | (1 if payload else 0)
        if payload:
            self.cc[pid] = (cc + 1) % 16
        field = b"" if af is None else bytes([af]) + (b"\x00" + b"\xff" * (af - 1) if af else b"")
        body = field + payload
        assert len(body) == 184, (af, len(payload))
        head = bytes([0x47, (0x40 if start else 0) | pid >> 8, pid & 0xFF, afc << 4 | cc])
        self.out += bytes(self.size - 188) + head + body

    def unit(self, pid, data, table=False, afs=(None,)):
        """One section (pointer field first) or PES packet, from the next packet on."""
        data, first, k = (b"\x00" + data if table else data), True, 0
        while data:
            af = afs[k % len(afs)]
            k += 1
            room = 184 - (0 if af is None else af + 1)
            if len(data) < room:
                if table:
                    data += b"\xff" * (room - len(data))
                else:
                    af, room = 183 - len(data), len(data)
            self.packet(pid, data[:room], first, af)
            data, first = data[room:], False


def ts_packets(data, size=188):
    return [data[i:i + size] for i in range(0, len(data) - size + 1, size)]


def plain_ts_video(data, pid, size=188):
    """What a whole transport stream carries on one PID, PES headers off: the written-out
    rule for clean files that the damaged ones are measured against."""
    out = bytearray()
    for p in ts_packets(data, size):
        p, afc = p[-188:], p[-185] >> 4 & 3
        start = 5 + p[4] if afc & 2 else 4
        if (p[1] & 0x1F) << 8 | p[2] == pid and afc & 1 and start < 188:
            out += p[start + 9 + p[start + 8]:] if p[1] & 0x40 else p[start:]
    return bytes(out)


class Tool(CorpusCase):
    require = REQUIRE
    make_corpus = staticmethod(corpus)


class AgainstFfmpeg(Tool):
    CONTAINERS = [n for n in RECIPES if n.endswith((".ts", ".m2ts", ".mpg", ".vob"))]

    def streams(self, name):
        """(ffmpeg's -map selector, qvutil's id, ffmpeg's format) of every video and MPEG audio stream."""
        out, counts = [], {}
        for s in probe(self.path(name))["streams"]:
            kind = s["codec_type"][0]
            n = counts[kind] = counts.get(kind, -1) + 1
            fmt = s["codec_name"] if kind == "v" else "mp2" if s["codec_name"] == "mp2" else None
            if fmt:
                out.append(("0:%s:%d" % (kind, n), s["id"], fmt))
        return out

    def test_every_stream_byte_for_byte(self):
        for name in self.CONTAINERS:
            for selector, sid, fmt in self.streams(name):
                want = ffmpeg_copy(self.path(name), selector, fmt)
                self.assertGreater(len(want), 1000, (name, selector))
                for piece in (None, 61, 4099) + ((8,) if name == "programs.ts" and not EMULATOR else ()):
                    with self.subTest(file=name, stream=sid, piece=piece):
                        out, err = demux(self.path(name), sid, piece)
                        self.assertEqual(err, "")
                        self.assertEqual(hashlib.sha1(out).hexdigest(), hashlib.sha1(want).hexdigest())

    def test_first_video_stream_by_default(self):
        for name in self.CONTAINERS:
            with self.subTest(file=name):
                selector, sid, fmt = next(s for s in self.streams(name) if s[0] == "0:v:0")
                self.assertEqual(demux(self.path(name))[0], ffmpeg_copy(self.path(name), "0:v:0", fmt))

    def test_list_agrees_with_ffprobe(self):
        kinds = {"h264": "H.264 video", "hevc": "H.265 video", "mpeg2video": "MPEG-", "mpeg1video": "MPEG-"}
        for name in self.CONTAINERS:
            with self.subTest(file=name):
                info, ps = probe(self.path(name)), not name.endswith("ts")
                program = {s["id"]: p["program_id"] for p in info.get("programs", []) for s in p["streams"]}
                rc, out, err = run(["demux", "--list", self.path(name)])
                self.assertEqual((rc, err), (0, ""))
                lines = {int(line.split()[0], 16): line for line in out.decode().splitlines()}
                if not ps:
                    self.assertEqual(len(lines), len(info["streams"]))
                for s in info["streams"]:
                    if ps and s["codec_type"] != "video":
                        continue  # ffprobe names private stream 1's sub-streams
                    line = lines[int(s["id"], 16) & (0xFF if ps else 0x1FFF)]
                    # Audio named as ffprobe names it once it has read the first frames.
                    self.assertIn("  video  " if ps else kinds.get(s["codec_name"], "  %s, %s  " % (
                        s["codec_type"], s.get("codec_name", "codec not read"))), line)
                    if not ps:
                        self.assertIn("program %d " % program[s["id"]], line)

    def test_streams_tags_and_languages_agree_with_ffprobe(self):
        """Every stream in ffprobe's place with its kind and codec, its tag (a transport
        stream's type or registered format) and its PMT languages, as inspect reports them."""
        for name in self.CONTAINERS:
            with self.subTest(file=name):
                rc, out, err = run(["inspect", "--json", "--no-digests", self.path(name)])
                self.assertEqual(rc, 0, err)
                ours = {s.get("id"): s for s in json.loads(out)["streams"]}
                for t in probe(self.path(name))["streams"]:
                    o = ours.get(t["id"], {})
                    keys = ("index", "codec_type", "codec_name", "codec_tag", "codec_tag_string", "tags", "disposition")
                    self.assertEqual([o.get(k) for k in keys], [t.get(k) for k in keys], t["id"])

    def test_standard_input(self):
        data = read(self.path("mpeg2_ac3.m2ts"))
        rc, out, err = run(["demux", "-", "--stream", "0x1011"], piece=1000, stdin=data)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out, ffmpeg_copy(self.path("mpeg2_ac3.m2ts"), "0:v:0", "mpeg2video"))

    def test_usage_errors(self):
        rows = [
            (["demux", self.path("h264_mp2.ts"), "--stream", "0x200"], "no stream 0x200"),
            (["demux", self.path("mpeg1.ts"), "--stream", "-5"], "ID must be"),
            (["demux", self.path("mpeg1.ts"), "--stream", "0x1e0x"], "ID must be"),
            (["demux", os.path.join(SAMPLES, "sample.h264")], "a bare stream has nothing to take out"),
            (["demux"], "needs exactly one FILE"),
        ]
        for args, message in rows:
            with self.subTest(args=args[1:]):
                rc, out, err = run(args)
                self.assertEqual((rc, out), (2, b""))
                self.assertIn(message, err)


class Damage(Tool):
    """Damaged copies of clean files: what comes out, and what is said about it."""

    def clean(self, name, pid):
        data = read(self.path(name))
        size = 192 if name.endswith("m2ts") else 188
        want = demux(self.path(name), hex(pid))[0]
        self.assertEqual(plain_ts_video(data, pid, size), want)
        return data, size, want

    def test_garbage_between_packets(self):
        r = random.Random(1)
        for name, pid in (("h264_mp2.ts", 0x100), ("mpeg2_ac3.m2ts", 0x1011)):
            data, size, want = self.clean(name, pid)
            for length in (1, 4, 187, 188, 189, 192, 1000):
                garbage = bytes(r.choice([b for b in range(256) if b != 0x47]) for _ in range(length))
                at = size * r.randrange(3, len(data) // size - 3)
                with self.subTest(file=name, length=length):
                    path = self.write("garbage", data[:at] + garbage + data[at:])
                    for piece in (None, 100):
                        out, err = demux(path, hex(pid), piece)
                        self.assertEqual(out, want)
                        self.assertIn("lost sync at offset %d: %d bytes skipped" % (at, length), err)
            with self.subTest(file=name, where="before the first packet"):
                out, err = demux(self.write("lead", b"\x00" * 700 + data), hex(pid))
                self.assertEqual(out, want)
                self.assertIn("700 bytes before the first packet skipped", err)

    def test_packets_lost_or_cut(self):
        data, size, want = self.clean("h264_mp2.ts", 0x100)
        packets = ts_packets(data)
        middle = [k for k, p in enumerate(packets) if (p[1] & 0x1F) << 8 | p[2] == 0x100 and not p[1] & 0x40][5:40:7]
        for k in middle:
            for cut in (188, 1, 100, 187):
                with self.subTest(packet=k, bytes_lost=cut):
                    damaged = b"".join(packets[:k]) + packets[k][:188 - cut] + b"".join(packets[k + 1:])
                    out, err = demux(self.write("lost", damaged), "0x100", 97)
                    self.assertEqual(out, plain_ts_video(b"".join(packets[:k] + packets[k + 1:]), 0x100))
                    self.assertIn("continuity error", err)
                    if cut != 188:
                        self.assertIn("lost sync at offset %d: %d bytes skipped" % (k * 188, 188 - cut), err)

    def test_truncated_end(self):
        for name, pid in (("h264_mp2.ts", 0x100), ("mpeg2_ac3.m2ts", 0x1011)):
            data, size, want = self.clean(name, pid)
            whole = len(data) - size
            for keep in (1, 4, 5, 100, size - 1):
                with self.subTest(file=name, keep=keep):
                    out, err = demux(self.write("cut", data[:whole + keep]), hex(pid))
                    self.assertEqual(out, plain_ts_video(data[:whole], pid, size))
                    self.assertIn("last packet cut short: %d bytes at offset %d" % (keep, whole), err)

    def test_program_map_changes_midway(self):
        # The same PAT; the PMT names PID 0x100 first, then 0x200 (new stream, new codec).
        first = read(self.path("h264_mp2.ts"))
        second = self.write("second.ts", b"")
        subprocess.run(G + V2 + ["-c:v", "libx265"] + X265 + ["-mpegts_start_pid", "0x200", "-f", "mpegts", second],
                       check=True)
        second = read(second)
        path = self.write("joined.ts", first + second)
        rc, out, err = run(["demux", "--list", path])
        self.assertEqual([l.split()[0] for l in out.decode().splitlines()], ["0x0100", "0x0101", "0x0200"])
        self.assertIn("H.265 video", out.decode())
        self.assertEqual(demux(path, "0x100")[0], plain_ts_video(first, 0x100))
        self.assertEqual(demux(path, "0x200", 333)[0], plain_ts_video(second, 0x200))

    def test_broken_tables_still_find_every_stream(self):
        """Tables lost or failing their CRC: the streams are found from their PES headers (and,
        after ten bad CRCs in a row, from the sections as they are), as ffprobe finds them:
        same streams, order, codecs and tags."""
        def rewrite(data, size, change):
            out = bytearray(data)
            for i in range(0, len(out) - size + 1, size):
                q = i + size - 188
                pid = (out[q + 1] & 0x1F) << 8 | out[q + 2]
                change(out, q, pid)
            return bytes(out)

        def null(pids):
            def change(b, q, pid):
                if pid in pids:
                    b[q + 1], b[q + 2] = b[q + 1] & 0xE0 | 0x1F, 0xFF
            return change

        def bad_crc(b, q, pid):
            if pid == pmt and b[q + 1] & 0x40:
                p = q + 5 + b[q + 4]
                b[p + 2 + ((b[p + 1] & 0x0F) << 8 | b[p + 2])] ^= 0xFF  # the CRC's last byte

        keys = ("index", "codec_type", "codec_name", "id", "codec_tag_string", "start_time", "duration")
        for name in ("h264_mp2.ts", "hevc_aac_len.ts", "mpeg2_ac3.m2ts"):
            size = 192 if name.endswith("m2ts") else 188
            data = read(self.path(name))
            # The PAT's first program's PMT PID.
            q = next(i + size - 188 for i in range(0, len(data), size)
                     if data[i + size - 187] & 0x5F == 0x40 and data[i + size - 186] == 0)
            p = q + 5 + data[q + 4]
            pmt = (data[p + 10] & 0x1F) << 8 | data[p + 11]
            for what, change in (("no PMT", null({pmt})), ("no PAT nor PMT", null({0, pmt})),
                                 ("bad PMT CRCs", bad_crc)):
                with self.subTest(file=name, damage=what):
                    path = self.write("psi" + name[-5:], rewrite(data, size, change))
                    theirs = [[s.get(k) for k in keys] for s in probe_now(path)["streams"]]
                    rc, out, err = run(["inspect", "--json", "--no-digests", path])
                    self.assertEqual(rc, 0, err)
                    ours = [[s.get(k) for k in keys] for s in json.loads(out)["streams"]]
                    self.assertEqual(ours, theirs)
                    self.assertIn("PES headers" if what != "bad PMT CRCs" else "wrong CRC", err)

    def test_program_stream_with_junk_named_ts(self):
        """A program stream with junk before and between its packs, named .ts: read as the
        program stream it is, its streams and times as ffprobe gives them."""
        data = read(self.path("mpeg1_mp2.mpg"))
        packs = [m.start() for m in re.finditer(b"\x00\x00\x01\xba", data)]
        r = random.Random(9)
        out, prev = bytearray(r.randbytes(300)), 0
        for k, at in enumerate(packs):
            out += data[prev:at]
            if k % 3 == 1:
                out += r.randbytes(r.randint(10, 400))
            prev = at
        out += data[prev:]
        path = self.write("junk.ts", bytes(out))
        keys = ("index", "codec_type", "codec_name", "id", "start_time", "duration")
        rc, got, err = run(["inspect", "--json", "--no-digests", path])
        self.assertEqual(rc, 0, err)
        ours = json.loads(got)
        theirs = probe_now(path)
        self.assertEqual(ours["format"]["format_name"], "mpeg")
        self.assertEqual([[s.get(k) for k in keys] for s in ours["streams"]],
                         [[s.get(k) for k in keys] for s in theirs["streams"]])
        self.assertIn("300 bytes before the first pack skipped", err)

    def test_program_stream_damage(self):
        data = read(self.path("mpeg2_mp2.vob"))
        want = demux(self.path("mpeg2_mp2.vob"))[0]
        packs = [m.start() for m in re.finditer(b"\x00\x00\x01\xba", data)]
        for at in packs[1:4]:
            with self.subTest(garbage_at=at):
                out, err = demux(self.write("g.vob", data[:at] + b"\x12\x00\x00\x01\x00\x34" + data[at:]), None, 50)
                self.assertEqual(out, want)
                self.assertIn("lost sync at offset %d: 6 bytes skipped" % at, err)
        out, err = demux(self.write("t.vob", data[:packs[2] + 700]))
        self.assertEqual(out, want[:len(out)])
        at = int(re.search(r"last packet cut short at offset (\d+)", err).group(1))
        self.assertTrue(packs[2] < at < packs[2] + 700, err)


class Built(Tool):
    """Streams written here, with what must come out of them."""

    def test_adaptation_fields_and_headers_cut_across_packets(self):
        r = random.Random(2)
        for size in (188, 192):
            m, want = Mux(size), bytearray()
            m.unit(0, pat([(1, 0x1000)]), table=True)
            m.unit(0x1000, pmt(1, [(0x1B, 0x100), (0x03, 0x101)]), table=True)
            for af in range(183):
                body = bytes(r.randrange(256) for _ in range(r.randrange(1, 500)))
                want += body
                # Headers long enough to span two packets, every adaptation field size.
                m.unit(0x100, pes(0xE0, body, length=r.choice([True, 0]), stuffing=af, pts=af * 3000),
                       afs=(af, None, min(182, af + 1)))
                m.packet(0x100, b"", False, 183)
                m.unit(0x101, pes(0xC0, b"\xff" * 50))
            with self.subTest(packet_size=size):
                rc, out, err = run(["demux", self.write("afs.ts", bytes(m.out))], piece=7)
                self.assertEqual((rc, err), (0, ""))
                self.assertEqual(out, bytes(want))

    def test_wrong_lengths_and_tables(self):
        m, want = Mux(), bytearray()
        m.unit(0, pat([(1, 0x1000), (2, 0x1001)]), table=True)
        # Program 2's PMT comes cut across packets, with a stuffed pointer field around.
        m.unit(0x1001, pmt(2, [(0x02, 0x300)] + [(0x06, 0x400 + k) for k in range(40)]), table=True,
               afs=(150, None))
        m.unit(0x1000, pmt(1, [(0x24, 0x100)]), table=True)
        m.unit(0x100, pes(0xE0, b"A" * 300, length=100))       # longer than its length: cut at it
        want += b"A" * (100 - 3)
        m.unit(0x100, pes(0xE0, b"B" * 300, length=3 + 600))   # shorter: all of it, a warning
        want += b"B" * 300
        m.unit(0x100, pes(0xE0, b"C" * 10, length=2))          # header past its length: dropped
        m.unit(0x100, b"\x00\x00\x02\xe0" + b"D" * 50)          # no start code: dropped
        # A PMT with a bad CRC changes nothing; a new version moves the stream.
        bad = bytearray(pmt(1, [(0x1B, 0x101)]))
        bad[-1] ^= 1
        m.unit(0x1000, bytes(bad), table=True)
        m.unit(0x100, pes(0xE0, b"E" * 20))
        want += b"E" * 20
        m.unit(0x1000, pmt(1, [(0x1B, 0x101)], version=1), table=True)
        m.unit(0x100, pes(0xE0, b"F" * 20))
        m.unit(0x101, pes(0xE0, b"G" * 20))
        path = self.write("lengths.ts", bytes(m.out))
        for piece in (None, 9):
            out, err = demux(path, "0x100", piece)
            self.assertEqual(out, bytes(want))
            for text in ("PID 0x0100:", "2 invalid PES headers", "1 PES packet shorter than its length",
                         "1 PES packet longer than its length", "wrong CRC in 1 table section"):
                self.assertIn(text, err)
        rc, out, err = run(["demux", "--list", path])
        self.assertEqual([l.split()[0] for l in out.decode().splitlines()][:4], ["0x0300", "0x0400", "0x0401", "0x0402"])
        self.assertIn("0x0101  program 1  stream_type 0x1b  H.264 video  20 bytes", out.decode())

    def test_program_stream_of_both_generations(self):
        def pack(mpeg2, stuffing=0):
            return (b"\x00\x00\x01\xba" + (bytes([0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8 | stuffing]) + b"\xff" * stuffing
                                           if mpeg2 else bytes([0x21, 0, 1, 0, 1, 0x80, 0, 1])))

        def pes1(sid, payload, stuffing=0, std=True, pts=True):
            body = b"\xff" * stuffing + (b"\x40\x20" if std else b"") + (b"\x21\x00\x01\x00\x01" if pts else b"\x0f")
            return b"\x00\x00\x01" + bytes([sid]) + (len(body) + len(payload)).to_bytes(2, "big") + body + payload

        psm = b"\x00\x00\x01\xbc\x00\x12\x80\x01\x00\x00\x00\x08\x1b\xe1\x00\x00\x03\xc0\x00\x00"
        psm += crc32(psm).to_bytes(4, "big")
        sysh = b"\x00\x00\x01\xbb\x00\x09\x80\x00\x01\x04\xe1\xff\xe0\xe0\x80"
        pad = b"\x00\x00\x01\xbe\x00\x10" + b"\xff" * 16
        r = random.Random(3)
        for mpeg2 in (False, True):
            data = pack(mpeg2, 5) + sysh + psm
            want = {0xE0: b"", 0xE1: b""}
            for k in range(12):
                a, b = (bytes(r.randrange(256) for _ in range(r.randrange(1, n))) for n in (600, 300))
                data += pack(mpeg2, k % 8) + pes1(0xE0, a, stuffing=k * 3 % 17, std=k % 3 > 0, pts=k % 2 > 0)
                data += (pes(0xE1, b) if mpeg2 else pes1(0xE1, b)) + pad
                want[0xE0] += a
                want[0xE1] += b
            data += b"\x00\x00\x01\xb9"
            path = self.write("ps.mpg", data)
            for sid in (0xE0, 0xE1):
                with self.subTest(mpeg2=mpeg2, stream=sid):
                    out, err = demux(path, hex(sid), 13)
                    self.assertEqual(out, want[sid])
                    self.assertEqual(err, "")
            rc, out, err = run(["demux", "--list", path])
            self.assertIn("0xe1  stream_type 0x1b  H.264 video", out.decode())
            self.assertIn("0xe0  video  ", out.decode())


class Refusals(Tool):
    # file, words the message must hold, the line of it whose command is run (or None)
    ROWS = [
        ("mpeg4.avi", "AVI file", "ffmpeg"),
        ("picture.png", "PNG image", "ffmpeg"),
        ("picture.jpg", "JPEG image", "ffmpeg"),
    ]

    # The first bytes of a file, and what qvutil says of it.
    HEADS = [
        (b"GIF89a\x10\x00", "GIF image"),
        (b"MM\x00*\x00\x00\x00\x08", "TIFF image"),
        (b"BM\x36\x00\x01\x00\x00\x00\x00\x00\x36\x00\x00\x00", "BMP image"),
        (b"RIFF\x24\x00\x00\x00WEBPVP8 ", "WebP image"),
        (b"\x00\x00\x00\x18ftypheic\x00\x00\x00\x00", "HEIF/AVIF image"),
        (b"RIFF\x24\x00\x00\x00WAVEfmt ", "WAV file, a format qvutil does not read"),
        (b"ID3\x04\x00\x00\x00\x00\x00\x00", "MP3 (ID3 tag) file, a format qvutil does not read"),
        (b"OggS\x00\x02" + bytes(20), "Ogg file"),
        (b"FLV\x01\x05\x00\x00\x00\x09", "Flash Video (FLV) file"),
        (b"\x30\x26\xb2\x75\x8e\x66\xcf\x11\xa6\xd9", "ASF (WMV) file"),
        # MP4 and Matroska are read: these heads hold no stream.
        (b"\x00\x00\x00\x08wide\x00\x00\x00\x10mdat", None),
        (b"\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01\x42\x82\x84webm", None),
        (b"YUV4MPEG2 W64 H48 F25:1", "YUV4MPEG2 raw video"),
        ((b"\x47" + bytes(203)) * 8, "MPEG-TS with 204-byte packets"),
        (b"\x00\x00\x00\x01\x67\x42\x00\x1e" + b"\x47" * 400, "a bare stream"),
        (b"\x00\x00\x01\xb3\x14\x00\xf0\x13", "a bare stream"),
        (b"\x00\x00\x00\x00\x01\xba\x44\x00\x04\x00\x04\x01\x01\x89\xc3\xf8", None),  # MPEG-PS
        (bytes(100) + (b"\x47\x1f\xff\x10" + bytes(184)) * 2, None),  # MPEG-TS, one packet's junk first
    ]

    def test_signatures(self):
        for head, words in self.HEADS:
            with self.subTest(head=head[:12]):
                rc, out, err = run(["demux", "--list", self.write("head", head)])
                if words:
                    self.assertEqual(rc, 2)
                    self.assertIn(": " + words, err)
                else:
                    self.assertEqual((rc, out), (0, b""))

    def test_refused_with_a_way_out(self):
        for name, words, line in self.ROWS:
            with self.subTest(file=name):
                copy = os.path.join(self.tmp, name)
                shutil.copy(self.path(name), copy)
                rc, out, err = run(["demux", copy])
                self.assertEqual((rc, out), (2, b""))
                self.assertIn("qvutil: %s: %s" % (copy, words), err)
                self.assertIn("ffmpeg -i " + copy, err)
                if not line:
                    continue
                command = next(l for l in err.splitlines() if l.strip().startswith(line))
                argv = shlex.split(command[command.index("ffmpeg"):])
                subprocess.run(G[:6] + argv[1:], check=True)
                made = argv[-1]
                self.assertTrue(os.path.getsize(made) > 100, made)
                # What comes out is a file qvutil reads.
                rc, out, err = run(["inspect", "--json", "--no-digests", made])
                self.assertEqual((rc, err), (0, ""))
                ours = [s["codec_name"] for s in json.loads(out)["streams"]]
                self.assertEqual(ours, [s["codec_name"] for s in probe(made)["streams"]])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)

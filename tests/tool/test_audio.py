#!/usr/bin/env python3
"""qvutil inspect and demux on audio streams, against ffprobe and ffmpeg.

    test_audio.py QVUTIL SAMPLES_DIR SHARED_DATA_DIR REQUIRE_DATA [EMULATOR...]

Every audio codec ffmpeg encodes (AAC, MPEG audio, AC-3, E-AC-3, DTS, TrueHD, Opus, FLAC, ALAC,
Vorbis, PCM), in mono, stereo and 5.1 where its encoder takes them, in each of MPEG-TS, MPEG-PS,
MP4, MOV and Matroska that ffmpeg puts it in. The files are made here with ffmpeg (half a
second each) and kept beside the tool or in $QV_TEST_CACHE (audio-corpus/, remade when the
recipes or ffmpeg change), together with ffprobe's answers about them. ffprobe's report of an
audio stream is the expected report; 'ffmpeg -c copy' into the codec's raw format makes the
expected output of demux.
"""

import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from qvtool import CorpusCase, run_tool

QVUTIL, SAMPLES, SHARED, REQUIRE = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] in ("1", "ON", "TRUE")
EMULATOR = sys.argv[5:]
CORPUS = os.path.join(os.environ.get("QV_TEST_CACHE") or os.path.dirname(os.path.abspath(QVUTIL)), "audio-corpus")
G = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-threads", "1"]
TIMEOUT = 120
CHANNELS = {"mono": 1, "stereo": 2, "5.1": 6, "5.1(side)": 6}


def audio(rate, layout):
    """Half a second of a sine in every channel of the layout, as an input: the pan is in the
    source's own graph, so that a file of two tracks can have two of them."""
    pan = "|".join("c%d=c0" % k for k in range(CHANNELS[layout]))
    return ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=%d:duration=0.5,pan=%s|%s" % (rate, layout, pan)]


# codec: its encoder's arguments, the containers ffmpeg 5.1 puts it in, and the sample rate of
# each layout its encoder takes. Left out, as ffmpeg refuses them: in MPEG-PS all but MPEG
# audio, AC-3, DTS and pcm_dvd; in MOV Opus, FLAC and TrueHD; in MP4 every PCM, and FLAC
# without -strict -2; in Matroska pcm_dvd and pcm_bluray. Left out, as ffmpeg makes something
# else of them: MP2 and MP3 in 5.1 and TrueHD in mono (mixed to stereo); FLAC, ALAC, Vorbis and
# PCM in plain MPEG-TS (data streams to ffprobe); TrueHD in plain MPEG-TS (ffprobe finds no
# stream in it, or an MP3 one); pcm_s16be in MPEG-PS (written as pcm_dvd).
# Rates other than 48 kHz where the encoder has them: MPEG-2's half rates in MP2 and MP3, the
# header tables' other rows elsewhere.
CODECS = [
    ("aac", ["-c:a", "aac"], "ts mp4 mov mkv", {"mono": 44100, "stereo": 48000, "5.1": 48000}),
    ("mp2", ["-c:a", "mp2"], "ts mpg mp4 mov mkv", {"mono": 24000, "stereo": 48000}),
    ("mp3", ["-c:a", "libmp3lame"], "ts mpg mp4 mov mkv", {"mono": 22050, "stereo": 44100}),
    # A frame size of its own per frame: no bit rate in the headers holds for the stream.
    ("mp3vbr", ["-c:a", "libmp3lame", "-q:a", "4"], "ts mp4 mkv", {"stereo": 44100}),
    ("ac3", ["-c:a", "ac3"], "ts vob mp4 mov mkv", {"mono": 44100, "stereo": 48000, "5.1(side)": 48000}),
    ("eac3", ["-c:a", "eac3"], "ts mp4 mov mkv", {"mono": 32000, "stereo": 48000, "5.1(side)": 48000}),
    ("opus", ["-c:a", "libopus"], "ts mp4 mkv", {"mono": 48000, "stereo": 48000, "5.1": 48000}),
    ("flac", ["-c:a", "flac", "-strict", "-2"], "mp4 mkv", {"mono": 44100, "stereo": 48000, "5.1": 48000}),
    ("alac", ["-c:a", "alac"], "mp4 mov mkv", {"mono": 44100, "stereo": 48000, "5.1": 48000}),
    ("vorbis", ["-c:a", "libvorbis"], "mp4 mov mkv", {"mono": 44100, "stereo": 48000, "5.1": 48000}),
    ("dts", ["-c:a", "dca", "-strict", "-2"], "ts mpg mp4 mov mkv",
     {"mono": 44100, "stereo": 48000, "5.1(side)": 48000}),
    ("truehd", ["-c:a", "truehd", "-strict", "-2"], "m2ts mp4 mkv", {"stereo": 48000, "5.1": 48000}),
    ("pcm_s16le", ["-c:a", "pcm_s16le"], "mov mkv", {"mono": 44100, "stereo": 48000, "5.1": 48000}),
    ("pcm_s16be", ["-c:a", "pcm_s16be"], "mov mkv", {"mono": 44100, "stereo": 48000, "5.1": 48000}),
    ("pcm_s24le", ["-c:a", "pcm_s24le"], "mov mkv", {"mono": 44100, "stereo": 48000, "5.1": 48000}),
    ("pcm_f32le", ["-c:a", "pcm_f32le"], "mov mkv", {"mono": 44100, "stereo": 48000, "5.1": 48000}),
    ("pcm_dvd", ["-c:a", "pcm_dvd"], "vob", {"mono": 48000, "stereo": 48000, "5.1(side)": 48000}),
    ("pcm_bluray", ["-c:a", "pcm_bluray"], "m2ts", {"mono": 48000, "stereo": 96000, "5.1(side)": 48000}),
]
# What the extension does not say.
MUX = {"m2ts": ["-mpegts_m2ts_mode", "1"]}

# name: the ffmpeg arguments that make it, in order.
RECIPES = {"%s_%s.%s" % (codec, layout.split("(")[0].replace(".", ""), ext):
           audio(rate, layout) + encoder + MUX.get(ext, [])
           for codec, encoder, containers, rates in CODECS for layout, rate in rates.items()
           for ext in containers.split()}
V = ["-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=0.5"]
X264 = ["-c:v", "libx264", "-g", "12", "-bf", "2"]
TWO = ["-map", "0", "-map", "1"]
LANG = ["-metadata:s:a:0", "language=eng", "-metadata:s:a:1", "language=fra"]
RECIPES.update({
    # LATM in a transport stream: the configuration travels in the frames.
    "aac_latm_mono.ts": audio(48000, "mono") + ["-c:a", "aac", "-mpegts_flags", "latm"],
    "aac_latm_51.ts": audio(44100, "5.1") + ["-c:a", "aac", "-mpegts_flags", "latm"],
    # Beside video: the audio is not the first stream, nor the first PID.
    "h264_aac.ts": V + audio(48000, "stereo") + X264 + ["-c:a", "aac"],
    "mpeg2_mp2.mpg": V + audio(48000, "stereo") + ["-c:v", "mpeg2video", "-c:a", "mp2"],
    "h264_eac3.mp4": V + audio(48000, "5.1(side)") + X264 + ["-c:a", "eac3"],
    "h264_opus.mkv": V + audio(48000, "stereo") + X264 + ["-c:a", "libopus"],
    # Two tracks, with languages where the container has them.
    "aac_ac3_langs.ts": audio(48000, "stereo") + audio(48000, "5.1(side)") + TWO +
    ["-c:a:0", "aac", "-c:a:1", "ac3"] + LANG,
    "aac_eac3_langs.mp4": audio(44100, "mono") + audio(48000, "5.1(side)") + TWO +
    ["-c:a:0", "aac", "-c:a:1", "eac3"] + LANG,
    "ac3_dts_langs.mkv": audio(48000, "stereo") + audio(48000, "5.1(side)") + TWO +
    ["-c:a:0", "ac3", "-c:a:1", "dca", "-strict", "-2"] + LANG,
    "mp2_ac3.vob": audio(48000, "stereo") + audio(48000, "5.1(side)") + TWO + ["-c:a:0", "mp2", "-c:a:1", "ac3"],
})


def ffmpeg_version():
    return subprocess.run(["ffmpeg", "-version"], stdout=subprocess.PIPE).stdout.split(b"\n")[0].decode()


def corpus():
    """The folder with every recipe's file, made once per recipe set and ffmpeg."""
    recipes = json.dumps(list(RECIPES.items()))
    folder = os.path.join(CORPUS, hashlib.sha1((ffmpeg_version() + recipes).encode()).hexdigest()[:12])
    if not os.path.isdir(folder):
        os.makedirs(CORPUS, exist_ok=True)
        work = tempfile.mkdtemp(dir=CORPUS)

        def make(name):
            subprocess.run(G + RECIPES[name] + [os.path.join(work, name)], check=True)

        # On every core: each ffmpeg has one thread.
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
            list(pool.map(make, RECIPES))
        try:
            os.rename(work, folder)
        except OSError:  # made meanwhile by a run for another build directory
            shutil.rmtree(work, ignore_errors=True)
    return folder


def family(name):
    """The container a file's name says, as the readers go."""
    ext = name.rsplit(".", 1)[1]
    return {"m2ts": "ts", "mpg": "ps", "vob": "ps", "mov": "mp4", "mp3": "raw"}.get(ext, ext)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(args):
    env = dict(os.environ)
    env.pop("QVUTIL_PIECE_SIZE", None)
    p = run_tool(EMULATOR, QVUTIL, args, b"", env, TIMEOUT)
    return p.returncode, p.stdout, p.stderr.decode()


PROBE = ["-show_streams", "-show_format", "-count_frames"]


def probe(path):
    """ffprobe's answer for the file, kept beside it (a corpus folder never changes once made;
    the question is in the name, for when it does)."""
    cache = "%s.streams-%s.json" % (path, hashlib.sha1(" ".join(PROBE).encode()).hexdigest()[:8])
    if os.path.exists(cache) and os.path.getmtime(cache) >= os.path.getmtime(path):
        with open(cache) as f:
            return json.load(f)
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json"] + PROBE + [path], stdout=subprocess.PIPE,
                         check=True).stdout
    result = json.loads(out)
    with open("%s.%d" % (cache, os.getpid()), "w") as f:
        json.dump(result, f)
    os.replace("%s.%d" % (cache, os.getpid()), cache)
    return result


def audio_streams(path):
    return [s for s in probe(path)["streams"] if s["codec_type"] == "audio"]


# --- What is compared -----------------------------------------------------------------------

AUDIO_KEYS = ["index", "codec_type", "codec_name", "codec_long_name", "profile", "sample_fmt", "sample_rate",
              "channels", "channel_layout", "bits_per_sample", "bits_per_raw_sample", "time_base", "start_pts",
              "start_time", "duration_ts", "duration", "bit_rate", "nb_frames", "nb_read_frames",
              "codec_tag_string", "codec_tag", "id", "tags"]
FORMAT_KEYS = ["start_time", "duration"]
# Differences that cannot go away, each narrowly: dict(family=..., codecs={...}, keys={...},
# test=lambda ours, theirs: ..., why="...") with family one of ts, ps, mp4, mkv, raw, or None
# for any.
KNOWN = []


def known(name, codec, key, ours, theirs):
    return any(k["family"] in (None, family(name)) and codec in k["codecs"] and key in k["keys"]
               and k["test"](ours, theirs) for k in KNOWN)


def differences(name, ours, theirs, keys, codec=None):
    """'key: ours X, ffprobe Y' for each of the keys that either has and the other has not, or
    has otherwise."""
    out = []
    for key in keys:
        if key not in ours and key not in theirs:
            continue
        o, t = ours.get(key), theirs.get(key)
        if key in ours and key in theirs and o == t or known(name, codec, key, o, t):
            continue
        out.append("%s: ours %s, ffprobe %s" % (key, json.dumps(o) if key in ours else "has none",
                                                json.dumps(t) if key in theirs else "has none"))
    return out


# ffmpeg's muxer for each codec's raw stream. No ID3 tag or Xing frame: those are the mp3
# muxer's own, not the stream's.
RAW = {"aac": ["-f", "adts"], "mp2": ["-f", "mp2"], "mp3": ["-f", "mp3", "-id3v2_version", "0", "-write_xing", "0"],
       "ac3": ["-f", "ac3"], "eac3": ["-f", "eac3"], "dts": ["-f", "dts"]}


def stream_id(stream):
    """The ID demux --stream takes, as ffprobe gives it: a PID, a program stream's stream_id or
    private sub-stream, an MP4 track_ID. ffprobe gives a Matroska track none; ffmpeg's muxer
    numbers them from 1 in stream order."""
    return stream["id"] if "id" in stream else str(stream["index"] + 1)


def word(text):
    """A pattern for the text on its own: 'ac3' not in 'eac3', '5.1' not in '5.1(side)'."""
    return r"(?<![\w.])%s(?![\w.(])" % re.escape(text)


class Tool(CorpusCase):
    require = REQUIRE
    make_corpus = staticmethod(corpus)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.files = list(RECIPES)
        # Under an emulator every fourth file: the code paths are the same (the byte order's
        # and the platform's part of them shows on any), each start slow.
        if EMULATOR:
            cls.files = cls.files[::4]
        # ffprobe takes a tenth of a second to start, and the first run asks it of every file.
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
            list(pool.map(lambda n: probe(os.path.join(cls.dir, n)), cls.files))


class Inspect(Tool):
    def test_audio_streams_agree_with_ffprobe(self):
        """Every audio stream of every file, and the format's times, key by key; all differences
        at once."""
        failures = []
        for name in self.files:
            path = self.path(name)
            theirs = probe(path)
            rc, out, err = run(["inspect", "--json", "--no-digests", path])
            if rc != 0:
                failures.append("%s: status %d: %s" % (name, rc, err.replace("qvutil: %s: " % path, "").strip()))
                continue
            if err:
                failures.append("%s: warnings on a sound file: %s" % (name, err.strip()))
            ours = json.loads(out)
            failures += ["%s: format: %s" % (name, d)
                         for d in differences(name, ours.get("format", {}), theirs["format"], FORMAT_KEYS)]
            by_index = {s.get("index"): s for s in ours.get("streams", [])}
            for t in theirs["streams"]:
                o = by_index.get(t["index"])
                if t["codec_type"] != "audio" and (o or {}).get("codec_type") != "audio":
                    continue
                what = "%s: stream %d (%s)" % (name, t["index"], t.get("codec_name", t["codec_type"]))
                if o is None:
                    failures.append("%s: not in ours" % what)
                    continue
                failures += ["%s: %s" % (what, d) for d in differences(name, o, t, AUDIO_KEYS, t.get("codec_name"))]
            theirs_indexes = {t["index"] for t in theirs["streams"]}
            failures += ["%s: stream %s (%s): ffprobe has none" % (name, o.get("index"), o.get("codec_name"))
                         for o in ours.get("streams", [])
                         if o.get("codec_type") == "audio" and o.get("index") not in theirs_indexes]
        if failures:
            self.fail("%d differences:\n%s" % (len(failures), "\n".join(failures)))

    # Files whose text report is read: a codec of each kind, each container, the layouts' names
    # and the languages.
    TEXT_ROWS = ["aac_mono.ts", "mp3_stereo.mpg", "ac3_51.vob", "eac3_51.mp4", "dts_51.mkv", "truehd_51.m2ts",
                 "opus_51.mkv", "flac_stereo.mp4", "alac_51.mov", "vorbis_mono.mkv", "pcm_s24le_stereo.mov",
                 "pcm_dvd_51.vob", "pcm_bluray_51.m2ts", "h264_aac.ts", "aac_ac3_langs.ts", "aac_eac3_langs.mp4",
                 "ac3_dts_langs.mkv"]

    def test_text_report_names_each_audio_stream(self):
        """The report for people says, on each audio stream's lines, its codec, sample rate,
        channel layout and language, as ffprobe names them."""
        for name in self.TEXT_ROWS:
            with self.subTest(file=name):
                rc, out, err = run(["inspect", "--no-digests", self.path(name)])
                self.assertEqual((rc, err), (0, ""))
                text = out.decode()
                sections = {int(m.group(1)): m.group(0) for m in
                            re.finditer(r"^Stream #(\d+)\b.*?(?=^Stream #|\Z)", text, re.M | re.S)}
                self.assertEqual(sorted(sections), [s["index"] for s in probe(self.path(name))["streams"]], text)
                missing = []
                for s in audio_streams(self.path(name)):
                    # Matroska's PCM has no layout for ffprobe, nor a file without languages any;
                    # a Blu-ray TrueHD stream's AC-3 core may have no frames, and no rate.
                    facts = [s["codec_name"], int(s["sample_rate"]) and "%s Hz" % s["sample_rate"], s.get("channel_layout"),
                             s.get("tags", {}).get("language")]
                    missing += ["stream %d: %s" % (s["index"], f) for f in facts
                                if f and not re.search(word(f), sections[s["index"]])]
                if missing:
                    self.fail("not on the stream's lines: %s\n%s" % (", ".join(missing), text))


class Demux(Tool):
    def test_audio_streams_byte_for_byte(self):
        """Each AAC, MPEG audio, AC-3, E-AC-3 and DTS stream of every container, as ffmpeg's
        stream copy writes it into the codec's raw format; all differences at once."""
        # Not the streams ffprobe reads no frame of: beside a Blu-ray TrueHD stream ffmpeg lists an
        # AC-3 one on the same PID, for the core a disc's TrueHD carries, which ffmpeg's encoder
        # does not write.
        rows = [(name, s) for name in self.files if family(name) != "raw" for s in audio_streams(self.path(name))
                if s["codec_name"] in RAW and int(s.get("nb_read_frames", "0")) > 0]
        self.assertGreater(len(rows), 10)

        def ffmpeg(row):
            name, s = row
            out = os.path.join(self.tmp, "%s.%d.ffmpeg" % (name, s["index"]))
            subprocess.run(G + ["-i", self.path(name), "-map", "0:%d" % s["index"], "-c", "copy"] +
                           RAW[s["codec_name"]] + [out], check=True)
            return read(out)

        with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
            wants = list(pool.map(ffmpeg, rows))
        failures = []
        for (name, s), want in zip(rows, wants):
            self.assertGreater(len(want), 100, (name, s["index"]))
            what = "%s: stream %d (%s, --stream %s)" % (name, s["index"], s["codec_name"], stream_id(s))
            out = os.path.join(self.tmp, "qvutil.out")
            if os.path.exists(out):
                os.remove(out)
            rc, stdout, err = run(["demux", "--stream", stream_id(s), "-o", out, self.path(name)])
            got = read(out) if os.path.exists(out) else b""
            if rc != 0 or err:
                err = err.replace("qvutil: %s: " % self.path(name), "").strip()
                failures.append("%s: status %d: %s" % (what, rc, err))
            elif stdout:
                failures.append("%s: %d bytes on standard output besides OUT" % (what, len(stdout)))
            elif got != want:
                at = next((k for k, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
                failures.append("%s: %d bytes, ffmpeg %d; first difference at byte %d"
                                % (what, len(got), len(want), at))
        if failures:
            self.fail("%d differences:\n%s" % (len(failures), "\n".join(failures)))


def adts_frames(data):
    """An ADTS stream cut into its frames by their own lengths."""
    frames = []
    while len(data) >= 7 and data[0] == 0xFF and data[1] & 0xF6 == 0xF0:
        size = (data[3] & 3) << 11 | data[4] << 3 | data[5] >> 5
        frames.append(data[:size])
        data = data[size:]
    assert not data, "not whole ADTS frames"
    return frames


class Damage(Tool):
    """Bare ADTS streams damaged on purpose: the frames that are there are counted, the damage
    is reported with its offset, and nothing else changes."""

    def ours(self, data):
        path = self.write("damaged.aac", data)
        rc, out, err = run(["inspect", "--json", "--no-digests", path])
        self.assertEqual(rc, 0, err)
        stream = json.loads(out)["streams"][0]
        return int(stream.get("nb_read_frames", "0")), stream.get("diagnostics", []), stream

    def adts(self, name):
        out = os.path.join(self.tmp, name + ".aac")
        subprocess.run(G + ["-i", self.path(name), "-map", "0:a:0", "-c", "copy", "-f", "adts", out], check=True)
        return adts_frames(read(out))

    def test_damage(self):
        frames = self.adts("aac_stereo.ts")
        whole = b"".join(frames)
        n = len(frames)
        fake = bytes([0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC])  # a header for a frame of 16 bytes
        # Where a fake header stands inside a payload, a junk run, and a cut: (data, frames,
        # the diagnostics' offsets).
        inside = b"".join(f[:20] + fake + f[27:] if k % 3 == 0 else f for k, f in enumerate(frames))
        junk_at = sum(len(f) for f in frames[:5])
        junked = whole[:junk_at] + bytes(100) + fake[:3] + whole[junk_at:]
        cut = whole[:-10]
        rows = [
            ("a false sync word inside every third payload", inside, n, []),
            ("103 bytes of junk after the fifth frame", junked, n, [junk_at]),
            ("the last frame cut short", cut, n - 1, [len(cut)]),
            ("junk before the first frame", bytes(7) + whole, n, [0]),
        ]
        for what, data, count, offsets in rows:
            with self.subTest(what):
                frames_read, diagnostics, _ = self.ours(data)
                self.assertEqual(frames_read, count)
                self.assertEqual([int(re.search(r"offset (\d+)", d).group(1)) for d in diagnostics], offsets,
                                 diagnostics)

    def test_header_change_keeps_the_first(self):
        """A stream whose configuration changes midway: the first header's facts, the change
        counted with its offset."""
        first, second = self.adts("aac_mono.mp4"), self.adts("aac_stereo.mp4")
        data = b"".join(first + second)
        frames_read, diagnostics, stream = self.ours(data)
        self.assertEqual(frames_read, len(first) + len(second))
        self.assertEqual((stream["sample_rate"], stream["channel_layout"]), ("44100", "mono"))
        at = sum(len(f) for f in first)
        self.assertEqual(len(diagnostics), 1, diagnostics)
        self.assertIn("offset %d" % at, diagnostics[0])
        self.assertIn("48000 Hz, stereo", diagnostics[0])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])

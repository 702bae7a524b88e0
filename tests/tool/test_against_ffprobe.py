#!/usr/bin/env python3
"""qvutil inspect --json and qvutil frames against ffprobe, field by field.

    test_against_ffprobe.py QVUTIL SAMPLES_DIR SHARED_DATA_DIR REQUIRE_DATA [EMULATOR...]

A corpus of small streams is made at test time with ffmpeg (libx264, libx265, its MPEG-1 and
MPEG-2 encoders) over varied profiles, bit depths, chroma formats, sizes, interlacing, frame
rates, aspect ratios and colour signalling, and kept beside the qvutil binary so that later
runs reuse it (or in $QV_TEST_CACHE, which several build directories may share). ffprobe (-show_streams -count_frames, -show_packets, -show_frames) is the
oracle; the shared real streams and the bundled samples are compared too.
"""

import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import unittest

from qvtool import run_tool

QVUTIL, SAMPLES, SHARED, REQUIRE = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] in ("1", "ON", "TRUE")
EMULATOR = sys.argv[5:]
STREAMS = os.path.join(SHARED, "streams")
CACHE = os.path.join(os.environ.get("QV_TEST_CACHE") or os.path.dirname(os.path.abspath(QVUTIL)), "inspect-corpus")

X265 = "log-level=error"
# name, testsrc2 size, rate, frames, encoder arguments
CORPUS = [
    ("x264-cbp", "320x240", "25", 12, ["-c:v", "libx264", "-profile:v", "baseline"]),
    ("x264-main-sar", "352x288", "24000/1001", 12, ["-vf", "setsar=16/11", "-c:v", "libx264", "-profile:v", "main"]),
    ("x264-high-crop", "322x182", "50", 12, ["-c:v", "libx264", "-profile:v", "high"]),
    ("x264-high-slices", "640x360", "25", 8, ["-c:v", "libx264", "-x264-params", "slices=4:keyint=4:bframes=2"]),
    ("x264-high10", "320x240", "60", 12, ["-c:v", "libx264", "-profile:v", "high10", "-pix_fmt", "yuv420p10le"]),
    ("x264-high422", "320x240", "25", 12, ["-c:v", "libx264", "-profile:v", "high422", "-pix_fmt", "yuv422p"]),
    ("x264-high422-10", "256x144", "25", 12, ["-c:v", "libx264", "-pix_fmt", "yuv422p10le"]),
    ("x264-high444", "320x240", "25", 12, ["-c:v", "libx264", "-profile:v", "high444", "-pix_fmt", "yuv444p"]),
    ("x264-444-10-sar", "322x240", "30", 12, ["-vf", "setsar=40/33", "-c:v", "libx264", "-pix_fmt", "yuv444p10le"]),
    ("x264-tff", "320x240", "30000/1001", 12, ["-c:v", "libx264", "-x264-params", "interlaced=1:tff=1"]),
    ("x264-bff", "352x288", "25", 12, ["-c:v", "libx264", "-x264-params", "interlaced=1:bff=1"]),
    ("x264-fake-interlaced", "320x240", "25", 12, ["-c:v", "libx264", "-x264-params", "fake-interlaced=1:pic-struct=1"]),
    ("x264-bt709", "320x240", "30000/1001", 12, ["-c:v", "libx264", "-color_primaries", "bt709", "-color_trc",
                                                 "bt709", "-colorspace", "bt709", "-color_range", "tv"]),
    ("x264-pq", "320x240", "25", 12, ["-c:v", "libx264", "-pix_fmt", "yuv420p10le", "-color_primaries", "bt2020",
                                      "-color_trc", "smpte2084", "-colorspace", "bt2020nc"]),
    ("x264-full", "320x240", "25", 12, ["-c:v", "libx264", "-pix_fmt", "yuvj420p"]),
    ("x264-open-gop", "320x240", "25", 24, ["-c:v", "libx264", "-x264-params", "keyint=8:open-gop=1:scenecut=0"]),
    ("x264-cavlc-ref1", "176x144", "60", 12, ["-c:v", "libx264", "-x264-params", "cabac=0:ref=1:bframes=0"]),
    ("x264-1080-aud", "1920x1080", "30000/1001", 3, ["-c:v", "libx264", "-preset", "ultrafast", "-x264-params", "aud=1"]),
    ("x264-intra-refresh", "320x240", "25", 24, ["-c:v", "libx264", "-x264-params", "intra-refresh=1:keyint=8"]),
    ("x264-hrd-tff", "320x240", "25", 12, ["-c:v", "libx264", "-x264-params",
                                           "nal-hrd=vbr:vbv-maxrate=800:vbv-bufsize=1600:interlaced=1:tff=1"]),
    ("x264-gray", "320x240", "25", 6, ["-c:v", "libx264", "-pix_fmt", "gray"]),
    ("x264-bluray-weightp", "480x270", "24000/1001", 12, ["-c:v", "libx264", "-x264-params",
                                                          "bluray-compat=1:weightp=2:b-pyramid=strict:bframes=3"]),
    ("x265-main", "320x240", "25", 12, ["-c:v", "libx265", "-x265-params", X265]),
    ("x265-main10-crop", "322x182", "30000/1001", 12, ["-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-x265-params", X265]),
    ("x265-main12", "320x240", "24000/1001", 12, ["-c:v", "libx265", "-pix_fmt", "yuv420p12le", "-x265-params", X265]),
    ("x265-main422-10", "320x240", "50", 12, ["-c:v", "libx265", "-pix_fmt", "yuv422p10le", "-x265-params", X265]),
    ("x265-main444-8", "320x240", "25", 12, ["-c:v", "libx265", "-pix_fmt", "yuv444p", "-x265-params", X265]),
    ("x265-hdr", "320x240", "60", 12, ["-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-x265-params", X265 +
                                       ":colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc:range=limited"
                                       ":master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)"
                                       "L(10000000,1):max-cll=1000,400"]),
    ("x265-open-gop-sar", "352x288", "25", 24, ["-vf", "setsar=12/11", "-c:v", "libx265", "-x265-params",
                                                X265 + ":keyint=8:min-keyint=8:open-gop=1:scenecut=0"]),
    ("x265-full-bt709", "320x240", "30", 12, ["-c:v", "libx265", "-pix_fmt", "yuvj420p", "-color_primaries", "bt709",
                                              "-color_trc", "bt709", "-colorspace", "bt709", "-x265-params", X265]),
    ("x265-hrd-aud", "320x240", "25", 12, ["-c:v", "libx265", "-x265-params", X265 +
                                           ":hrd=1:vbv-maxrate=800:vbv-bufsize=1600:aud=1:repeat-headers=1"]),
    ("x265-intra", "320x240", "25", 6, ["-c:v", "libx265", "-x265-params", X265 + ":keyint=1"]),
    ("x265-slices-closed", "416x240", "30000/1001", 12, ["-c:v", "libx265", "-x265-params",
                                                         X265 + ":slices=3:keyint=5:open-gop=0:bframes=3"]),
    ("x265-hlg", "320x240", "50", 6, ["-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-x265-params",
                                      X265 + ":colorprim=bt2020:transfer=bt2020-10:colormatrix=bt2020nc"
                                      ":atc-sei=18:pic-struct=0"]),
    ("mpeg2-420", "320x240", "25", 12, ["-c:v", "mpeg2video", "-bf", "2", "-g", "6"]),
    ("mpeg2-422", "720x576", "25", 6, ["-c:v", "mpeg2video", "-pix_fmt", "yuv422p", "-aspect", "16:9"]),
    ("mpeg2-tff", "720x576", "25", 6, ["-c:v", "mpeg2video", "-flags", "+ilme+ildct", "-top", "1", "-aspect", "4:3"]),
    ("mpeg2-bff", "720x480", "30000/1001", 6, ["-c:v", "mpeg2video", "-flags", "+ilme+ildct", "-top", "0", "-bf", "2"]),
    # Sizes whose low 12 bits are 0: the sequence extension holds the rest.
    ("mpeg2-4096x2160", "4096x2160", "25", 6, ["-c:v", "mpeg2video", "-strict", "-1"]),
    ("mpeg2-8192x64", "8192x64", "25", 6, ["-c:v", "mpeg2video", "-strict", "-1"]),
    ("mpeg2-64x4096", "64x4096", "25", 6, ["-c:v", "mpeg2video", "-strict", "-1"]),
    ("mpeg2-colour", "352x288", "60", 6, ["-c:v", "mpeg2video", "-color_primaries", "bt709", "-color_trc", "bt709",
                                          "-colorspace", "bt709"]),
    ("mpeg2-24p", "320x240", "24000/1001", 6, ["-c:v", "mpeg2video", "-g", "3", "-bf", "1"]),
    ("mpeg1", "352x288", "25", 12, ["-c:v", "mpeg1video", "-bf", "2"]),
    ("mpeg1-film", "320x240", "24000/1001", 6, ["-c:v", "mpeg1video"]),
    ("mpeg1-aspect", "352x240", "30000/1001", 6, ["-c:v", "mpeg1video", "-aspect", "4:3"]),
    ("mpeg2-1080i", "1920x1080", "25", 3, ["-c:v", "mpeg2video", "-flags", "+ilme+ildct", "-top", "1",
                                           "-aspect", "16:9"]),
    ("mpeg2-intra-221", "480x270", "25", 4, ["-c:v", "mpeg2video", "-g", "1", "-aspect", "2.21"]),
]
FORMATS = {"libx264": ("h264", ".h264"), "libx265": ("hevc", ".h265"), "mpeg2video": ("mpeg2video", ".m2v"),
           "mpeg1video": ("mpeg1video", ".m1v")}

# Stream keys compared with ffprobe's, value for value, wherever ffprobe reports them; a key
# ffprobe leaves out must be left out here too, except these, which qvutil knows more often.
KEYS = ["codec_name", "profile", "codec_type", "width", "height", "coded_width", "coded_height", "has_b_frames",
        "sample_aspect_ratio", "display_aspect_ratio", "pix_fmt", "level", "color_range", "color_space",
        "color_transfer", "color_primaries", "chroma_location", "field_order", "refs", "r_frame_rate",
        "avg_frame_rate", "bits_per_raw_sample", "codec_tag_string", "codec_tag", "tags", "disposition"]
EXTRA_OK = {"field_order", "bits_per_raw_sample"}


def run(args, stdin=b"", piece=None):
    env = dict(os.environ)
    if piece:
        env["QVUTIL_PIECE_SIZE"] = str(piece)
    p = run_tool(EMULATOR, QVUTIL, args, stdin, env)
    return p.returncode, p.stdout, p.stderr.decode()


def probe(path, what):
    """ffprobe's answer for the file, cached in the corpus folder (never beside shared data)."""
    os.makedirs(CACHE, exist_ok=True)
    args = {"streams": ["-show_streams", "-count_frames"],
            "packets": ["-show_packets", "-show_entries", "packet=pos,size,flags"],
            "frames": ["-show_frames", "-show_entries", "frame=pkt_pos,pict_type,key_frame"],
            "format": ["-show_format", "-show_entries", "format=format_name,nb_streams,start_time"]}[what]
    key = hashlib.sha1((os.path.abspath(path) + " ".join(args)).encode()).hexdigest()[:12]
    cache = os.path.join(CACHE, "%s-%s.%s.json" % (os.path.basename(path), key, what))
    if os.path.exists(cache) and os.path.getmtime(cache) >= os.path.getmtime(path):
        with open(cache) as f:
            return json.load(f)
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json"] + args + [path], stdout=subprocess.PIPE,
                         check=True).stdout
    result = json.loads(out)
    with open(cache + ".tmp", "w") as f:
        json.dump(result, f)
    os.replace(cache + ".tmp", cache)
    return result


def corpus():
    """The generated streams, made once per build directory: (name, path, codec)."""
    os.makedirs(CACHE, exist_ok=True)
    files = []
    for name, size, rate, frames, enc in CORPUS:
        codec, ext = FORMATS[enc[enc.index("-c:v") + 1]]
        cmd = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=%s:rate=%s" % (size, rate),
               "-frames:v", str(frames)] + enc + ["-f", {"h264": "h264", "hevc": "hevc"}.get(codec, "mpeg2video"
                                                                                                   if codec == "mpeg2video" else "mpeg1video")]
        tag = hashlib.sha1(" ".join(cmd).encode()).hexdigest()[:8]
        path = os.path.join(CACHE, "%s-%s%s" % (name, tag, ext))
        if not os.path.exists(path):
            subprocess.run(cmd + [path + ".tmp"], check=True)
            os.replace(path + ".tmp", path)
        files.append((name, path, codec))
    return files


# Bare streams of the corpus wrapped with ffmpeg -c copy, beside a second audio stream:
# (container, ffmpeg's muxer arguments, extension, ffprobe's format_name).
CONTAINERS = [
    ("ts", ["-f", "mpegts"], ".ts", "mpegts"),
    ("m2ts", ["-f", "mpegts", "-mpegts_m2ts_mode", "1"], ".m2ts", "mpegts"),
    ("ps", ["-f", "mpeg"], ".mpg", "mpeg"),
    # Its 33-bit time stamps wrap a second in: ffmpeg makes those before the wrap negative.
    ("ts-wrap", ["-f", "mpegts", "-output_ts_offset", "95441.5", "-mpegts_copyts", "1"], ".ts", "mpegts"),
]
WRAPPED = ["x264-main-sar", "x264-tff", "x264-high10", "x265-hdr", "x265-main422-10", "mpeg2-bff", "mpeg2-422",
           "mpeg1", "x264-hrd-tff"]


def wrapped():
    """Some corpus rows encoded straight into each container, beside an audio stream, made
    once per build directory: (name, path, container)."""
    out = []
    for name, size, rate, frames, enc in CORPUS:
        if name not in WRAPPED:
            continue
        for kind, mux, ext, _ in CONTAINERS:
            if kind == "ps" and "libx265" in enc:
                continue  # the MPEG-PS muxer takes no H.265
            cmd = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=%s:rate=%s" % (size, rate),
                   "-f", "lavfi", "-i", "sine=duration=1", "-frames:v", str(frames)] + enc + \
                  ["-map", "0:v", "-map", "1:a", "-c:a", "mp2", "-shortest"] + mux
            tag = hashlib.sha1(" ".join(cmd).encode()).hexdigest()[:8]
            path = os.path.join(CACHE, "%s-%s%s" % (name, tag, ext))
            if not os.path.exists(path):
                subprocess.run(cmd + [path + ".tmp"], check=True)
                os.replace(path + ".tmp", path)
            out.append(("%s in %s" % (name, kind), path, kind))
    return out


def real_streams():
    files = [(n, os.path.join(SAMPLES, n), None) for n in ("sample.h264", "sample.h265", "sample.m2v")]
    if os.path.isdir(STREAMS):
        files += [(n, os.path.join(STREAMS, n), None) for n in sorted(os.listdir(STREAMS))
                  if not n.endswith(".md") and not n.startswith(".")]
    return files


def inspect_json(path, piece=None):
    rc, out, err = run(["inspect", "--json", "--no-digests", path], piece=piece)
    if rc != 0:
        raise AssertionError("qvutil inspect %s: status %d: %s" % (path, rc, err))
    return json.loads(out)


# Known disagreements, each with its reason: (key, ffprobe's value, ours) -> why.
KNOWN = {
    ("r_frame_rate", "25/1", "0/0"): "no timing in the stream: ffprobe prints its raw demuxer's default rate",
    ("avg_frame_rate", "25/1", "0/0"): "no timing in the stream: ffprobe prints its raw demuxer's default rate",
}


def compare_stream(ours, theirs):
    """The differences between our stream object and ffprobe's, as text lines."""
    diffs = []
    for key in KEYS:
        if not any(isinstance(v, dict) for v in (theirs.get(key), ours.get(key))) and \
                (key, theirs.get(key), ours.get(key)) in KNOWN:
            continue
        if key in theirs:
            if ours.get(key) != theirs[key]:
                diffs.append("%s: ours %r, ffprobe %r" % (key, ours.get(key), theirs[key]))
        elif key in ours and key not in EXTRA_OK:
            diffs.append("%s: ours %r, ffprobe has none" % (key, ours[key]))
    if ours.get("nb_read_frames") != theirs.get("nb_read_frames"):
        diffs.append("frames: ours %r, ffprobe read %r" % (ours.get("nb_read_frames"), theirs.get("nb_read_frames")))
    return diffs


def intra_pcm_stream(profile, chroma, flat, mbs=(20, 15)):
    """An H.264 stream of SPS, PPS and one IDR slice (CAVLC) of I_PCM macroblocks only."""
    class Bits:
        def __init__(self):
            self.b = []

        def u(self, v, n):
            self.b += [(v >> i) & 1 for i in range(n - 1, -1, -1)]

        def ue(self, v):
            self.u(0, (v + 1).bit_length() - 1)
            self.u(v + 1, (v + 1).bit_length())

        def align(self):
            self.b += [0] * (-len(self.b) % 8)

        def rbsp(self):
            self.b.append(1)
            self.align()
            return bytes(int("".join(map(str, self.b[i:i + 8])), 2) for i in range(0, len(self.b), 8))

    def nal(kind, rbsp):
        out, zeros = bytearray(b"\x00\x00\x00\x01" + bytes([0x60 | kind])), 0
        for x in rbsp:  # emulation prevention
            if zeros >= 2 and x <= 3:
                out.append(3)
                zeros = 0
            out.append(x)
            zeros = zeros + 1 if x == 0 else 0
        return bytes(out)

    sps = Bits()
    sps.u(profile, 8), sps.u(0x10, 8), sps.u(30, 8), sps.ue(0)
    if profile in (44, 100, 110, 122, 244):  # those with a chroma format
        sps.ue(chroma)
        if chroma == 3:
            sps.u(0, 1)
        sps.ue(0), sps.ue(0), sps.u(0, 1), sps.u(0, 1)
    for v in (0, 0, 0, 0):  # log2_max_frame_num, poc type 0, its lsb size, no reference frames
        sps.ue(v)
    sps.u(0, 1), sps.ue(mbs[0] - 1), sps.ue(mbs[1] - 1), sps.u(1, 1), sps.u(1, 1), sps.u(0, 1), sps.u(0, 1)
    pps = Bits()
    for v in (0, 0):
        pps.ue(v)
    pps.u(0, 2), pps.ue(0), pps.ue(0), pps.ue(0), pps.u(0, 3), pps.ue(0), pps.ue(0), pps.ue(0), pps.u(4, 3)
    sl = Bits()
    sl.ue(0), sl.ue(7), sl.ue(0), sl.u(0, 4), sl.ue(0), sl.u(0, 4), sl.u(0, 2), sl.ue(0), sl.ue(1)
    samples = 256 + {1: 128, 2: 256, 3: 512}[chroma]
    noise = random.Random(profile * 10 + chroma)
    for _ in range(mbs[0] * mbs[1]):
        sl.ue(25)  # I_PCM
        sl.align()
        for _ in range(samples):
            sl.u(0 if flat else noise.randrange(256), 8)
    return nal(7, sps.rbsp()) + nal(8, pps.rbsp()) + nal(5, sl.rbsp())


def have_ffmpeg():
    return shutil.which("ffmpeg") and shutil.which("ffprobe")


class AgainstFfprobe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not have_ffmpeg():
            if REQUIRE:
                raise AssertionError("ffmpeg and ffprobe are needed (Debian: ffmpeg)")
            raise unittest.SkipTest("no ffmpeg/ffprobe: install Debian's ffmpeg to run these tests")
        cls.files = corpus()

    def test_streams_agree_field_by_field(self):
        rows = self.files + real_streams()
        failures = []
        for name, path, _ in rows:
            theirs = probe(path, "streams")["streams"]
            ours = inspect_json(path)["streams"]
            if len(ours) != len(theirs):
                failures.append("%s: %d streams, ffprobe %d" % (name, len(ours), len(theirs)))
                continue
            failures += ["%s: %s" % (name, d) for d in compare_stream(ours[0], theirs[0])]
            self.assertEqual(ours[0]["diagnostics"], [], name)
        self.assertEqual(failures, [], "\n" + "\n".join(failures))

    def test_hdr_metadata_matches_the_first_frame(self):
        for name, path, codec in self.files:
            if name not in ("x265-hdr",):
                continue
            frame = subprocess.run(["ffprobe", "-v", "error", "-show_frames", "-read_intervals", "%+#1", "-of", "json",
                                    path], stdout=subprocess.PIPE, check=True).stdout
            theirs = [d for d in json.loads(frame)["frames"][0]["side_data_list"]
                      if d["side_data_type"] in ("Mastering display metadata", "Content light level metadata")]
            ours = inspect_json(path)["streams"][0]["side_data_list"]
            self.assertEqual(ours, theirs, name)

    def test_frames_match_packets(self):
        """qvutil frames: one line per access unit, at ffprobe's packet offsets and sizes, key
        where ffprobe's packets are, with ffprobe's picture types."""
        failures = []
        for name, path, _ in self.files + real_streams():
            packets = probe(path, "packets")["packets"]
            types = {int(f["pkt_pos"]): f["pict_type"] for f in probe(path, "frames")["frames"] if "pkt_pos" in f}
            rc, out, err = run(["frames", path])
            self.assertEqual(rc, 0, err)
            lines = out.decode().splitlines()
            self.assertTrue(lines[0].startswith("offset size type key"), lines[0])
            rows = [l.split() for l in lines[1:-1]]
            ours = [(int(r[0]), int(r[1]), r[3] == "key") for r in rows]
            theirs = [(int(p["pos"]), int(p["size"]), "K" in p["flags"]) for p in packets]
            if ours != theirs:
                failures.append("%s: frames %s, ffprobe packets %s" % (name, ours[:8], theirs[:8]))
                continue
            wrong = [(r[0], r[2], types.get(int(r[0]))) for r in rows if types.get(int(r[0]), r[2]) != r[2]]
            if wrong:
                failures.append("%s: picture types differ at %s" % (name, wrong[:5]))
        self.assertEqual(failures, [], "\n" + "\n".join(failures))

    def test_containers_agree_field_by_field(self):
        """Every video stream of TS, M2TS and PS files, by id, against ffprobe on the same file;
        frames against its packets (time stamps and key flags; offsets are the file's there)."""
        failures = []
        for name, path, kind in wrapped():
            every = probe(path, "streams")["streams"]
            report = inspect_json(path)
            kinds = [(o.get("id"), o["codec_type"]) for o in report["streams"]]
            # ffmpeg probes private data only as far as it reads ahead: a short one can stay
            # bin_data where qvutil finds the audio frames it holds.
            theirs_kinds = [(t.get("id"), "audio" if t.get("codec_name") == "bin_data" and o.get("codec_name") == "mp2"
                             else t["codec_type"]) for t, o in zip(every, report["streams"])]
            if kinds != theirs_kinds:
                failures.append("%s: streams %r, ffprobe %r" % (name, kinds, [(t.get("id"), t["codec_type"]) for t in every]))
                continue
            theirs = [t for t in every if t["codec_type"] == "video"]
            ours = [o for o in report["streams"] if o["codec_type"] == "video"]
            fmt = dict((c[0], c[3]) for c in CONTAINERS)[kind]
            theirs_fmt = probe(path, "format")["format"]
            ours_fmt = {k: report["format"].get(k) for k in ("format_name", "nb_streams", "start_time")}
            if ours_fmt != {"format_name": fmt, "nb_streams": theirs_fmt["nb_streams"],
                            "start_time": theirs_fmt.get("start_time")}:
                failures.append("%s: format %r, ffprobe %r" % (name, ours_fmt, theirs_fmt))
            if [o.get("id") for o in ours] != [t.get("id") for t in theirs]:
                failures.append("%s: ids %r, ffprobe %r" % (name, [o.get("id") for o in ours],
                                                             [t.get("id") for t in theirs]))
                continue
            for o, t in zip(ours, theirs):
                failures += ["%s: %s" % (name, d) for d in compare_stream(o, t)]
                self.assertEqual(o["diagnostics"], [], name)
            out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_packets", "-show_entries",
                                  "packet=pts,dts,flags", "-of", "json", path], stdout=subprocess.PIPE, check=True).stdout
            packets = json.loads(out)["packets"]
            rc, out, err = run(["frames", path])
            self.assertEqual(rc, 0, err)
            lines = out.decode().splitlines()
            self.assertTrue(lines[0].startswith("stream offset size type key"), lines[0])
            rows = [l.split() for l in lines[1:-1]]
            stamp = lambda v: None if v in ("-", None) else int(v)
            ours_f = [(stamp(r[-2]), stamp(r[-1]), r[4] == "key") for r in rows]
            theirs_f = [(stamp(p.get("pts")), stamp(p.get("dts")), "K" in p["flags"]) for p in packets]
            if kind == "ps":
                # A program stream's PES packet may hold several pictures and time stamps only
                # the first; ffmpeg guesses the others (not always well), qvutil leaves them out.
                theirs_f = [(None, None, t[2]) if o[0] is None else t for o, t in zip(ours_f, theirs_f)] + \
                    theirs_f[len(ours_f):]
            if ours_f != theirs_f:
                failures.append("%s: frames %s, ffprobe packets %s" % (name, ours_f[:6], theirs_f[:6]))
        self.assertEqual(failures, [], "\n" + "\n".join(failures))

    def test_pictures_of_intra_pcm_macroblocks(self):
        """One IDR picture whose every macroblock is I_PCM (raw samples, flat zeros or noise,
        which the escape bytes then break up), for each intra profile and chroma format:
        one frame, progressive, as ffprobe counts it."""
        os.makedirs(CACHE, exist_ok=True)
        keys = ("profile", "pix_fmt", "width", "height", "field_order", "nb_read_frames")
        for profile, chroma in ((244, 1), (244, 3), (44, 3), (122, 2), (110, 1), (100, 1)):
            for flat in (True, False):
                with self.subTest(profile=profile, chroma=chroma, flat=flat):
                    path = os.path.join(CACHE, "ipcm-%d-%d-%s.h264" % (profile, chroma, "flat" if flat else "noise"))
                    with open(path, "wb") as f:
                        f.write(intra_pcm_stream(profile, chroma, flat))
                    theirs = {k: v for k, v in probe(path, "streams")["streams"][0].items() if k in keys}
                    ours = {k: v for k, v in inspect_json(path)["streams"][0].items() if k in keys}
                    self.assertEqual(ours, theirs)

    def test_timing_the_time_stamps_belie(self):
        """A stream whose VUI says a million frames a second (num_units_in_tick 1), muxed at
        its real rate: the rates and duration are the time stamps', as ffprobe gives them."""
        os.makedirs(CACHE, exist_ok=True)
        # (In MPEG-PS ffprobe gives such a stream no avg_frame_rate at all.)
        for fmt, ext in (("mpegts", ".ts"),):
            with self.subTest(fmt):
                path = os.path.join(CACHE, "x264-tick1-24fps" + ext)
                if not os.path.exists(path):
                    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                    "testsrc2=size=320x240:rate=24", "-frames:v", "48", "-c:v", "libx264",
                                    "-bsf:v", "h264_metadata=tick_rate=2000000", "-f", fmt, path + ".tmp"],
                                   check=True)
                    os.replace(path + ".tmp", path)
                keys = ("r_frame_rate", "avg_frame_rate", "duration", "duration_ts")
                theirs = probe(path, "streams")["streams"][0]
                ours = inspect_json(path)["streams"][0]
                self.assertEqual({k: ours.get(k) for k in keys}, {k: theirs.get(k) for k in keys})

    def test_any_piece_size_gives_the_same_report(self):
        picks = [f for f in self.files if f[0] in ("x264-tff", "x265-hdr", "mpeg2-bff", "mpeg1")]
        for name, path, _ in picks + real_streams()[3:]:
            whole = inspect_json(path)
            for piece in (8, 9, 13, 4097):
                self.assertEqual(inspect_json(path, piece), whole, (name, piece))
            with open(path, "rb") as f:
                rc, out, err = run(["inspect", "--json", "--no-digests", "-"], stdin=f.read(), piece=1000)
            piped = json.loads(out)
            self.assertEqual(piped["streams"], whole["streams"], name)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])

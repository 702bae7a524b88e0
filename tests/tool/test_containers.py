#!/usr/bin/env python3
"""qvutil inspect, frames and demux on MP4, MOV, 3GP, M4V, M4A, Matroska and WebM files, against
ffprobe and ffmpeg.

    test_containers.py QVUTIL SAMPLES_DIR SHARED_DATA_DIR REQUIRE_DATA [EMULATOR...]

The files are made here with ffmpeg (tiny and short, so that the emulators get through them)
and kept beside the tool or in $QV_TEST_CACHE (container-corpus/, remade when the recipes or
ffmpeg change), together with ffprobe's answers about them; the bundled samples and the shared
real streams are put in containers beside them. ffprobe's report of a file is the expected
report, its packets the expected frames; 'ffmpeg -c copy' with the Annex B filters makes the
expected output of demux. Damaged copies are made from them at test time.
"""

import concurrent.futures
import hashlib
import inspect
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from qvtool import CorpusCase, run_tool

QVUTIL, SAMPLES, SHARED, REQUIRE = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] in ("1", "ON", "TRUE")
EMULATOR = sys.argv[5:]
STREAMS = os.path.join(SHARED, "streams")
CORPUS = os.path.join(os.environ.get("QV_TEST_CACHE") or os.path.dirname(os.path.abspath(QVUTIL)), "container-corpus")
G = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-threads", "1"]
# A damaged file must not keep the tool busy: far more than any of these files needs, even
# under an emulator.
TIMEOUT = 120


def lavfi(source, seconds=1):
    return ["-f", "lavfi", "-i", "%s:duration=%s" % (source, seconds)]


V = lavfi("testsrc2=size=160x120:rate=25")
NTSC = lavfi("testsrc2=size=176x144:rate=30000/1001")
# Not a whole number of macroblocks or coding blocks: the decoders crop.
ODD = lavfi("testsrc2=size=170x94:rate=24")
MONO = lavfi("sine=frequency=440:sample_rate=48000")
STEREO = lavfi("aevalsrc=sin(440*2*PI*t)|sin(660*2*PI*t):s=44100")
SUBS = ["-i", "{lines.srt}"]
X264 = ["-c:v", "libx264", "-g", "12", "-bf", "2"]
X265 = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error:keyint=12"]
HDR = ["-c:v", "libx265", "-preset", "ultrafast", "-pix_fmt", "yuv420p10le", "-x265-params",
       "log-level=error:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc:range=limited"
       ":master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,1):max-cll=1000,400"]
TFF = ["-c:v", "libx264", "-preset", "ultrafast", "-x264-params", "interlaced=1:tff=1"]
MPEG2 = ["-c:v", "mpeg2video", "-g", "6", "-bf", "2"]
MPEG4 = ["-c:v", "mpeg4"]
VP9 = ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-g", "12"]
AV1 = ["-c:v", "libaom-av1", "-cpu-used", "8", "-g", "12"]
LANG = ["-metadata:s:a:0", "language=eng", "-metadata:s:a:1", "language=fra"]
FRAG = ["-movflags", "frag_keyframe+empty_moov"]

# name: the ffmpeg arguments that make it, in order; '{NAME}' is a file made before it, or one
# of INPUTS.
RECIPES = {
    "h264.m4v": V + X264 + ["-x264-params", "aud=1"],
    # MP4: the index after the samples (ffmpeg's default), before them, in fragments.
    "h264_aac.mp4": V + MONO + X264 + ["-c:a", "aac"],
    "h264_aac_faststart.mp4": NTSC + STEREO + X264 + ["-c:a", "aac", "-b:a", "96k", "-movflags", "+faststart"],
    "h264_aac_frag.mp4": V + MONO + X264 + ["-c:a", "aac"] + FRAG,
    "h264_dash.mp4": V + MONO + X264 + ["-c:a", "aac", "-movflags", "frag_keyframe+empty_moov+default_base_moof+dash"],
    "h264_sidx.mp4": NTSC + X264 + ["-movflags", "frag_keyframe+empty_moov+default_base_moof+global_sidx"],
    "hevc_hvc1_ac3.mp4": V + STEREO + X265 + ["-tag:v", "hvc1", "-c:a", "ac3"],
    "hevc_hev1_mp3.mp4": ODD + MONO + ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                       "log-level=error:keyint=12:repeat-headers=1", "-tag:v", "hev1", "-c:a",
                                       "libmp3lame"],
    # Audio first, then two video tracks.
    "aac_h264_hevc.mp4": V + NTSC + MONO + ["-map", "2", "-map", "0", "-map", "1", "-c:v:0", "libx264", "-c:v:1",
                                            "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                                            "-tag:v:1", "hvc1", "-c:a", "aac"],
    # Composition offsets below zero (a version 1 ctts), and no edit list for them.
    "h264_negative_cts.mp4": V + X264 + ["-movflags", "+negative_cts_offsets"],
    "hevc_hdr.mp4": V + HDR + ["-tag:v", "hvc1"],
    "hevc_frag.mp4": NTSC + X265 + ["-tag:v", "hvc1"] + FRAG,
    "mpeg2_mp2.mp4": V + MONO + MPEG2 + ["-c:a", "mp2"],
    "mpeg4_aac.mp4": V + MONO + MPEG4 + ["-c:a", "aac"],
    "av1_opus.mp4": V + STEREO + AV1 + ["-c:a", "libopus"],
    "vp9_flac.mp4": V + MONO + VP9 + ["-c:a", "flac", "-strict", "-2"],
    # ffmpeg turns the tag into a display matrix only when it copies.
    "h264_rotated.mp4": ["-i", "{h264.m4v}", "-c", "copy", "-metadata:s:v:0", "rotate=90"],
    "h264_langs_sub.mp4": V + MONO + STEREO + SUBS + ["-map", "0", "-map", "1", "-map", "2", "-map", "3"] + X264 +
    ["-c:a:0", "aac", "-c:a:1", "eac3", "-c:s", "mov_text", "-metadata:s:s:0", "language=eng"] + LANG +
    ["-metadata", "title=Two tongues"],
    # QuickTime, 3GPP and Apple's MP4 brands.
    "h264_pcm_tmcd.mov": NTSC + STEREO + X264 + ["-c:a", "pcm_s16le", "-timecode", "01:00:00;00"],
    # QuickTime metadata as phones write it: a keys box names the numbered items.
    "h264_mdta.mov": V + X264 + ["-movflags", "use_metadata_tags", "-metadata", "com.apple.quicktime.make=Apple",
                                 "-metadata", "com.apple.quicktime.location.ISO6709=+48.8584+002.2945/"],
    "mpeg2_pcm24.mov": V + MONO + MPEG2 + ["-c:a", "pcm_s24le"],
    "h264_tff.mov": NTSC + MONO + TFF + ["-c:a", "aac"],
    "h264_aac.3gp": lavfi("testsrc2=size=176x144:rate=15") + MONO + X264 + ["-c:a", "aac", "-ar", "16000"],
    "aac.m4a": STEREO + ["-c:a", "aac"],
    # Matroska and WebM.
    "h264_tff_subs.mkv": NTSC + MONO + STEREO + SUBS + SUBS + [
        "-map", "0", "-map", "1", "-map", "2", "-map", "3", "-map", "4"] + TFF + [
        "-c:a:0", "ac3", "-c:a:1", "flac", "-c:s:0", "subrip", "-c:s:1", "ass", "-attach", "{font.ttf}",
        "-metadata:s:t", "mimetype=application/x-truetype-font"] + LANG + ["-metadata", "title=Subtitles"],
    "hevc_vorbis.mkv": ODD + STEREO + X265 + ["-c:a", "libvorbis"],
    "hevc_hdr_mp2.mkv": V + MONO + HDR + ["-c:a", "mp2"],
    "mpeg2_mp3.mkv": NTSC + MONO + MPEG2 + ["-c:a", "libmp3lame"],
    "mpeg4_pcm.mkv": V + MONO + MPEG4 + ["-c:a", "pcm_s16le"],
    # Clusters of a quarter second: the damage rows lose one and find the next.
    "h264_odd_opus.mkv": ODD + STEREO + X264 + ["-x264-params", "repeat-headers=1:aud=1", "-c:a", "libopus",
                                               "-cluster_time_limit", "250"],
    # What a live muxer writes: segment and clusters of unknown size.
    "h264_live.mkv": V + MONO + X264 + ["-c:a", "aac", "-live", "1", "-cluster_time_limit", "200"],
    "vp9_vorbis.webm": V + MONO + VP9 + ["-c:a", "libvorbis"],
    "av1_opus.webm": NTSC + STEREO + AV1 + ["-c:a", "libopus"],
}
INPUTS = {"lines.srt": b"""1
00:00:00,100 --> 00:00:00,500
first line

2
00:00:00,600 --> 00:00:00,900
second line
""", "font.ttf": b"\x00\x01\x00\x00" + bytes(range(256))}


def ffmpeg_version():
    return subprocess.run(["ffmpeg", "-version"], stdout=subprocess.PIPE).stdout.split(b"\n")[0].decode()


def largesize(data):
    """ffmpeg's free box before the mdat made into the mdat's 64-bit size, as a muxer that
    wrote more than 4 GiB does: no offset moves."""
    at = data.index(b"\x00\x00\x00\x08free")
    size = struct.unpack(">I", data[at + 8:at + 12])[0]
    assert data[at + 12:at + 16] == b"mdat"
    return data[:at] + struct.pack(">I4sQ", 1, b"mdat", size + 8) + data[at + 16:]


# Files made from another by rewriting a few bytes: name: (source, rewrite).
HAND_MADE = {"h264_largesize.mp4": ("h264_aac.mp4", largesize)}


def corpus():
    """The folder with every recipe's file, made once per recipe set and ffmpeg."""
    recipes = json.dumps(list(RECIPES.items())) + repr(sorted(INPUTS.items())) + "".join(
        n + s + inspect.getsource(f) for n, (s, f) in HAND_MADE.items())
    folder = os.path.join(CORPUS, hashlib.sha1((ffmpeg_version() + recipes).encode()).hexdigest()[:12])
    if not os.path.isdir(folder):
        os.makedirs(CORPUS, exist_ok=True)
        work = tempfile.mkdtemp(dir=CORPUS)
        for name, data in INPUTS.items():
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)

        def make(name):
            args = [os.path.join(work, a[1:-1]) if a.startswith("{") and a.endswith("}") else a for a in RECIPES[name]]
            subprocess.run(G + args + [os.path.join(work, name)], check=True)

        # On every core (each ffmpeg has one thread); a recipe that copies another file waits
        # for it.
        later = [n for n, args in RECIPES.items() if any(a[1:-1] in RECIPES for a in args if a.startswith("{"))]
        for batch in ([n for n in RECIPES if n not in later], later):
            with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
                list(pool.map(make, batch))
        for name, (source, rewrite) in HAND_MADE.items():
            with open(os.path.join(work, name), "wb") as f:
                f.write(rewrite(read(os.path.join(work, source))))
        for name in INPUTS:
            os.remove(os.path.join(work, name))
        try:
            os.rename(work, folder)
        except OSError:  # made meanwhile by a run for another build directory
            shutil.rmtree(work, ignore_errors=True)
    return folder


FILES = list(RECIPES) + list(HAND_MADE)
# Real elementary streams, from encoders other than ffmpeg's, put in containers with -c copy:
# extension: (ffmpeg's raw format, containers). ffmpeg 5.1 cannot time raw H.264 and H.265
# for Matroska.
RAW = {".h264": ("h264", ["mp4"]), ".h265": ("hevc", ["mp4"]), ".m2v": ("mpegvideo", ["mp4", "matroska"])}


def wrapped(folder):
    """The bundled samples and the shared real streams (when there) in containers, made in the
    corpus folder once per stream content: their names."""
    sources = [os.path.join(SAMPLES, n) for n in ("sample.h264", "sample.h265", "sample.m2v")]
    if os.path.isdir(STREAMS):
        sources += sorted(os.path.join(STREAMS, n) for n in os.listdir(STREAMS) if n.endswith(tuple(RAW)))
    names = []
    for source in sources:
        stem, ext = os.path.splitext(os.path.basename(source))
        fmt, containers = RAW[ext]
        tag = hashlib.sha1(read(source)).hexdigest()[:8]
        for container in containers:
            name = "real-%s-%s-%s.%s" % (stem, ext[1:], tag, "mkv" if container == "matroska" else container)
            path = os.path.join(folder, name)
            if not os.path.exists(path):
                # A raw stream has no time stamps: ffmpeg makes them at 25 frames a second.
                subprocess.run(G + ["-fflags", "+genpts", "-f", fmt, "-framerate", "25", "-i", source, "-c", "copy"] +
                               (["-tag:v", "hvc1"] if fmt == "hevc" else []) +
                               ["-f", container, "%s.%d" % (path, os.getpid())], check=True)
                os.replace("%s.%d" % (path, os.getpid()), path)
            names.append(name)
    # The bundled MP4 as it is.
    tag = hashlib.sha1(read(os.path.join(SAMPLES, "sample.mp4"))).hexdigest()[:8]
    name = "real-sample-mp4-%s.mp4" % tag
    if not os.path.exists(os.path.join(folder, name)):
        shutil.copyfile(os.path.join(SAMPLES, "sample.mp4"), os.path.join(folder, name))
    return names + [name]


def kind(name):
    return "mkv" if name.endswith((".mkv", ".webm")) else "mp4"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(args, stdin=b"", piece=None):
    env = dict(os.environ)
    env.pop("QVUTIL_PIECE_SIZE", None)
    if piece:
        env["QVUTIL_PIECE_SIZE"] = str(piece)
    p = run_tool(EMULATOR, QVUTIL, args, stdin, env, TIMEOUT)
    return p.returncode, p.stdout, p.stderr.decode()


REPORTS = {}


def inspect_json(path, piece=None, stdin=None):
    """The JSON report and the warnings. A file's plain report is made once: the emulators
    are slow to start."""
    if not piece and not stdin and path in REPORTS:
        return REPORTS[path]
    rc, out, err = run(["inspect", "--json", "--no-digests", "-" if stdin else path], stdin or b"", piece)
    if rc != 0:
        raise AssertionError("qvutil inspect %s: status %d: %s" % (path, rc, err))
    report = json.loads(out), err
    if not piece and not stdin:
        REPORTS[path] = report
    return report


def frames(path, piece=None, stdin=None):
    """qvutil frames' rows, split at blanks, after checking its header line."""
    rc, out, err = run(["frames", "-" if stdin else path], stdin or b"", piece)
    if rc != 0:
        raise AssertionError("qvutil frames %s: status %d: %s" % (path, rc, err))
    lines = out.decode().splitlines()
    rows = [l.split() for l in lines[1:-1]]
    # With no video frame at all the stream column is left out.
    header = ["stream", "offset", "size", "type", "key", "structure", "kind", "pts", "dts"]
    if lines[0].split() != header[0 if rows else 1:]:
        raise AssertionError("qvutil frames %s: header %r" % (path, lines[0]))
    return rows, err


PROBES = {
    "streams": ["-show_format", "-show_streams", "-count_frames"],
    "packets": ["-show_packets", "-show_entries", "packet=stream_index,pts,dts,pos,size,flags"],
    # A decoder may want a few packets before its first frame comes out.
    "first_frame": ["-select_streams", "v:0", "-show_frames", "-read_intervals", "%+#8"],
}


def probe(path, what):
    """ffprobe's answer for the file, kept beside it (a corpus folder never changes once made;
    the question is in the name, for when it does)."""
    cache = "%s.%s-%s.json" % (path, what, hashlib.sha1(" ".join(PROBES[what]).encode()).hexdigest()[:8])
    if os.path.exists(cache) and os.path.getmtime(cache) >= os.path.getmtime(path):
        with open(cache) as f:
            return json.load(f)
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json"] + PROBES[what] + [path], stdout=subprocess.PIPE,
                         check=True).stdout
    result = json.loads(out)
    with open("%s.%d" % (cache, os.getpid()), "w") as f:
        json.dump(result, f)
    os.replace("%s.%d" % (cache, os.getpid()), cache)
    return result


def ffprobe_now(path, *args):
    """ffprobe on a file made by a test (never cached: the same temporary name comes back)."""
    # Quiet: it reports the damage the tests made on purpose.
    out = subprocess.run(["ffprobe", "-v", "quiet", "-of", "json"] + list(args) + [path], stdout=subprocess.PIPE,
                         check=True).stdout
    return json.loads(out)


# --- What is compared -----------------------------------------------------------------------

# Every key ffprobe may print for a stream or the format. Of the keys in our report these are
# the ones that must say what ffprobe says; the others are qvutil's own.
FFPROBE_STREAM_KEYS = {
    "index", "codec_name", "codec_long_name", "profile", "codec_type", "codec_tag_string", "codec_tag", "width",
    "height", "coded_width", "coded_height", "closed_captions", "film_grain", "has_b_frames", "sample_aspect_ratio",
    "display_aspect_ratio", "pix_fmt", "level", "color_range", "color_space", "color_transfer", "color_primaries",
    "chroma_location", "field_order", "refs", "is_avc", "nal_length_size", "sample_fmt", "sample_rate", "channels",
    "channel_layout", "bits_per_sample", "id", "r_frame_rate", "avg_frame_rate", "time_base", "start_pts",
    "start_time", "duration_ts", "duration", "bit_rate", "max_bit_rate", "bits_per_raw_sample", "nb_frames",
    "nb_read_frames", "nb_read_packets", "extradata_size", "disposition", "tags", "side_data_list"}
FFPROBE_FORMAT_KEYS = {"filename", "nb_streams", "nb_programs", "format_name", "format_long_name", "start_time",
                       "duration", "size", "bit_rate", "probe_score", "tags"}
# Keys ours must have wherever ffprobe has them. For video: test_against_ffprobe.py's KEYS and
# the container's facts; nb_read_frames is the number of frames qvutil parsed.
VIDEO_KEYS = ["codec_name", "profile", "codec_type", "width", "height", "coded_width", "coded_height",
              "has_b_frames", "sample_aspect_ratio", "display_aspect_ratio", "pix_fmt", "level", "color_range",
              "color_space", "color_transfer", "color_primaries", "chroma_location", "field_order", "refs",
              "r_frame_rate", "avg_frame_rate", "bits_per_raw_sample", "index", "id", "time_base", "start_pts",
              "start_time", "duration_ts", "duration", "bit_rate", "nb_frames", "codec_tag_string", "codec_tag",
              "is_avc", "nal_length_size", "tags", "side_data_list", "nb_read_frames"]
OTHER_KEYS = ["index", "codec_type", "codec_name", "sample_rate", "channels", "time_base", "start_pts", "start_time",
              "duration_ts", "duration", "nb_frames", "tags", "codec_tag_string", "r_frame_rate", "avg_frame_rate",
              "id"]
FORMAT_KEYS = ["format_name", "nb_streams", "start_time", "duration", "bit_rate", "tags"]
# Keys ours may print where ffprobe prints none, and the test our value must pass instead:
# (ours, ffprobe's first frame of the stream) -> bool.
HDR_TYPES = ("Mastering display metadata", "Content light level metadata")


def field_orders(frame):
    """The field orders that fit a decoded frame."""
    if not frame.get("interlaced_frame"):
        return ("progressive",)
    return ("tt", "tb") if frame.get("top_field_first") else ("bb", "bt")


def depth(pix_fmt):
    """Bits per sample of one of ffmpeg's YUV or gray pixel formats, as ffprobe writes it."""
    more = re.search(r"(\d+)[lb]e$", pix_fmt)
    return more.group(1) if more else "8"


EXTRA_OK = {
    # qvutil reports the HDR SEI messages of the stream; ffprobe reports only a container's
    # own boxes or elements for them (ffmpeg wrote none) and puts the SEI on each frame.
    "side_data_list": lambda ours, frame: bool(ours) and ours == [d for d in frame.get("side_data_list", [])
                                                                  if d["side_data_type"] in HDR_TYPES],
    # As in test_against_ffprobe.py, qvutil knows these more often than ffprobe's stream
    # does; its frames have them.
    "field_order": lambda ours, frame: bool(frame) and ours in field_orders(frame),
    "bits_per_raw_sample": lambda ours, frame: bool(frame) and ours == depth(frame["pix_fmt"]),
}


# Differences that need what qvutil does not read (codecs it only lists),
# each narrowly: file kind, codecs, key, and ours and ffprobe's values or a test on the pair.
MPEG4_DECODED = {"profile", "level", "pix_fmt", "has_b_frames", "refs", "sample_aspect_ratio", "display_aspect_ratio",
                 "chroma_location", "coded_width", "coded_height", "field_order", "nb_read_frames"}
KNOWN = [
    dict(kind=None, codecs={"mpeg4"}, keys=MPEG4_DECODED, test=lambda o, t: o is None,
         why="MPEG-4 Visual (mpeg4) is listed, not read: ffprobe has these from its decoder"),
]


def known(name, stream, key, ours, theirs):
    return any(k["kind"] in (None, kind(name)) and stream.get("codec_name") in k["codecs"] and key in k["keys"]
               and k["test"](ours, theirs) for k in KNOWN)


def differences(name, ours, theirs, required, frame=None):
    """'key: ours X, ffprobe Y' for each key that differs: a required key either has, or a key
    of ffprobe's that ours has (whether ffprobe has it or not)."""
    out = []
    ffprobes = set(ours) & (FFPROBE_STREAM_KEYS | FFPROBE_FORMAT_KEYS)
    for key in required + sorted(ffprobes - set(required)):
        o, t = ours.get(key), theirs.get(key)
        if key not in ours and key not in theirs or o == t or known(name, theirs, key, o, t):
            continue
        if key not in theirs and key in EXTRA_OK and frame is not None and EXTRA_OK[key](o, frame()):
            continue
        out.append("%s: ours %s, ffprobe %s" % (key, json.dumps(o), "has none" if key not in theirs else json.dumps(t)))
    return out


def packet_rows(packets, mkv):
    """ffprobe's packets as frames rows: offset, size, key, pts, dts (none in Matroska)."""
    return [(int(p["pos"]), int(p["size"]), "K" in p["flags"], p.get("pts"), None if mkv else p.get("dts"))
            for p in packets]


def frame_rows(rows, stream):
    return [(int(r[1]), int(r[2]), r[4] == "key", None if r[7] == "-" else int(r[7]),
             None if r[8] == "-" else int(r[8])) for r in rows if r[0] == stream]


READ = {"h264", "hevc", "mpeg2video", "vp9", "av1"}
ANNEX_B = {"h264": ["-bsf:v", "h264_mp4toannexb", "-f", "h264"], "hevc": ["-bsf:v", "hevc_mp4toannexb", "-f", "hevc"],
           "mpeg2video": ["-f", "mpeg2video"]}


def first_video(path):
    return next((s for s in probe(path, "streams")["streams"] if s["codec_type"] == "video"), None)


def packets(path, index=None):
    """ffprobe's packets of one stream, of the first video stream by default."""
    index = first_video(path)["index"] if index is None else index
    return [p for p in probe(path, "packets")["packets"] if p["stream_index"] == index]


def ask_ffprobe_first(folder, names):
    """ffprobe's answers the tests need, asked on every core at once: each ffprobe takes a tenth
    of a second to start, and the first run of the tests asks a hundred of them."""
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        list(pool.map(lambda job: probe(os.path.join(folder, job[0]), job[1]),
                      [(n, what) for n in names for what in ("streams", "packets")]))


class Tool(CorpusCase):
    require = REQUIRE
    make_corpus = staticmethod(corpus)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.files = FILES + wrapped(cls.dir)
        cls.bundled = cls.files[-1]  # data/sample.mp4
        # Under an emulator every other file: the code paths are the same, each start slow.
        if EMULATOR:
            cls.files = cls.files[::2]
        ask_ffprobe_first(cls.dir, cls.files)


class Inspect(Tool):
    def test_reports_agree_with_ffprobe(self):
        """Every stream of every file, and the format, key by key; all differences at once."""
        failures = []
        for name in self.files:
            path = self.path(name)
            theirs, (ours, err) = probe(path, "streams"), inspect_json(path)
            if err:
                failures.append("%s: warnings on a sound file: %s" % (name, err.strip()))
            failures += ["%s: format %s" % (name, d) for d in differences(name, ours["format"], theirs["format"],
                                                                          FORMAT_KEYS)]
            kinds = [(s.get("index"), s.get("codec_type")) for s in ours["streams"]]
            theirs_kinds = [(s["index"], s["codec_type"]) for s in theirs["streams"]]
            if kinds != theirs_kinds:
                failures.append("%s: streams %s, ffprobe %s" % (name, kinds, theirs_kinds))
                continue
            for o, t in zip(ours["streams"], theirs["streams"]):
                video = t["codec_type"] == "video"
                # ffprobe's first frame is of the first video stream only, and asked for when
                # needed: it is seldom.
                frame = (lambda: (probe(path, "first_frame")["frames"] or [{}])[0]) if video and \
                    t["index"] == first_video(path)["index"] else None
                failures += ["%s: stream %d (%s): %s" % (name, t["index"], t.get("codec_name", t["codec_type"]), d)
                             for d in differences(name, o, t, VIDEO_KEYS if video else OTHER_KEYS, frame)]
                if o.get("diagnostics"):
                    failures.append("%s: stream %d: diagnostics %s" % (name, t["index"], o["diagnostics"]))
        self.assertEqual(failures, [], "\n" + "\n".join(failures))

    def test_hdr_values_are_the_first_frames(self):
        """Where the side data allowance must hold, it does: both HDR files report what their
        first frame carries."""
        for name in ("hevc_hdr.mp4", "hevc_hdr_mp2.mkv"):
            with self.subTest(file=name):
                frame = probe(self.path(name), "first_frame")["frames"][0]
                want = [d for d in frame["side_data_list"] if d["side_data_type"] in HDR_TYPES]
                self.assertEqual(len(want), 2)
                self.assertEqual(inspect_json(self.path(name))[0]["streams"][0].get("side_data_list"), want)

    def test_text_report_names_every_stream(self):
        """The report for people has a section for each stream ffprobe finds, timed as the
        JSON report (held to ffprobe above) times it."""
        for name in ("h264_tff_subs.mkv", "h264_pcm_tmcd.mov", "aac_h264_hevc.mp4", "aac.m4a", self.bundled):
            with self.subTest(file=name):
                rc, out, err = run(["inspect", "--no-digests", self.path(name)])
                self.assertEqual((rc, err), (0, ""))
                text = out.decode()
                streams = probe(self.path(name), "streams")["streams"]
                sections = re.split(r"^Stream #\d+ .*\n", text, flags=re.M)[1:]
                self.assertEqual(len(sections), len(streams), text)
                for section, stream in zip(sections, inspect_json(self.path(name))[0]["streams"]):
                    line = re.match(r"Container    (.*)\n", section)
                    timing = line.group(1) if line else ""
                    if "duration" in stream and stream["codec_type"] != "attachment":
                        self.assertIn("duration %.3f s" % float(stream["duration"]), timing, text)
                    if stream.get("bit_rate", "N/A") != "N/A":
                        self.assertIn(", %s bit/s" % stream["bit_rate"], timing, text)
                    if "nb_frames" in stream:
                        self.assertRegex(timing, r"^%s samples" % stream["nb_frames"], text)


class Frames(Tool):
    def test_frames_are_ffprobes_packets(self):
        """Offsets, sizes, key flags and time stamps of the first video stream, packet for packet
        (Matroska has no decoding time stamps: '-')."""
        failures = []
        for name in self.files:
            path, video = self.path(name), first_video(self.path(name))
            if not video or video.get("codec_name") not in READ:
                continue
            mkv = kind(name) == "mkv"
            rows, err = frames(path)
            # Matroska tracks have no ID in the reports; frames names them by track number.
            stream = video.get("id") or (rows[0][0] if rows else None)
            ours = frame_rows(rows, stream)
            theirs = packet_rows(packets(path), mkv)
            if err:
                failures.append("%s: %s" % (name, err.strip()))
            if mkv and any(r[8] != "-" for r in rows):
                failures.append("%s: a Matroska frame with a decoding time stamp" % name)
            if ours != theirs:
                wrong = [(k, o, t) for k, (o, t) in enumerate(zip(ours, theirs)) if o != t][:4]
                failures.append("%s: %d frames, ffprobe %d packets; first differences (row, ours, ffprobe): %s"
                                % (name, len(ours), len(theirs), wrong))
        self.assertEqual(failures, [], "\n" + "\n".join(failures))

    def test_every_video_stream_is_listed(self):
        path = self.path("aac_h264_hevc.mp4")
        rows, _ = frames(path)
        for s in probe(path, "streams")["streams"]:
            if s["codec_type"] != "video":
                continue
            with self.subTest(stream=s["id"]):
                self.assertEqual(frame_rows(rows, s["id"]), packet_rows(packets(path, s["index"]), False))


class Demux(Tool):
    def ffmpeg_annex_b(self, path, selector, codec):
        out = os.path.join(self.tmp, "ffmpeg.out")
        subprocess.run(G + ["-i", path, "-map", selector, "-c", "copy"] + ANNEX_B[codec] + [out], check=True)
        return read(out)

    def qvutil_demux(self, path, *more):
        out = os.path.join(self.tmp, "qvutil.out")
        if os.path.exists(out):
            os.remove(out)
        rc, stdout, err = run(["demux", path, "-o", out] + list(more))
        return rc, read(out) if os.path.exists(out) else None, stdout, err

    def test_annex_b_byte_for_byte(self):
        for name in self.files:
            video = first_video(self.path(name))
            if not video or video["codec_name"] not in ANNEX_B:
                continue
            with self.subTest(file=name):
                want = self.ffmpeg_annex_b(self.path(name), "0:v:0", video["codec_name"])
                self.assertGreater(len(want), 1000)
                rc, got, stdout, err = self.qvutil_demux(self.path(name))
                self.assertEqual((rc, err, stdout), (0, "", b""))
                self.assertEqual(len(got), len(want))
                if got != want:
                    self.fail("first difference at byte %d" % next(k for k, (a, b) in enumerate(zip(got, want))
                                                                   if a != b))

    def test_second_video_stream_by_id(self):
        path = self.path("aac_h264_hevc.mp4")
        video = [s for s in probe(path, "streams")["streams"] if s["codec_type"] == "video"]
        for n, s in enumerate(video):
            with self.subTest(stream=s["id"]):
                rc, got, _, err = self.qvutil_demux(path, "--stream", s["id"])
                self.assertEqual((rc, err), (0, ""))
                self.assertEqual(got, self.ffmpeg_annex_b(path, "0:v:%d" % n, s["codec_name"]))

    def test_list_counts_each_streams_bytes(self):
        """demux --list: a line per stream that has packets, with the bytes ffprobe's packets
        of it add up to (and, where ffprobe has them, the same IDs)."""
        # Not mov_text: ffmpeg leaves out the empty sample at the end of its edit list.
        for name in ("h264_tff_subs.mkv", "mpeg2_mp3.mkv", "aac_h264_hevc.mp4", "h264_pcm_tmcd.mov"):
            with self.subTest(file=name):
                path = self.path(name)
                streams = [s for s in probe(path, "streams")["streams"] if s["codec_type"] != "attachment"]
                sizes = {}
                for p in probe(path, "packets")["packets"]:
                    sizes[p["stream_index"]] = sizes.get(p["stream_index"], 0) + int(p["size"])
                rc, out, err = run(["demux", "--list", path])
                self.assertEqual((rc, err), (0, ""))
                lines = [l.split() for l in out.decode().splitlines()]
                self.assertEqual([(l[-2], l[-1]) for l in lines], [(str(sizes.get(s["index"], 0)), "bytes")
                                                                   for s in streams])
                if kind(name) == "mp4":
                    self.assertEqual([int(l[0], 0) for l in lines], [int(s["id"], 16) for s in streams])

    def test_codecs_it_does_not_write_out(self):
        rows = [("vp9_vorbis.webm", "VP9"), ("vp9_flac.mp4", "VP9"), ("av1_opus.mp4", "AV1"),
                ("av1_opus.webm", "AV1"), ("mpeg4_pcm.mkv", "mpeg4"), ("aac.m4a", "no video stream")]
        for name, words in rows:
            with self.subTest(file=name):
                rc, got, stdout, err = self.qvutil_demux(self.path(name))
                self.assertEqual((rc, stdout), (2, b""))
                self.assertTrue(err.startswith("qvutil: %s: " % self.path(name)), err)
                self.assertIn(words, err)
                self.assertFalse(got, "output written")
        with self.subTest(stream="audio"):
            # Opus has no framing of its own to write it out in.
            path = self.path("av1_opus.mp4")
            audio = next(s for s in probe(path, "streams")["streams"] if s["codec_type"] == "audio")
            rc, got, stdout, err = self.qvutil_demux(path, "--stream", audio["id"])
            self.assertEqual((rc, stdout), (2, b""))
            self.assertTrue(err.startswith("qvutil: %s: " % path), err)
            self.assertIn("audio, opus", err)


class Pipes(Tool):
    def test_standard_input_gives_the_files_report(self):
        for name in ("h264_tff_subs.mkv", "h264_live.mkv", "h264_aac_frag.mp4", "h264_dash.mp4", "h264_sidx.mp4",
                     "h264_aac_faststart.mp4", "vp9_vorbis.webm"):
            whole = inspect_json(self.path(name))[0]
            for piece in (None, 4099) if not EMULATOR else (None,):
                with self.subTest(file=name, piece=piece):
                    piped = inspect_json(self.path(name), piece, stdin=read(self.path(name)))[0]
                    self.assertEqual(piped["streams"], whole["streams"])
                    self.assertEqual(piped["format"], dict(whole["format"], filename="-"))

    def test_demux_from_standard_input(self):
        for name, codec in (("hevc_vorbis.mkv", "hevc"), ("h264_aac_frag.mp4", "h264")):
            with self.subTest(file=name):
                rc, out, err = run(["demux", "-"], read(self.path(name)), piece=1000)
                self.assertEqual((rc, err), (0, ""))
                made = os.path.join(self.tmp, "ffmpeg.out")
                subprocess.run(G + ["-i", self.path(name), "-map", "0:v:0", "-c", "copy"] + ANNEX_B[codec] + [made],
                               check=True)
                self.assertEqual(out, read(made))

    def test_frames_from_standard_input(self):
        for name in ("h264_odd_opus.mkv", "hevc_frag.mp4"):
            with self.subTest(file=name):
                self.assertEqual(frames(self.path(name), stdin=read(self.path(name)))[0], frames(self.path(name))[0])

    def test_index_after_the_samples_needs_the_file(self):
        for name in ("h264_aac.mp4", "hevc_hvc1_ac3.mp4"):
            with self.subTest(file=name):
                rc, out, err = run(["inspect", "--json", "--no-digests", "-"], read(self.path(name)))
                self.assertEqual((rc, out), (2, b""))
                self.assertTrue(err.startswith("qvutil: -: "), err)
                self.assertIn("the file itself", err)

    def test_any_piece_size_gives_the_same_report(self):
        rows = [("h264_aac_frag.mp4", (8, 61, 4099)), ("hevc_hvc1_ac3.mp4", (61, 4099)),
                ("h264_tff_subs.mkv", (61, 4099)), ("h264_odd_opus.mkv", (8, 61)), ("h264_largesize.mp4", (61,))]
        for name, pieces in rows:
            whole = inspect_json(self.path(name))
            for piece in pieces:
                with self.subTest(file=name, piece=piece):
                    self.assertEqual(inspect_json(self.path(name), piece), whole)


# --- Damaged copies ---------------------------------------------------------------------------

def vint(data, at):
    """A Matroska variable-length integer: (length, value with the marker bit, value without)."""
    first = data[at]
    length = next(n for n in range(1, 9) if first & (0x100 >> n))
    raw = int.from_bytes(data[at:at + length], "big")
    return length, raw, raw & ((1 << (7 * length)) - 1)


def clusters(data):
    """(start, end) of each cluster of a Matroska file with sizes written."""
    at = data.index(b"\x18\x53\x80\x67")
    n, _, _ = vint(data, at + 4)
    at, out = at + 4 + n, []
    while at < len(data):
        idlen, ident, _ = vint(data, at)
        sizelen, _, size = vint(data, at + idlen)
        end = at + idlen + sizelen + size
        if ident == 0x1F43B675:
            out.append((at, end))
        at = end
    return out


def boxes(data):
    at = 0
    while at + 8 <= len(data):
        size, name = struct.unpack(">I4s", data[at:at + 8])
        yield at, size, name.decode("latin-1")
        at += size


class Damage(Tool):
    """Damaged copies: status 0, warnings of the usual form, the streams still reported, and
    only frames the clean file has."""

    def check(self, path, clean):
        """The run's warnings, after the checks every damaged copy must pass."""
        stream_kinds = [(s["index"], s["codec_type"], s.get("codec_name"))
                        for s in probe(clean, "streams")["streams"]]
        try:
            rc, out, err = run(["inspect", "--json", "--no-digests", path])
        except subprocess.TimeoutExpired:
            self.fail("qvutil inspect still busy after %d s" % TIMEOUT)
        self.assertEqual(rc, 0, err)
        lines = err.splitlines()
        self.assertTrue(lines, "no warning")
        for line in lines:
            self.assertTrue(line.startswith("qvutil: %s: " % path), line)
        ours = [(s["index"], s["codec_type"], s.get("codec_name")) for s in json.loads(out)["streams"]]
        self.assertEqual(ours, stream_kinds)
        return err

    def clean_rows(self, clean):
        return packet_rows(packets(clean), kind(clean) == "mkv")

    def test_truncated(self):
        """Cut inside the first video frame, at a third and two thirds of the media, and
        inside the file's last frame of any stream."""
        # The index comes first in these: what is left after a cut still says what they hold.
        for name in ("h264_aac_faststart.mp4", "h264_aac_frag.mp4", "hevc_frag.mp4", "h264_tff_subs.mkv",
                     "h264_odd_opus.mkv", "h264_live.mkv"):
            clean = self.path(name)
            data, want = read(clean), self.clean_rows(clean)
            last = max((int(p["pos"]), int(p["size"])) for p in probe(clean, "packets")["packets"])
            first, end = want[0][0] + want[0][1] // 2, last[0] + last[1] // 2
            for cut in (first, first + (end - first) // 3, first + 2 * (end - first) // 3, end):
                with self.subTest(file=name, keep=cut):
                    path = self.write("cut-" + name, data[:cut])
                    self.check(path, clean)
                    rows, _ = frames(path)
                    got = frame_rows(rows, rows[0][0] if rows else None)
                    # Every frame the cut leaves whole, as the whole file has them, and perhaps
                    # the one it cuts, as long as what is left of it (as ffprobe lists it).
                    whole = [r for r in want if r[0] + r[1] <= cut]
                    self.assertEqual(got[:len(whole)], whole)
                    cut_short = [r[:1] + (cut - r[0],) + r[2:] for r in want if r[0] < cut < r[0] + r[1]]
                    self.assertEqual([r for r in got if (r not in want or r[0] >= cut) and r not in cut_short], [])

    def test_box_size_past_the_end(self):
        rows = [("h264_aac_faststart.mp4", "moov"), ("h264_aac_faststart.mp4", "mdat"), ("h264_aac.mp4", "moov"),
                ("h264_aac_frag.mp4", "moof"), ("h264_aac_frag.mp4", "mdat"), ("h264_sidx.mp4", "sidx")]
        for name, box in rows:
            data = bytearray(read(self.path(name)))
            at = next(at for at, size, b in boxes(bytes(data)) if b == box)
            data[at:at + 4] = struct.pack(">I", len(data) - at + 1000)
            with self.subTest(file=name, box=box):
                self.check(self.write("long-" + name, bytes(data)), self.path(name))

    def test_garbage_in_a_cluster(self):
        """Bytes that are no element between two blocks of a cluster: the frames before them
        are kept, and those of the clusters after are found again, as ffmpeg finds them."""
        r = random.Random(7)
        for name in ("h264_odd_opus.mkv", "h264_tff_subs.mkv"):
            clean = self.path(name)
            data, want = read(clean), self.clean_rows(clean)
            found = clusters(data)
            # A block in the middle of the second cluster (of the only one if there is one).
            begin, end = found[min(1, len(found) - 1)]
            inside = [p for p in want if begin < p[0] < end]
            pos = inside[len(inside) // 2][0]
            # ffprobe's offset is a SimpleBlock's body: ID A3 and the size come before it.
            at = next(a for a in (pos - n - 1 for n in range(1, 9))
                      if data[a] == 0xA3 and vint(data, a + 1)[0] == pos - a - 1)
            # No byte that starts a cluster or a block: the garbage must not pass for one.
            bad = [b for b in range(256) if b not in (0x1F, 0xA3, 0xA0)]
            for length in (1, 7, 100, 1000):
                garbage = bytes(r.choice(bad) for _ in range(length))
                with self.subTest(file=name, at=at, length=length):
                    path = self.write("junk-" + name, data[:at] + garbage + data[at:])
                    self.check(path, clean)
                    rows, _ = frames(path)
                    got = frame_rows(rows, rows[0][0])
                    theirs = packet_rows(ffprobe_now(path, "-select_streams", "v:0", "-show_packets", "-show_entries",
                                                     "packet=pts,dts,pos,size,flags")["packets"], True)
                    before = [p for p in want if p[0] < at]
                    after = [p for p in theirs if p[0] > end + length]
                    self.assertEqual([p for p in theirs if p[0] < at], before)
                    self.assertEqual(after, [(p[0] + length,) + p[1:] for p in want if p[0] > end])
                    self.assertEqual(got[:len(before)], before)
                    self.assertEqual(got[len(got) - len(after):] if after else [], after)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])

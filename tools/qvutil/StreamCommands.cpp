// inspect, frames and scan: what a stream holds.

#include "Commands.h"
#include "DigestThreads.h"
#include "EsRouter.h"
#include "Plot.h"
#include "Pump.h"
#include "QvMD5.h"
#include "QvSHA1.h"
#include "Report.h"
#include "StartCodes.h"
#include "container/Demux.h"

#include <algorithm>
#include <cstring>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>

namespace qvutil {

namespace {

std::string Lower(const char* s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

namespace {

// Reads the input through its demuxer into the router (a bare stream as one stream); the
// digests (unless null) see every byte. Formats the tool does not read are refused. The
// demuxer's warnings go to standard error. Null after a refusal or a read error (reported).
std::unique_ptr<Demuxer> ReadStreams(Input& in, EsRouter& router, QvMD5* md5, QvSHA1* sha1, FormatInfo& format,
                                     const char* label) {
    std::vector<uint8_t> head;
    Container container;
    if (!ProbeReadable(in, head, &container)) return nullptr;
    router.SetContainer(container);
    std::unique_ptr<Demuxer> demux =
        container == Container::kElementary ? MakeElementaryDemux(router) : MakeDemuxer(container, router);
    // The digests run beside the analysis, over the same buffers.
    std::unique_ptr<DigestThreads> digests;
    if (md5 && sha1) digests = std::make_unique<DigestThreads>(*md5, *sha1);
    const BytesFn digest = [&digests](const uint8_t* p, size_t n) { digests->Add(p, n); };
    Progress progress(label, in.Size());
    PumpRun run;
    run.everyByte = digests ? &digest : nullptr;
    run.lag = DigestThreads::kInFlight;
    const std::function<void()> drain = [&digests] { digests->Finish(); };
    if (digests) run.drain = &drain;
    run.progress = &progress;
    int64_t at = -1;
    const PumpResult result = RunDemuxer(in, head, *demux, run, &format.size, &at);
    if (digests) digests->Finish();
    progress.Finish();
    if (result == PumpResult::kReadError) return nullptr;
    if (result == PumpResult::kNeedsFile) {
        Error(ShownName(in.Name()) + ": " +
              (container == Container::kMp4
                   ? std::string("its index (the moov box) comes after the media data it describes, which a pipe\n"
                                 "has passed by then: give qvutil the file itself")
                   : "needs to read back at offset " + std::to_string(at) + ", which a pipe cannot: give the file itself"));
        return nullptr;
    }
    ReportWarnings(*demux, ShownName(in.Name()));
    router.Finish();
    format.filename = in.Name();
    if (container == Container::kElementary) {
        const std::vector<const StreamModel*> streams = router.Streams(true);
        SetElementaryFormat(format, streams.empty() ? Codec::Unknown : streams[0]->codec);
        if (format.formatName.empty()) SetElementaryAudioFormat(format, router.AudioCodec());
    } else {
        SetContainerFormat(format, container);
    }
    return demux;
}

}  // namespace

int CmdInspect(int argc, char** argv) {
    Args args("inspect", {{nullptr, "--json", false}, {nullptr, "--no-digests", false}},
              "Usage: qvutil inspect [--json] [--no-digests] FILE\n"
              "\n"
              "What a file holds: a bare H.264, H.265 or MPEG-1/2 stream, or an MPEG-TS, M2TS,\n"
              "MPEG-PS, MP4/MOV/3GP/M4A or Matroska/WebM file with every stream it carries (video,\n"
              "audio, subtitles, data), each by its PID, stream id or track: the file's size and\n"
              "digests, and for video (H.264, H.265, MPEG-1/2, VP9, AV1) every fact of its\n"
              "sequence header (profile, level, picture size and cropping, chroma format and bit\n"
              "depth, frame rate, interlacing and field order, aspect ratio, colour and HDR\n"
              "signalling) and what its pictures add up to (frames by type, key frames, GOPs,\n"
              "B-frames, duration, bit rate); for audio what its codec's headers say (profile,\n"
              "rate, channels and layout, bit rate, frames); for other streams the container's.\n"
              "Broken headers are reported as problems; the rest of the report still comes.\n"
              "\n"
              "  --json         one JSON object: \"format\" and \"streams\" with ffprobe's key\n"
              "                 names and spellings, qvutil's own facts under keys of their own\n"
              "  --no-digests   leave out MD5 and SHA-1 (the rest runs at memory speed)\n"
              "\n"
              "FILE '-' reads standard input.\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    if (args.Operands().size() != 1) return args.UsageError("needs exactly one FILE");
    const bool digests = !args.Has("--no-digests");

    Input in;
    if (!in.Open(args.Operands()[0])) return kUsage;
    QvMD5 md5;
    QvSHA1 sha1;
    if (digests && (!md5.Init() || !sha1.Init())) {
        Error("out of memory");
        return kUsage;
    }
    EsRouter router;
    FormatInfo format;
    const std::unique_ptr<Demuxer> demux =
        ReadStreams(in, router, digests ? &md5 : nullptr, digests ? &sha1 : nullptr, format, "inspect");
    if (!demux) return kUsage;
    if (digests) {
        md5.Final();
        sha1.Final();
        format.md5 = Lower(md5.GetString());
        format.sha1 = Lower(sha1.GetString());
    }
    const MediaModel model = router.Model(*demux, format);
    const std::string report = args.Has("--json") ? JsonReport(model) : TextReport(model);
    std::fputs(report.c_str(), stdout);
    return kOk;
}

int CmdFrames(int argc, char** argv) {
    Args args("frames", {{nullptr, "--keys", false}},
              "Usage: qvutil frames [--keys] FILE\n"
              "\n"
              "One line per picture of the video streams of a file inspect reads, in decoding\n"
              "order: the stream's id (containers only), the byte offset of its access unit (in\n"
              "the stream for a bare stream, MPEG-TS and MPEG-PS; in the file for MP4 and\n"
              "Matroska, where each sample lies), its size in bytes, its type (I, P, B), 'key'\n"
              "where decoding can start (IDR and other random access points, MPEG I pictures),\n"
              "whether it is a frame or a top or bottom field, its kind (IDR, CRA, BLA, RASL,\n"
              "RADL), and the time stamps the container gives (pts, dts, in the stream's time\n"
              "base, '-' where none); a summary line at the end.\n"
              "\n"
              "  --keys   only the key pictures: a keyframe index\n"
              "\n"
              "FILE '-' reads standard input.\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    if (args.Operands().size() != 1) return args.UsageError("needs exactly one FILE");
    const bool keysOnly = args.Has("--keys");

    Input in;
    if (!in.Open(args.Operands()[0])) return kUsage;
    // The stream column appears once the input turns out to be a container: the header
    // waits for the first picture.
    EsRouter router;
    bool header = false;
    router.OnEachPicture([keysOnly, &header](int id, const Picture& p) {
        if (!header) std::fputs(FrameHeader(id >= 0).c_str(), stdout), header = true;
        if (!keysOnly || p.key) std::fputs(FrameLine(p, id).c_str(), stdout);
    });
    FormatInfo format;
    if (!ReadStreams(in, router, nullptr, nullptr, format, "frames")) return kUsage;
    if (!header) std::fputs(FrameHeader(false).c_str(), stdout);
    for (const StreamModel* m : router.Streams()) {
        std::printf("%" PRId64 " pictures, %" PRId64 " frames (I %" PRId64 ", P %" PRId64 ", B %" PRId64
                    "), %" PRId64 " key, %s\n",
                    m->pictures, m->frames, m->typeCount[0], m->typeCount[1], m->typeCount[2], m->keyFrames,
                    CodecName(m->codec));
        for (const std::string& d : m->diagnostics) Error(ShownName(in.Name()) + ": " + d);
    }
    if (router.Streams().empty()) std::printf("0 pictures, no video stream found\n");
    return kOk;
}

namespace {

struct PlotPicture {
    int64_t size;
    char type;
    bool key, idr;
    int64_t pts, dts;
};

std::string FpsText(const Rational& r) {
    char buf[32];
    if (r.den == 1) std::snprintf(buf, sizeof buf, "%" PRId64 " fps", r.num);
    else std::snprintf(buf, sizeof buf, "%.3f fps", static_cast<double>(r.num) / static_cast<double>(r.den));
    return buf;
}

// One stream's pictures as the plot draws them, in decode or display order, with their
// times in seconds where the container (or the stream's own rate) gives them.
PlotStream PlotOf(const StreamReport& r, const std::vector<PlotPicture>& pics, bool display, bool container) {
    const StreamModel& m = *r.video;
    PlotStream p;
    p.id = container ? r.shownId : -1;
    const Rational rate = PlausibleRate(m.seq.frameRate, r.stampRate);
    p.frameDuration = rate.Known() ? static_cast<double>(rate.den) / static_cast<double>(rate.num) : 0;
    const double tb = static_cast<double>(r.info.timeBase.num) / static_cast<double>(r.info.timeBase.den);
    std::vector<PlotPicture> order = pics;
    const bool stamped = container && std::all_of(order.begin(), order.end(), [display](const PlotPicture& q) {
        return (display ? q.pts : (q.dts != kNoTime ? q.dts : q.pts)) != kNoTime;
    });
    if (display && stamped)
        std::stable_sort(order.begin(), order.end(), [](const PlotPicture& a, const PlotPicture& b) { return a.pts < b.pts; });
    for (size_t i = 0; i < order.size(); ++i) {
        const PlotPicture& q = order[i];
        PlotFrame f;
        f.size = q.size, f.type = q.type, f.key = q.key, f.idr = q.idr;
        if (stamped) {
            const int64_t t = display ? q.pts : (q.dts != kNoTime ? q.dts : q.pts);
            f.time = static_cast<double>(t - (display ? order[0].pts : (order[0].dts != kNoTime ? order[0].dts : order[0].pts))) * tb;
        } else if (p.frameDuration > 0) {
            f.time = static_cast<double>(i) * p.frameDuration;  // a bare stream: its own rate
        }
        p.frames.push_back(f);
    }
    if (!stamped && !p.frames.empty() && p.frameDuration <= 0)
        for (PlotFrame& f : p.frames) f.time = -1;
    // The facts a person checks first.
    std::string title = container ? Format("Stream 0x%x: ", static_cast<unsigned>(r.shownId)) : std::string();
    title += CodecName(m.codec);
    if (!m.seq.profile.empty()) title += " " + m.seq.profile;
    if (m.seq.width) title += Format(", %dx%d", m.seq.width, m.seq.height);
    if (rate.Known()) title += ", " + FpsText(rate);
    if (m.gop.count)
        title += m.gop.complete ? Format(", GOP %.1f frames", static_cast<double>(m.gop.totalFrames) /
                                                                 static_cast<double>(m.gop.complete))
                                : Format(", 1 GOP");
    title += m.bFrames ? Format(", B-frames up to %" PRId64 " in a row", m.gop.maxBRun) : ", no B-frames";
    p.title = title;
    p.hrdRate = static_cast<double>(m.seq.bitRate);
    p.hrdBuffer = m.seq.bufferSize;
    return p;
}

}  // namespace

int CmdPlot(int argc, char** argv) {
    Args args("plot",
              {{"-o", "--output", true}, {"-s", "--stream", true}, {nullptr, "--order", true}, {nullptr, "--window", true}},
              "Usage: qvutil plot FILE [-o OUT.svg|OUT.html] [--stream ID] [--order decode|display]\n"
              "                   [--window SECONDS]\n"
              "\n"
              "A picture of each video stream of a file inspect reads: its frame sizes as bars by\n"
              "picture type (I red, P blue, B green), key frames and IDR pictures marked and GOP\n"
              "boundaries drawn; its bit rate over a sliding window with the average, the peak and\n"
              "the HRD/VBV maximum the stream declares; the audio streams' bit rates under it;\n"
              "axes in seconds (frames where there is no timing) and kbit and Mbit/s, a legend,\n"
              "and a title with the stream's codec, profile, size, rate, GOP length and B-frames.\n"
              "Past 1000 frames the bars are binned per pixel column (least, most and mean size),\n"
              "so that hours of video stay a light picture. The numbers drawn are in the picture\n"
              "too, as JSON in its metadata element.\n"
              "\n"
              "  -o, --output=OUT   write to OUT: SVG, or HTML (a name ending in .html) that wraps\n"
              "                     the SVG with a little script for hover details; by default SVG\n"
              "                     on standard output\n"
              "  -s, --stream=ID    only the video stream with this id (as inspect shows it)\n"
              "      --order=ORDER  decode (by default) or display, where the stream has time stamps\n"
              "      --window=SECONDS  the bit rate's window (1 by default)\n"
              "\n"
              "FILE '-' reads standard input.\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    if (args.Operands().size() != 1) return args.UsageError("needs exactly one FILE");
    PlotOptions options;
    const std::string order = args.Value("--order", "decode");
    if (order != "decode" && order != "display") return args.UsageError("ORDER must be decode or display, not '" + order + "'");
    options.display = order == "display";
    const std::string window = args.Value("--window", "1");
    char* end = nullptr;
    options.window = std::strtod(window.c_str(), &end);
    if (window.empty() || *end || !(options.window > 0) || options.window > 3600)
        return args.UsageError("SECONDS must be a number above 0 and up to 3600, not '" + window + "'");
    int want = -1;
    if (args.Has("--stream")) {
        const std::string v = args.Value("--stream");
        const long id = std::strtol(v.c_str(), &end, 0);
        if (v.empty() || *end || id < 0 || id > 0x7FFFFFFF) return args.UsageError("ID must be a number from 0, not '" + v + "'");
        want = static_cast<int>(id);
    }

    Input in;
    if (!in.Open(args.Operands()[0])) return kUsage;
    EsRouter router;
    std::map<int, std::vector<PlotPicture>> pictures;
    std::map<int, std::vector<std::pair<int64_t, int64_t>>> audio;
    router.OnEachPicture([&pictures](int id, const Picture& p) {
        pictures[id].push_back({p.size, p.type, p.key, std::strcmp(p.kind, "IDR") == 0, p.pts, p.dts});
    });
    router.OnEachAudioPacket([&audio](int id, int64_t pts, int64_t bytes) { audio[id].emplace_back(pts, bytes); });
    FormatInfo format;
    const std::unique_ptr<Demuxer> demux = ReadStreams(in, router, nullptr, nullptr, format, "plot");
    if (!demux) return kUsage;
    const MediaModel model = router.Model(*demux, format);
    const bool container = model.container != Container::kElementary;
    std::vector<PlotStream> streams;
    std::vector<PlotAudio> sound;
    for (const StreamReport& r : model.streams) {
        if (r.info.kind != StreamKind::kAudio || !audio.count(r.shownId)) continue;
        PlotAudio a;
        a.id = r.shownId;
        a.title = (r.info.codecName.empty() ? std::string("audio") : r.info.codecName) +
                  Format(" 0x%x", static_cast<unsigned>(r.shownId));
        const double tb = static_cast<double>(r.info.timeBase.num) / static_cast<double>(r.info.timeBase.den);
        for (const auto& pk : audio[r.shownId])
            a.packets.emplace_back(pk.first == kNoTime ? -1.0 : static_cast<double>(pk.first) * tb, pk.second);
        sound.push_back(a);
    }
    for (const StreamReport& r : model.streams) {
        if (!r.video || r.video->codec == Codec::Unknown) continue;
        const int key = container ? r.shownId : kElementaryId;
        if (want >= 0 && r.shownId != want) continue;
        PlotStream p = PlotOf(r, pictures[key], options.display, container);
        // The audio under it, on the video's clock.
        const double start = r.info.startTime != kNoTime
                                 ? static_cast<double>(r.info.startTime) * static_cast<double>(r.info.timeBase.num) /
                                       static_cast<double>(r.info.timeBase.den)
                                 : 0;
        const bool fromStart = !p.frames.empty() && !pictures[key].empty();
        double first = 0;
        if (fromStart) {
            const PlotPicture& q = pictures[key].front();
            const int64_t t = q.dts != kNoTime ? q.dts : q.pts;
            if (t != kNoTime)
                first = static_cast<double>(t) * static_cast<double>(r.info.timeBase.num) /
                        static_cast<double>(r.info.timeBase.den);
            else first = start;
        }
        for (PlotAudio a : sound) {
            for (auto& pk : a.packets)
                if (pk.first >= 0) pk.first -= first;
            p.audio.push_back(a);
        }
        streams.push_back(p);
    }
    if (streams.empty()) {
        Error(ShownName(in.Name()) + ": " +
              (want >= 0 ? Format("no video stream 0x%x to plot", static_cast<unsigned>(want)) : std::string("no video stream to plot")));
        return kUsage;
    }
    // What went wrong reading the pictures, as frames says it.
    for (const StreamModel* m : router.Streams())
        for (const std::string& d : m->diagnostics) Error(ShownName(in.Name()) + ": " + d);
    const std::string svg = PlotSvg(streams, options);
    const std::string name = args.Value("--output", "-");
    const bool html = name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0;
    const std::string text = html ? PlotHtml(svg, "qvutil plot: " + in.Name()) : svg;
    Output out;
    if (!out.Open(name)) return kUsage;
    if (!out.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()) || !out.Close()) return kUsage;
    return kOk;
}

int CmdScan(int argc, char** argv) {
    Args args("scan", {{nullptr, "--reverse", false}, {"-r", nullptr, false}, {nullptr, "--find", true}},
              "Usage: qvutil scan [--reverse] [--find CODEWORD] FILE\n"
              "\n"
              "One line per start code (00 00 01 xx): its byte offset, its code word 0x1xx and\n"
              "what it is in the codec the stream looks like; a summary line at the end.\n"
              "\n"
              "  -r, --reverse     walk from the end backward (FILE must be a regular file)\n"
              "  --find CODEWORD   only start codes with this code word, e.g. 0x1b3 or 1b3\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    if (args.Operands().size() != 1) return args.UsageError("needs exactly one FILE");
    uint32_t find = 0;
    if (args.Has("--find")) {
        const std::string v = args.Value("--find");
        char* end = nullptr;
        const unsigned long w = std::strtoul(v.c_str(), &end, 16);
        if (v.empty() || *end || w < 0x100 || w > 0x1FF)
            return args.UsageError("CODEWORD must be 0x100 to 0x1ff, not '" + v + "'");
        find = static_cast<uint32_t>(w);
    }
    const bool reverse = args.Has("--reverse") || args.Has("-r");

    Input in;
    if (!in.Open(args.Operands()[0])) return kUsage;
    if (reverse && !in.Seekable()) {
        Error(ShownName(in.Name()) + ": --reverse needs a regular file, not " + (in.Pipe() ? "a pipe" : "a device"));
        return kUsage;
    }

    // The codec names the start codes. A file's start tells it before the walk (a backward
    // walk or a search may never meet the code that decides); from a pipe, lines wait
    // for the first sequence-level start code, so few ever wait.
    CodecDetector detector(in.Seekable() ? DetectCodec(in) : Codec::Unknown);
    std::vector<std::pair<int64_t, uint32_t>> waiting;
    uint64_t total = 0;
    auto print = [&](int64_t offset, uint32_t code) {
        std::printf("%" PRId64 " 0x%03x %s\n", offset, code,
                    TypeName(detector.Get(), CodeType(detector.Get(), code)).c_str());
    };
    auto flush = [&] {
        for (const auto& w : waiting) print(w.first, w.second);
        waiting.clear();
    };
    const HitFn onHit = [&](const Hit& h) {
        ++total;
        if (detector.Get() != Codec::Unknown || detector.Feed(h) || waiting.size() >= 65536) {
            flush();
            print(h.offset, h.code);
        } else {
            waiting.emplace_back(h.offset, h.code);
        }
    };
    Progress progress("scan", in.Size());
    const bool ok = reverse ? WalkBackward(in, find, onHit, &progress)
                            : WalkForward(in, find, onHit, nullptr, &progress);
    progress.Finish();
    flush();
    if (!ok) return kUsage;
    if (find) {
        std::printf("%" PRIu64 " start code%s 0x%03x (%s), %s\n", total, total == 1 ? "" : "s", find,
                    TypeName(detector.Get(), CodeType(detector.Get(), find)).c_str(), CodecName(detector.Get()));
    } else {
        std::printf("%" PRIu64 " start code%s, %s%s\n", total, total == 1 ? "" : "s", CodecName(detector.Get()),
                    reverse ? ", walked backward" : "");
    }
    return kOk;
}

}  // namespace qvutil

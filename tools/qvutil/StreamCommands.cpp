// inspect, frames and scan: what a stream holds.

#include "Commands.h"
#include "DigestThreads.h"
#include "EsRouter.h"
#include "Pump.h"
#include "QvMD5.h"
#include "QvSHA1.h"
#include "Report.h"
#include "StartCodes.h"
#include "container/Demux.h"

#include <algorithm>
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

// demux: one elementary stream out of a container, the bytes ffmpeg's stream copy writes:
// 'ffmpeg -i FILE -map 0:v:N -c copy -f h264 OUT' for MPEG-TS and MPEG-PS, and for MP4 and
// Matroska with the samples' NAL units given start codes and the decoder configuration's
// parameter sets before key frames, as ffmpeg's h264_mp4toannexb and hevc_mp4toannexb
// bitstream filters write them, and AAC frames with ADTS headers as '-f adts' writes them;
// or the list of its streams.

#include "Commands.h"
#include "EsRouter.h"
#include "Input.h"
#include "Pump.h"
#include "codec/AnnexB.h"
#include "codec/AudioHeaders.h"
#include "codec/AudioProbe.h"
#include "container/Demux.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace qvutil {

namespace {

std::string Kind(const StreamInfo& s) {
    switch (s.codec) {
    case EsCodec::kH264: return "H.264 video";
    case EsCodec::kH265: return "H.265 video";
    case EsCodec::kMpeg2Video: return "MPEG-2 video";
    case EsCodec::kMpeg1Video: return "MPEG-1 video";
    case EsCodec::kVp9: return "VP9 video";
    case EsCodec::kAv1: return "AV1 video";
    case EsCodec::kUnknown: return s.IsVideo() ? "video" : "unknown";
    case EsCodec::kOther: break;
    }
    std::string kind = KindName(s.kind);
    return s.codecName.empty() ? kind + ", codec not read" : kind + ", " + s.codecName;
}

// What demux can write of a stream of a framed container.
bool Writable(const StreamInfo& s) {
    const std::string& c = s.codecName;
    return s.codec == EsCodec::kH264 || s.codec == EsCodec::kH265 || s.codec == EsCodec::kMpeg1Video ||
           s.codec == EsCodec::kMpeg2Video ||
           (s.kind == StreamKind::kAudio && (c == "aac" || c == "mp1" || c == "mp2" || c == "mp3" || c == "ac3" ||
                                             c == "eac3" || c == "dts" || c == "truehd" || c == "mlp"));
}

class DemuxSink : public EsSink {
public:
    // want: the stream's id, or -1 for the first video stream. out: null to only list.
    DemuxSink(int want, Output* out, const std::string& outName, Container c)
        : m_want(want), m_out(out), m_outName(outName), m_container(c),
          m_framed(c == Container::kMp4 || c == Container::kMatroska) {}

    bool OnStream(const StreamInfo& info) override {
        m_streams.push_back(info);
        // A list names audio as inspect does, by its first bytes where the container does not.
        if (!m_out && AudioByItsBytes(info, m_container)) m_heads[info.id];
        // A program stream's private sub-streams go by their number too.
        const bool named = info.id == m_want || ((info.id & kPrivateSubstream) && (info.id & 0xFF) == m_want);
        if (m_chosen != kNone || !(m_want >= 0 ? named : info.IsVideo())) return !m_out;
        m_chosen = info.id;
        m_info = info;
        if (m_framed && !Writable(info)) {
            m_problem = "is " + Kind(info) +
                        ": demux writes H.264, H.265 and MPEG-1/2 video, AAC, MPEG audio, AC-3, E-AC-3, DTS and "
                        "TrueHD out of MP4 and Matroska";
            return false;
        }
        // AAC samples are raw frames: each gets the ADTS header ffmpeg's muxer makes from
        // the configuration.
        uint8_t adts[7];
        m_adts = m_framed && info.codecName == "aac";
        if (m_adts && !AdtsHeaderFor(info.config.data(), info.config.size(), 0, adts))
            m_problem = "its AAC configuration cannot be put in ADTS headers";
        if (info.nalLengthSize && (info.codec == EsCodec::kH264 || info.codec == EsCodec::kH265)) {
            std::string why;
            if (!m_annexB.Configure(info.codec == EsCodec::kH265, info.config.data(), info.config.size(), why))
                m_problem = "its decoder configuration is broken (" + why + ")";
        }
        // The output is made only once there is something to put in it.
        if (m_out && m_problem.empty() && (info.nalLengthSize == 0 || m_annexB.Ready()) && !m_out->Open(m_outName))
            m_failed = true;
        return true;
    }

    void OnData(int id, const uint8_t* p, size_t n, int64_t, int64_t) override {
        m_bytes[id] += static_cast<int64_t>(n);
        const auto head = m_heads.find(id);
        if (head != m_heads.end() && head->second.size() < kAudioProbeHead)
            head->second.insert(head->second.end(), p, p + std::min(n, kAudioProbeHead - head->second.size()));
        if (id == m_chosen && m_out) Put(p, n);
    }

    bool OnSample(int id, const Sample& s) override {
        m_bytes[id] += s.size;
        if (id != m_chosen || !m_out || m_failed || !m_problem.empty()) return false;
        m_sample.clear();
        m_sampleLeft = s.size;
        return true;
    }

    int64_t OnSampleData(int, const uint8_t* p, size_t n) override {
        m_sample.insert(m_sample.end(), p, p + n);
        m_sampleLeft -= static_cast<int64_t>(n);
        if (m_sampleLeft <= 0) {
            if (m_info.nalLengthSize && m_annexB.Ready()) {
                m_converted.clear();
                m_annexB.Packet(m_sample.data(), m_sample.size(), m_converted);
                Put(m_converted.data(), m_converted.size());
            } else if (m_adts) {
                uint8_t adts[7];
                if (AdtsHeaderFor(m_info.config.data(), m_info.config.size(), m_sample.size(), adts)) {
                    Put(adts, sizeof adts);
                    Put(m_sample.data(), m_sample.size());
                }
            } else {
                Put(m_sample.data(), m_sample.size());
            }
        }
        return 0;
    }

    bool Flush() {
        if (!m_failed && !m_buf.empty() && !m_out->Write(m_buf.data(), m_buf.size())) m_failed = true;
        m_buf.clear();
        return !m_failed;
    }

    static constexpr int kNone = -0x7FFFFFFF;
    int Chosen() const { return m_chosen; }
    const StreamInfo& Info() const { return m_info; }
    bool Failed() const { return m_failed; }
    const std::string& Problem() const { return m_problem; }
    const AnnexBWriter& Writer() const { return m_annexB; }

    void List(Container c) const {
        for (StreamInfo s : m_streams) {
            if (s.kind == StreamKind::kAttachment) continue;
            const auto head = m_heads.find(s.id);
            const std::string probed = head == m_heads.end() ? "" : ProbeAudio(head->second.data(), head->second.size());
            if (!probed.empty()) s.codec = EsCodec::kOther, s.kind = StreamKind::kAudio, s.codecName = probed;
            if (c == Container::kMpegPs) std::printf("0x%02x", s.id & 0xFF);
            else if (c == Container::kMp4 || c == Container::kMatroska) std::printf("%d", s.id);
            else std::printf("0x%04x  program %d", s.id & ~kCoreSubstream, s.program);
            if (s.streamType) std::printf("  stream_type 0x%02x", s.streamType);
            const auto it = m_bytes.find(s.id);
            std::printf("  %s  %" PRId64 " bytes\n", Kind(s).c_str(), it == m_bytes.end() ? 0 : it->second);
        }
    }

private:
    void Put(const uint8_t* p, size_t n) {
        if (m_failed) return;
        // A transport packet's payload at a time is too little to hand the C library.
        if (m_buf.size() + n > kBuffer) Flush();
        m_buf.insert(m_buf.end(), p, p + n);
    }

    static constexpr size_t kBuffer = 1 << 20;
    const int m_want;
    Output* m_out;
    std::string m_outName;
    const Container m_container;
    const bool m_framed;
    std::map<int, std::vector<uint8_t>> m_heads;  // first bytes of the streams to probe
    int m_chosen = kNone;
    StreamInfo m_info;
    bool m_failed = false;
    std::string m_problem;
    std::vector<StreamInfo> m_streams;
    std::map<int, int64_t> m_bytes;
    std::vector<uint8_t> m_buf, m_sample, m_converted;
    int64_t m_sampleLeft = 0;
    AnnexBWriter m_annexB;
    bool m_adts = false;
};

}  // namespace

int CmdDemux(int argc, char** argv) {
    Args args("demux", {{"-o", "--output", true}, {"-s", "--stream", true}, {"-l", "--list", false}},
              "Usage: qvutil demux FILE [-o OUT] [--stream ID]\n"
              "       qvutil demux --list FILE\n"
              "\n"
              "Takes one elementary stream out of a container, as ffmpeg's stream copy writes it:\n"
              "from MPEG-TS (188-byte packets), M2TS (192) or MPEG-PS (.mpg, .vob) the payload of\n"
              "its PES packets, in order ('ffmpeg -i FILE -map 0:v:0 -c copy -f h264 OUT'); from\n"
              "MP4/MOV/3GP or Matroska/WebM an H.264 or H.265 stream in Annex B form (start codes,\n"
              "the parameter sets before key frames, as ffmpeg's h264_mp4toannexb and\n"
              "hevc_mp4toannexb write it), MPEG-1/2 video as its samples hold it, AAC with ADTS\n"
              "headers ('-f adts') and MPEG audio, AC-3, E-AC-3, DTS and TrueHD as their frames\n"
              "are. Problems met on the way (lost sync, continuity errors, bad headers) are\n"
              "reported on standard error.\n"
              "\n"
              "  -o, --output=OUT  write to OUT instead of standard output\n"
              "  -s, --stream=ID   the stream with this PID (transport streams), stream_id\n"
              "                    (program streams: 0xe0, or ffprobe's 0x1e0) or track number\n"
              "                    (MP4 track_ID, Matroska TrackNumber); by default the first\n"
              "                    video stream\n"
              "  -l, --list        list the streams instead: id, program, stream_type, kind, bytes\n"
              "\n"
              "FILE '-' reads standard input.\n");
    if (!args.Parse(argc, argv)) return kUsage;
    if (args.Help()) return args.PrintHelp(), kOk;
    if (args.Operands().size() != 1) return args.UsageError("needs exactly one FILE");
    const bool list = args.Has("--list");
    int want = -1;
    if (args.Has("--stream")) {
        const std::string v = args.Value("--stream");
        char* end = nullptr;
        const long id = std::strtol(v.c_str(), &end, 0);
        if (v.empty() || *end || id < 0 || id > 0x7FFFFFFF) return args.UsageError("ID must be a number from 0, not '" + v + "'");
        want = static_cast<int>(id);
    }

    Input in;
    if (!in.Open(args.Operands()[0])) return kUsage;
    std::vector<uint8_t> head;
    Container container;
    if (!ProbeReadable(in, head, &container)) return kUsage;
    if (container == Container::kElementary) {
        Error(ShownName(in.Name()) + ": not a container: a bare stream has nothing to take out");
        return kUsage;
    }
    // ffprobe shows a program stream's ids with their start code prefix.
    if (container == Container::kMpegPs && want >= 0x100 && want <= 0x1FF) want &= 0xFF;

    Output out;
    DemuxSink sink(want, list ? nullptr : &out, args.Value("--output", "-"), container);
    const std::unique_ptr<Demuxer> demux = MakeDemuxer(container, sink);
    Progress progress("demux", in.Size());
    PumpRun run;
    run.progress = &progress;
    int64_t size = 0, at = -1;
    const PumpResult result = RunDemuxer(in, head, *demux, run, &size, &at);
    progress.Finish();
    bool ok = result == PumpResult::kOk;
    if (result == PumpResult::kNeedsFile) {
        Error(ShownName(in.Name()) + ": its index (the moov box) comes after the media data it describes, which a pipe\n"
                          "has passed by then: give qvutil the file itself");
        return kUsage;
    }
    ReportWarnings(*demux, ShownName(in.Name()));
    if (list) {
        sink.List(container);
        return ok ? kOk : kUsage;
    }
    if (sink.Chosen() == DemuxSink::kNone) {
        char what[32];
        std::snprintf(what, sizeof what, "no stream 0x%x", want);
        Error(ShownName(in.Name()) + ": " + (want >= 0 ? std::string(what) : std::string("no video stream")) +
              " ('qvutil demux --list' shows what there is)");
        return kUsage;
    }
    if (!sink.Problem().empty()) {
        Error(ShownName(in.Name()) + ": stream " + std::to_string(sink.Chosen()) + ": " + sink.Problem());
        return kUsage;
    }
    for (const std::string& w : sink.Writer().Warnings()) Error(ShownName(in.Name()) + ": " + w);
    if (!sink.Flush() || !out.Close()) ok = false;
    return ok ? kOk : kUsage;
}

}  // namespace qvutil

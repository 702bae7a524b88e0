// demux: one elementary stream out of an MPEG-TS, M2TS or MPEG-PS file, the bytes that
// 'ffmpeg -i FILE -map 0:v:N -c copy -f h264 OUT' writes; or the list of its streams.

#include "Commands.h"
#include "Input.h"
#include "container/Demux.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace qvutil {

namespace {

const char* Kind(const EsInfo& s) {
    switch (s.codec) {
    case EsCodec::kH264: return "H.264 video";
    case EsCodec::kH265: return "H.265 video";
    case EsCodec::kMpeg2Video: return "MPEG-2 video";
    case EsCodec::kMpeg1Video: return "MPEG-1 video";
    case EsCodec::kUnknown: return s.video ? "video" : "unknown";
    case EsCodec::kOther: break;
    }
    return s.video ? "video, codec not read" : "not video";
}

class DemuxSink : public EsSink {
public:
    // want: the stream's id, or -1 for the first video stream. out: null to only list.
    DemuxSink(int want, Output* out, const std::string& outName)
        : m_want(want), m_out(out), m_outName(outName), m_bytes(8192) {}

    void OnStream(const EsInfo& info) override {
        m_streams.push_back(info);
        if (m_chosen >= 0 || !(m_want >= 0 ? info.id == m_want : info.video)) return;
        m_chosen = info.id;
        // The output is made only once there is something to put in it.
        if (m_out && !m_out->Open(m_outName)) m_failed = true;
    }

    void OnData(int id, const uint8_t* p, size_t n, int64_t) override {
        m_bytes[static_cast<size_t>(id) & 8191] += static_cast<int64_t>(n);
        if (id != m_chosen || !m_out || m_failed) return;
        // A transport packet's payload at a time is too little to hand the C library.
        if (m_buf.size() + n > kBuffer) Flush();
        m_buf.insert(m_buf.end(), p, p + n);
    }

    bool Flush() {
        if (!m_failed && !m_buf.empty() && !m_out->Write(m_buf.data(), m_buf.size())) m_failed = true;
        m_buf.clear();
        return !m_failed;
    }

    int Chosen() const { return m_chosen; }
    bool Failed() const { return m_failed; }

    void List(Container c) const {
        for (const EsInfo& s : m_streams) {
            if (c == Container::kMpegPs) std::printf("0x%02x", s.id);
            else std::printf("0x%04x  program %d", s.id, s.program);
            if (s.streamType) std::printf("  stream_type 0x%02x", s.streamType);
            std::printf("  %s  %" PRId64 " bytes\n", Kind(s), m_bytes[static_cast<size_t>(s.id) & 8191]);
        }
    }

private:
    static constexpr size_t kBuffer = 1 << 20;
    const int m_want;
    Output* m_out;
    std::string m_outName;
    int m_chosen = -1;
    bool m_failed = false;
    std::vector<EsInfo> m_streams;
    std::vector<int64_t> m_bytes;
    std::vector<uint8_t> m_buf;
};

}  // namespace

int CmdDemux(int argc, char** argv) {
    Args args("demux", {{"-o", "--output", true}, {"-s", "--stream", true}, {"-l", "--list", false}},
              "Usage: qvutil demux FILE [-o OUT] [--stream ID]\n"
              "       qvutil demux --list FILE\n"
              "\n"
              "Takes one elementary stream out of an MPEG-TS (188-byte packets), M2TS (192) or\n"
              "MPEG-PS (.mpg, .vob) file: the payload of its PES packets, in order, as\n"
              "'ffmpeg -i FILE -map 0:v:0 -c copy -f h264 OUT' writes it. Problems met on the way\n"
              "(lost sync, continuity errors, bad headers) are reported on standard error.\n"
              "\n"
              "  -o, --output=OUT  write to OUT instead of standard output\n"
              "  -s, --stream=ID   the stream with this PID (transport streams) or stream_id\n"
              "                    (program streams: 0xe0, or ffprobe's 0x1e0); by default the\n"
              "                    first video stream\n"
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
        if (v.empty() || *end || id < 0 || id > 0x1FFF) return args.UsageError("ID must be 0 to 0x1fff, not '" + v + "'");
        want = static_cast<int>(id);
    }

    Input in;
    if (!in.Open(args.Operands()[0])) return kUsage;
    std::vector<uint8_t> buf;
    Container container;
    if (!ProbeReadable(in, buf, &container)) return kUsage;
    if (container == Container::kElementary) {
        Error(in.Name() + ": neither MPEG-TS nor MPEG-PS: a bare stream has nothing to take out");
        return kUsage;
    }
    // ffprobe shows a program stream's ids with their start code prefix.
    if (container == Container::kMpegPs && want >= 0x100 && want <= 0x1FF) want &= 0xFF;

    Output out;
    DemuxSink sink(want, list ? nullptr : &out, args.Value("--output", "-"));
    const std::unique_ptr<Demuxer> demux = MakeDemuxer(container, sink);
    Progress progress("demux", in.Size());
    bool ok = true;
    // The probed head goes in pieces too, so that their size is the same everywhere.
    for (size_t at = 0; at < buf.size() && !sink.Failed(); at += PieceSize())
        demux->Feed(buf.data() + at, std::min(PieceSize(), buf.size() - at));
    int64_t done = static_cast<int64_t>(buf.size());
    while (!sink.Failed()) {
        buf.clear();
        const long got = in.Read(buf, PieceSize());
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        demux->Feed(buf.data(), buf.size());
        progress.Update(done += got);
    }
    if (ok && !sink.Failed()) demux->Finish();
    progress.Finish();

    ReportWarnings(*demux, in.Name());
    if (list) {
        sink.List(container);
        return ok ? kOk : kUsage;
    }
    if (sink.Chosen() < 0) {
        char what[32];
        std::snprintf(what, sizeof what, "no stream 0x%x", want);
        Error(in.Name() + ": " + (want >= 0 ? std::string(what) : std::string("no video stream")) +
              " ('qvutil demux --list' shows what there is)");
        return kUsage;
    }
    if (!sink.Flush() || !out.Close()) ok = false;
    return ok ? kOk : kUsage;
}

}  // namespace qvutil

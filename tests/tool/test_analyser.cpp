// The analyser as the tool uses it: start codes found across pieces of any size exactly as a
// plain walk over the whole stream finds them, one report whatever the pieces, problems
// reported without losing the rest, and streams that come out of a demuxer analysed as the
// same streams alone.

#include "EsAnalyser.h"
#include "EsRouter.h"
#include "Report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>

namespace {

using namespace qvutil;

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
    out.clear();
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
    std::fclose(f);
    return true;
}

// The bundled samples and the shared real streams.
std::vector<std::string> StreamFiles() {
    std::vector<std::string> files;
    for (const char* n : {"sample.h264", "sample.h265", "sample.m2v"}) files.push_back(std::string(QV_TOOL_SAMPLES_DIR) + "/" + n);
    for (const char* n : {"h264-1280x720-high-mixed.h264", "h264-176x144-cbp-4byte.h264", "hevc-640x360-main-mixed.h265",
                          "mpeg2-128x128-mssg.m2v"})
        files.push_back(std::string(QV_TOOL_DATA_DIR) + "/streams/" + n);
    return files;
}

#define LOAD_OR_SKIP(path, vec)                                                              \
    do {                                                                                     \
        if (!ReadFile((path), (vec))) {                                                      \
            if (QV_TOOL_REQUIRE_DATA) FAIL() << "missing test data: " << (path);             \
            GTEST_SKIP() << "test data not found: " << (path);                               \
        }                                                                                    \
    } while (0)

struct Result {
    std::string json;
    std::vector<std::string> frames;
};

// Feeds the bytes in pieces of the sizes next() gives (0: the rest at once).
template <typename Next>
Result Analyse(const std::vector<uint8_t>& bytes, Next next, Codec codec = Codec::Unknown) {
    EsAnalyser a(codec);
    Result r;
    a.OnEachPicture([&r](const Picture& p) { r.frames.push_back(FrameLine(p, -1)); });
    for (size_t at = 0; at < bytes.size();) {
        size_t n = next();
        if (n == 0 || n > bytes.size() - at) n = bytes.size() - at;
        a.Feed(bytes.data() + at, n);
        at += n;
    }
    a.Finish();
    FormatInfo f;
    r.json = JsonReport(ElementaryModel(f, a.Model()));
    return r;
}

Result Whole(const std::vector<uint8_t>& bytes) {
    return Analyse(bytes, [] { return size_t{0}; });
}

// The forward walk written plainly: a start code at i, then search on from i + 4.
std::map<int, uint64_t> PlainCounts(const std::vector<uint8_t>& d, uint64_t& total) {
    std::map<int, uint64_t> counts;
    total = 0;
    for (size_t i = 0; i + 4 <= d.size();) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            ++counts[d[i + 3]];
            ++total;
            i += 4;
        } else {
            ++i;
        }
    }
    return counts;
}

TEST(EsAnalyser, StartCodesAcrossAnyPiecesAsAPlainWalk) {
    std::mt19937 rng(7);
    for (int iter = 0; iter < 300; ++iter) {
        // Bytes thick with zeros, 00 00 01 and 00 00 00 01, cut into pieces of 1 to 9 bytes
        // (or larger ones, every fourth stream).
        std::vector<uint8_t> d;
        const size_t len = rng() % 2000;
        while (d.size() < len) {
            switch (rng() % 6) {
            case 0: d.insert(d.end(), {0, 0, 1}); break;
            case 1: d.insert(d.end(), {0, 0, 0, 1}); break;
            case 2: d.push_back(0); break;
            default: d.push_back(static_cast<uint8_t>(rng())); break;
            }
        }
        const size_t maxPiece = iter % 4 == 0 ? 700 : 9;
        EsAnalyser a;
        for (size_t at = 0; at < d.size();) {
            const size_t n = std::min<size_t>(1 + rng() % maxPiece, d.size() - at);
            a.Feed(d.data() + at, n);
            at += n;
        }
        a.Finish();
        uint64_t total = 0;
        const std::map<int, uint64_t> expected = PlainCounts(d, total);
        ASSERT_EQ(a.Model().startCodes, total) << iter;
        for (int c = 0; c < 256; ++c) {
            const auto it = expected.find(c);
            ASSERT_EQ(a.Model().codeCounts[static_cast<size_t>(c)], it == expected.end() ? 0 : it->second) << iter;
        }
        ASSERT_EQ(a.Model().bytes, static_cast<int64_t>(d.size()));
    }
}

TEST(EsAnalyser, RealStreamsGiveOneReportWhateverThePieces) {
    for (const std::string& path : StreamFiles()) {
        std::vector<uint8_t> bytes;
        LOAD_OR_SKIP(path, bytes);
        const Result whole = Whole(bytes);
        ASSERT_FALSE(whole.frames.empty()) << path;
        EXPECT_EQ(whole.json.find("invalid"), std::string::npos) << path << whole.json;
        std::mt19937 rng(static_cast<uint32_t>(bytes.size()));
        for (size_t fixed : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{4096}}) {
            const Result r = Analyse(bytes, [fixed] { return fixed; });
            EXPECT_EQ(r.json, whole.json) << path << " in pieces of " << fixed;
            EXPECT_EQ(r.frames, whole.frames) << path << " in pieces of " << fixed;
        }
        const Result random = Analyse(bytes, [&rng] { return size_t{1} + rng() % 300; });
        EXPECT_EQ(random.json, whole.json) << path;
        EXPECT_EQ(random.frames, whole.frames) << path;
        // Told the codec, the analyser gives the same.
        std::vector<uint8_t> ext(path.end() - 4, path.end());
        const Codec codec = path.find("264") != std::string::npos ? Codec::H264
                            : path.find("265") != std::string::npos ? Codec::H265 : Codec::Mpeg12;
        EXPECT_EQ(Analyse(bytes, [] { return size_t{0}; }, codec).json, whole.json) << path;
    }
}

// Offset of the n-th start code with this code byte (under mask), or -1.
int64_t FindCode(const std::vector<uint8_t>& d, uint8_t code, uint8_t mask, int n) {
    for (size_t i = 0; i + 4 <= d.size(); ++i)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && (d[i + 3] & mask) == code && n-- == 0)
            return static_cast<int64_t>(i);
    return -1;
}

TEST(EsAnalyser, BrokenHeadersAreReportedAndTheRestIsAnalysed) {
    std::vector<uint8_t> bytes;
    LOAD_OR_SKIP(std::string(QV_TOOL_SAMPLES_DIR) + "/sample.h264", bytes);
    const int64_t sps2 = FindCode(bytes, 0x07, 0x1F, 1);
    ASSERT_GT(sps2, 0);
    // After level_idc of the second SPS: a seq_parameter_set_id far out of range.
    std::vector<uint8_t> broken = bytes;
    broken[static_cast<size_t>(sps2) + 7] = 0x00;
    broken[static_cast<size_t>(sps2) + 8] = 0x00;
    broken[static_cast<size_t>(sps2) + 9] = 0x02;
    EsAnalyser a;
    a.Feed(broken.data(), broken.size());
    a.Finish();
    const StreamModel& m = a.Model();
    ASSERT_FALSE(m.diagnostics.empty());
    EXPECT_EQ(m.diagnostics[0].rfind("invalid SPS at offset " + std::to_string(sps2) + ": ", 0), 0u) << m.diagnostics[0];
    EXPECT_EQ(m.frames, 50);  // the first SPS still serves the whole stream
    EXPECT_EQ(m.seq.width, 320);

    // A slice that names a PPS nobody sent, after the first parameter sets: first_mb_in_slice
    // 0, slice_type 0, pic_parameter_set_id 5.
    std::vector<uint8_t> orphan = bytes;
    const int64_t slice = FindCode(bytes, 0x01, 0x1F, 3);
    orphan[static_cast<size_t>(slice) + 4] = 0xCC;
    EsAnalyser b;
    b.Feed(orphan.data(), orphan.size());
    b.Finish();
    ASSERT_FALSE(b.Model().diagnostics.empty());
    EXPECT_EQ(b.Model().diagnostics[0],
              "invalid slice header at offset " + std::to_string(slice) + ": refers to PPS 5, which is missing");

    // MPEG-2: a later sequence header that says 0x0 (with no extension to add high bits) leaves
    // its pictures decoded with the last size that worked, every byte still in a picture.
    std::vector<uint8_t> m2v;
    LOAD_OR_SKIP(std::string(QV_TOOL_SAMPLES_DIR) + "/sample.m2v", m2v);
    const Result good = Whole(m2v);
    const int64_t seq2 = FindCode(m2v, 0xB3, 0xFF, 1);
    ASSERT_GT(seq2, 0);
    std::vector<uint8_t> zero = m2v;
    for (int i = 4; i < 7; ++i) zero[static_cast<size_t>(seq2 + i)] = 0;
    EsAnalyser c;
    int64_t next = 0;
    bool tiled = true;
    c.OnEachPicture([&](const Picture& p) {
        tiled = tiled && p.offset == next;
        next = p.offset + p.size;
    });
    c.Feed(zero.data(), zero.size());
    c.Finish();
    EXPECT_TRUE(tiled);
    EXPECT_EQ(next, static_cast<int64_t>(zero.size()));
    EXPECT_EQ(c.Model().pictures, static_cast<int64_t>(good.frames.size()));
    EXPECT_EQ(c.Model().seq.width, 320);
    ASSERT_FALSE(c.Model().diagnostics.empty());
    EXPECT_EQ(c.Model().diagnostics[0], "invalid sequence header at offset " + std::to_string(seq2) + ": picture size of 0");
}

TEST(EsAnalyser, AStreamCutBetweenKeyFramesSkipsWhatItCannotDecode) {
    // (sample.h265 sends its parameter sets once: cut, it holds nothing to read.)
    for (const std::string& name : {std::string(QV_TOOL_SAMPLES_DIR) + "/sample.h264",
                                    std::string(QV_TOOL_DATA_DIR) + "/streams/hevc-640x360-main-mixed.h265",
                                    std::string(QV_TOOL_SAMPLES_DIR) + "/sample.m2v"}) {
        std::vector<uint8_t> bytes;
        LOAD_OR_SKIP(name, bytes);
        const Result whole = Whole(bytes);
        // Cut at the second access unit: everything up to the next sequence header is lost.
        int64_t offset = 0, size = 0;
        ASSERT_EQ(std::sscanf(whole.frames[1].c_str(), "%lld %lld", reinterpret_cast<long long*>(&offset),
                              reinterpret_cast<long long*>(&size)), 2);
        const std::vector<uint8_t> cut(bytes.begin() + offset, bytes.end());
        EsAnalyser a;
        a.Feed(cut.data(), cut.size());
        a.Finish();
        const StreamModel& m = a.Model();
        EXPECT_TRUE(m.diagnostics.empty()) << name << ": " << (m.diagnostics.empty() ? "" : m.diagnostics[0]);
        EXPECT_GT(m.leadingUnits, 0) << name;
        EXPECT_GT(m.frames, 0) << name;
        EXPECT_TRUE(m.seq.present) << name;
    }
}

// A made-up container for the router test: packets of [stream id, 2 bytes][has pts][pts, 8
// bytes when present][length, 2 bytes][payload], read in pieces of any size as a real
// demuxer would.
class FakeDemuxer : public Demuxer {
public:
    FakeDemuxer(EsSink& sink, std::map<int, EsCodec> codecs) : m_sink(sink), m_codecs(std::move(codecs)) {}
    Want Next() const override { return {m_fed, Want::kAny}; }
    const ContainerFacts& Facts() const override { return m_facts; }
    void Feed(const uint8_t* p, size_t n) override {
        m_fed += static_cast<int64_t>(n);
        m_buf.insert(m_buf.end(), p, p + n);
        for (;;) {
            if (m_buf.size() < 3) return;
            const size_t header = 3 + (m_buf[2] ? 8 : 0) + 2;
            if (m_buf.size() < header) return;
            const size_t len = static_cast<size_t>(m_buf[header - 2]) << 8 | m_buf[header - 1];
            if (m_buf.size() < header + len) return;
            const int id = m_buf[0] << 8 | m_buf[1];
            int64_t pts = -1;
            if (m_buf[2]) {
                pts = 0;
                for (int i = 0; i < 8; ++i) pts = pts << 8 | m_buf[3 + static_cast<size_t>(i)];
            }
            if (!m_announced[id]) {
                m_announced[id] = true;
                StreamInfo info;
                info.id = id, info.codec = m_codecs[id], info.program = 1;
                info.kind = m_codecs[id] != EsCodec::kOther ? StreamKind::kVideo : StreamKind::kAudio;
                m_facts.streams.push_back(info);
                m_sink.OnStream(info);
            }
            m_sink.OnData(id, m_buf.data() + header, len, pts, pts);
            m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<long>(header + len));
        }
    }
    void Finish() override {}
    std::string Warnings() const override { return ""; }

private:
    EsSink& m_sink;
    ContainerFacts m_facts;
    int64_t m_fed = 0;
    std::map<int, EsCodec> m_codecs;
    std::map<int, bool> m_announced;
    std::vector<uint8_t> m_buf;
};

TEST(EsRouter, DemuxedStreamsAreAnalysedAsTheSameStreamsAlone) {
    struct Source {
        int id;
        EsCodec codec;
        std::string file;
        std::vector<uint8_t> bytes;
        std::vector<int64_t> starts;  // access unit offsets, from the bare analysis
        size_t at = 0;
    };
    std::vector<Source> sources = {{0x100, EsCodec::kH264, "sample.h264", {}, {}},
                                   {0x101, EsCodec::kMpeg2Video, "sample.m2v", {}, {}},
                                   {0x1E0, EsCodec::kUnknown, "sample.h265", {}, {}},
                                   {0x102, EsCodec::kOther, "sample.m2v", {}, {}}};
    std::map<int, EsCodec> codecs;
    std::map<int, std::string> bare;
    for (Source& s : sources) {
        LOAD_OR_SKIP(std::string(QV_TOOL_SAMPLES_DIR) + "/" + s.file, s.bytes);
        codecs[s.id] = s.codec;
        EsAnalyser a;
        a.OnEachPicture([&s](const Picture& p) { s.starts.push_back(p.offset); });
        a.Feed(s.bytes.data(), s.bytes.size());
        a.Finish();
        FormatInfo f;
        bare[s.id] = JsonReport(ElementaryModel(f, a.Model()));
    }
    // Interleave the streams in packets of random length, each access unit starting a new
    // packet with a time stamp of 1000 times its number, and feed the container in random pieces.
    std::mt19937 rng(42);
    std::vector<uint8_t> container;
    for (bool more = true; more;) {
        more = false;
        for (Source& s : sources) {
            if (s.at >= s.bytes.size()) continue;
            more = true;
            size_t len = std::min<size_t>(1 + rng() % 3000, s.bytes.size() - s.at);
            const auto next = std::upper_bound(s.starts.begin(), s.starts.end(), static_cast<int64_t>(s.at));
            if (next != s.starts.end()) len = std::min<size_t>(len, static_cast<size_t>(*next) - s.at);
            const auto here = std::find(s.starts.begin(), s.starts.end(), static_cast<int64_t>(s.at));
            container.push_back(static_cast<uint8_t>(s.id >> 8));
            container.push_back(static_cast<uint8_t>(s.id));
            container.push_back(here != s.starts.end() ? 1 : 0);
            if (here != s.starts.end()) {
                const int64_t pts = 1000 * (here - s.starts.begin());
                for (int i = 7; i >= 0; --i) container.push_back(static_cast<uint8_t>(pts >> (8 * i)));
            }
            container.push_back(static_cast<uint8_t>(len >> 8));
            container.push_back(static_cast<uint8_t>(len));
            container.insert(container.end(), s.bytes.begin() + static_cast<long>(s.at),
                             s.bytes.begin() + static_cast<long>(s.at + len));
            s.at += len;
        }
    }
    EsRouter router;
    router.SetContainer(Container::kMpegTs);
    std::map<int, std::vector<int64_t>> pts;
    router.OnEachPicture([&pts](int id, const Picture& p) { pts[id].push_back(p.pts); });
    FakeDemuxer demuxer(router, codecs);
    for (size_t at = 0; at < container.size();) {
        const size_t n = std::min<size_t>(1 + rng() % 5000, container.size() - at);
        demuxer.Feed(container.data() + at, n);
        at += n;
    }
    demuxer.Finish();
    router.Finish();

    const std::vector<const StreamModel*> streams = router.Streams();
    ASSERT_EQ(streams.size(), 3u);  // the fourth is not video
    FormatInfo format;
    SetContainerFormat(format, Container::kMpegTs);
    const MediaModel model = router.Model(demuxer, format);
    ASSERT_EQ(model.streams.size(), 4u);
    EXPECT_EQ(model.streams[3].video, nullptr);
    const std::string text = TextReport(model);
    EXPECT_NE(text.find("Container    MPEG-TS, 4 streams\n"), std::string::npos) << text;
    const size_t second = text.find("Stream #2   id 0x1e0, program 1\n");
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_LT(text.find("Codec        H.265/HEVC\n", second), text.find("Stream #3", second)) << text;
    EXPECT_NE(text.find("Stream #3   id 0x102, program 1, audio: codec not named\n"), std::string::npos) << text;
    EXPECT_NE(JsonReport(model).find("\"format_name\": \"mpegts\""), std::string::npos);
    for (size_t i = 0; i < streams.size(); ++i) {
        const Source& s = sources[i];
        EXPECT_EQ(streams[i]->id, s.id);
        EXPECT_EQ(streams[i]->program, 1);
        StreamModel alone = *streams[i];
        alone.id = -1;
        alone.program = 0;
        FormatInfo f;
        EXPECT_EQ(JsonReport(ElementaryModel(f, alone)), bare[s.id]) << s.file;
        std::vector<int64_t> expected;
        for (size_t k = 0; k < s.starts.size(); ++k) expected.push_back(static_cast<int64_t>(1000 * k));
        EXPECT_EQ(pts[s.id], expected) << s.file;
    }
}

}  // namespace

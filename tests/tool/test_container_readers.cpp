// The MP4 and Matroska demuxers against files written from a description: every sample
// where it was written, with its bytes and ffmpeg's time stamps, however the requests are
// served (at offsets in pieces of any size, or as a pipe); and damaged or hostile files read
// without a crash, a hang or an unbounded loop, with what can be read still read.

#include "ContainerWriter.h"
#include "DemuxDriver.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>

namespace {

using namespace qvtest;
using qvutil::Container;
using qvutil::MakeDemuxer;

// Decoding order I P B B P B B ..., as x264 sends it: B pictures show before the P that
// comes first; offsets keep every composition time at or after its decoding time.
Mp4Track Video(size_t n, std::vector<std::pair<int64_t, int64_t>> edits = {{2000, 1024}}) {
    Mp4Track t;
    t.edits = std::move(edits);
    for (size_t i = 0; i < n; ++i) {
        const int64_t shown = i == 0 ? 0 : i % 3 == 1 ? static_cast<int64_t>(i) + 2 : static_cast<int64_t>(i) - 1;
        Mp4Sample s;
        s.size = static_cast<uint32_t>(200 + (i * 37) % 900);
        s.cts = static_cast<int32_t>((shown - static_cast<int64_t>(i) + 2) * 512);
        s.key = i % 12 == 0;
        t.samples.push_back(s);
    }
    return t;
}

Mp4Track Audio(size_t n, uint32_t id = 2) {
    Mp4Track t;
    t.id = id;
    t.handler = "soun";
    t.entry = "mp4a";
    t.timescale = 48000;
    t.edits = {{2000, 1024}};
    for (size_t i = 0; i < n; ++i) t.samples.push_back({static_cast<uint32_t>(180 + (i * 11) % 90), 1024, 0, true});
    return t;
}

std::string Describe(const Written& w) {
    std::ostringstream s;
    s << "track " << w.track << " at " << w.pos << ", " << w.size << " bytes, pts " << w.pts << ", dts " << w.dts
      << (w.key ? ", key" : "");
    return s.str();
}

std::string Describe(const Delivery& d) {
    std::ostringstream s;
    const qvutil::Sample& x = d.sample;
    s << "track " << d.id << " at " << x.pos << ", " << x.size << " bytes, pts " << x.pts << ", dts " << x.dts
      << (x.key ? ", key" : "");
    return s.str();
}

// What differs between the samples written and those handed on; empty when nothing does.
std::string Compare(const File& f, const Recorder& r, size_t take) {
    if (r.overrun) return "bytes given past a sample's end";
    if (r.samples.size() != f.samples.size())
        return std::to_string(r.samples.size()) + " samples, " + std::to_string(f.samples.size()) + " written";
    for (size_t i = 0; i < f.samples.size(); ++i) {
        const Written& w = f.samples[i];
        const Delivery& d = r.samples[i];
        const qvutil::Sample& s = d.sample;
        const int64_t pts = w.pts == kNone ? qvutil::kNoTime : w.pts, dts = w.dts == kNone ? qvutil::kNoTime : w.dts;
        if (d.id != w.track || s.pos != w.pos || s.size != w.size || s.pts != pts || s.dts != dts || s.key != w.key)
            return "sample " + std::to_string(i) + ": " + Describe(d) + ", written " + Describe(w);
        const Bytes want(w.bytes.begin(), w.bytes.begin() + static_cast<std::ptrdiff_t>(std::min(take, w.bytes.size())));
        if (d.bytes != want) return "sample " + std::to_string(i) + ": other bytes (" + Describe(w) + ")";
    }
    return std::string();
}

struct Read {
    Recorder rec;
    std::string warnings;
    qvutil::ContainerFacts facts;
    bool wentBack = false;
};

std::unique_ptr<Read> ReadFile(Container c, const Bytes& file, Drive how, uint32_t seed, size_t take = static_cast<size_t>(-1)) {
    auto r = std::make_unique<Read>();
    r->rec.take = take;
    const auto d = MakeDemuxer(c, r->rec);
    r->wentBack = !Run(*d, file, how, seed);
    r->warnings = d->Warnings();
    r->facts = d->Facts();
    return r;
}

// --- MP4 ---------------------------------------------------------------------------------

struct Mp4Row {
    const char* name;
    std::vector<Mp4Track> tracks;
    Mp4Layout layout;
};

std::vector<Mp4Row> Mp4Rows() {
    auto layout = [](auto edit) {
        Mp4Layout l;
        edit(l);
        return l;
    };
    Mp4Track neg = Video(20, {{2000, 0}});
    for (Mp4Sample& s : neg.samples) s.cts -= 1024;  // negative offsets: ctts version 1
    Mp4Track plain = Video(15, {});
    Mp4Track negFragments = neg;
    negFragments.edits.clear();
    return {
        {"moov first, B pictures, edits", {Video(30), Audio(40)}, {}},
        {"moov after the media data", {Video(30), Audio(40)}, layout([](Mp4Layout& l) { l.moovLast = true; })},
        {"64-bit sizes, co64 and stz2", {Video(25), Audio(30)}, layout([](Mp4Layout& l) { l.large = l.co64 = l.stz2 = true; })},
        {"media data to the end", {Video(20), Audio(20)}, layout([](Mp4Layout& l) { l.toEnd = true; })},
        {"64-bit moov last, to the end", {Video(20)}, layout([](Mp4Layout& l) { l.moovLast = l.toEnd = l.large = true; })},
        {"a sample a chunk", {Video(12), Audio(12)}, layout([](Mp4Layout& l) { l.perChunk = 1; })},
        {"chunks of seven", {Video(30), Audio(9)}, layout([](Mp4Layout& l) { l.perChunk = 7; })},
        {"negative composition offsets", {neg}, {}},
        {"no edit list", {plain, Audio(10)}, {}},
        {"an empty edit first", {Video(20, {{500, -1}, {2000, 1024}}), Audio(10)}, {}},
        {"fragments", {Video(30, {}), Audio(30)}, layout([](Mp4Layout& l) { l.fragmented = true; })},
        {"fragments without tfdt", {Video(17, {}), Audio(5)},
         layout([](Mp4Layout& l) { l.fragmented = true, l.tfdt = false, l.perFragment = 3; })},
        // Each run raises the time stamps by its largest negative offset before any sample.
        {"fragments with negative offsets", {negFragments, Audio(8)},
         layout([](Mp4Layout& l) { l.fragmented = true, l.perFragment = 6; })},
    };
}

TEST(Mp4Demux, EverySampleWhereWrittenWithFfmpegTimes) {
    for (const Mp4Row& row : Mp4Rows()) {
        const File f = WriteMp4(row.tracks, row.layout, 7);
        for (uint32_t seed : {1u, 2u, 3u}) {
            for (size_t take : {static_cast<size_t>(-1), size_t{9}}) {
                const auto r = ReadFile(Container::kMp4, f.bytes, Drive::kAtOffsets, seed, take);
                EXPECT_EQ(Compare(f, r->rec, take), "") << row.name << ", seed " << seed << ", take " << take;
                EXPECT_EQ(r->warnings, "") << row.name;
                ASSERT_EQ(r->facts.streams.size(), row.tracks.size()) << row.name;
                for (size_t k = 0; k < row.tracks.size(); ++k) {
                    const qvutil::StreamInfo& s = r->facts.streams[k];
                    EXPECT_EQ(s.id, static_cast<int>(row.tracks[k].id)) << row.name;
                    EXPECT_EQ(s.kind, row.tracks[k].video() ? qvutil::StreamKind::kVideo : qvutil::StreamKind::kAudio);
                    EXPECT_EQ(s.timeBase.den, row.tracks[k].timescale) << row.name;
                    if (!row.layout.fragmented) {
                        EXPECT_EQ(s.frames, static_cast<int64_t>(row.tracks[k].samples.size()));
                    }
                }
            }
            // A pipe serves the file in order: all of it unless the index comes last.
            const auto p = ReadFile(Container::kMp4, f.bytes, Drive::kPipe, seed);
            EXPECT_EQ(p->wentBack, row.layout.moovLast) << row.name;
            if (!row.layout.moovLast) {
                EXPECT_EQ(Compare(f, p->rec, static_cast<size_t>(-1)), "") << row.name;
            }
        }
    }
}

TEST(Mp4Demux, StreamsTheSinkDoesNotReadAreNotRead) {
    const File f = WriteMp4({Video(20), Audio(30), Audio(10, 3)}, {}, 3);
    auto r = std::make_unique<Read>();
    r->rec.want = [](const qvutil::StreamInfo& s) { return s.id == 2; };
    const auto d = MakeDemuxer(Container::kMp4, r->rec);
    ASSERT_TRUE(qvtest::Run(*d, f.bytes, Drive::kAtOffsets, 5));
    ASSERT_EQ(r->rec.samples.size(), 30u);
    for (const Delivery& x : r->rec.samples) EXPECT_EQ(x.id, 2);
    EXPECT_EQ(d->Facts().streams.size(), 3u);
}

// Facts ffmpeg derives from the index, on rows whose answer is known by hand.
TEST(Mp4Demux, TimingFactsAsFfmpegDerivesThem) {
    struct Row {
        const char* name;
        Mp4Track track;
        int64_t start, duration, frameRateNum, frameRateDen;
    };
    Mp4Track vfr = Video(40, {});
    for (size_t i = 0; i < vfr.samples.size(); ++i) vfr.samples[i].duration = i % 2 ? 500 : 524;  // 25 fps, jittered
    Mp4Track ntsc = Video(30, {});
    ntsc.timescale = 30000;
    for (Mp4Sample& s : ntsc.samples) s.duration = 1001, s.cts = 0;
    const std::vector<Row> rows = {
        // 30 pictures of 512 at 12800: 1.2 s; the edit starts the track at 0.
        {"edited", Video(30), 0, 30 * 512 - 0, 25, 1},
        // Without edits video starts at its first presentation time.
        {"unedited", Video(30, {}), 1024, 30 * 512, 25, 1},
        // An empty edit of 500 movie units delays the start by 0.5 s of media time.
        {"delayed", Video(30, {{500, -1}, {2400, 1024}}), 6400, 30 * 512, 25, 1},
        // Several durations: the rate is guessed from the time stamps' standard fit.
        {"jittered", vfr, 1024, 20 * 1024, 25, 1},
        {"NTSC", ntsc, 0, 30 * 1001, 30000, 1001},
    };
    for (const Row& row : rows) {
        const File f = WriteMp4({row.track}, {}, 1);
        const auto r = ReadFile(Container::kMp4, f.bytes, Drive::kAtOffsets, 1);
        ASSERT_EQ(r->facts.streams.size(), 1u) << row.name;
        const qvutil::StreamInfo& s = r->facts.streams[0];
        EXPECT_EQ(s.startTime, row.start) << row.name;
        EXPECT_EQ(s.duration, row.duration) << row.name;
        EXPECT_EQ(s.frameRateNum, row.frameRateNum) << row.name;
        EXPECT_EQ(s.frameRateDen, row.frameRateDen) << row.name;
    }
}

// Bytes from the file wherever a sample is said to lie: an MP4 sample at its offset, a
// Matroska frame within the block whose data begins there.
std::string Consistent(const Bytes& file, const Recorder& r, bool exact = true) {
    for (const Delivery& d : r.samples) {
        const int64_t at = d.sample.pos;
        if (at < 0 || (d.bytes.size() && at + static_cast<int64_t>(d.bytes.size()) > static_cast<int64_t>(file.size())))
            return "sample outside the file at " + std::to_string(at);
        const auto from = file.begin() + at;
        const bool found = exact ? std::equal(d.bytes.begin(), d.bytes.end(), from)
                                 : std::search(from, file.end(), d.bytes.begin(), d.bytes.end()) != file.end();
        if (!found) return "other bytes at " + std::to_string(at);
    }
    return r.overrun ? "bytes given past a sample's end" : "";
}

TEST(Mp4Demux, CutAnywhereReadsWhatIsThere) {
    const File f = WriteMp4({Video(30), Audio(30)}, {}, 11);
    const File last = WriteMp4({Video(30), Audio(30)}, [] { Mp4Layout l; l.moovLast = true; return l; }(), 11);
    for (const File* file : {&f, &last}) {
        for (size_t cut = 1; cut < file->bytes.size(); cut += 97) {
            const Bytes head(file->bytes.begin(), file->bytes.begin() + static_cast<std::ptrdiff_t>(cut));
            const auto r = ReadFile(Container::kMp4, head, Drive::kAtOffsets, static_cast<uint32_t>(cut));
            EXPECT_EQ(Consistent(head, r->rec), "") << cut;
            EXPECT_NE(r->warnings, "") << "cut at " << cut;
            // Samples the cut left whole are all there; the first one it reached is the last.
            size_t whole = 0;
            for (const Written& w : file->samples) whole += w.end <= static_cast<int64_t>(cut);
            if (!r->facts.streams.empty()) {
                EXPECT_GE(r->rec.samples.size(), std::min<size_t>(whole, 1)) << cut;
            }
            // A pipe learns the size only at the end: it reads what the file holds as the
            // same, and is told of the cut the same way.
            if (file == &f) {
                const auto p = ReadFile(Container::kMp4, head, Drive::kPipe, static_cast<uint32_t>(cut) + 1);
                auto whole = [&head](const Recorder& rec) {
                    std::vector<std::pair<int64_t, int64_t>> v;
                    for (const Delivery& d : rec.samples)
                        if (d.sample.pos + d.sample.size < static_cast<int64_t>(head.size())) v.emplace_back(d.sample.pos, d.sample.size);
                    return v;
                };
                EXPECT_EQ(whole(p->rec), whole(r->rec)) << cut;
                EXPECT_EQ(p->warnings.find("cut short") == std::string::npos,
                          r->warnings.find("cut short") == std::string::npos) << cut << ": " << p->warnings << " / " << r->warnings;
            }
        }
    }
}

TEST(Mp4Demux, HostileFilesEndWithWarnings) {
    auto write32 = [](Bytes& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    auto find = [](const Bytes& b, const char* type) {
        for (size_t i = 4; i + 4 <= b.size(); ++i)
            if (std::memcmp(b.data() + i, type, 4) == 0) return i - 4;
        return size_t{0};
    };
    const File f = WriteMp4({Video(20), Audio(20)}, {}, 5);
    struct Row {
        const char* name;
        std::function<void(Bytes&)> damage;
        const char* warning;
    };
    const std::vector<Row> rows = {
        {"a box larger than the file", [&](Bytes& b) { write32(b, find(b, "mdat"), 0x7FFFFFF0); }, "past the end of the file"},
        {"a box smaller than its header", [&](Bytes& b) { write32(b, find(b, "moov"), 3); }, "has size 3"},
        {"chunk offsets past the end", [&](Bytes& b) { write32(b, find(b, "stco") + 16, 0xFFFFFF00u); }, "outside the file"},
        {"four billion samples of one byte",
         [&](Bytes& b) {
             const size_t at = find(b, "stsz");
             write32(b, at + 12, 1), write32(b, at + 16, 0xFFFFFFFFu);
         },
         "chunk offsets end before the samples do"},
        {"a sample table count past its box", [&](Bytes& b) { write32(b, find(b, "stts") + 12, 0x10000000); }, "broken stts"},
        {"no moov", [&](Bytes& b) { std::memcpy(b.data() + find(b, "moov") + 4, "free", 4); }, "no moov"},
    };
    for (const Row& row : rows) {
        Bytes b = f.bytes;
        row.damage(b);
        for (Drive how : {Drive::kAtOffsets, Drive::kPipe}) {
            const auto r = ReadFile(Container::kMp4, b, how, 3);
            EXPECT_NE(r->warnings.find(row.warning), std::string::npos) << row.name << ": " << r->warnings;
            EXPECT_EQ(Consistent(b, r->rec), "") << row.name;
        }
    }
}

// --- Matroska ----------------------------------------------------------------------------

struct MkvRow {
    const char* name;
    std::vector<MkvTrack> tracks;
    std::vector<MkvBlock> blocks;
    MkvLayout layout;
};

std::vector<MkvBlock> Blocks(int lacing, bool groups, size_t n = 24) {
    std::vector<MkvBlock> b;
    for (size_t i = 0; i < n; ++i) {
        MkvBlock v;
        v.time = static_cast<int64_t>(i) * 40;
        v.key = i % 8 == 0;
        v.frames = {300 + (i * 53) % 700};
        v.group = groups && i % 2;
        b.push_back(v);
        MkvBlock a;
        a.track = 2;
        a.time = static_cast<int64_t>(i) * 40 + 5;
        a.lacing = lacing;
        a.frames = lacing == 2 ? std::vector<size_t>{120, 120, 120} : lacing ? std::vector<size_t>{100, 300 + i, 7, 260} : std::vector<size_t>{150};
        b.push_back(a);
    }
    return b;
}

std::vector<MkvRow> MkvRows() {
    const MkvTrack video{1, 1, "V_MPEG4/ISO/AVC", 40000000, {}};
    const MkvTrack audio{2, 2, "A_AAC", 10000000, {}};
    const MkvTrack bare{2, 2, "A_AAC", 0, {}};
    auto layout = [](auto edit) {
        MkvLayout l;
        edit(l);
        return l;
    };
    return {
        {"simple blocks", {video, audio}, Blocks(0, false), {}},
        {"Xiph lacing", {video, audio}, Blocks(1, false), {}},
        {"fixed lacing", {video, audio}, Blocks(2, false), {}},
        {"EBML lacing", {video, audio}, Blocks(3, false), {}},
        {"lacing without a default duration", {video, bare}, Blocks(3, false), {}},
        {"block groups", {video, audio}, Blocks(1, true), {}},
        {"unknown sizes", {video, audio}, Blocks(3, false),
         layout([](MkvLayout& l) { l.unknownSegment = l.unknownClusters = true; })},
        {"Void and CRC-32, 8-byte sizes", {video, audio}, Blocks(1, true),
         layout([](MkvLayout& l) { l.voids = true, l.sizeLen = 8; })},
        {"a cluster a block", {video, audio}, Blocks(0, false), layout([](MkvLayout& l) { l.clusterSpan = 1; })},
        {"header stripping", {{1, 1, "V_MPEG4/ISO/AVC", 40000000, {0, 0, 0, 1}}, audio}, Blocks(0, false), {}},
        {"a microsecond time scale", {video, audio}, Blocks(2, false), layout([](MkvLayout& l) { l.scale = 1000; })},
    };
}

TEST(MkvDemux, EveryFrameWhereWrittenWithFfmpegTimes) {
    for (const MkvRow& row : MkvRows()) {
        const File f = WriteMkv(row.tracks, row.blocks, row.layout, 9);
        for (uint32_t seed : {1u, 2u}) {
            for (Drive how : {Drive::kAtOffsets, Drive::kPipe}) {
                for (size_t take : {static_cast<size_t>(-1), size_t{6}}) {
                    const auto r = ReadFile(Container::kMatroska, f.bytes, how, seed, take);
                    EXPECT_FALSE(r->wentBack) << row.name;
                    EXPECT_EQ(Compare(f, r->rec, take), "") << row.name << ", seed " << seed << ", take " << take;
                    EXPECT_EQ(r->warnings, "") << row.name;
                    ASSERT_EQ(r->facts.streams.size(), row.tracks.size()) << row.name;
                    EXPECT_EQ(r->facts.streams[0].timeBase.den * static_cast<int64_t>(row.layout.scale),
                              1000000000 * r->facts.streams[0].timeBase.num)
                        << row.name;
                    EXPECT_EQ(r->facts.streams[1].codecName, "aac") << row.name;
                }
            }
        }
    }
}

TEST(MkvDemux, GarbageInAClusterIsPassedToTheNextOne) {
    MkvLayout l;
    l.clusterSpan = 200;
    const File f = WriteMkv({{1, 1, "V_MPEG4/ISO/AVC", 40000000, {}}, {2, 2, "A_AAC", 10000000, {}}}, Blocks(0, false, 40), l, 4);
    // Overwrite a block's header in the second cluster: the blocks after it in that
    // cluster are lost, the next clusters read.
    Bytes b = f.bytes;
    const Written& hit = f.samples[f.samples.size() / 3];
    std::fill(b.begin() + hit.pos - 9, b.begin() + hit.pos + 20, 0);
    const auto r = ReadFile(Container::kMatroska, b, Drive::kPipe, 2);
    EXPECT_NE(r->warnings.find("next cluster"), std::string::npos) << r->warnings;
    EXPECT_EQ(Consistent(b, r->rec, false), "");
    ASSERT_FALSE(r->rec.samples.empty());
    EXPECT_EQ(r->rec.samples.back().sample.pos, f.samples.back().pos);
    EXPECT_LT(r->rec.samples.size(), f.samples.size());
}

TEST(MkvDemux, CompressedFramesAreNotAnalysed) {
    // zlib is ContentCompAlgo's default: a track that names no algorithm is compressed too.
    MkvTrack video{1, 1, "V_MPEG4/ISO/AVC", 40000000, {}};
    video.zlib = true;
    const File f = WriteMkv({video, {2, 2, "A_AAC", 10000000, {}}}, Blocks(0, false), {}, 3);
    const auto r = ReadFile(Container::kMatroska, f.bytes, Drive::kPipe, 5);
    EXPECT_NE(r->warnings.find("track 1: frames compressed with zlib"), std::string::npos) << r->warnings;
    ASSERT_EQ(r->facts.streams.size(), 2u);
    EXPECT_EQ(r->facts.streams[0].codec, qvutil::EsCodec::kOther);
    EXPECT_EQ(r->facts.streams[0].codecName, "h264");
    EXPECT_EQ(r->facts.streams[1].codecName, "aac");
}

TEST(MkvDemux, StereoPairsDoubleTheDisplaySize) {
    // 64x48 pixels shown at 64x48: each view of a pair side by side is twice as wide.
    const struct {
        uint64_t mode;
        int sarNum, sarDen;
        const char* tag;
    } rows[] = {{0, 1, 1, ""}, {1, 2, 1, "left_right"}, {11, 2, 1, "right_left"}, {3, 1, 2, "top_bottom"},
                {6, 1, 2, "row_interleaved_rl"}, {9, 2, 1, "col_interleaved_lr"}, {10, 1, 1, "anaglyph_cyan_red"},
                {14, 1, 1, "block_rl"}, {15, 1, 1, ""}};
    for (const auto& row : rows) {
        MkvTrack video{1, 1, "V_MPEG4/ISO/AVC", 40000000, {}};
        video.stereoMode = row.mode;
        const File f = WriteMkv({video}, Blocks(0, false, 4), {}, 1);
        const auto r = ReadFile(Container::kMatroska, f.bytes, Drive::kPipe, 1);
        ASSERT_EQ(r->facts.streams.size(), 1u) << row.mode;
        const qvutil::StreamInfo& s = r->facts.streams[0];
        EXPECT_EQ(s.sarNum * row.sarDen, s.sarDen * row.sarNum) << row.mode;
        std::string tag;
        for (const qvutil::Tag& t : s.tags)
            if (t.key == "stereo_mode") tag = t.value;
        EXPECT_EQ(tag, row.tag) << row.mode;
    }
}

TEST(MkvDemux, CutAnywhereReadsWhatIsThere) {
    const File f = WriteMkv({{1, 1, "V_MPEG4/ISO/AVC", 40000000, {}}, {2, 2, "A_AAC", 10000000, {}}}, Blocks(3, true), {}, 8);
    for (size_t cut = 1; cut < f.bytes.size(); cut += 61) {
        const Bytes head(f.bytes.begin(), f.bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        const auto r = ReadFile(Container::kMatroska, head, Drive::kPipe, static_cast<uint32_t>(cut), 16);
        EXPECT_EQ(Consistent(head, r->rec, false), "") << cut;
        // Every frame the cut left whole is there, in order.
        size_t whole = 0;
        for (const Written& w : f.samples) whole += w.end <= static_cast<int64_t>(cut);
        EXPECT_GE(r->rec.samples.size(), whole) << cut;
        EXPECT_NE(r->warnings, "") << cut;
    }
}

// Random damage to both formats: whatever the bytes, the demuxers end, hand on bytes from
// where they say, and never past a sample's end.
TEST(Demuxers, SurviveRandomDamage) {
    const File mp4 = WriteMp4({Video(20), Audio(20)}, {}, 1);
    const File frag = WriteMp4({Video(20, {}), Audio(20)}, [] { Mp4Layout l; l.fragmented = true; return l; }(), 1);
    const File mkv = WriteMkv({{1, 1, "V_MPEG4/ISO/AVC", 40000000, {}}, {2, 2, "A_AAC", 10000000, {}}}, Blocks(1, true), {}, 1);
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        const File& f = round % 3 == 0 ? mp4 : round % 3 == 1 ? frag : mkv;
        Bytes b = f.bytes;
        for (int k = 0; k < 1 + round % 5; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        const Container c = &f == &mkv ? Container::kMatroska : Container::kMp4;
        const auto r = ReadFile(c, b, round % 2 ? Drive::kPipe : Drive::kAtOffsets, static_cast<uint32_t>(round), 32);
        EXPECT_EQ(Consistent(b, r->rec, c == Container::kMp4), "") << "round " << round;
    }
}

}  // namespace

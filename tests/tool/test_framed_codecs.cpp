// The VP9 and AV1 parsers. Headers written field by field by an independent writer must read
// back with every value and broken ones be refused with the field named; real headers from
// files ffmpeg made must give the facts ffprobe shows for them; and streams of frames must give
// the frame types, key frames and output counts ffprobe shows (rows checked against it).

#include "SyntaxWriter.h"
#include "StreamModel.h"
#include "codec/Av1Parser.h"
#include "codec/Vp9Parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sstream>

namespace {

using qvtest::SyntaxWriter;
using namespace qvutil;
using Bytes = std::vector<uint8_t>;

Bytes Hex(std::string s) {  // spaces between bytes allowed
    s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
    Bytes out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes Cat(std::initializer_list<Bytes> pieces) {
    Bytes out;
    for (const Bytes& p : pieces) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Runs a frame parser over samples and keeps what it reports, one letter per sample: K a key
// frame, I P S the type of a frame shown, x nothing shown.
struct Collect : PictureSink {
    StreamModel model;
    std::string shown;
    std::vector<Picture> pictures;
    void OnPicture(const Picture& p) override {
        pictures.push_back(p);
        shown += std::string(shown.empty() ? "" : " ") + (!p.output ? 'x' : p.key ? 'K' : p.type);
    }
    // sizes: where a sample is longer than what is given of it.
    void Go(Codec codec, const Bytes& config, const std::vector<Bytes>& samples, const std::vector<int64_t>& sizes = {}) {
        model.codec = codec;
        std::unique_ptr<FrameParser> parser = MakeFrameParser(codec, model, *this);
        parser->OnConfig(config.data(), config.size());
        int64_t offset = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            Frame f;
            f.offset = offset;
            f.data = samples[i].data();
            f.size = i < sizes.size() ? sizes[i] : static_cast<int64_t>(samples[i].size());
            f.have = std::min(samples[i].size(), parser->Want());
            parser->OnFrame(f);
            ASSERT_EQ(pictures.size(), i + 1);
            EXPECT_EQ(pictures.back().offset * 1000000 + pictures.back().size, offset * 1000000 + f.size);
            offset += f.size;
        }
        parser->Finish();
    }
};

struct StreamRow {
    std::vector<Bytes> samples;
    std::vector<int64_t> sizes;
    const char* shown;
    int64_t leading;
    int changes;
    const char* diagnostic;  // part of the first one, "" for none
};

void CheckRows(Codec codec, const std::vector<StreamRow>& rows) {
    for (size_t i = 0; i < rows.size(); ++i) {
        Collect run;
        run.Go(codec, {}, rows[i].samples, rows[i].sizes);
        const std::string first = run.model.diagnostics.empty() ? "" : run.model.diagnostics[0];
        EXPECT_EQ(run.shown, rows[i].shown) << "row " << i;
        EXPECT_EQ(run.model.leadingUnits * 10 + run.model.sequenceChanges, rows[i].leading * 10 + rows[i].changes)
            << "row " << i;
        const bool said = *rows[i].diagnostic ? first.find(rows[i].diagnostic) != std::string::npos : first.empty();
        EXPECT_TRUE(said) << "row " << i << ": " << first;
    }
}

// --- VP9 -----------------------------------------------------------------------------------

struct Vp9Fields {
    int profile = 0, showExisting = -1;  // the slot shown, -1 none
    bool key = true, show = true, errorResilient = false, intraOnly = false, fullRange = false;
    int bitDepth = 8, colourSpace = 2, ssX = 1, ssY = 1;
    int width = 64, height = 48, renderWidth = 0, renderHeight = 0;
    int refresh = 0, refIdx[3] = {0, 1, 2}, foundRef = -1;
};

Bytes WriteVp9(const Vp9Fields& f) {
    SyntaxWriter w;
    w.U(2, 2), w.U(f.profile & 1, 1), w.U(f.profile >> 1, 1);
    if (f.profile == 3) w.U(0, 1);
    w.Flag(f.showExisting >= 0);
    if (f.showExisting >= 0) {
        w.U(f.showExisting, 3), w.Align();
        return w.Bytes();
    }
    w.Flag(!f.key), w.Flag(f.show), w.Flag(f.errorResilient);
    auto colour = [&] {
        if (f.profile >= 2) w.Flag(f.bitDepth == 12);
        w.U(f.colourSpace, 3);
        if (f.colourSpace != 7) w.Flag(f.fullRange);
        if (f.colourSpace != 7 && (f.profile & 1)) w.U(f.ssX, 1), w.U(f.ssY, 1);
        if (f.profile & 1) w.U(0, 1);
    };
    auto size = [&] { w.U(f.width - 1, 16), w.U(f.height - 1, 16); };
    auto render = [&] {
        w.Flag(f.renderWidth > 0);
        if (f.renderWidth > 0) w.U(f.renderWidth - 1, 16), w.U(f.renderHeight - 1, 16);
    };
    if (f.key) {
        w.U(0x498342, 24), colour(), size(), render();
    } else {
        if (!f.show) w.Flag(f.intraOnly);
        if (!f.errorResilient) w.U(1, 2);  // reset_frame_context
        if (f.intraOnly) w.U(0x498342, 24);
        if (f.intraOnly && f.profile > 0) colour();
        w.U(f.refresh, 8);
        if (f.intraOnly) size();
        for (int i = 0; i < 3 && !f.intraOnly; ++i) w.U(f.refIdx[i], 3), w.Flag(i == 1);
        for (int i = 0; i < 3 && !f.intraOnly; ++i) {
            w.Flag(i == f.foundRef);
            if (i == f.foundRef) break;
        }
        if (!f.intraOnly && f.foundRef < 0) size();
        render();
    }
    w.U(0x2A, 6), w.Align();  // the rest of the header
    return w.Bytes();
}

std::string Text(const Vp9FrameHeader& h) {
    std::ostringstream o;
    o << h.profile << " existing " << h.showExisting << h.showIndex << " kind " << h.key << h.show << h.intraOnly
      << " format " << h.bitDepth << ' ' << h.colourSpace << h.fullRange << h.subsamplingX << h.subsamplingY << " size "
      << h.width << 'x' << h.height << ' ' << h.renderWidth << 'x' << h.renderHeight << " refs " << h.refreshFlags << ' '
      << h.refIdx[0] << h.refIdx[1] << h.refIdx[2] << ' ' << h.sizeFromRef;
    return o.str();
}

TEST(Vp9Header, RandomHeadersReadBack) {
    std::mt19937 rng(9);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int iter = 0; iter < 4000; ++iter) {
        Vp9Fields f;
        f.profile = pick(0, 3), f.key = pick(0, 2) == 0, f.show = pick(0, 1), f.errorResilient = pick(0, 1);
        f.intraOnly = !f.key && !f.show && pick(0, 1);
        f.bitDepth = f.profile >= 2 ? (pick(0, 1) ? 12 : 10) : 8;
        f.colourSpace = pick(0, (f.profile & 1) ? 7 : 6);
        f.fullRange = f.colourSpace == 7 || pick(0, 1);
        if (f.colourSpace == 7) f.ssX = f.ssY = 0;
        else if (f.profile & 1) f.ssX = pick(0, 1), f.ssY = f.ssX ? 0 : pick(0, 1);
        f.width = pick(1, 65536), f.height = pick(1, 65536);
        if (pick(0, 1)) f.renderWidth = pick(1, 65536), f.renderHeight = pick(1, 65536);
        f.refresh = pick(0, 255), f.foundRef = pick(-1, 2);
        for (int& r : f.refIdx) r = pick(0, 7);
        if (pick(0, 9) == 0) f.showExisting = pick(0, 7);
        Vp9FrameHeader e;  // what the fields mean
        e.profile = f.profile, e.showExisting = f.showExisting >= 0, e.showIndex = std::max(f.showExisting, 0);
        e.show = f.show || e.showExisting;
        if (!e.showExisting) {
            const bool intra = f.key || f.intraOnly;
            e.key = f.key, e.intraOnly = f.intraOnly, e.refreshFlags = f.key ? 0xFF : f.refresh;
            if (intra) e.bitDepth = f.bitDepth;
            if (f.key || (f.intraOnly && f.profile > 0)) {
                e.colourSpace = f.colourSpace, e.fullRange = f.fullRange, e.subsamplingX = f.ssX, e.subsamplingY = f.ssY;
            } else if (f.intraOnly) {
                e.colourSpace = 1;  // BT.601 for profile 0
            }
            if (intra || f.foundRef < 0) e.width = f.width, e.height = f.height;
            e.renderWidth = f.renderWidth, e.renderHeight = f.renderHeight;
            if (!intra) std::copy(f.refIdx, f.refIdx + 3, e.refIdx), e.sizeFromRef = f.foundRef;
        }
        const Bytes b = WriteVp9(f);
        Vp9FrameHeader h;
        std::string error;
        ASSERT_TRUE(ParseVp9FrameHeader(b.data(), b.size(), h, error)) << iter << ": " << error;
        EXPECT_EQ(Text(h), Text(e)) << iter;
    }
}

TEST(Vp9Header, BrokenOnesAreRefusedWithTheFieldNamed) {
    struct Row {
        std::function<void(Vp9Fields&)> change;
        std::function<void(Bytes&)> damage;
        const char* error;
    };
    const std::vector<Row> rows = {
        {nullptr, [](Bytes& b) { b[0] ^= 0x40; }, "frame_marker has the wrong value"},
        {[](Vp9Fields& f) { f.profile = 3, f.bitDepth = 10; }, [](Bytes& b) { b[0] |= 0x08; },
         "reserved_zero after the profile is 1"},
        {nullptr, [](Bytes& b) { b[2] ^= 1; }, "frame_sync_code has the wrong value"},
        {[](Vp9Fields& f) { f.colourSpace = 7; }, nullptr, "RGB in profile 0"},
        {[](Vp9Fields& f) { f.profile = 2, f.bitDepth = 10, f.colourSpace = 7; }, nullptr, "RGB in profile 2"},
        {[](Vp9Fields& f) { f.profile = 1; }, nullptr, "4:2:0 in profile 1"},
        // The bit after the subsampling bits of profile 1.
        {[](Vp9Fields& f) { f.profile = 1, f.ssY = 0; }, [](Bytes& b) { b[4] |= 0x02; }, "reserved_zero has the wrong value"},
        {nullptr, [](Bytes& b) { b.resize(5); }, "frame_width_minus_1 cut off by the end of the data"},
        {[](Vp9Fields& f) { f.key = false, f.errorResilient = true; }, [](Bytes& b) { b.resize(1); },
         "refresh_frame_flags cut off"},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        Vp9Fields f;
        if (rows[i].change) rows[i].change(f);
        Bytes b = WriteVp9(f);
        if (rows[i].damage) rows[i].damage(b);
        Vp9FrameHeader h;
        std::string error;
        EXPECT_FALSE(ParseVp9FrameHeader(b.data(), b.size(), h, error)) << "row " << i;
        EXPECT_EQ(error.find(rows[i].error), 0u) << "row " << i << ": " << error;
    }
}

Bytes Superframe(const std::vector<Bytes>& frames, int bytesPerSize) {
    Bytes out;
    for (const Bytes& f : frames) out.insert(out.end(), f.begin(), f.end());
    const uint8_t marker = static_cast<uint8_t>(0xC0 | (bytesPerSize - 1) << 3 | (static_cast<int>(frames.size()) - 1));
    out.push_back(marker);
    for (const Bytes& f : frames)
        for (int j = 0; j < bytesPerSize; ++j) out.push_back(static_cast<uint8_t>(f.size() >> (8 * j)));
    out.push_back(marker);
    return out;
}

TEST(Vp9Superframe, IndexRows) {
    const Bytes a(300, 0x11), b(7, 0x22);
    Bytes badFirst = Superframe({a, b}, 2), overrun = badFirst;
    badFirst[badFirst.size() - 6] ^= 1;
    overrun[overrun.size() - 3] = 9;
    struct Row {
        Bytes sample;
        int count;
        uint32_t second;  // size of the second frame, or of the only one
        const char* error;
    } rows[] = {
        {Superframe({a, b}, 2), 2, 7, ""},
        {Superframe(std::vector<Bytes>(8, b), 4), 8, 7, ""},
        {Superframe({b}, 1), 1, 7, ""},
        {badFirst, 1, 313, ""},  // the first marker differs: no index
        {overrun, 1, 313, "superframe index: frame 1 of 2 runs past the end of the sample"},
        {{0xC0}, 1, 1, ""},  // a marker with no room for its index
        {{0x82, 0x49}, 1, 2, ""},
    };
    for (const Row& r : rows) {
        Vp9Superframe s;
        std::string error;
        EXPECT_EQ(ParseVp9Superframe(r.sample.data(), r.sample.size(), s, error), !*r.error) << r.sample.size();
        EXPECT_EQ(s.count * 1000 + s.sizes[s.count > 1 ? 1 : 0], r.count * 1000 + r.second) << r.sample.size();
        EXPECT_EQ(error, r.error);
    }
}

TEST(Vp9Config, VpcCAndCodecPrivateRows) {
    struct Row {
        const char* hex;
        bool matroska;
        const char* fields;  // profile level depth chroma range primaries transfer matrix, or the error
    } rows[] = {
        {"01000000 01 29 a3 01 10 09 0000", false, "1 41 10 1 1 1 16 9"},
        {"01000000 00 0a 82 0d 1d 0f 0000", false, "0 10 8 1 0 2 2 2"},  // names ffmpeg lacks: unspecified
        {"00000000 02 14 a2 22 0000", false, "2 20 10 2 0 2 2 2"},       // version 0: no colour
        {"01000000 01 1f 8a 12 00 00", false, "vpcC cut off after 10 bytes"},
        {"01000000", false, "vpcC of 4 bytes holds no record"},
        {"02000000 00 0a 82 02 02 02 0000", false, "vpcC version 2 is unknown"},
        {"01000000 00 0a 82 01 01 01 0002", false, "codecIntializationDataSize 2 is not 0"},
        {"010102 020128 03010a 040101 0502aabb", true, "2 40 10 1 -1 2 2 2"},
        {"010103 0201", true, "codec feature 2 runs past the end"},
    };
    for (const Row& r : rows) {
        const Bytes b = Hex(r.hex);
        Vp9Config c;
        std::string error;
        if (r.matroska ? ParseVp9CodecPrivate(b.data(), b.size(), c, error) : ParseVpcC(b.data(), b.size(), c, error)) {
            std::ostringstream o;
            o << c.profile << ' ' << c.level << ' ' << c.bitDepth << ' ' << c.chromaSubsampling << ' ' << c.fullRange << ' '
              << c.primaries << ' ' << c.transfer << ' ' << c.matrix;
            error = o.str();
        }
        EXPECT_EQ(error, r.fields) << r.hex;
    }
}

TEST(Vp9Stream, FramesAsFfprobeShowsThem) {
    auto frame = [](std::function<void(Vp9Fields&)> set) {
        Vp9Fields f;
        set(f);
        return WriteVp9(f);
    };
    auto existing = [&](int slot) { return frame([slot](Vp9Fields& f) { f.showExisting = slot; }); };
    auto key = [&](int width, bool show) { return frame([=](Vp9Fields& f) { f.width = f.height = width, f.show = show; }); };
    auto inter = [&](int refresh, bool show) {
        return frame([=](Vp9Fields& f) { f.key = false, f.show = show, f.refresh = refresh, f.foundRef = 0; });
    };
    const Bytes k = key(64, true), p = inter(1, true), hidden = inter(4, false);
    const Bytes intra = frame([](Vp9Fields& f) { f.key = f.show = false, f.intraOnly = true, f.refresh = 2, f.height = 64; });
    CheckRows(Codec::Vp9, {
        {{k, p, p}, {}, "K P P", 0, 0, ""},
        // An alternate reference in a superframe, shown again later: ffmpeg gives it the type it
        // was decoded with, and key_frame 1 to a key frame shown again.
        {{k, Superframe({hidden, p}, 1), existing(2), existing(7)}, {}, "K P P K", 0, 0, ""},
        {{p, existing(3), k, p}, {}, "x x K P", 2, 0, ""},
        {{key(64, false), existing(3), p}, {}, "x K P", 0, 0, ""},
        {{k, intra, existing(1)}, {}, "K x I", 0, 0, ""},
        // Read from its head only, a sample whose first frame is hidden shows the frame after it.
        {{k, hidden, existing(2)}, {static_cast<int64_t>(k.size()), 99}, "K P P", 0, 0, ""},
        {{k, Superframe({p, p}, 1)}, {}, "K P", 0, 0, "shows 2 frames, not one"},
        {{k, key(32, true), k}, {}, "K K K", 0, 1, ""},
        {{k, Bytes{0x82, 0x49, 0x83}}, {}, "K x", 0, 0, "frame_sync_code cut off by the end of the data"},
    });
    // The first frame's size, the last one's as the coded size.
    Collect run;
    run.Go(Codec::Vp9, {}, {k, key(32, true)});
    EXPECT_EQ(run.model.seq.width * 1000 + run.model.seq.codedWidth, 64 * 1000 + 32);
    // Only vpcC: its colour is what ffprobe shows.
    Collect config;
    config.Go(Codec::Vp9, Hex("01000000 00 0a 83 01 0d 01 0000"), {});
    const StreamModel& m = config.model;
    EXPECT_EQ(m.ColourRange() + " " + m.ColourPrimaries() + " " + m.ColourTransfer(), "pc bt709 iec61966-2-1");
}

// --- AV1 -----------------------------------------------------------------------------------

TEST(Av1Obu, HeaderRows) {
    struct Row {
        const char* hex;
        uint64_t left;       // bytes of the sample from the OBU on
        const char* fields;  // type temporal spatial header-size size, or the error
    } rows[] = {
        {"1200", 2, "2 0 0 2 0"},
        {"1628 00", 3, "2 1 1 3 0"},                      // with the extension
        {"32ac02", 303, "6 0 0 3 300"},                   // two-byte leb128
        {"3280808080808080 00", 9, "6 0 0 9 0"},          // eight bytes: the most leb128 takes
        {"32ffffffff0f", 6 + 0xFFFFFFFFull, "6 0 0 6 4294967295"},
        {"10", 40, "2 0 0 1 39"},                         // no size field: the rest of the sample
        {"32ffffffff1f", 1ull << 40, "obu_size 8589934591 above 2^32 - 1"},
        {"3205", 4, "OBU of 5 bytes runs past the end of the sample"},
        {"80", 1, "obu_forbidden_bit is 1"},
        {"0a80", 2, "obu_size cut off by the end of the data"},
        {"16", 1, "temporal_id cut off by the end of the data"},
    };
    for (const Row& r : rows) {
        const Bytes b = Hex(r.hex);
        Av1Obu o;
        std::string error;
        if (ParseAv1ObuHeader(b.data(), b.size(), r.left, o, error))
            error = std::to_string(o.type) + " " + std::to_string(o.temporalId) + " " + std::to_string(o.spatialId) + " " +
                    std::to_string(o.headerSize) + " " + std::to_string(o.size);
        EXPECT_EQ(error, r.fields) << r.hex;
    }
}

struct OpFields {
    int idc = 0, level = 8, tier = 0;
    bool model = false;
    int displayDelay = -1;
};

struct SeqFields {
    int profile = 0;
    bool still = false, reduced = false, timing = false, equal = false, model = false, displayDelay = false;
    uint32_t tick = 1, scale = 25, ticksMinus1 = 0;
    int delayLength = 10, removalLength = 12, presentationLength = 9;
    std::vector<OpFields> ops = {OpFields()};
    int widthBits = 12, heightBits = 11, maxWidth = 640, maxHeight = 360;
    bool frameIds = false;
    int deltaLength = 6, extraLength = 2;  // delta_frame_id_length_minus_2 + 2, additional_..._minus_1 + 1
    bool orderHint = true, superres = false;
    int orderBits = 7, screenContent = 2, integerMv = 2, depth = 8;
    bool mono = false, description = false, fullRange = false, grain = false;
    int primaries = 2, transfer = 2, matrix = 2, ssX = 1, ssY = 1, position = 0;
};

Bytes WriteSeq(const SeqFields& f) {
    SyntaxWriter w;
    w.U(f.profile, 3), w.Flag(f.still), w.Flag(f.reduced);
    if (f.reduced) w.U(f.ops[0].level, 5);
    if (!f.reduced) {
        w.Flag(f.timing);
        if (f.timing) w.U(f.tick, 32), w.U(f.scale, 32), w.Flag(f.equal);
        if (f.timing && f.equal) w.Ue(f.ticksMinus1);  // uvlc() is Exp-Golomb below 2^32 - 1
        if (f.timing) w.Flag(f.model);
        if (f.model) w.U(f.delayLength - 1, 5), w.U(1001, 32), w.U(f.removalLength - 1, 5), w.U(f.presentationLength - 1, 5);
        w.Flag(f.displayDelay), w.U(f.ops.size() - 1, 5);
        for (const OpFields& op : f.ops) {
            w.U(op.idc, 12), w.U(op.level, 5);
            if (op.level > 7) w.U(op.tier, 1);
            if (f.model) w.Flag(op.model);
            if (f.model && op.model) w.U(5, f.delayLength), w.U(6, f.delayLength), w.Flag(true);
            if (f.displayDelay) w.Flag(op.displayDelay >= 0);
            if (f.displayDelay && op.displayDelay >= 0) w.U(op.displayDelay, 4);
        }
    }
    w.U(f.widthBits - 1, 4), w.U(f.heightBits - 1, 4), w.U(f.maxWidth - 1, f.widthBits), w.U(f.maxHeight - 1, f.heightBits);
    if (!f.reduced) w.Flag(f.frameIds);
    if (f.frameIds) w.U(f.deltaLength - 2, 4), w.U(f.extraLength - 1, 3);
    w.Flag(true), w.Flag(true), w.Flag(false);  // 128x128 superblocks, filter intra, intra edge filter
    if (!f.reduced) {
        w.Flag(true), w.Flag(false), w.Flag(true), w.Flag(false), w.Flag(f.orderHint);  // ... dual filter, order hint
        if (f.orderHint) w.Flag(true), w.Flag(false);  // jnt_comp, ref_frame_mvs
        w.Flag(f.screenContent == 2);
        if (f.screenContent != 2) w.U(f.screenContent, 1);
        if (f.screenContent > 0) w.Flag(f.integerMv == 2);
        if (f.screenContent > 0 && f.integerMv != 2) w.U(f.integerMv, 1);
        if (f.orderHint) w.U(f.orderBits - 1, 3);
    }
    w.Flag(f.superres), w.Flag(true), w.Flag(false);  // superres, cdef, restoration
    w.Flag(f.depth > 8);
    if (f.profile == 2 && f.depth > 8) w.Flag(f.depth == 12);
    if (f.profile != 1) w.Flag(f.mono);
    w.Flag(f.description);
    if (f.description) w.U(f.primaries, 8), w.U(f.transfer, 8), w.U(f.matrix, 8);
    const bool srgb = f.primaries == 1 && f.transfer == 13 && f.matrix == 0;
    if (f.mono || !srgb) w.Flag(f.fullRange);
    if (!f.mono && !srgb && f.profile == 2 && f.depth == 12) w.U(f.ssX, 1);
    if (!f.mono && !srgb && f.profile == 2 && f.depth == 12 && f.ssX) w.U(f.ssY, 1);
    if (!f.mono && !srgb && f.ssX && f.ssY) w.U(f.position, 2);
    if (!f.mono) w.Flag(false);  // separate_uv_delta_q
    w.Flag(f.grain), w.Trailing();
    return w.Bytes();
}

SeqFields RandomSeq(std::mt19937& rng) {
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    SeqFields f;
    f.profile = pick(0, 2), f.reduced = pick(0, 7) == 0, f.still = f.reduced || pick(0, 1);
    f.timing = !f.reduced && pick(0, 1), f.equal = pick(0, 1), f.model = f.timing && pick(0, 1);
    f.tick = static_cast<uint32_t>(rng()), f.scale = static_cast<uint32_t>(rng());
    f.ticksMinus1 = static_cast<uint32_t>(pick(0, 1 << 30));
    f.delayLength = pick(1, 32), f.removalLength = pick(1, 32), f.presentationLength = pick(1, 32);
    f.displayDelay = pick(0, 1);
    f.ops.resize(f.reduced ? 1 : static_cast<size_t>(pick(1, 32)));
    for (OpFields& op : f.ops) op = {pick(0, 4095), pick(0, 31), pick(0, 1), pick(0, 1) == 1, pick(-1, 15)};
    if (f.reduced) f.ops[0] = {0, pick(0, 31), 0, false, -1};
    f.widthBits = pick(1, 16), f.heightBits = pick(1, 16);
    f.maxWidth = pick(1, 1 << f.widthBits), f.maxHeight = pick(1, 1 << f.heightBits);
    f.frameIds = !f.reduced && pick(0, 1), f.deltaLength = pick(2, 9), f.extraLength = pick(1, 7);
    f.orderHint = !f.reduced && pick(0, 1), f.orderBits = pick(1, 8);
    f.screenContent = f.reduced ? 2 : pick(0, 2);
    f.integerMv = f.reduced || f.screenContent == 0 ? 2 : pick(0, 2);
    f.superres = pick(0, 1);
    f.depth = 8 + 2 * pick(0, f.profile == 2 ? 2 : 1);
    f.mono = f.profile != 1 && pick(0, 4) == 0;
    f.description = pick(0, 1);
    if (f.description) f.primaries = pick(0, 255), f.transfer = pick(0, 255), f.matrix = pick(0, 255);
    if (f.description && pick(0, 1)) f.primaries = 1, f.transfer = 13, f.matrix = 0;  // sRGB
    if (f.profile != 1 && f.primaries == 1 && f.transfer == 13 && f.matrix == 0) f.matrix = 1;  // 4:4:4 only
    f.fullRange = pick(0, 1);
    f.ssX = f.profile == 0 || f.mono ? 1 : f.profile == 1 ? 0 : f.depth == 12 ? pick(0, 1) : 1;
    f.ssY = f.profile == 0 || f.mono ? 1 : f.profile == 2 && f.depth == 12 && f.ssX ? pick(0, 1) : 0;
    f.position = f.ssX && f.ssY && !f.mono ? pick(0, 3) : 0;
    f.grain = pick(0, 1);
    return f;
}

std::string Text(const Av1SequenceHeader& s) {
    std::ostringstream o;
    o << s.profile << s.stillPicture << s.reducedStill << " timing " << s.timingInfo << ' ' << s.unitsInDisplayTick << '/'
      << s.timeScale << s.equalPictureInterval << " model " << s.decoderModelInfo << ' ' << s.bufferRemovalTimeLength << ' '
      << s.presentationTimeLength << " ops";
    for (int i = 0; i < s.operatingPoints; ++i)
        o << ' ' << s.opIdc[i] << ':' << s.level[i] << s.tier[i] << s.decoderModelPresent[i];
    o << " max " << s.maxWidth << 'x' << s.maxHeight << " ids " << s.frameIdNumbers << ' ' << s.frameIdLength << ' '
      << s.deltaFrameIdLength << " hints " << s.enableOrderHint << s.orderHintBits << " tools " << s.screenContentTools
      << s.integerMv << s.enableSuperres << " colour " << s.bitDepth << s.monochrome << s.subsamplingX << s.subsamplingY
      << s.chromaPosition << ' ' << s.colourDescription << s.primaries << '/' << s.transfer << '/' << s.matrix << s.fullRange
      << " grain " << s.filmGrain;
    return o.str();
}

// What the fields of a sequence header mean.
Av1SequenceHeader Meaning(const SeqFields& f) {
    Av1SequenceHeader e;
    e.profile = f.profile, e.stillPicture = f.still, e.reducedStill = f.reduced, e.timingInfo = f.timing;
    if (f.timing) e.unitsInDisplayTick = f.tick, e.timeScale = f.scale, e.equalPictureInterval = f.equal;
    e.decoderModelInfo = f.model;
    if (f.model) e.bufferRemovalTimeLength = f.removalLength, e.presentationTimeLength = f.presentationLength;
    e.operatingPoints = static_cast<int>(f.ops.size());
    for (size_t i = 0; i < f.ops.size(); ++i) {
        e.opIdc[i] = f.ops[i].idc, e.level[i] = f.ops[i].level, e.tier[i] = f.ops[i].level > 7 ? f.ops[i].tier : 0;
        e.decoderModelPresent[i] = f.model && f.ops[i].model;
    }
    e.maxWidth = f.maxWidth, e.maxHeight = f.maxHeight, e.frameIdNumbers = f.frameIds;
    if (f.frameIds) e.frameIdLength = f.deltaLength + f.extraLength, e.deltaFrameIdLength = f.deltaLength;
    e.enableOrderHint = f.orderHint, e.orderHintBits = f.orderHint ? f.orderBits : 0;
    e.screenContentTools = f.screenContent, e.integerMv = f.integerMv, e.enableSuperres = f.superres;
    e.bitDepth = f.depth, e.monochrome = f.mono, e.subsamplingX = f.ssX, e.subsamplingY = f.ssY, e.chromaPosition = f.position;
    e.colourDescription = f.description, e.primaries = f.primaries, e.transfer = f.transfer, e.matrix = f.matrix;
    e.fullRange = f.fullRange || (!f.mono && f.primaries == 1 && f.transfer == 13 && f.matrix == 0);
    e.filmGrain = f.grain;
    return e;
}

TEST(Av1Sequence, BrokenOnesAreRefusedWithTheFieldNamed) {
    struct Row {
        std::function<void(SeqFields&)> change;
        size_t keep;  // bytes kept, 0 all
        const char* error;
    };
    const std::vector<Row> rows = {
        {[](SeqFields& f) { f.profile = 3; }, 0, "seq_profile 3 is reserved"},
        {[](SeqFields& f) { f.reduced = true; }, 0, "reduced_still_picture_header without still_picture"},
        {[](SeqFields& f) { f.frameIds = true, f.deltaLength = 17, f.extraLength = 1; }, 0, "frame id length 18 above 16"},
        {[](SeqFields&) {}, 3, "seq_level_idx cut off by the end of the data"},
        {[](SeqFields& f) { f.timing = true; }, 6, "time_scale cut off by the end of the data"},
    };
    for (const Row& r : rows) {
        SeqFields f;
        r.change(f);
        Bytes b = WriteSeq(f);
        if (r.keep) b.resize(r.keep);
        Av1SequenceHeader s;
        std::string error;
        EXPECT_FALSE(ParseAv1SequenceHeader(b.data(), b.size(), s, error));
        EXPECT_EQ(error, r.error);
    }
}

struct FrameFields {
    int showExisting = -1, type = kAv1KeyFrame;
    bool show = true, showable = false, errorResilient = false, screenContent = false, sizeOverride = false;
    int orderHint = 0, refresh = 0, refOrderHint[8] = {};
    int width = 0, height = 0, superresDenom = 0, renderWidth = 0, renderHeight = 0;  // superres: 9..16, 0 none
    bool shortSignaling = false;
    int last = 0, gold = 0, refIdx[7] = {}, foundRef = -1;
};

Bytes WriteFrame(const SeqFields& s, const FrameFields& f) {
    SyntaxWriter w;
    const bool presentation = s.model && !s.equal;
    const int idLen = s.deltaLength + s.extraLength;
    const bool all = f.type == kAv1SwitchFrame || (f.type == kAv1KeyFrame && f.show);
    const bool er = s.reduced || all || f.errorResilient, intra = f.type == kAv1KeyFrame || f.type == kAv1IntraOnlyFrame;
    const bool sizeOverride = f.type == kAv1SwitchFrame || (!s.reduced && f.sizeOverride);
    if (!s.reduced) {
        w.Flag(f.showExisting >= 0);
        if (f.showExisting >= 0) {
            w.U(f.showExisting, 3);
            if (presentation) w.U(3, s.presentationLength);
            if (s.frameIds) w.U(1, idLen);
            w.Align();
            return w.Bytes();
        }
        w.U(f.type, 2), w.Flag(f.show);
        if (f.show && presentation) w.U(5, s.presentationLength);
        if (!f.show) w.Flag(f.showable);
        if (!all) w.Flag(f.errorResilient);
    }
    w.Flag(false);  // disable_cdf_update
    if (s.screenContent == 2) w.Flag(f.screenContent);
    if ((s.screenContent == 2 ? f.screenContent : s.screenContent == 1) && s.integerMv == 2) w.Flag(true);
    if (s.frameIds) w.U(7, idLen);
    if (f.type != kAv1SwitchFrame && !s.reduced) w.Flag(f.sizeOverride);
    if (s.orderHint) w.U(f.orderHint, s.orderBits);
    if (!intra && !er) w.U(2, 3);  // primary_ref_frame
    if (s.model) w.Flag(true);     // buffer_removal_time_present_flag, for layer 0
    for (const OpFields& op : s.ops)
        if (s.model && op.model && (op.idc == 0 || ((op.idc & 1) && (op.idc & 0x100)))) w.U(9, s.removalLength);
    if (!all) w.U(f.refresh, 8);
    if ((!intra || (all ? 0xFF : f.refresh) != 0xFF) && er && s.orderHint)
        for (int h : f.refOrderHint) w.U(h, s.orderBits);
    auto superres = [&] {
        if (s.superres) w.Flag(f.superresDenom > 0);
        if (s.superres && f.superresDenom > 0) w.U(f.superresDenom - 9, 3);
    };
    auto size = [&] {
        if (sizeOverride) w.U(f.width - 1, s.widthBits), w.U(f.height - 1, s.heightBits);
        superres();
        w.Flag(f.renderWidth > 0);
        if (f.renderWidth > 0) w.U(f.renderWidth - 1, 16), w.U(f.renderHeight - 1, 16);
    };
    if (!intra) {
        if (s.orderHint) w.Flag(f.shortSignaling);
        if (f.shortSignaling) w.U(f.last, 3), w.U(f.gold, 3);
        for (int i = 0; i < 7; ++i) {
            if (!f.shortSignaling) w.U(f.refIdx[i], 3);
            if (s.frameIds) w.U(0, s.deltaLength);
        }
        for (int i = 0; i < 7 && sizeOverride && !er; ++i) {
            w.Flag(i == f.foundRef);
            if (i == f.foundRef) break;
        }
    }
    if (f.foundRef < 0) size();
    else superres();
    w.U(0x15, 5), w.Align();  // the rest of the header
    return w.Bytes();
}

std::string Text(const Av1FrameHeader& h) {
    std::ostringstream o;
    o << "existing " << h.showExisting << h.showIndex << " type " << h.frameType << h.show << h.showable << h.errorResilient
      << " hint " << h.orderHint << " refresh " << h.refreshFlags << " refs ";
    for (int r : h.refIdx) o << r;
    o << ' ' << h.sizeFromRef << " hints " << h.refOrderHints;
    for (int v : h.refOrderHint) o << ' ' << v;
    o << " size " << h.width << '/' << h.upscaledWidth << 'x' << h.height << ' ' << h.renderWidth << 'x' << h.renderHeight;
    return o.str();
}

// A random sequence header, then a random frame header read with it and random reference slots.
TEST(Av1Header, RandomHeadersReadBack) {
    std::mt19937 rng(61);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int iter = 0; iter < 4000; ++iter) {
        const SeqFields s = RandomSeq(rng);
        const Bytes sb = WriteSeq(s);
        Av1SequenceHeader seq;
        std::string error;
        ASSERT_TRUE(ParseAv1SequenceHeader(sb.data(), sb.size(), seq, error)) << iter << ": " << error;
        EXPECT_EQ(Text(seq), Text(Meaning(s))) << iter;
        Av1RefSlot refs[8];
        for (Av1RefSlot& r : refs)
            r = {pick(-1, 3), pick(0, 255), pick(1, s.maxWidth), pick(1, s.maxHeight), pick(1, 65536), pick(1, 65536)};
        FrameFields f;
        f.showExisting = !s.reduced && pick(0, 9) == 0 ? pick(0, 7) : -1;
        f.type = s.reduced ? kAv1KeyFrame : pick(0, 3), f.show = s.reduced || pick(0, 1), f.showable = pick(0, 1);
        f.errorResilient = pick(0, 1), f.screenContent = pick(0, 1), f.sizeOverride = pick(0, 1);
        f.orderHint = pick(0, (1 << s.orderBits) - 1), f.refresh = pick(0, 255);
        for (int& h : f.refOrderHint) h = pick(0, (1 << s.orderBits) - 1);
        f.width = pick(1, s.maxWidth), f.height = pick(1, s.maxHeight);
        f.superresDenom = s.superres && pick(0, 1) ? pick(9, 16) : 0;
        if (pick(0, 1)) f.renderWidth = pick(1, 65536), f.renderHeight = pick(1, 65536);
        for (int& r : f.refIdx) r = pick(0, 7);
        const bool all = f.type == kAv1SwitchFrame || (f.type == kAv1KeyFrame && f.show);
        const bool er = s.reduced || all || f.errorResilient, intra = f.type == kAv1KeyFrame || f.type == kAv1IntraOnlyFrame;
        const bool sizeOverride = f.type == kAv1SwitchFrame || (!s.reduced && f.sizeOverride);
        if (!intra && sizeOverride && !er) f.foundRef = pick(-1, 6);
        Av1FrameHeader e;  // what the fields mean
        if (f.showExisting >= 0) {
            const Av1RefSlot& r = refs[f.showExisting];
            e.showExisting = true, e.showIndex = f.showExisting, e.frameType = r.frameType, e.orderHint = r.orderHint;
            e.refreshFlags = r.frameType == kAv1KeyFrame ? 0xFF : 0;
            e.width = e.upscaledWidth = r.upscaledWidth, e.height = r.height;
            e.renderWidth = r.renderWidth, e.renderHeight = r.renderHeight;
        } else {
            e.frameType = f.type, e.show = f.show, e.errorResilient = er;
            e.showable = f.show ? f.type != kAv1KeyFrame : f.showable;
            e.orderHint = s.orderHint ? f.orderHint : 0, e.refreshFlags = all ? 0xFF : f.refresh;
            e.refOrderHints = (!intra || e.refreshFlags != 0xFF) && er && s.orderHint;
            if (e.refOrderHints) std::copy(f.refOrderHint, f.refOrderHint + 8, e.refOrderHint);
            if (!intra) std::copy(f.refIdx, f.refIdx + 7, e.refIdx), e.sizeFromRef = f.foundRef;
            e.upscaledWidth = sizeOverride ? f.width : s.maxWidth, e.height = sizeOverride ? f.height : s.maxHeight;
            e.renderWidth = f.renderWidth ? f.renderWidth : e.upscaledWidth;
            e.renderHeight = f.renderWidth ? f.renderHeight : e.height;
            if (f.foundRef >= 0) {
                const Av1RefSlot& r = refs[f.refIdx[f.foundRef]];
                e.upscaledWidth = r.upscaledWidth, e.height = r.height;
                e.renderWidth = r.renderWidth, e.renderHeight = r.renderHeight;
            }
            e.width = f.superresDenom ? (e.upscaledWidth * 8 + f.superresDenom / 2) / f.superresDenom : e.upscaledWidth;
        }
        const Bytes b = WriteFrame(s, f);
        Av1FrameHeader h;
        ASSERT_TRUE(ParseAv1FrameHeader(b.data(), b.size(), seq, Av1Obu(), refs, h, error)) << iter << ": " << error;
        EXPECT_EQ(Text(h), Text(e)) << iter;
    }
}

TEST(Av1Frame, ShortSignalingFindsTheOtherReferences) {
    // Order hints of the slots (7 bits) around a frame at 10, and the references LAST to ALTREF.
    struct Row {
        int hints[8], last, gold, expected[7];
    } rows[] = {
        // Backward: 3 (16) is the latest, 5 (10) and 6 (11) the earliest; forward: 0 (8), then 7 (2).
        {{8, 9, 12, 16, 4, 10, 11, 2}, 1, 4, {1, 0, 7, 4, 5, 6, 3}},
        // Ties go to the later slot for the latest, to the earlier one for the earliest.
        {{9, 4, 12, 12, 8, 8, 2, 2}, 0, 1, {0, 5, 4, 1, 2, 7, 3}},
        // Hints wrap around at 128: 120 is before 10, 20 after it.
        {{120, 121, 20, 9, 122, 123, 124, 125}, 3, 0, {3, 7, 6, 0, 5, 4, 2}},
    };
    SeqFields s;
    const Bytes sb = WriteSeq(s);
    Av1SequenceHeader seq;
    std::string error;
    ASSERT_TRUE(ParseAv1SequenceHeader(sb.data(), sb.size(), seq, error)) << error;
    for (const Row& r : rows) {
        Av1RefSlot refs[8];
        for (int i = 0; i < 8; ++i) refs[i] = {kAv1InterFrame, r.hints[i], 64, 64, 64, 64};
        FrameFields f;
        f.type = kAv1InterFrame, f.orderHint = 10, f.refresh = 1, f.shortSignaling = true, f.last = r.last, f.gold = r.gold;
        const Bytes b = WriteFrame(s, f);
        Av1FrameHeader h;
        ASSERT_TRUE(ParseAv1FrameHeader(b.data(), b.size(), seq, Av1Obu(), refs, h, error)) << error;
        EXPECT_EQ(std::vector<int>(h.refIdx, h.refIdx + 7), std::vector<int>(r.expected, r.expected + 7)) << r.hints[0];
    }
}

Bytes Obu(int type, const Bytes& payload, int temporal = -1, int spatial = 0) {
    Bytes out = {static_cast<uint8_t>(type << 3 | (temporal >= 0 ? 4 : 0) | 2)};
    if (temporal >= 0) out.push_back(static_cast<uint8_t>(temporal << 5 | spatial << 3));
    for (size_t n = payload.size();; ) {
        out.push_back(static_cast<uint8_t>((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
        if ((n >>= 7) == 0) break;
    }
    return Cat({out, payload});
}

TEST(Av1Stream, TemporalUnitsAsFfprobeShowsThem) {
    SeqFields s, small, layered;
    small.maxWidth = 320, small.maxHeight = 180;
    layered.ops[0].idc = 0x101;  // temporal and spatial layer 0 only
    const Bytes td = Obu(2, {}), sh = Obu(1, WriteSeq(s));
    auto frame = [&s](int type, int refresh, bool show) {
        FrameFields f;
        f.type = type, f.refresh = refresh, f.show = show, f.showable = !show;
        f.width = s.maxWidth, f.height = s.maxHeight;  // where a switch frame codes its size
        return Obu(6, WriteFrame(s, f));
    };
    auto existing = [&s](int slot) {
        FrameFields f;
        f.showExisting = slot;
        return Cat({Obu(2, {}), Obu(3, WriteFrame(s, f))});
    };
    const Bytes key = frame(kAv1KeyFrame, 0, true), p = frame(kAv1InterFrame, 1, true);
    const Bytes hidden = frame(kAv1InterFrame, 0x40, false);
    const Bytes first = Cat({td, sh, key}), arf = Cat({td, hidden});
    CheckRows(Codec::Av1, {
        {{first, Cat({td, p})}, {}, "K P", 0, 0, ""},
        {{first, Cat({td, hidden, p}), existing(6)}, {}, "K P P", 0, 0, ""},
        // A hidden key frame shown later is a key frame, and fills every slot.
        {{Cat({td, sh, frame(kAv1KeyFrame, 1, false)}), existing(0), existing(5)}, {}, "x K K", 0, 0, ""},
        {{Cat({td, p}), first, existing(5)}, {}, "x K K", 1, 0, ""},
        {{first, Cat({td, frame(kAv1IntraOnlyFrame, 2, true)}), Cat({td, frame(kAv1SwitchFrame, 0, true)})}, {},
         "K I S", 0, 0, ""},
        // Read from its head only, a temporal unit whose frames are hidden shows the one after them.
        {{first, arf, existing(6)}, {static_cast<int64_t>(first.size()), static_cast<int64_t>(arf.size()) + 100},
         "K P P", 0, 0, ""},
        {{first, Cat({td, p, p})}, {}, "K P", 0, 0, "shows 2 frames, not one"},
        // Outside operating point 0: not read at all (it would show slot 7 otherwise).
        {{Cat({td, Obu(1, WriteSeq(layered)), Obu(6, WriteFrame(layered, FrameFields()), 0, 0)}),
          Cat({td, Obu(3, {0xFF, 0xFF}, 0, 1)})}, {}, "K x", 0, 0, ""},
        {{first, Cat({td, Obu(1, WriteSeq(small)), key}), first}, {}, "K K K", 0, 1, ""},
        {{first, Cat({td, Obu(6, {0x10})})}, {}, "K x", 0, 0, "invalid AV1 frame header at offset"},
    });
}

TEST(Av1Stream, ConfigurationRecord) {
    SeqFields s;
    s.maxWidth = 1280, s.maxHeight = 720, s.ops[0].level = 9, s.ops[0].tier = 1;
    const Bytes sh = Obu(1, WriteSeq(s));
    // Only av1C: its sequence header is what a decoder would start from.
    Collect alone;
    alone.Go(Codec::Av1, Cat({{0x81, 0x09, 0x8C, 0x00}, sh}), {});
    const SequenceFacts& f = alone.model.seq;
    EXPECT_EQ(std::to_string(f.width) + "x" + std::to_string(f.height) + " " + f.levelText, "1280x720 4.1 (High tier)");
    EXPECT_TRUE(alone.model.diagnostics.empty()) << alone.model.diagnostics[0];
    // Its own fields disagree with its sequence header: said, and the header counts.
    Collect wrong;
    wrong.Go(Codec::Av1, Cat({{0x81, 0x09, 0x84, 0x00}, sh}), {});
    ASSERT_EQ(wrong.model.diagnostics.size(), 1u);
    EXPECT_EQ(wrong.model.diagnostics[0], "av1C gives subsampling_x 0, the sequence header 1");
    EXPECT_EQ(wrong.model.seq.chromaFormat, 1);
    for (const char* hex : {"82000000", "8100", "81000c00 3205"}) {
        Collect run;
        run.Go(Codec::Av1, Hex(hex), {});
        EXPECT_EQ(run.model.diagnostics.size() * 10 + run.model.seq.present, 10u) << hex;
    }
}

// What ffprobe -show_streams -count_frames shows for files ffmpeg 5.1 made (libvpx-vp9,
// libaom-av1, librav1e, libsvtav1), from the container's record and the first frame's head.
TEST(FramedCodecs, RealHeadersGiveFfprobesFacts) {
    struct Row {
        const char* file;
        Codec codec;
        const char *config, *head;
        int64_t size;
        const char* profile;
        int level, width, height;
        const char *pixFmt, *range, *space, *transfer, *primaries, *location, *sar;
    } rows[] = {
        {"vp9_p0.mp4", Codec::Vp9, "01000000000a820202020000", "8249834200041003160638241c184a0005f05f63f7eefbca", 1534, "Profile 0", -99, 66, 50, "yuv420p", "tv", "", "", "", "", ""},
        {"vp9_p1.mp4", Codec::Vp9, "01000000010a860202020000", "a249834200007e005ec0c7048383094000c45f63f7effe2f", 2117, "Profile 1", -99, 64, 48, "yuv444p", "tv", "", "", "", "", ""},
        {"vp9_p1_422.webm", Codec::Vp9, "", "a249834208007e005ec0c7048383094000be5f63f7effe2f", 1709, "Profile 1", -99, 64, 48, "yuv422p", "tv", "", "", "", "", ""},
        {"vp9_p1_440.webm", Codec::Vp9, "", "a249834204007e005ec0c7048383094000c25f63f7effe2f", 1647, "Profile 1", -99, 64, 48, "yuv440p", "tv", "", "", "", "", ""},
        {"vp9_p2.mp4", Codec::Vp9, "01000000020aa20202020000", "92498342000108008b031c120e0c2c0001885f63f7f9fbdc", 632, "Profile 2", -99, 34, 18, "yuv420p10le", "tv", "", "", "", "", ""},
        {"vp9_p2_12.webm", Codec::Vp9, "", "92498342800108008b031c120e0c2e0001785f63f7f9fbdc", 629, "Profile 2", -99, 34, 18, "yuv420p12le", "tv", "", "", "", "", ""},
        {"vp9_p3.mp4", Codec::Vp9, "01000000030aa60202020000", "b124c1a100000f800fb031c120e0c2c0001f805f63f7f9fa", 949, "Profile 3", -99, 32, 32, "yuv444p10le", "tv", "", "", "", "", ""},
        {"vp9_gbrp.mp4", Codec::Vp9, "01000000010a870202000000", "a2498342e001f001f60638241c184a0003d05f63f7c0f795", 1331, "Profile 1", -99, 32, 32, "gbrp", "pc", "gbr", "", "", "", ""},
        {"vp9_col.mp4", Codec::Vp9, "01000000000a830101010000", "824983425002f001f60638241c184a0003505f63f7d8fbd2", 772, "Profile 0", -99, 48, 32, "yuv420p", "pc", "bt709", "bt709", "bt709", "", ""},
        {"vp9_col2.mp4", Codec::Vp9, "01000000000a820910090000", "82498342a002f001f60638241c184a0003505f63f7d8fbd2", 772, "Profile 0", -99, 48, 32, "yuv420p", "tv", "bt2020nc", "smpte2084", "bt2020", "", ""},
        {"e1c.mp4", Codec::Vp9, "01000000000a820f1e140000", "8249834200041003160638241c184a0005f05f63f7eefbca", 1534, "Profile 0", -99, 66, 50, "yuv420p", "tv", "", "", "", "", ""},
        {"av1_420.mp4", Codec::Av1, "81000c000a0a000000032c1c4daf9004", "0a0a000000032c1c4daf900432ff0910008800041041100000dd4ac9ea66ca21a9d067508948a869e9c40a5bbd43051b", 1294, "Main", 0, 66, 50, "yuv420p", "tv", "", "", "", "", "1:1"},
        {"av1_10.mp4", Codec::Av1, "81004c000a0a000000032c1c4daf9404", "0a0a000000032c1c4daf940432f909100089c00c30c3100000dd4ac304926ac85d9896028f55d6326219238bf302e41b", 1288, "Main", 0, 66, 50, "yuv420p10le", "tv", "", "", "", "", "1:1"},
        {"av1_12.mp4", Codec::Av1, "81406c000a0a40000002aff79b5f2c61", "0a0a40000002aff79b5f2c6132e00810009480186186200000dd6d77d86cd832bd4dc137cbf37f5037415740faad7263", 1135, "Professional", 0, 64, 48, "yuv420p12le", "tv", "", "", "", "", "1:1"},
        {"av1_422.mp4", Codec::Av1, "814008000a0a40000002aff79b5f2020", "0a0a40000002aff79b5f202032fd0b10009000082082200000dd47b679ca21a9d067508948a869e9c40a5bbd43051bb1", 1548, "Professional", 0, 64, 48, "yuv422p", "tv", "", "", "", "", "1:1"},
        {"av1_444.mp4", Codec::Av1, "812000000a0a20000002aff79b5f2040", "0a0a20000002aff79b5f204032dc0f10009000082082200000dd2ea2d2da782beee74fba5c7fd7a0898310ba7c8ea61d", 2027, "High", 0, 64, 48, "yuv444p", "tv", "", "", "", "", "1:1"},
        {"av1_gray.mp4", Codec::Av1, "81001c000a0a00000002aff79b5f2540", "0a0a00000002aff79b5f2540328c061000900020880000dd6b033d0d83ae58c873fe421f4ba6219aa305b6fcebe6d047", 795, "Main", 0, 64, 48, "gray", "pc", "", "", "", "", "1:1"},
        {"av1_col.mp4", Codec::Av1, "81000c000a0d00000002a5ff36be4404040610", "0a0d00000002a5ff36be440404061032e20410009000082082200000f162c55aa4d71fe993aca674c14a67bc64cc1885", 628, "Main", 0, 48, 32, "yuv420p", "pc", "bt709", "bt709", "bt709", "", "1:1"},
        {"av1_col2.mp4", Codec::Av1, "81004c000a0d00000002a5ff36be5424402410", "0a0d00000002a5ff36be542440241032e60410009380186186200000f162bad2593f36e26f833a2cd98a99dcc708a8e2", 632, "Main", 0, 48, 32, "yuv420p10le", "tv", "bt2020nc", "smpte2084", "bt2020", "", "1:1"},
        {"av1_gbrp.mp4", Codec::Av1, "812000000a0d20000002aff79b5f2404340080", "0a0d20000002aff79b5f240434008032ad1410009000082082200000dd4ad2559215af79b460e4df05cb0e47b2b64886", 2623, "High", 0, 64, 48, "gbrp", "pc", "gbr", "iec61966-2-1", "bt709", "", "1:1"},
        {"av1_444rgb.ivf", Codec::Av1, "", "12000a0d20000002aff79b5f240808004032dc0f10009000082082200000dd2ea2d2da782beee74fba5c7fd7a0898310", 2032, "High", 0, 64, 48, "yuv444p", "tv", "gbr", "", "", "", "1:1"},
        {"av1_rav1e.mp4", Codec::Av1, "811f0c000a0d000000f957fbc4215102020214", "0a0d000000f957fbc4215102020214329d0a10029f2389faede3600010a80fac000000000000410410104110ba07d799", 1327, "Main", 31, 64, 48, "yuv420p", "tv", "", "", "", "", "1:1"},
        {"a_still.ivf", Codec::Av1, "", "12000a0618196ffed004329804450000618a50a02ba0dda82aa7527539435957308746c415898ad3c7c9560000257dd8", 549, "Main", -8, 96, 64, "yuv420p", "tv", "", "", "", "", "1:1"},
        {"a_rav1e_still.ivf", Codec::Av1, "", "12000a091fd96ffe510202021432c012649f2389faede3600010a80fac000000000000410410104110b9ed72635a8657", 2384, "Main", 23, 96, 64, "yuv420p", "tv", "", "", "", "", "1:1"},
        {"e5_vert.mp4", Codec::Av1, "81000c000a0a000000032c1c4daf9024", "0a0a000000032c1c4daf902432ff0910008800041041100000dd4ac9ea66ca21a9d067508948a869e9c40a5bbd43051b", 1294, "Main", 0, 66, 50, "yuv420p", "tv", "", "", "", "left", "1:1"},
        {"e5_colo.mp4", Codec::Av1, "81000c000a0a000000032c1c4daf9044", "0a0a000000032c1c4daf904432ff0910008800041041100000dd4ac9ea66ca21a9d067508948a869e9c40a5bbd43051b", 1294, "Main", 0, 66, 50, "yuv420p", "tv", "", "", "", "topleft", "1:1"},
        {"e8_av1render.ivf", Codec::Av1, "", "12000a0a000000032c1c4daf900432830a1002004000628800041041100000dd4ac9ea66ca21a9d067508948a869e9c4", 1300, "Main", 0, 66, 50, "yuv420p", "tv", "", "", "", "", "1:2"},
        {"a_svtsr.ivf", Codec::Av1, "", "12000a0a000000032dffcfbfb004328f081400516810dd48ac123955ba68625baca66804f1cbfab8d971149d50d53989", 1056, "Main", 0, 96, 64, "yuv420p", "tv", "", "", "", "", "1:1"},
        {"a_frameid.ivf", Codec::Av1, "", "12000a0b000000032dfff81b5f2008328e0815393800c2c000008020a0dd350da269b154fd96a7fc839b8e1c78d8c354", 1056, "Main", 0, 96, 64, "yuv420p", "tv", "", "", "", "", "1:1"},
        {"a_model.ivf", Codec::Av1, "", "12000a1d040000000400000065780000000a530000035f915f90bb2dffcdaf9004328f0810010040010b000002008280", 1075, "Main", 0, 96, 64, "yuv420p", "tv", "", "", "", "", "1:1"},
    };
    for (const Row& r : rows) {
        Collect run;
        run.Go(r.codec, Hex(r.config), {Hex(r.head)}, {r.size});
        const StreamModel& m = run.model;
        const Rational sar = m.seq.sar;
        std::ostringstream got, want;
        got << run.shown << ' ' << m.seq.profile << ' ' << m.seq.level << ' ' << m.seq.width << 'x' << m.seq.height
            << ' ' << m.seq.codedWidth << 'x' << m.seq.codedHeight << ' ' << m.PixFmt() << ' ' << m.ColourRange()
            << '/' << m.ColourSpace() << '/' << m.ColourTransfer() << '/' << m.ColourPrimaries() << ' '
            << m.ChromaLocation() << ' ' << (sar.Known() ? std::to_string(sar.num) + ":" + std::to_string(sar.den) : "")
            << ' ' << m.seq.refs << m.HasBFrames();
        want << "K " << r.profile << ' ' << r.level << ' ' << r.width << 'x' << r.height << ' ' << r.width << 'x'
             << r.height << ' ' << r.pixFmt << ' ' << r.range << '/' << r.space << '/' << r.transfer << '/'
             << r.primaries << ' ' << r.location << ' ' << r.sar << " 10";
        EXPECT_EQ(got.str(), want.str()) << r.file;
        EXPECT_TRUE(m.diagnostics.empty()) << r.file << ": " << m.diagnostics[0];
    }
}

// ffprobe -show_frames over whole streams, each sample given by its size and first bytes: VP9
// with frames shown again (1-byte show_existing_frame frames put in), and AV1 from libaom with
// hidden alternate references shown later.
TEST(FramedCodecs, RealStreamsGiveFfprobesFrameTypes) {
    struct Row {
        Codec codec;
        const char *samples, *ffprobe;  // size:head ...
    } rows[] = {
        {Codec::Vp9,
         "1534:824983420004100316063824 1:88 17:860040929c48500000037000 17:860040929c404ee000037000 "
         "59:860040929c48500000037000 70:860040929c384d4000037000 59:860040929c48500000037000 1:8b "
         "62:860040929c404ee000037000 57:860040929c48500000037000 80:860040929c2c4a2000037000 "
         "32:860040929c48500000037000 1:8f",
         "K K P P P P P K P P P P K"},
        {Codec::Av1,
         "638:12000a0a00000002aff79b5f200832ed04140020 373:120032d8012904f020000011a160000082eb8800 "
         "5:12001a01b8 22:12003212320324070040a3474010410210000100 5:12001a01a8 "
         "54:1200321a29032402ac4051a1c0082081080001c0 5:12001a01e8 21:120032113307220dd0ac868d0020820420000200 "
         "21:1200321133080109b854868c8020820420000200 21:120032113209000730e8a350c010410212000100",
         "K P P P P P P P P P"},
    };
    for (const Row& r : rows) {
        std::istringstream in(r.samples);
        std::vector<Bytes> heads;
        std::vector<int64_t> sizes;
        for (std::string item; in >> item;) {
            sizes.push_back(std::stoll(item.substr(0, item.find(':'))));
            heads.push_back(Hex(item.substr(item.find(':') + 1)));
        }
        Collect run;
        run.Go(r.codec, {}, heads, sizes);
        EXPECT_EQ(run.shown, r.ffprobe);
        EXPECT_TRUE(run.model.diagnostics.empty()) << run.model.diagnostics[0];
    }
}

}  // namespace

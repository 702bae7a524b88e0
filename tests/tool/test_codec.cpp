// The codec parsers against parameter sets written field by field by an independent writer:
// random valid ones must read back with every value, and each kind of broken one must be
// refused with a reason that names the field.

#include "SyntaxWriter.h"
#include "codec/H264Parser.h"
#include "codec/H265Parser.h"
#include "codec/Mpeg2Parser.h"
#include "codec/Rbsp.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace {

using qvtest::SyntaxWriter;
using namespace qvutil;

// --- Bit reader ------------------------------------------------------------------------

TEST(BitReader, ReadsAndRefusesAsRows) {
    struct Row {
        std::vector<uint8_t> bytes;
        std::function<void(BitReader&)> read;
        int64_t value;  // of the last read
        const char* error;  // substring, or "" for none
    };
    uint32_t last = 0;
    const std::vector<Row> rows = {
        // 1 010 011 00100 then the stop bit: ue 0, 1, 2, 3
        {{0xA6, 0x42, 0x80}, [&](BitReader& r) { for (int i = 0; i < 4; ++i) last = r.Ue("v", 10); }, 3, ""},
        // A code that ends on the very last bit is whole: a flag, then 7 zeros, 1, 7 bits.
        {{0x80, 0xFF}, [&](BitReader& r) { r.Flag(); last = r.Ue("v", 1000); }, 254, ""},
        // One bit short.
        {{0x00, 0xFF}, [&](BitReader& r) { last = r.Ue("v", 0xFFFFFFFE); }, 0, "v cut off by the end of the data"},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80},
         [&](BitReader& r) { last = r.Ue("w", 0xFFFFFFFE); }, 0, "w is no Exp-Golomb code"},
        {{0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         [&](BitReader& r) { last = r.Ue("big", 0xFFFFFFFE); }, 0xFFFFFFFE, ""},
        {{0x11}, [&](BitReader& r) { last = r.Ue("id", 6); }, 0, "id 7 out of range 0..6"},
        // se: code 4 is -2
        {{0x28}, [&](BitReader& r) { last = static_cast<uint32_t>(r.Se("s", -2, 2)); }, 0xFFFFFFFE, ""},
        {{0x28}, [&](BitReader& r) { last = static_cast<uint32_t>(r.Se("s", -1, 2)); }, 0, "s -2 out of range -1..2"},
        {{0xAB, 0xCD}, [&](BitReader& r) { last = r.U(16, "x"); }, 0xABCD, ""},
        {{0xAB, 0xCD}, [&](BitReader& r) { last = r.U(17, "x"); }, 0, "x cut off"},
        // After a failure every read gives 0 and the first reason stays.
        {{0xFF}, [&](BitReader& r) { r.U(9, "a"); last = r.U(1, "b"); }, 0, "a cut off"},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        BitReader r(rows[i].bytes.data(), rows[i].bytes.size());
        last = 12345;
        rows[i].read(r);
        EXPECT_EQ(last, static_cast<uint32_t>(rows[i].value)) << "row " << i;
        if (*rows[i].error) EXPECT_NE(r.Error().find(rows[i].error), std::string::npos) << "row " << i << ": " << r.Error();
        else EXPECT_TRUE(r.Ok()) << "row " << i << ": " << r.Error();
    }
}

TEST(BitReader, MoreRbspDataAndTrailingBits) {
    const uint8_t stopOnly[] = {0x80};
    BitReader a(stopOnly, 1);
    EXPECT_FALSE(a.MoreRbspData());
    a.TrailingBits();
    EXPECT_TRUE(a.Ok());
    const uint8_t oneField[] = {0xC0};  // a flag 1, then the stop bit
    BitReader b(oneField, 1);
    EXPECT_TRUE(b.MoreRbspData());
    EXPECT_TRUE(b.Flag());
    EXPECT_FALSE(b.MoreRbspData());
    const uint8_t junk[] = {0x81};
    BitReader c(junk, 1);
    c.TrailingBits();
    EXPECT_EQ(c.Error(), "rbsp_trailing_bits not zero");
}

TEST(Unescape, DropsEmulationPreventionAndTrailingZeros) {
    struct Row {
        std::vector<uint8_t> in, out;
    } rows[] = {
        {{0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x01}},
        {{0x00, 0x00, 0x03, 0x00, 0x00, 0x03}, {}},  // all zeros once the 03s are gone
        {{0x00, 0x00, 0x03, 0x03, 0x00, 0x00, 0x03, 0x02, 0x80}, {0x00, 0x00, 0x03, 0x00, 0x00, 0x02, 0x80}},
        {{0x00, 0x03, 0x00, 0x00, 0x03}, {0x00, 0x03}},
        {{0x12, 0x80, 0x00, 0x00}, {0x12, 0x80}},
    };
    std::vector<uint8_t> out;
    for (const Row& r : rows) {
        Unescape(r.in.data(), r.in.size(), out);
        EXPECT_EQ(out, r.out);
    }
}

// --- H.264 SPS -------------------------------------------------------------------------

struct SpsFields {
    int profile = 100, constraints = 0, level = 40, id = 0;
    int chroma = 1, separate = 0, depthLuma = 8, depthChroma = 8;
    bool scaling = false;
    int log2FrameNum = 4, pocType = 0, log2PocLsb = 4;
    bool alwaysZero = false;
    int nonRef = 0, topBottom = 0;
    std::vector<int> cycle;
    int refs = 1, widthMbs = 20, heightUnits = 15;
    bool frameOnly = true, mbaff = false;
    bool crop = false;
    int c[4] = {0, 0, 0, 0};
    bool vui = false;
    int aspectIdc = -1, sarW = 0, sarH = 0;
    int videoFormat = -1, fullRange = 0, prim = -1, trc = 2, mat = 2;
    int locTop = -1, locBottom = 0;
    bool timing = false;
    uint32_t tick = 1, scale = 50;
    bool fixed = false;
    bool nalHrd = false;
    int rateScale = 0, sizeScale = 0;
    std::vector<std::pair<uint32_t, uint32_t>> cpb;
    bool picStruct = false;
    int reorder = -1, dpb = 0;
};

bool HighProfile(int p) {
    return p == 100 || p == 110 || p == 122 || p == 244 || p == 44 || p == 118 || p == 128;
}

std::vector<uint8_t> WriteSps(const SpsFields& f) {
    SyntaxWriter w;
    w.U(0x67, 8);
    w.U(f.profile, 8);
    w.U(f.constraints, 8);
    w.U(f.level, 8);
    w.Ue(f.id);
    if (HighProfile(f.profile)) {
        w.Ue(f.chroma);
        if (f.chroma == 3) w.Flag(f.separate);
        w.Ue(f.depthLuma - 8);
        w.Ue(f.depthChroma - 8);
        w.Flag(false);
        w.Flag(f.scaling);
        if (f.scaling)
            for (int i = 0; i < (f.chroma != 3 ? 8 : 12); ++i) {
                w.Flag(i % 2 == 0);
                if (i % 2 == 0)
                    for (int j = 0; j < (i < 6 ? 16 : 64); ++j) w.Se(j == 3 ? -8 : 1);  // never 0: no early end
            }
    }
    w.Ue(f.log2FrameNum - 4);
    w.Ue(f.pocType);
    if (f.pocType == 0) w.Ue(f.log2PocLsb - 4);
    if (f.pocType == 1) {
        w.Flag(f.alwaysZero);
        w.Se(f.nonRef);
        w.Se(f.topBottom);
        w.Ue(f.cycle.size());
        for (int v : f.cycle) w.Se(v);
    }
    w.Ue(f.refs);
    w.Flag(false);
    w.Ue(f.widthMbs - 1);
    w.Ue(f.heightUnits - 1);
    w.Flag(f.frameOnly);
    if (!f.frameOnly) w.Flag(f.mbaff);
    w.Flag(true);
    w.Flag(f.crop);
    if (f.crop)
        for (int v : f.c) w.Ue(v);
    w.Flag(f.vui);
    if (f.vui) {
        w.Flag(f.aspectIdc >= 0);
        if (f.aspectIdc >= 0) {
            w.U(f.aspectIdc, 8);
            if (f.aspectIdc == 255) w.U(f.sarW, 16), w.U(f.sarH, 16);
        }
        w.Flag(false);
        w.Flag(f.videoFormat >= 0);
        if (f.videoFormat >= 0) {
            w.U(f.videoFormat, 3);
            w.Flag(f.fullRange);
            w.Flag(f.prim >= 0);
            if (f.prim >= 0) w.U(f.prim, 8), w.U(f.trc, 8), w.U(f.mat, 8);
        }
        w.Flag(f.locTop >= 0);
        if (f.locTop >= 0) w.Ue(f.locTop), w.Ue(f.locBottom);
        w.Flag(f.timing);
        if (f.timing) w.U(f.tick, 32), w.U(f.scale, 32), w.Flag(f.fixed);
        w.Flag(f.nalHrd);
        if (f.nalHrd) {
            w.Ue(f.cpb.size() - 1);
            w.U(f.rateScale, 4);
            w.U(f.sizeScale, 4);
            for (const auto& c : f.cpb) w.Ue(c.first), w.Ue(c.second), w.Flag(true);
            w.U(23, 5), w.U(15, 5), w.U(9, 5), w.U(24, 5);
        }
        w.Flag(false);  // no VCL HRD
        if (f.nalHrd) w.Flag(false);
        w.Flag(f.picStruct);
        w.Flag(f.reorder >= 0);
        if (f.reorder >= 0) {
            w.Flag(true);
            w.Ue(2), w.Ue(1), w.Ue(16), w.Ue(16);
            w.Ue(f.reorder);
            w.Ue(f.dpb);
        }
    }
    w.Trailing();
    return w.Bytes();
}

SpsFields RandomSps(std::mt19937& rng) {
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    static const int kProfiles[] = {66, 77, 88, 100, 110, 122, 244, 44, 118, 128};
    SpsFields f;
    f.profile = kProfiles[pick(0, 9)];
    f.constraints = pick(0, 63) << 2;
    f.level = pick(9, 62);
    f.id = pick(0, 31);
    if (HighProfile(f.profile)) {
        f.chroma = pick(0, 3);
        f.separate = f.chroma == 3 ? pick(0, 1) : 0;
        f.depthLuma = pick(8, 14);
        f.depthChroma = pick(8, 14);
        f.scaling = pick(0, 1);
    }
    f.log2FrameNum = pick(4, 16);
    f.pocType = pick(0, 2);
    f.log2PocLsb = pick(4, 16);
    f.alwaysZero = pick(0, 1);
    f.nonRef = pick(-1000, 1000);
    f.topBottom = pick(-5, 5);
    f.cycle.resize(static_cast<size_t>(pick(0, 5)));
    for (int& v : f.cycle) v = pick(-100000, 100000);
    f.refs = pick(0, 16);
    f.widthMbs = pick(1, 1055);
    f.heightUnits = pick(1, 200);
    f.frameOnly = pick(0, 1);
    f.mbaff = !f.frameOnly && pick(0, 1);
    f.crop = pick(0, 1);
    if (f.crop) {
        f.c[1] = pick(0, 7);
        f.c[3] = pick(0, 3);
        f.c[0] = pick(0, 2);
    }
    f.vui = pick(0, 1);
    f.aspectIdc = pick(-1, 17);
    if (f.aspectIdc == 17) f.aspectIdc = 255, f.sarW = pick(1, 65535), f.sarH = pick(1, 65535);
    f.videoFormat = pick(-1, 5);
    f.fullRange = pick(0, 1);
    f.prim = pick(-1, 22);
    f.trc = pick(0, 18);
    f.mat = pick(0, 14);
    f.locTop = pick(-1, 5);
    f.locBottom = pick(0, 5);
    f.timing = pick(0, 1);
    f.tick = static_cast<uint32_t>(pick(1, 1 << 30));
    f.scale = static_cast<uint32_t>(pick(1, 1 << 30)) * 2u;
    f.fixed = pick(0, 1);
    f.nalHrd = pick(0, 1);
    f.rateScale = pick(0, 15);
    f.sizeScale = pick(0, 15);
    f.cpb.resize(static_cast<size_t>(pick(1, 4)));
    for (auto& c : f.cpb) c = {static_cast<uint32_t>(pick(0, 1 << 24)), static_cast<uint32_t>(pick(0, 1 << 24))};
    f.picStruct = pick(0, 1);
    f.dpb = pick(0, 16);
    f.reorder = pick(-1, f.dpb);
    return f;
}

TEST(H264Sps, RandomParameterSetsReadBack) {
    std::mt19937 rng(14);
    for (int iter = 0; iter < 3000; ++iter) {
        const SpsFields f = RandomSps(rng);
        const std::vector<uint8_t> rbsp = WriteSps(f);
        H264Sps s;
        std::string error;
        ASSERT_TRUE(ParseH264Sps(rbsp.data(), rbsp.size(), s, error)) << iter << ": " << error;
        ASSERT_EQ(error, "") << iter;
        EXPECT_EQ(s.profileIdc, f.profile);
        EXPECT_EQ(s.levelIdc, f.level);
        EXPECT_EQ(s.id, f.id);
        EXPECT_EQ(s.chromaFormatIdc, f.chroma);
        EXPECT_EQ(s.separateColourPlane, f.separate == 1);
        EXPECT_EQ(s.bitDepthLuma, f.depthLuma);
        EXPECT_EQ(s.bitDepthChroma, f.depthChroma);
        EXPECT_EQ(s.log2MaxFrameNum, f.log2FrameNum);
        EXPECT_EQ(s.pocType, f.pocType);
        if (f.pocType == 0) {
            EXPECT_EQ(s.log2MaxPocLsb, f.log2PocLsb);
        }
        if (f.pocType == 1) {
            EXPECT_EQ(s.offsetForTopToBottomField, f.topBottom);
        }
        EXPECT_EQ(s.maxNumRefFrames, f.refs);
        EXPECT_EQ(s.widthMbs, f.widthMbs);
        EXPECT_EQ(s.heightMapUnits, f.heightUnits);
        EXPECT_EQ(s.frameMbsOnly, f.frameOnly);
        EXPECT_EQ(s.mbaff, f.mbaff);
        const int arrayType = f.separate ? 0 : f.chroma;
        const int unitX = (arrayType == 1 || arrayType == 2) ? 2 : 1;
        const int unitY = (arrayType == 1 ? 2 : 1) * (f.frameOnly ? 1 : 2);
        EXPECT_EQ(s.Width(), f.widthMbs * 16 - unitX * (f.c[0] + f.c[1])) << iter;
        EXPECT_EQ(s.Height(), f.heightUnits * 16 * (f.frameOnly ? 1 : 2) - unitY * (f.c[2] + f.c[3])) << iter;
        EXPECT_EQ(s.vui, f.vui);
        if (!f.vui) continue;
        EXPECT_EQ(s.video.aspectRatioIdc, f.aspectIdc);
        if (f.aspectIdc == 255) {
            EXPECT_EQ(int64_t{s.video.sarWidth} << 16 | s.video.sarHeight, int64_t{f.sarW} << 16 | f.sarH);
        }
        EXPECT_EQ(s.video.videoFormat, f.videoFormat);
        if (f.videoFormat >= 0) {
            EXPECT_EQ(s.video.fullRange, f.fullRange);
            EXPECT_EQ(s.video.primaries, f.prim >= 0 ? f.prim : 2);
            if (f.prim >= 0) {
                EXPECT_EQ(s.video.transfer * 256 + s.video.matrix, f.trc * 256 + f.mat);
            }
        }
        EXPECT_EQ(s.video.chromaLocTop, f.locTop);
        EXPECT_EQ(s.timing, f.timing);
        if (f.timing) {
            EXPECT_EQ(uint64_t{s.unitsInTick} << 32 | s.timeScale, uint64_t{f.tick} << 32 | f.scale);
        }
        EXPECT_EQ(s.nalHrd, f.nalHrd);
        if (f.nalHrd) {
            EXPECT_EQ(s.hrd.cpbCount, static_cast<int>(f.cpb.size()));
            EXPECT_EQ(s.hrd.bitRate, (int64_t{f.cpb[0].first} + 1) << (6 + f.rateScale));
            EXPECT_EQ(s.hrd.cpbSize, (int64_t{f.cpb[0].second} + 1) << (4 + f.sizeScale));
            EXPECT_EQ(s.hrd.removalDelayLength, 16);
            EXPECT_EQ(s.hrd.outputDelayLength, 10);
        }
        EXPECT_EQ(s.picStructPresent, f.picStruct);
        EXPECT_EQ(s.restriction, f.reorder >= 0);
        if (f.reorder >= 0) {
            EXPECT_EQ(s.maxNumReorderFrames * 100 + s.maxDecFrameBuffering, f.reorder * 100 + f.dpb);
        }
    }
}

TEST(H264Sps, BrokenOnesAreRefusedWithTheFieldNamed) {
    struct Row {
        std::function<void(SpsFields&)> change;
        bool kept;  // the SPS is still usable (only its VUI is broken)
        const char* error;
    };
    const std::vector<Row> rows = {
        {[](SpsFields& f) { f.id = 32; }, false, "seq_parameter_set_id 32 out of range 0..31"},
        {[](SpsFields& f) { f.chroma = 4; }, false, "chroma_format_idc 4 out of range 0..3"},
        {[](SpsFields& f) { f.depthLuma = 15; }, false, "bit_depth_luma_minus8 7 out of range 0..6"},
        {[](SpsFields& f) { f.log2FrameNum = 17; }, false, "log2_max_frame_num_minus4 13 out of range 0..12"},
        {[](SpsFields& f) { f.pocType = 3; }, false, "pic_order_cnt_type 3 out of range 0..2"},
        {[](SpsFields& f) { f.pocType = 1, f.cycle.assign(256, 1); }, false,
         "num_ref_frames_in_pic_order_cnt_cycle 256 out of range 0..255"},
        {[](SpsFields& f) { f.refs = 17; }, false, "max_num_ref_frames 17 out of range 0..16"},
        {[](SpsFields& f) { f.widthMbs = 1056; }, false, "pic_width_in_mbs_minus1 1055 out of range 0..1054"},
        {[](SpsFields& f) { f.crop = true, f.c[0] = 40, f.c[1] = 40; }, false, "frame cropping leaves no picture"},
        {[](SpsFields& f) { f.vui = true, f.locTop = 6; }, true,
         "VUI: chroma_sample_loc_type_top_field 6 out of range 0..5"},
        {[](SpsFields& f) { f.vui = true, f.dpb = 4, f.reorder = 5; }, true,
         "VUI: max_num_reorder_frames 5 above max_dec_frame_buffering 4"},
        {[](SpsFields& f) { f.vui = true, f.timing = true, f.tick = 0; }, true, "VUI: num_units_in_tick 0"},
        {[](SpsFields& f) { f.vui = true, f.nalHrd = true, f.cpb.assign(33, {1, 1}); }, true,
         "VUI: cpb_cnt_minus1 32 out of range 0..31"},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SpsFields f;
        f.widthMbs = 10, f.heightUnits = 10;
        rows[i].change(f);
        const std::vector<uint8_t> rbsp = WriteSps(f);
        H264Sps s;
        std::string error;
        EXPECT_EQ(ParseH264Sps(rbsp.data(), rbsp.size(), s, error), rows[i].kept) << "row " << i;
        EXPECT_EQ(error, rows[i].error) << "row " << i;
    }
    // Cut anywhere, a valid SPS is refused or keeps what it had, and never reads past its end.
    SpsFields f;
    f.vui = true, f.timing = true, f.nalHrd = true, f.cpb = {{100, 200}}, f.reorder = 1, f.dpb = 2;
    const std::vector<uint8_t> whole = WriteSps(f);
    for (size_t n = 0; n < whole.size(); ++n) {
        std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(n));
        H264Sps s;
        std::string error;
        ParseH264Sps(cut.data(), cut.size(), s, error);
        EXPECT_NE(error, "") << n;
    }
}

// --- H.265 SPS -------------------------------------------------------------------------

struct HevcSpsFields {
    int vps = 0, subLayers = 1;  // sps_max_sub_layers_minus1 + 1
    int tier = 0, profile = 1, level = 93;
    uint32_t compat = 0x60000000;
    bool progressive = true, interlaced = false;
    int constraints = 0;
    std::vector<std::pair<bool, bool>> subPresent;  // sub-layer profile, level present
    int id = 0, chroma = 1, separate = 0, width = 320, height = 240;
    int conf[4] = {-1, 0, 0, 0};  // no conformance window when conf[0] < 0
    int depthLuma = 8, depthChroma = 8, log2Poc = 8;
    bool allSubLayers = false;
    int dpb = 5, reorder = 2;
    int log2MinCb = 3, diffCtb = 1, log2MinTb = 2, diffTb = 2;
    bool scaling = false, pcm = false;
    int rpsCount = 0;
    int longTerm = -1;
    bool vui = false;
    int aspectIdc = -1, fullRange = 0, prim = -1, locTop = -1;
    bool fieldSeq = false, frameFieldInfo = false;
    int display = -1;
    bool timing = false, hrd = false;
    uint32_t tick = 1, scale = 25;
    int rateScale = 0;
    uint32_t rate = 0;
    bool range = false;
    uint32_t seed = 0;  // for the short-term reference picture sets
};

void WritePtl(SyntaxWriter& w, const HevcSpsFields& f) {
    w.U(0, 2);
    w.U(f.tier, 1);
    w.U(f.profile, 5);
    w.U(f.compat, 32);
    w.Flag(f.progressive), w.Flag(f.interlaced), w.Flag(false), w.Flag(true);
    w.U(f.constraints, 9);
    w.U(0, 35);
    w.U(f.level, 8);
    for (const auto& p : f.subPresent) w.Flag(p.first), w.Flag(p.second);
    if (f.subLayers > 1) w.U(0, 2 * (9 - f.subLayers));
    for (const auto& p : f.subPresent) {
        if (p.first) w.U(0x123456789ABull, 44), w.U(0xFEDCBA98765ull, 44);
        if (p.second) w.U(0x5A, 8);
    }
}

// Random short-term reference picture sets, inter-predicted ones among them.
void WriteRps(SyntaxWriter& w, uint32_t seed, int count, int maxPics) {
    std::mt19937 rng(seed);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<int> numDeltaPocs;
    w.Ue(static_cast<uint64_t>(count));
    for (int i = 0; i < count; ++i) {
        const bool inter = i > 0 && pick(0, 1);
        if (i > 0) w.Flag(inter);
        int n = 0;
        if (inter) {
            w.U(static_cast<uint64_t>(pick(0, 1)), 1);
            w.Ue(static_cast<uint64_t>(pick(0, 300)));
            for (int j = 0; j <= numDeltaPocs[static_cast<size_t>(i - 1)]; ++j) {
                const bool used = n < maxPics && pick(0, 1);
                w.Flag(used);
                bool useDelta = used;
                if (!used) {
                    useDelta = n < maxPics && pick(0, 1);
                    w.Flag(useDelta);
                }
                n += useDelta ? 1 : 0;
            }
        } else {
            const int neg = pick(0, maxPics), pos = pick(0, maxPics - neg);
            w.Ue(static_cast<uint64_t>(neg));
            w.Ue(static_cast<uint64_t>(pos));
            for (int k = 0; k < neg + pos; ++k) w.Ue(static_cast<uint64_t>(pick(0, 32767))), w.Flag(pick(0, 1));
            n = neg + pos;
        }
        numDeltaPocs.push_back(n);
    }
}

std::vector<uint8_t> WriteHevcSps(const HevcSpsFields& f) {
    SyntaxWriter w;
    w.U(0x4201, 16);
    w.U(f.vps, 4);
    w.U(f.subLayers - 1, 3);
    w.Flag(true);
    WritePtl(w, f);
    w.Ue(f.id);
    w.Ue(f.chroma);
    if (f.chroma == 3) w.Flag(f.separate);
    w.Ue(f.width);
    w.Ue(f.height);
    w.Flag(f.conf[0] >= 0);
    if (f.conf[0] >= 0)
        for (int v : f.conf) w.Ue(v);
    w.Ue(f.depthLuma - 8);
    w.Ue(f.depthChroma - 8);
    w.Ue(f.log2Poc - 4);
    w.Flag(f.allSubLayers);
    for (int i = f.allSubLayers ? 0 : f.subLayers - 1; i < f.subLayers; ++i) w.Ue(f.dpb - 1), w.Ue(f.reorder), w.Ue(0);
    w.Ue(f.log2MinCb - 3);
    w.Ue(f.diffCtb);
    w.Ue(f.log2MinTb - 2);
    w.Ue(f.diffTb);
    w.Ue(1), w.Ue(1);
    w.Flag(f.scaling);
    if (f.scaling) {
        w.Flag(true);
        for (int size = 0; size < 4; ++size)
            for (int m = 0; m < 6; m += size == 3 ? 3 : 1) {
                const bool explicitList = (size + m) % 2 == 0;
                w.Flag(explicitList);
                if (!explicitList) {
                    w.Ue(0);
                } else {
                    if (size > 1) w.Se(8);
                    for (int i = 0; i < (size == 0 ? 16 : 64); ++i) w.Se(i % 3 - 1);
                }
            }
    }
    w.Flag(true), w.Flag(true);  // amp, sao
    w.Flag(f.pcm);
    if (f.pcm) w.U(7, 4), w.U(7, 4), w.Ue(0), w.Ue(1), w.Flag(false);
    WriteRps(w, f.seed, f.rpsCount, f.dpb - 1);
    w.Flag(f.longTerm >= 0);
    if (f.longTerm >= 0) {
        w.Ue(f.longTerm);
        for (int i = 0; i < f.longTerm; ++i) w.U(i, f.log2Poc), w.Flag(true);
    }
    w.Flag(true), w.Flag(true);  // temporal mvp, strong intra smoothing
    w.Flag(f.vui);
    if (f.vui) {
        w.Flag(f.aspectIdc >= 0);
        if (f.aspectIdc >= 0) w.U(f.aspectIdc, 8);
        w.Flag(false);
        w.Flag(f.prim >= 0);
        if (f.prim >= 0) w.U(5, 3), w.Flag(f.fullRange), w.Flag(true), w.U(f.prim, 8), w.U(16, 8), w.U(9, 8);
        w.Flag(f.locTop >= 0);
        if (f.locTop >= 0) w.Ue(f.locTop), w.Ue(f.locTop);
        w.Flag(false);
        w.Flag(f.fieldSeq);
        w.Flag(f.frameFieldInfo);
        w.Flag(f.display >= 0);
        if (f.display >= 0) w.Ue(f.display), w.Ue(0), w.Ue(f.display), w.Ue(0);
        w.Flag(f.timing);
        if (f.timing) {
            w.U(f.tick, 32), w.U(f.scale, 32);
            w.Flag(true), w.Ue(0);
            w.Flag(f.hrd);
            if (f.hrd) {
                w.Flag(true), w.Flag(false);  // NAL HRD only
                w.Flag(false);                // no sub-picture parameters
                w.U(f.rateScale, 4), w.U(3, 4);
                w.U(23, 5), w.U(23, 5), w.U(23, 5);
                for (int i = 0; i < f.subLayers; ++i) {
                    const bool general = i % 2 == 0;
                    w.Flag(general);
                    if (!general) w.Flag(false), w.Flag(false);  // not fixed within the CVS, not low delay
                    else w.Ue(0);
                    w.Ue(1);  // two schedules
                    for (int k = 0; k < 2; ++k) w.Ue(f.rate + static_cast<uint32_t>(i) + static_cast<uint32_t>(k)), w.Ue(1000), w.Flag(false);
                }
            }
        }
        w.Flag(true);  // bitstream restriction
        w.Flag(false), w.Flag(false), w.Flag(false), w.Ue(0), w.Ue(2), w.Ue(1), w.Ue(15), w.Ue(15);
    }
    w.Flag(f.range);
    if (f.range) w.Flag(true), w.U(0, 7), w.U(0x155, 9);
    w.Trailing();
    return w.Bytes();
}

HevcSpsFields RandomHevcSps(std::mt19937& rng) {
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    HevcSpsFields f;
    f.vps = pick(0, 15);
    f.subLayers = pick(1, 7);
    f.tier = pick(0, 1);
    f.profile = pick(1, 4);
    f.compat = static_cast<uint32_t>(pick(0, 1 << 30));
    f.progressive = pick(0, 1), f.interlaced = pick(0, 1);
    f.constraints = pick(0, 511);
    f.level = pick(30, 186);
    for (int i = 0; i + 1 < f.subLayers; ++i) f.subPresent.emplace_back(pick(0, 1), pick(0, 1));
    f.id = pick(0, 15);
    f.chroma = pick(0, 3);
    f.separate = f.chroma == 3 ? pick(0, 1) : 0;
    f.log2MinCb = pick(3, 5);
    f.diffCtb = pick(f.log2MinCb == 3 ? 1 : 0, 6 - f.log2MinCb);
    f.log2MinTb = pick(2, f.log2MinCb - 1);
    f.diffTb = pick(0, std::min(f.log2MinCb + f.diffCtb, 5) - f.log2MinTb);
    f.width = pick(2, 64) << f.log2MinCb;
    f.height = pick(2, 64) << f.log2MinCb;
    if (pick(0, 1)) f.conf[0] = 0, f.conf[1] = pick(0, 3), f.conf[2] = pick(0, 1), f.conf[3] = pick(0, 3);
    f.depthLuma = pick(8, 16), f.depthChroma = pick(8, 16);
    f.log2Poc = pick(4, 16);
    f.allSubLayers = pick(0, 1);
    f.dpb = pick(1, 16), f.reorder = pick(0, f.dpb - 1);
    f.scaling = pick(0, 1), f.pcm = pick(0, 1);
    f.rpsCount = pick(0, 64);
    f.longTerm = pick(-1, 32);
    f.vui = pick(0, 1);
    f.aspectIdc = pick(-1, 16);
    f.fullRange = pick(0, 1), f.prim = pick(-1, 12), f.locTop = pick(-1, 5);
    f.fieldSeq = pick(0, 1), f.frameFieldInfo = pick(0, 1);
    f.display = pick(-1, 4);
    f.timing = pick(0, 1), f.hrd = pick(0, 1);
    f.tick = static_cast<uint32_t>(pick(1, 1000)), f.scale = static_cast<uint32_t>(pick(1, 1 << 30));
    f.rateScale = pick(0, 15), f.rate = static_cast<uint32_t>(pick(0, 1 << 20));
    f.range = pick(0, 1);
    f.seed = static_cast<uint32_t>(rng());
    return f;
}

TEST(H265Sps, RandomParameterSetsReadBack) {
    std::mt19937 rng(265);
    for (int iter = 0; iter < 3000; ++iter) {
        const HevcSpsFields f = RandomHevcSps(rng);
        const std::vector<uint8_t> rbsp = WriteHevcSps(f);
        H265Sps s;
        std::string error;
        ASSERT_TRUE(ParseH265Sps(rbsp.data(), rbsp.size(), s, error)) << iter << ": " << error;
        ASSERT_EQ(error, "") << iter;
        EXPECT_EQ(s.vpsId, f.vps);
        EXPECT_EQ(s.maxSubLayers, f.subLayers);
        EXPECT_EQ(s.ptl.tier, f.tier);
        EXPECT_EQ(s.ptl.profileIdc, f.profile);
        EXPECT_EQ(s.ptl.levelIdc, f.level);
        EXPECT_EQ(s.ptl.compatibility, f.compat);
        EXPECT_EQ(s.ptl.constraints, f.constraints);
        EXPECT_EQ(s.ptl.progressiveSource, f.progressive);
        EXPECT_EQ(s.id, f.id);
        EXPECT_EQ(s.chromaFormatIdc, f.chroma);
        EXPECT_EQ(s.width, f.width);
        EXPECT_EQ(s.height, f.height);
        const int unitX = (f.chroma == 1 || f.chroma == 2) ? 2 : 1, unitY = f.chroma == 1 ? 2 : 1;
        if (f.conf[0] >= 0) {
            EXPECT_EQ(s.Width(), f.width - unitX * f.conf[1]) << iter;
            EXPECT_EQ(s.Height(), f.height - unitY * (f.conf[2] + f.conf[3])) << iter;
        }
        EXPECT_EQ(s.bitDepthLuma * 100 + s.bitDepthChroma, f.depthLuma * 100 + f.depthChroma);
        EXPECT_EQ(s.log2MaxPocLsb, f.log2Poc);
        EXPECT_EQ(s.maxDecPicBuffering, f.dpb);
        EXPECT_EQ(s.maxNumReorder, f.reorder);
        EXPECT_EQ(s.log2Ctb, f.log2MinCb + f.diffCtb);
        EXPECT_EQ(s.numShortTermRps, f.rpsCount);
        EXPECT_EQ(s.vui, f.vui);
        EXPECT_EQ(s.rangeExtension, f.range);
        if (!f.vui) continue;
        EXPECT_EQ(s.video.aspectRatioIdc, f.aspectIdc);
        EXPECT_EQ(s.video.primaries, f.prim >= 0 ? f.prim : 2);
        if (f.prim >= 0) {
            EXPECT_EQ(s.video.fullRange * 1000 + s.video.transfer * 10 + s.video.matrix, f.fullRange * 1000 + 169);
        }
        EXPECT_EQ(s.video.chromaLocTop, f.locTop);
        EXPECT_EQ(s.fieldSeq, f.fieldSeq);
        EXPECT_EQ(s.frameFieldInfo, f.frameFieldInfo);
        EXPECT_EQ(s.display[0], f.display >= 0 ? f.display * unitX : 0);
        EXPECT_EQ(s.timing, f.timing);
        if (f.timing) {
            EXPECT_EQ(uint64_t{s.unitsInTick} << 32 | s.timeScale, uint64_t{f.tick} << 32 | f.scale);
        }
        EXPECT_EQ(s.hrd.nal, f.timing && f.hrd);
        // The first schedule of the highest sub-layer.
        if (f.timing && f.hrd) {
            EXPECT_EQ(s.hrd.bitRate, (int64_t{f.rate} + f.subLayers) << (6 + f.rateScale)) << iter;
        }
    }
}

TEST(H265Sps, BrokenOnesAreRefusedWithTheFieldNamed) {
    struct Row {
        std::function<void(HevcSpsFields&)> change;
        const char* error;
    };
    const std::vector<Row> rows = {
        {[](HevcSpsFields& f) { f.id = 16; }, "sps_seq_parameter_set_id 16 out of range 0..15"},
        {[](HevcSpsFields& f) { f.chroma = 4; }, "chroma_format_idc 4 out of range 0..3"},
        {[](HevcSpsFields& f) { f.width = 16896; }, "pic_width_in_luma_samples 16896 out of range 0..16888"},
        {[](HevcSpsFields& f) { f.width = 0; }, "picture size of 0"},
        {[](HevcSpsFields& f) { f.width = 324; }, "picture size not a multiple of the minimum coding block"},
        {[](HevcSpsFields& f) { f.conf[0] = 80, f.conf[1] = 80; }, "conformance window leaves no picture"},
        {[](HevcSpsFields& f) { f.depthLuma = 17; }, "bit_depth_luma_minus8 9 out of range 0..8"},
        {[](HevcSpsFields& f) { f.dpb = 17; }, "sps_max_dec_pic_buffering_minus1 16 out of range 0..15"},
        {[](HevcSpsFields& f) { f.reorder = 5, f.dpb = 5; }, "sps_max_num_reorder_pics 5 out of range 0..4"},
        {[](HevcSpsFields& f) { f.rpsCount = 65; }, "num_short_term_ref_pic_sets 65 out of range 0..64"},
        {[](HevcSpsFields& f) { f.longTerm = 33; }, "num_long_term_ref_pics_sps 33 out of range 0..32"},
        {[](HevcSpsFields& f) { f.log2MinTb = 3; }, "minimum transform block not smaller than the minimum coding block"},
        {[](HevcSpsFields& f) { f.vui = true, f.locTop = 6; }, "VUI: chroma_sample_loc_type_top_field 6 out of range 0..5"},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        HevcSpsFields f;
        rows[i].change(f);
        const std::vector<uint8_t> rbsp = WriteHevcSps(f);
        H265Sps s;
        std::string error;
        ParseH265Sps(rbsp.data(), rbsp.size(), s, error);
        EXPECT_EQ(error, rows[i].error) << "row " << i;
    }
}

// --- SEI ------------------------------------------------------------------------------

TEST(Sei, MessagesOfBothCodecs) {
    // An H.265 prefix SEI: mastering display (type 137, 24 bytes) and content light level
    // (144, 4 bytes), then the trailing bits.
    std::vector<uint8_t> sei = {0x4E, 0x01, 137, 24};
    const uint16_t md[10] = {13250, 34500, 7500, 3000, 34000, 16000, 15635, 16450};
    for (int i = 0; i < 8; ++i) sei.push_back(static_cast<uint8_t>(md[i] >> 8)), sei.push_back(static_cast<uint8_t>(md[i]));
    for (uint8_t b : {0x00, 0x98, 0x96, 0x80, 0x00, 0x00, 0x00, 0x01}) sei.push_back(b);
    for (uint8_t b : {144, 4, 0x03, 0xE8, 0x01, 0x90, 0x80}) sei.push_back(b);
    SeiFacts facts;
    std::string error;
    ASSERT_TRUE(ParseH265Sei(sei.data(), sei.size(), false, nullptr, facts, error)) << error;
    EXPECT_TRUE(facts.mastering.present);
    EXPECT_EQ(facts.mastering.x[2], 34000);
    EXPECT_EQ(facts.mastering.whiteY, 16450);
    EXPECT_EQ(facts.mastering.maxLuminance, 10000000u);
    EXPECT_EQ(facts.mastering.minLuminance, 1u);
    EXPECT_EQ(facts.contentLight.maxContent, 1000);
    EXPECT_EQ(facts.contentLight.maxAverage, 400);

    // A payload type past 255 and a message that runs past the unit.
    const std::vector<uint8_t> big = {0x06, 0xFF, 0x05, 0x01, 0xAA, 0x80};
    facts = SeiFacts();
    EXPECT_TRUE(ParseH264Sei(big.data(), big.size(), false, nullptr, facts, error));
    const std::vector<uint8_t> cut = {0x06, 137, 24, 0x01, 0x02, 0x80};
    EXPECT_FALSE(ParseH264Sei(cut.data(), cut.size(), false, nullptr, facts, error));
    EXPECT_EQ(error, "SEI message of type 137 runs past the end of the unit");
    // Cut by the tool's own limit on what it keeps of a unit: not the stream's fault.
    EXPECT_TRUE(ParseH264Sei(cut.data(), cut.size(), true, nullptr, facts, error));
    // A content light level message two bytes short.
    const std::vector<uint8_t> shortCll = {0x06, 144, 2, 0x03, 0xE8, 0x80};
    EXPECT_FALSE(ParseH264Sei(shortCll.data(), shortCll.size(), false, nullptr, facts, error));
    EXPECT_EQ(error, "content light level: max_pic_average_light_level cut off by the end of the data");
}

TEST(Sei, H264PictureTimingFollowsTheSps) {
    // With NAL HRD delays of 16 and 10 bits before pic_struct, as the SPS writer sets them.
    SpsFields f;
    f.vui = true, f.nalHrd = true, f.cpb = {{1, 1}}, f.picStruct = true;
    const std::vector<uint8_t> rbsp = WriteSps(f);
    H264Sps sps;
    std::string error;
    ASSERT_TRUE(ParseH264Sps(rbsp.data(), rbsp.size(), sps, error)) << error;
    SyntaxWriter w;
    w.U(0x06, 8);
    w.U(1, 8), w.U(4, 8);            // pic_timing, 4 bytes
    w.U(0xABCD, 16), w.U(0x3FF, 10);  // cpb_removal_delay, dpb_output_delay
    w.U(4, 4);                       // pic_struct: bottom field, top field
    w.U(0, 2);
    w.Trailing();
    SeiFacts facts;
    ASSERT_TRUE(ParseH264Sei(w.Bytes().data(), w.Bytes().size(), false, &sps, facts, error)) << error;
    EXPECT_EQ(facts.picStruct, 4);
}

// --- MPEG-1/2 --------------------------------------------------------------------------

TEST(Mpeg2, SequenceHeaderAndExtensions) {
    struct Row {
        int width, height, aspect, rateCode, profileLevel, chroma, n, d;
        const char* profile;
        const char* level;
    } rows[] = {
        {720, 576, 3, 3, 0x48, 1, 0, 0, "Main", "Main"},
        {1920, 1080, 3, 4, 0x44, 1, 0, 0, "Main", "High"},
        {720, 608, 2, 3, 0x85, 2, 0, 0, "4:2:2", "Main"},
        {4096 + 64, 2160, 1, 8, 0x14, 1, 1, 0, "High", "High"},
        // Sizes whose low 12 bits are 0: the sequence header alone says 0.
        {4096, 2160, 1, 8, 0x14, 1, 0, 0, "High", "High"},
        {8192, 64, 1, 3, 0x14, 2, 0, 0, "High", "High"},
        {64, 4096, 1, 3, 0x14, 1, 0, 0, "High", "High"},
        {352, 288, 2, 1, 0x8B, 1, 0, 0, "Multiview", "High 1440"},
        {176, 144, 1, 5, 0x5A, 1, 0, 1, "Simple", "Low"},
    };
    for (const Row& r : rows) {
        SyntaxWriter w;
        w.U(r.width & 0xFFF, 12), w.U(r.height & 0xFFF, 12), w.U(r.aspect, 4), w.U(r.rateCode, 4);
        w.U(20000, 18), w.Flag(true), w.U(112, 10), w.Flag(false), w.Flag(false), w.Flag(false);
        Mpeg2Sequence s;
        std::string error;
        ASSERT_TRUE(ParseMpegSequenceHeader(w.Bytes().data(), w.Bytes().size(), s, error)) << error;
        SyntaxWriter x;
        x.U(1, 4), x.U(r.profileLevel, 8), x.Flag(true), x.U(r.chroma, 2), x.U(r.width >> 12, 2), x.U(r.height >> 12, 2);
        x.U(1, 12), x.Flag(true), x.U(2, 8), x.Flag(false), x.U(r.n, 2), x.U(r.d, 5);
        Mpeg2Picture pic;
        int id = 0;
        ASSERT_TRUE(ParseMpegExtension(x.Bytes().data(), x.Bytes().size(), s, pic, id, error)) << error;
        EXPECT_EQ(id, 1);
        EXPECT_EQ(s.width, r.width);
        EXPECT_EQ(s.height, r.height);
        EXPECT_EQ(s.chromaFormat, r.chroma);
        EXPECT_EQ(s.bitRate, 20000 + (int64_t{1} << 18));
        EXPECT_EQ(s.vbvSize, 112 + (2 << 10));
        EXPECT_EQ(Mpeg2ProfileName(s.profileLevel), r.profile);
        EXPECT_EQ(Mpeg2LevelName(s.profileLevel), r.level);
    }
    Mpeg2Sequence s;
    std::string error;
    const uint8_t badRate[] = {0x14, 0x00, 0xF0, 0x1E, 0xFF, 0xFF, 0xE0, 0x18};
    EXPECT_FALSE(ParseMpegSequenceHeader(badRate, sizeof badRate, s, error));
    EXPECT_EQ(error, "frame_rate_code 14 is reserved");
    const uint8_t noMarker[] = {0x14, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xC0, 0x18};
    EXPECT_FALSE(ParseMpegSequenceHeader(noMarker, sizeof noMarker, s, error));
    EXPECT_EQ(error, "marker_bit has the wrong value");
}

TEST(Mpeg2, PictureCodingExtension) {
    SyntaxWriter x;
    x.U(8, 4), x.U(0x1234, 16), x.U(1, 2), x.U(2, 2);  // bottom field picture
    x.Flag(true), x.U(0, 5), x.Flag(true), x.Flag(false), x.Flag(false), x.Flag(false);
    Mpeg2Sequence s;
    Mpeg2Picture pic;
    int id = 0;
    std::string error;
    ASSERT_TRUE(ParseMpegExtension(x.Bytes().data(), x.Bytes().size(), s, pic, id, error)) << error;
    EXPECT_EQ(id, 8);
    EXPECT_EQ(pic.structure, 2);
    EXPECT_TRUE(pic.topFieldFirst);
    EXPECT_TRUE(pic.repeatFirstField);
    EXPECT_FALSE(pic.progressiveFrame);
    const uint8_t dPicture[] = {0x00, 0x20, 0x00, 0x00};  // picture_coding_type 4
    EXPECT_TRUE(ParseMpegPictureHeader(dPicture, sizeof dPicture, false, pic, error));
    EXPECT_FALSE(ParseMpegPictureHeader(dPicture, sizeof dPicture, true, pic, error));
    EXPECT_EQ(error, "picture_coding_type 4 is forbidden");
}

}  // namespace

// The audio header parsers and AudioAnalyser against headers written field by field. Names and
// values are ffprobe 5.1's (checked on files ffmpeg made wherever its encoders could make them),
// frame lengths come from the standards' tables and formulas, no parser may look past the bytes
// it is given, and the analyser's model must not depend on how a stream is cut into pieces.

#include "SyntaxWriter.h"
#include "codec/AudioAnalyser.h"
#include "codec/AudioHeaders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sstream>

namespace {

using qvtest::SyntaxWriter;
using namespace qvutil;
using Bytes = std::vector<uint8_t>;
using Field = std::pair<uint64_t, int>;  // value, width in bits

Bytes Pad(SyntaxWriter& w, size_t size) {
    w.Align();
    Bytes b = w.Bytes();
    if (b.size() < size) b.resize(size, 0);
    return b;
}

Bytes Bits(std::initializer_list<Field> fields, size_t size = 0) {
    SyntaxWriter w;
    for (const Field& f : fields)
        w.U(f.first, f.second);
    return Pad(w, size);
}

Bytes Cat(std::initializer_list<Bytes> pieces) {
    Bytes out;
    for (const Bytes& p : pieces)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Str(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes B(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v)
        b.push_back(static_cast<uint8_t>(x));
    return b;
}
Bytes Le(uint64_t v, int n) {
    Bytes b;
    for (int i = 0; i < n; ++i)
        b.push_back(uint8_t(v >> 8 * i));
    return b;
}
Bytes Be(uint64_t v, int n) {
    Bytes b;
    for (int i = n - 1; i >= 0; --i)
        b.push_back(uint8_t(v >> 8 * i));
    return b;
}
Bytes Head(const Bytes& b, size_t n) {
    return Bytes(b.begin(), b.begin() + std::min(n, b.size()));
}
Bytes Repeat(const Bytes& b, int n) {
    Bytes out;
    while (n--)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

int Popcount(uint64_t m) {
    int n = 0;
    for (; m; m &= m - 1)
        ++n;
    return n;
}

// codec|profile|rate|layout as ffprobe names it|samples per frame; channels where they
// disagree with the layout.
std::string Sum(const AudioFacts& f) {
    std::string s = f.codecName + "|" + f.profile + "|" + std::to_string(f.sampleRate) + "|" +
                    f.Layout() + "|" + std::to_string(f.frameSamples);
    if (f.layout && Popcount(f.layout) != f.channels)
        s += "|channels " + std::to_string(f.channels);
    return s;
}

// A '*' field of want matches anything.
bool Matches(const std::string& want, const std::string& got) {
    std::istringstream a(want), b(got);
    std::string x, y;
    while (std::getline(a, x, '|')) {
        if (!std::getline(b, y, '|') || (x != "*" && x != y)) return false;
    }
    return !std::getline(b, y, '|');
}

// Any parser's whole answer, for comparing runs.
using Parser = std::function<std::string(const uint8_t*, size_t)>;
template <class F> Parser Framer(F parse) {
    return [parse](const uint8_t* p, size_t n) {
        AudioFacts f;
        const int64_t r = parse(p, n, &f);
        return std::to_string(r) + " " + Sum(f) + " " + std::to_string(f.bitRate) + f.sampleFmt;
    };
}

// Every prefix of a header, followed by zeros or by ones it was not given: the answers must agree.
void ExpectNoOverread(const Bytes& b, const Parser& parse, const std::string& what) {
    for (size_t k = 0; k <= b.size(); ++k) {
        Bytes zeros(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(k)), ones = zeros;
        zeros.resize(k + 64, 0x00);
        ones.resize(k + 64, 0xFF);
        EXPECT_EQ(parse(zeros.data(), k), parse(ones.data(), k))
            << what << ", first " << k << " bytes";
    }
}

// --- AAC ------------------------------------------------------------------------------

const int kAacRate[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                          22050, 16000, 12000, 11025, 8000,  7350};

struct Asc {
    int aot = 2, sfi = 3, config = 2;
    int ext = -1, core = 2;  // aot 5 or 29: the extension's rate index, then the core's object type
    bool f960 = false;
    int escRate = 0;  // with sfi 15
    int sync = 0;     // 1: 0x2B7, SBR and its rate after the core's config; 2: then 0x548 and PS
    bool sbr = true, ps = true;
    int syncSfi = 3;
};

// 5.1 by a program_config_element: front SCE and CPE, back CPE, one LFE; byte-aligned comment.
void Pce(SyntaxWriter& w, int sfi) {
    for (Field f : std::initializer_list<Field>{{0, 4},
                                                {1, 2},
                                                {sfi, 4},
                                                {2, 4},
                                                {0, 4},
                                                {1, 4},
                                                {1, 2},
                                                {0, 3},
                                                {0, 4},
                                                {0, 3},
                                                {0, 5},
                                                {1 << 4, 5},
                                                {1 << 4 | 1, 5},
                                                {0, 4}})
        w.U(f.first, f.second);
    w.Align();
    w.U(0, 8);
}

void WriteAsc(SyntaxWriter& w, const Asc& a) {
    auto aot = [&](int t) {
        if (t >= 32)
            w.U(31, 5), w.U(t - 32, 6);
        else
            w.U(t, 5);
    };
    aot(a.aot);
    w.U(a.sfi, 4);
    if (a.sfi == 15) w.U(a.escRate, 24);
    w.U(a.config, 4);
    int core = a.aot;
    if (a.aot == 5 || a.aot == 29) w.U(a.ext, 4), aot(a.core), core = a.core;
    if (core >= 1 && core <= 4) {
        w.Flag(a.f960), w.Flag(false), w.Flag(false);
        if (a.config == 0) Pce(w, a.sfi);
    }
    if (a.sync) {
        w.U(0x2B7, 11), w.U(5, 5), w.Flag(a.sbr);
        if (a.sbr) w.U(a.syncSfi, 4);
        if (a.sync == 2) w.U(0x548, 11), w.Flag(a.ps);
    }
}

Bytes Build(const Asc& a) {
    SyntaxWriter w;
    WriteAsc(w, a);
    return Pad(w, 0);
}

struct AscRow {
    Asc asc;
    std::string want;
    int channels = 0;
};

std::vector<AscRow> AscRows() {
    std::vector<AscRow> rows;
    for (int sfi = 0; sfi < 13; ++sfi) {
        Asc a;
        a.sfi = sfi;
        rows.push_back({a, "aac|LC|" + std::to_string(kAacRate[sfi]) + "|stereo|1024"});
    }
    const char* layouts[8] = {
        "",    "mono", "stereo", "3.0", "4.0",
        "5.0", "5.1",  "7.1"};  // 7: ffprobe on ffmpeg's own 7.1 encode (channel_configuration 7)
    for (int c = 1; c <= 7; ++c) {
        Asc a;
        a.config = c;
        rows.push_back({a, std::string("aac|LC|48000|") + layouts[c] + "|1024"});
    }
    auto row = [&](std::function<void(Asc&)> set, const char* want, int channels = 0) {
        Asc a;
        set(a);
        rows.push_back({a, want, channels});
    };
    row([](Asc& a) { a.aot = 1; }, "aac|Main|48000|stereo|1024");
    row(
        [](Asc& a) {
            a.aot = 4;
            a.config = 1;
        },
        "aac|LTP|48000|mono|1024");
    row([](Asc& a) { a.aot = 5, a.sfi = 6, a.ext = 3; }, "aac|HE-AAC|48000|stereo|2048");
    row([](Asc& a) { a.aot = 5, a.sfi = 8, a.ext = 5, a.config = 1; },
        "aac|HE-AAC|32000|mono|2048");
    row([](Asc& a) { a.aot = 29, a.sfi = 6, a.ext = 3, a.config = 1; },
        "aac|HE-AACv2|48000|stereo|2048");
    row([](Asc& a) { a.aot = 5, a.sfi = 6, a.ext = 3, a.f960 = true; },
        "aac|HE-AAC|48000|stereo|1920");
    row([](Asc& a) { a.sfi = 6, a.sync = 1; }, "aac|HE-AAC|48000|stereo|2048");
    row([](Asc& a) { a.sfi = 7, a.sync = 1, a.syncSfi = 4; }, "aac|HE-AAC|44100|stereo|2048");
    row([](Asc& a) { a.sfi = 6, a.sync = 1, a.sbr = false; }, "aac|LC|24000|stereo|1024");
    row([](Asc& a) { a.sfi = 6, a.config = 1, a.sync = 2; }, "aac|HE-AACv2|48000|stereo|2048");
    row([](Asc& a) { a.sfi = 6, a.config = 1, a.sync = 2, a.ps = false; },
        "aac|HE-AAC|48000|mono|2048");
    row([](Asc& a) { a.f960 = true; }, "aac|LC|48000|stereo|960");
    row([](Asc& a) { a.sfi = 15, a.escRate = 37800; }, "aac|LC|37800|stereo|1024");
    row([](Asc& a) { a.config = 0; }, "aac|LC|48000|*|1024", 6);
    // The sync extension follows the PCE's byte alignment and comment.
    row([](Asc& a) { a.sfi = 6, a.config = 0, a.sync = 1; }, "aac|HE-AAC|48000|*|2048", 6);
    return rows;
}

TEST(AudioAsc, Rows) {
    const auto rows = AscRows();
    for (size_t i = 0; i < rows.size(); ++i) {
        const Bytes b = Build(rows[i].asc);
        AudioFacts f;
        ASSERT_TRUE(ParseAudioSpecificConfig(b.data(), b.size(), &f)) << "row " << i;
        EXPECT_PRED2(Matches, rows[i].want, Sum(f)) << "row " << i;
        if (rows[i].channels) {
            EXPECT_EQ(f.channels, rows[i].channels) << "row " << i;
        }
        EXPECT_EQ(f.sampleFmt, "fltp");
        auto asc = [](const uint8_t* p, size_t n, AudioFacts* g) {
            return int64_t{ParseAudioSpecificConfig(p, n, g)};
        };
        ExpectNoOverread(b, Framer(asc), "ASC row " + std::to_string(i));
    }
    const Bytes refused[] = {Bits({{0, 5}, {3, 4}, {2, 4}, {0, 3}}),
                             Bits({{2, 5}, {13, 4}, {2, 4}, {0, 3}}),
                             Bits({{2, 5}, {14, 4}, {2, 4}, {0, 3}}), Bytes{0x12}};
    for (const Bytes& b : refused) {
        AudioFacts f;
        EXPECT_FALSE(ParseAudioSpecificConfig(b.data(), b.size(), &f)) << int{b[0]};
    }
}

// The ADTS header for a config reads back as the core's object type, rate and channels.
TEST(AudioAsc, AdtsHeaderForReadsBack) {
    for (const AscRow& r : AscRows()) {
        const Bytes asc = Build(r.asc);
        AudioFacts a, h;
        ASSERT_TRUE(ParseAudioSpecificConfig(asc.data(), asc.size(), &a));
        uint8_t out[7];
        const bool made = AdtsHeaderFor(asc.data(), asc.size(), 300, out);
        if (r.asc.sfi == 15) {
            EXPECT_FALSE(made);
            continue;
        }
        ASSERT_TRUE(made) << r.want;
        EXPECT_EQ(ParseAdts(out, 7, &h), 307) << r.want;
        const int core = r.asc.aot == 5 || r.asc.aot == 29 ? r.asc.core : r.asc.aot;
        EXPECT_EQ(h.profile, core == 1 ? "Main" : core == 4 ? "LTP" : "LC") << r.want;
        EXPECT_EQ(h.sampleRate, kAacRate[r.asc.sfi]) << r.want;
        if (r.asc.config && !(r.asc.aot == 29 || r.asc.sync == 2)) {
            EXPECT_EQ(h.layout, a.layout) << r.want;
        }
    }
}

Bytes Adts(int profile, int sfi, int cfg, int len, int blocks = 1, int id = 0, int noCrc = 1) {
    return Bits({{0xFFF, 12},
                 {id, 1},
                 {0, 2},
                 {noCrc, 1},
                 {profile, 2},
                 {sfi, 4},
                 {0, 1},
                 {cfg, 3},
                 {0, 4},
                 {len, 13},
                 {0x7FF, 11},
                 {(blocks - 1), 2}});
}

TEST(AudioAdts, Rows) {
    struct Row {
        int profile, sfi, cfg, len, blocks, id, noCrc;
        const char* want;
    } rows[] = {
        {1, 4, 2, 371, 1, 0, 1, "aac|LC|44100|stereo|1024"},
        {0, 3, 1, 7, 1, 0, 1, "aac|Main|48000|mono|1024"},
        {2, 11, 6, 8191, 1, 0, 1, "aac|SSR|8000|5.1|1024"},
        {3, 12, 3, 500, 4, 0, 1, "aac|LTP|7350|3.0|4096"},
        {1, 0, 5, 1500, 2, 1, 0, "aac|LC|96000|5.0|2048"},
        {1, 8, 4, 64, 3, 1, 1, "aac|LC|16000|4.0|3072"},
        {1, 3, 7, 600, 1, 0, 1,
         "aac|LC|48000|7.1|1024"},  // ffprobe: "7.1", 0x63F, for channel_configuration 7
    };
    for (const Row& r : rows) {
        const Bytes b = Adts(r.profile, r.sfi, r.cfg, r.len, r.blocks, r.id, r.noCrc);
        AudioFacts f;
        EXPECT_EQ(ParseAdts(b.data(), b.size(), &f), r.len) << r.want;
        EXPECT_EQ(Sum(f), r.want);
        EXPECT_EQ(f.bitRate, int64_t{r.len} * 8 * kAacRate[r.sfi] / (1024 * r.blocks)) << r.want;
        ExpectNoOverread(b, Framer(ParseAdts), r.want);
    }
    // Sync-word lookalikes: MPEG audio layers, reserved rates, a length shorter than the header.
    const Bytes lookalikes[] = {Bits({{0xFFF3, 16}}, 7), Bits({{0xFFF5, 16}}, 7),
                                Bits({{0xFFF7, 16}}, 7), Bits({{0xFFE1, 16}}, 7),
                                Bits({{0xFEF1, 16}}, 7), Adts(1, 13, 2, 100),
                                Adts(1, 14, 2, 100),     Adts(1, 15, 2, 100),
                                Adts(1, 3, 2, 6),        Adts(1, 3, 2, 0)};
    for (const Bytes& b : lookalikes) {
        AudioFacts f;
        EXPECT_EQ(ParseAdts(b.data(), b.size(), &f), 0) << std::hex << (b[1] | b[2] << 8);
    }
    AudioFacts f;
    EXPECT_EQ(ParseAdts(Adts(1, 3, 2, 100).data(), 6, &f), -1);
}

// --- MPEG audio ------------------------------------------------------------------------

TEST(AudioMpeg, FrameLengthsFromTheFormula) {
    // kbit/s by [MPEG-1 ? 0 : 1][layer - 1][bitrate_index]
    static const int kKbps[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    int rows = 0;
    for (int version : {3, 2, 0})
        for (int layer = 1; layer <= 3; ++layer)
            for (int index = 1; index <= 14; ++index)
                for (int sr = 0; sr < 3; ++sr)
                    for (int pad = 0; pad < 2; ++pad) {
                        const bool mpeg1 = version == 3;
                        const int rate = (sr == 0   ? 44100
                                          : sr == 1 ? 48000
                                                    : 32000) /
                                         (mpeg1          ? 1
                                          : version == 2 ? 2
                                                         : 4);
                        const int64_t br = int64_t{kKbps[mpeg1 ? 0 : 1][layer - 1][index]} * 1000;
                        const int samples = layer == 1 ? 384 : layer == 2 || mpeg1 ? 1152 : 576;
                        const int slot = layer == 1 ? 4 : 1;  // bytes; padding adds one slot
                        const int64_t want = (samples / 8 / slot * br / rate + pad) * slot;
                        const int mode = index % 4;
                        const Bytes b = Bits({{0x7FF, 11},
                                              {version, 2},
                                              {(4 - layer), 2},
                                              {1, 1},
                                              {index, 4},
                                              {sr, 2},
                                              {pad, 1},
                                              {0, 1},
                                              {mode, 2},
                                              {0, 6}});
                        AudioFacts f;
                        ASSERT_EQ(ParseMpegAudio(b.data(), 4, &f), want)
                            << version << " L" << layer << " " << index << " " << sr << " " << pad;
                        EXPECT_EQ(Sum(f), std::string(layer == 1   ? "mp1"
                                                      : layer == 2 ? "mp2"
                                                                   : "mp3") +
                                              "||" + std::to_string(rate) + "|" +
                                              (mode == 3 ? "mono" : "stereo") + "|" +
                                              std::to_string(samples));
                        EXPECT_EQ(f.bitRate, br);
                        ++rows;
                    }
    EXPECT_EQ(rows, 756);
    AudioFacts f;
    const Bytes free = Bits({{0xFFFD, 16}, {0x04, 8}, {0, 8}});  // MPEG-1 layer II, bitrate_index 0
    EXPECT_EQ(ParseMpegAudio(free.data(), 4, &f), -2);
    EXPECT_EQ(f.codecName, "mp2");
    // bitrate_index 15, sampling_frequency 3, version 01, layer 00
    for (const Bytes& b : {B({0xFF, 0xFD, 0xF4, 0}), B({0xFF, 0xFD, 0x9C, 0}),
                           B({0xFF, 0xED, 0x94, 0}), B({0xFF, 0xF9, 0x94, 0})})
        EXPECT_EQ(ParseMpegAudio(b.data(), 4, &f), 0) << std::hex << (b[1] << 8 | b[2]);
    EXPECT_EQ(ParseMpegAudio(free.data(), 3, &f), -1);
}

// --- AC-3 and E-AC-3 -------------------------------------------------------------------

Bytes Ac3(int fscod, int frmsizecod, int acmod, int lfe, int bsid = 8) {
    SyntaxWriter w;
    w.U(0x0B77, 16), w.U(0, 16), w.U(fscod, 2), w.U(frmsizecod, 6), w.U(bsid, 5), w.U(0, 3),
        w.U(acmod, 3);
    if ((acmod & 1) && acmod != 1) w.U(0, 2);
    if (acmod & 4) w.U(0, 2);
    if (acmod == 2) w.U(0, 2);
    w.U(lfe, 1), w.U(27, 5);
    return Pad(w, 16);
}

const char* const kAc3Layouts[8][2] = {{"stereo", "2.1"},
                                       {"mono", "2 channels (FC+LFE)"},
                                       {"stereo", "2.1"},
                                       {"3.0", "3.1"},
                                       {"3.0(back)", "4 channels (FL+FR+LFE+BC)"},
                                       {"4.0", "4.1"},
                                       {"quad(side)", "5 channels (FL+FR+LFE+SL+SR)"},
                                       {"5.0(side)", "5.1(side)"}};

TEST(AudioAc3, LayoutsRatesAndFrameSizes) {
    // 16-bit words at 44.1 kHz by frmsizecod (the standard's frame size table); 48 and 32 kHz
    // take 2 and 3 words per kbit/s.
    static const int k441[38] = {69,  70,  87,   88,   104,  105,  121,  122, 139, 140,
                                 174, 175, 208,  209,  243,  244,  278,  279, 348, 349,
                                 417, 418, 487,  488,  557,  558,  696,  697, 835, 836,
                                 975, 976, 1114, 1115, 1253, 1254, 1393, 1394};
    static const int kKbps[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                  192, 224, 256, 320, 384, 448, 512, 576, 640};
    for (int code = 0; code < 38; ++code)
        for (int fscod = 0; fscod < 3; ++fscod) {
            const int kbps = kKbps[code / 2];
            const int words = fscod == 0 ? 2 * kbps : fscod == 1 ? k441[code] : 3 * kbps;
            const int acmod = code % 8, lfe = code / 8 % 2;
            const Bytes b = Ac3(fscod, code, acmod, lfe);
            AudioFacts f, d;
            ASSERT_EQ(ParseAc3(b.data(), b.size(), &f), 2 * words) << code << " " << fscod;
            EXPECT_EQ(Sum(f), std::string("ac3||") +
                                  (fscod == 0   ? "48000"
                                   : fscod == 1 ? "44100"
                                                : "32000") +
                                  "|" + kAc3Layouts[acmod][lfe] + "|1536");
            EXPECT_EQ(f.bitRate, kbps * 1000);
            // dac3 states the same fields.
            const Bytes dac3 =
                Bits({{fscod, 2}, {8, 5}, {0, 3}, {acmod, 3}, {lfe, 1}, {(code / 2), 5}, {0, 5}});
            ASSERT_TRUE(ParseDac3(dac3.data(), dac3.size(), &d));
            EXPECT_EQ(Sum(d) + std::to_string(d.bitRate), Sum(f) + std::to_string(f.bitRate));
        }
    for (int acmod = 0; acmod < 8; ++acmod)
        for (int lfe = 0; lfe < 2; ++lfe) {
            AudioFacts f;
            const Bytes b = Ac3(0, 18, acmod, lfe);
            ParseAc3(b.data(), b.size(), &f);
            EXPECT_EQ(f.Layout(), kAc3Layouts[acmod][lfe]) << acmod << lfe;
            ExpectNoOverread(b, Framer(ParseAc3), "ac3 acmod " + std::to_string(acmod));
        }
    // bsid 9 and 10: half and quarter rate, same frame size.
    for (int bsid : {9, 10}) {
        AudioFacts f;
        const Bytes b = Ac3(0, 28, 2, 0, bsid);
        EXPECT_EQ(ParseAc3(b.data(), b.size(), &f), 1536);
        EXPECT_EQ(f.sampleRate, 48000 >> (bsid - 8));
        EXPECT_EQ(f.bitRate, 384000 >> (bsid - 8));
    }
    AudioFacts f;
    for (const Bytes& b :
         {Ac3(3, 0, 2, 0), Ac3(0, 38, 2, 0), Ac3(0, 0, 2, 0, 17), Bits({{0x0B78, 16}}, 16)})
        EXPECT_EQ(ParseAc3(b.data(), b.size(), &f), 0);
}

// strmtyp 1 with chanmap, or fscod 3 with fscod2 in blkscod's place.
Bytes Eac3(int strmtyp, int words, int fscod, int blkscod, int acmod, int lfe, int chanmap = -1,
           int sub = 0) {
    SyntaxWriter w;
    w.U(0x0B77, 16), w.U(strmtyp, 2), w.U(sub, 3), w.U(words - 1, 11), w.U(fscod, 2),
        w.U(blkscod, 2);
    w.U(acmod, 3), w.U(lfe, 1), w.U(16, 5), w.U(27, 5), w.U(0, 1);
    if (acmod == 0) w.U(27, 5), w.U(0, 1);
    if (strmtyp == 1) {
        w.Flag(chanmap >= 0);
        if (chanmap >= 0) w.U(chanmap, 16);
    }
    return Pad(w, static_cast<size_t>(words) * 2);
}

TEST(AudioEac3, HeadersAndChanmap) {
    struct Row {
        Bytes b;
        int64_t len;
        const char* want;
        int64_t bitRate;
    } rows[] = {
        {Eac3(0, 768, 0, 3, 7, 1), 1536, "eac3||48000|5.1(side)|1536", 384000},
        {Eac3(0, 96, 0, 0, 2, 0), 192, "eac3||48000|stereo|256", 288000},
        {Eac3(0, 200, 1, 2, 1, 0), 400, "eac3||44100|mono|768", 183750},
        {Eac3(0, 300, 3, 1, 0, 1), 600, "eac3||22050|2.1|1536", 68906},
        {Eac3(2, 300, 0, 3, 2, 0), 600, "eac3||48000|stereo|1536", 150000},
    };
    for (const Row& r : rows) {
        AudioFacts f;
        EXPECT_EQ(ParseAc3(r.b.data(), r.b.size(), &f), r.len) << r.want;
        EXPECT_EQ(Sum(f), r.want);
        EXPECT_EQ(f.bitRate, r.bitRate) << r.want;
        ExpectNoOverread(Head(r.b, 32), Framer(ParseAc3), r.want);
    }
    AudioFacts f;
    for (const Bytes& b :
         {Eac3(3, 300, 0, 3, 2, 0), Eac3(0, 300, 3, 3, 2, 0)})  // strmtyp 3, fscod2 3
        EXPECT_EQ(ParseAc3(b.data(), b.size(), &f), 0);
    // A dependent substream's channels by chanmap bit, most significant first, where ffmpeg's
    // E-AC-3 decoder places them: L C R Ls Rs, Lc/Rc, Lrs/Rrs, Cs, then TC, SDL+SDR, WL+WR,
    // TFL+TFR, TFC, TBL+TBR, LFE2, LFE.
    static const uint64_t kMap[16] = {
        ch::FL,          ch::FC,  ch::FR,      ch::SL,      ch::SR,      ch::FLC | ch::FRC,
        ch::BL | ch::BR, ch::BC,  0x800,       0x600000000, 0x180000000, 0x5000,
        0x2000,          0x28000, 0x800000000, ch::LFE};
    for (int bit = 0; bit < 16; ++bit) {
        const Bytes b = Eac3(1, 200, 0, 3, 2, 0, 1 << (15 - bit));
        EXPECT_EQ(ParseAc3(b.data(), b.size(), &f), 400);
        EXPECT_TRUE(f.dependent);
        EXPECT_EQ(f.layout, kMap[bit])
            << "chanmap bit " << bit << ": " << f.Layout() << " for " << LayoutName(kMap[bit], 0);
    }
    // data_rate 640, fscod 0, bsid 16, acmod 7, lfeon 1, no dependent substreams
    const Bytes dec3 =
        Bits({{640, 13}, {0, 3}, {0, 2}, {16, 5}, {0, 5}, {7, 3}, {1, 1}, {0, 3}, {0, 4}, {0, 1}});
    ASSERT_TRUE(ParseDec3(dec3.data(), dec3.size(), &f));
    EXPECT_EQ(Sum(f) + " " + std::to_string(f.bitRate), "eac3||48000|5.1(side)|1536 640000");
}

// --- DTS -------------------------------------------------------------------------------

Bytes DtsCore(int nblks, int fsize, int amode, int sfreq, int rate, int lff, int extId = 0,
              int ext = 0) {
    return Bits({{0x7FFE8001, 32},
                 {1, 1},
                 {31, 5},
                 {0, 1},
                 {nblks, 7},
                 {fsize, 14},
                 {amode, 6},
                 {sfreq, 4},
                 {rate, 5},
                 {0, 5},
                 {extId, 3},
                 {ext, 1},
                 {0, 1},
                 {lff, 2}},
                static_cast<size_t>(fsize) + 1);
}

// An extension substream whose first asset begins with sync (0: none).
Bytes DtsSub(int size, uint32_t sync, int header = 16) {
    Bytes b = Bits({{0x64582025, 32}, {0, 8}, {0, 2}, {0, 1}, {(header - 1), 8}, {(size - 1), 16}},
                   static_cast<size_t>(size));
    for (int i = 0; i < 4 && sync; ++i)
        b[static_cast<size_t>(header + i)] = static_cast<uint8_t>(sync >> (24 - 8 * i));
    return b;
}
constexpr uint32_t kXll = 0x41A29547, kLbr = 0x0A801921;

TEST(AudioDts, CoreFieldsAndSubstreams) {
    const char* const layouts[10][2] = {{"mono", "2 channels (FC+LFE)"},
                                        {"stereo", "2.1"},
                                        {"stereo", "2.1"},
                                        {"stereo", "2.1"},
                                        {"stereo", "2.1"},
                                        {"3.0", "3.1"},
                                        {"3.0(back)", "4 channels (FL+FR+LFE+BC)"},
                                        {"4.0", "4.1"},
                                        {"quad(side)", "5 channels (FL+FR+LFE+SL+SR)"},
                                        {"5.0(side)", "5.1(side)"}};
    for (int amode = 0; amode < 10; ++amode)
        for (int lff = 0; lff < 3; ++lff) {
            AudioFacts f;
            const Bytes b = DtsCore(15, 1023, amode, 13, 15, lff);
            EXPECT_EQ(ParseDts(b.data(), b.size(), &f), 1024);
            EXPECT_EQ(Sum(f), std::string("dts|DTS|48000|") + layouts[amode][lff > 0] + "|512")
                << amode << " " << lff;
        }
    static const int kRates[16] = {0,     8000, 16000, 32000, 0,     0,     11025, 22050,
                                   44100, 0,    0,     12000, 24000, 48000, 0,     0};
    for (int sfreq = 0; sfreq < 16; ++sfreq) {
        AudioFacts f;
        const Bytes b = DtsCore(7, 2047, 2, sfreq, 8, 0);
        EXPECT_EQ(ParseDts(b.data(), b.size(), &f), kRates[sfreq] ? 2048 : 0) << sfreq;
        if (kRates[sfreq]) {
            EXPECT_EQ(f.sampleRate * 1000 + f.frameSamples, kRates[sfreq] * 1000 + 256) << sfreq;
        }
    }
    // RATE as ffprobe reports it: RATE patched into the frames of ffmpeg's own DTS encode.
    static const int64_t kBits[32] = {32000,   56000,   64000,   96000,   112000,  128000,  192000,
                                      224000,  256000,  320000,  384000,  448000,  512000,  576000,
                                      640000,  768000,  896000,  1024000, 1152000, 1280000, 1344000,
                                      1408000, 1411200, 1472000, 1536000, 1920000, 2048000, 3072000,
                                      3840000, 0,       0,       0};
    for (int rate = 0; rate < 32; ++rate) {
        AudioFacts f;
        const Bytes b = DtsCore(15, 1023, 9, 13, rate, 1);
        ParseDts(b.data(), b.size(), &f);
        EXPECT_EQ(f.bitRate, kBits[rate]) << "RATE " << rate;
    }
    struct Row {
        Bytes b;
        int64_t len;
        const char* profile;
    } rows[] = {
        {DtsCore(4, 1023, 2, 13, 8, 0), 0, ""},
        {DtsCore(5, 1023, 2, 13, 8, 0), 1024, "DTS"},  // NBLKS 5 is the least
        {DtsCore(15, 94, 2, 13, 8, 0), 0, ""},
        {DtsCore(15, 95, 2, 13, 8, 0), 96, "DTS"},  // FSIZE 95 likewise
        {DtsCore(15, 1023, 2, 13, 8, 0, 0, 1), 1024, "DTS-ES"},
        {DtsCore(15, 1023, 2, 13, 8, 0, 6, 1), 1024, "DTS-ES"},
        {DtsCore(15, 1023, 2, 13, 8, 0, 2, 1), 1024, "DTS 96/24"},
        {DtsCore(15, 1023, 2, 13, 8, 0, 2, 0), 1024, "DTS"},
        {DtsSub(2048, kXll), 2048, "DTS-HD MA"},
        {DtsSub(700, kLbr), 700, "DTS Express"},
        {DtsSub(900, 0), 900, "DTS-HD HRA"},
        {DtsSub(900, kXll, 40), 900, "DTS-HD MA"},
    };
    for (const Row& r : rows) {
        AudioFacts f;
        EXPECT_EQ(ParseDts(r.b.data(), r.b.size(), &f), r.len) << r.profile;
        if (r.len) {
            EXPECT_EQ(f.profile, r.profile);
        }
        ExpectNoOverread(Head(r.b, 64), Framer(ParseDts), r.profile);
    }
}

// --- MLP and TrueHD ----------------------------------------------------------------------

// An access unit of words 16-bit words; with a major sync, format is its 32 bits of rates and
// channels.
Bytes Mlp(int words, uint32_t sync = 0, uint32_t format = 0, int peak = 0) {
    SyntaxWriter w;
    w.U(0, 4), w.U(words, 12), w.U(0, 16);
    if (sync)
        w.U(sync, 32), w.U(format, 32), w.U(0xB752, 16), w.U(0, 32), w.U(0, 1), w.U(peak, 15),
            w.U(2, 4);
    return Pad(w, static_cast<size_t>(words) * 2);
}
uint32_t TrueHdFormat(uint32_t rate, uint32_t assign6, uint32_t assign8) {
    return rate << 28 | assign6 << 15 | assign8;
}
uint32_t MlpFormat(uint32_t quant, uint32_t rate, uint32_t assign) {
    return quant << 28 | 0xF << 24 | rate << 20 | 0xF << 16 | assign;
}
int64_t MlpUnit(const uint8_t* p, size_t n, AudioFacts* f) {
    bool major;
    return ParseMlp(p, n, f, &major);
}

TEST(AudioMlp, MajorSyncRows) {
    struct Row {
        Bytes b;
        const char* want;
        const char* fmt;
        int64_t bitRate;
    } rows[] = {
        {Mlp(100, 0xF8726FBA, TrueHdFormat(0, 0xF, 0), 1000), "truehd||48000|5.1(side)|40", "s32",
         3000000},
        {Mlp(100, 0xF8726FBA, TrueHdFormat(1, 0x1, 0)), "truehd||96000|stereo|80", "s32", 0},
        {Mlp(100, 0xF8726FBA, TrueHdFormat(2, 0x3, 0)), "truehd||192000|3.0|160", "s32", 0},
        {Mlp(100, 0xF8726FBA, TrueHdFormat(8, 0xB, 0)), "truehd||44100|5.0(side)|40", "s32", 0},
        {Mlp(100, 0xF8726FBA, TrueHdFormat(9, 0xF, 0x4F)), "truehd||88200|7.1|80", "s32", 0},
        {Mlp(100, 0xF8726FBA, TrueHdFormat(10, 0xF, 0x2F)), "truehd||176400|7.1(wide-side)|160",
         "s32", 0},
        {Mlp(100, 0xF8726FBB, MlpFormat(0, 0, 1), 800), "mlp||48000|stereo|40", "s16", 2400000},
        {Mlp(100, 0xF8726FBB, MlpFormat(2, 8, 0)), "mlp||44100|mono|40", "s32", 0},
    };
    for (const Row& r : rows) {
        AudioFacts f;
        bool major = false;
        EXPECT_EQ(ParseMlp(r.b.data(), r.b.size(), &f, &major), 200) << r.want;
        EXPECT_TRUE(major);
        EXPECT_EQ(Sum(f) + " " + f.sampleFmt + " " + std::to_string(f.bitRate),
                  std::string(r.want) + " " + r.fmt + " " + std::to_string(r.bitRate));
        ExpectNoOverread(Head(r.b, 32), Framer(MlpUnit), r.want);
    }
    // MLP's channel_assignment, as ffmpeg's MLP parser lays them out (ffprobe names assignment
    // 12 of ffmpeg's own 5.1 MLP encode "5.1").
    const uint64_t quad = ch::kStereo | ch::BL | ch::BR, two1 = ch::kStereo | ch::BC,
                   four0 = ch::kSurround | ch::BC;
    const uint64_t three1 = ch::kSurround | ch::LFE, five0 = ch::k5Point0Back,
                   five1 = ch::k5Point1Back;
    const uint64_t kAssign[21] = {
        ch::kMono,      ch::kStereo,     two1,          quad,           ch::kStereo | ch::LFE,
        two1 | ch::LFE, quad | ch::LFE,  ch::kSurround, four0,          five0,
        three1,         four0 | ch::LFE, five1,         four0,          five0,
        three1,         four0 | ch::LFE, five1,         quad | ch::LFE, five0,
        five1};
    for (int a = 0; a < 21; ++a) {
        AudioFacts f;
        bool major = false;
        const Bytes b = Mlp(100, 0xF8726FBB, MlpFormat(1, 0, a));
        ParseMlp(b.data(), b.size(), &f, &major);
        EXPECT_EQ(f.Layout(), LayoutName(kAssign[a], 0)) << "channel_assignment " << a;
        EXPECT_EQ(f.bitsPerRawSample, 20);
    }
    AudioFacts f;
    bool major = true;
    const Bytes minor = Mlp(100);
    EXPECT_EQ(ParseMlp(minor.data(), minor.size(), &f, &major), 200);
    EXPECT_FALSE(major);
    Bytes badSig = Mlp(100, 0xF8726FBA, TrueHdFormat(0, 1, 0));
    badSig[12] = 0;
    EXPECT_EQ(ParseMlp(badSig.data(), badSig.size(), &f, &major), 0);
    const Bytes badRate = Mlp(100, 0xF8726FBA, TrueHdFormat(15, 1, 0));
    EXPECT_EQ(ParseMlp(badRate.data(), badRate.size(), &f, &major), 0);
}

// --- Configurations of framed containers -------------------------------------------------

Bytes OpusHead(int channels, int family, int preSkip = 312) {
    Bytes b = Cat(
        {Str("OpusHead"), B({1, channels}), Le(preSkip, 2), Le(48000, 4), Le(0, 2), B({family})});
    if (family) b = Cat({b, B({channels, 0}), Bytes(channels, 0)});
    return b;
}
Bytes Dops(int channels, int family, int preSkip = 312) {
    Bytes b = Cat({B({0, channels}), Be(preSkip, 2), Be(48000, 4), Be(0, 2), B({family})});
    if (family) b = Cat({b, B({channels, 0}), Bytes(channels, 0)});
    return b;
}
Bytes FlacInfo(int rate, int channels, int bits, uint64_t total) {
    return Bits({{4096, 16},
                 {4096, 16},
                 {0, 24},
                 {0, 24},
                 {rate, 20},
                 {(channels - 1), 3},
                 {(bits - 1), 5},
                 {total, 36}},
                34);
}
Bytes AlacCookie(int bits, int channels, int rate, uint32_t avg) {
    return Cat({Be(4096, 4), B({0, bits, 40, 10, 14, channels}), Be(255, 2), Be(0, 4), Be(avg, 4),
                Be(rate, 4)});
}
Bytes AlacAtom(const Bytes& cookie) {
    return Cat({Be(36, 4), Str("alac"), Be(0, 4), cookie});
}
Bytes VorbisId(int channels, uint32_t rate, int32_t nominal) {
    return Cat({B({1}), Str("vorbis"), Le(0, 4), B({channels}), Le(rate, 4), Le(0, 4),
                Le(uint32_t(nominal), 4), Le(0, 4), B({0xB8, 1})});
}
// Matroska's FLAC CodecPrivate: "fLaC", STREAMINFO, then a last VORBIS_COMMENT block.
Bytes FlacPrivate(const Bytes& streamInfo, const std::string& comment) {
    const Bytes vendor = Str("Lavf59.27.100");
    Bytes vc = Cat({Le(vendor.size(), 4), vendor, Le(comment.empty() ? 0 : 1, 4)});
    if (!comment.empty()) vc = Cat({vc, Le(comment.size(), 4), Str(comment)});
    return Cat({Str("fLaC"), {0x00, 0, 0, 34}, streamInfo, {0x84}, Be(vc.size(), 3), vc});
}

const char* const kVorbisOrder[9] = {"",    "mono", "stereo", "3.0", "quad",
                                     "5.0", "5.1",  "6.1",    "7.1"};

TEST(AudioConfigs, Rows) {
    using P = bool (*)(const uint8_t*, size_t, AudioFacts*);
    struct Row {
        P parse;
        Bytes b;
        const char* want;
        const char* more;
    } rows[] = {
        {ParseOpusHead, OpusHead(1, 0), "opus||48000|mono|0", "fltp 0 pad 312"},
        {ParseOpusHead, OpusHead(2, 0, 3840), "opus||48000|stereo|0", "fltp 0 pad 3840"},
        {ParseFlacStreamInfo, FlacInfo(44100, 2, 16, 441000), "flac||44100|stereo|0",
         "s16 0 total 441000"},
        {ParseFlacStreamInfo, FlacInfo(96000, 2, 24, 0), "flac||96000|stereo|0", "s32 0 total -1"},
        {ParseFlacStreamInfo, FlacInfo(192000, 1, 20, 1), "flac||192000|mono|0", "s32 0 total 1"},
        {ParseFlacStreamInfo, FlacInfo(8000, 2, 8, 5), "flac||8000|stereo|0", "s16 0 total 5"},
        {ParseFlacStreamInfo, FlacInfo(48000, 5, 16, 5), "flac||48000|5.0(side)|0",
         "s16 0 total 5"},
        {ParseFlacStreamInfo, FlacInfo(48000, 6, 16, 5), "flac||48000|5.1(side)|0",
         "s16 0 total 5"},
        {ParseFlacStreamInfo, FlacInfo(48000, 7, 16, 5), "flac||48000|6.1|0", "s16 0 total 5"},
        {ParseFlacStreamInfo, FlacInfo(48000, 8, 16, 5), "flac||48000|7.1|0", "s16 0 total 5"},
        {ParseFlacStreamInfo, FlacInfo(48000, 4, 16, 5), "flac||48000|quad|0", "s16 0 total 5"},
        {ParseAlacCookie, AlacCookie(16, 2, 44100, 900000), "alac||44100|stereo|4096",
         "s16p 900000 pad 0"},
        {ParseAlacCookie, AlacCookie(24, 6, 96000, 0), "alac||96000|5.1|4096", "s32p 0 pad 0"},
        {ParseAlacCookie, AlacCookie(16, 7, 48000, 0), "alac||48000|6.1(back)|4096",
         "s16p 0 pad 0"},
        {ParseAlacCookie, AlacCookie(16, 8, 48000, 0), "alac||48000|7.1(wide)|4096",
         "s16p 0 pad 0"},
        {ParseAlacCookie, AlacAtom(AlacCookie(16, 4, 48000, 7)), "alac||48000|4.0|4096",
         "s16p 7 pad 0"},
        {ParseAlacCookie, AlacAtom(AlacCookie(16, 5, 48000, 7)), "alac||48000|5.0|4096",
         "s16p 7 pad 0"},
        {ParseVorbisId, VorbisId(2, 44100, 128000), "vorbis||44100|stereo|0", "fltp 128000 pad 0"},
        {ParseVorbisId, VorbisId(6, 48000, -1), "vorbis||48000|5.1|0", "fltp 0 pad 0"},
    };
    for (const Row& r : rows) {
        AudioFacts f;
        ASSERT_TRUE(r.parse(r.b.data(), r.b.size(), &f)) << r.want;
        std::string more = f.sampleFmt + " " + std::to_string(f.bitRate) + " ";
        more += r.parse == ParseFlacStreamInfo ? "total " + std::to_string(f.totalSamples)
                                               : "pad " + std::to_string(f.initialPadding);
        EXPECT_EQ(Sum(f) + " " + more, std::string(r.want) + " " + r.more);
        ExpectNoOverread(r.b, Framer([&r](const uint8_t* p, size_t n, AudioFacts* g) {
                             return int64_t{r.parse(p, n, g)};
                         }),
                         r.want);
    }
    // Families 0 and 1 in Vorbis order, by OpusHead and by MP4's dOps alike; Vorbis the same.
    for (int c = 1; c <= 8; ++c) {
        AudioFacts h, d, v;
        const Bytes head = OpusHead(c, 1), dops = Dops(c, 1), id = VorbisId(c, 48000, 0);
        ASSERT_TRUE(ParseOpusHead(head.data(), head.size(), &h));
        ASSERT_TRUE(ParseOpusConfigBox(dops.data(), dops.size(), &d));
        ASSERT_TRUE(ParseVorbisId(id.data(), id.size(), &v));
        EXPECT_EQ(h.Layout(), kVorbisOrder[c]);
        EXPECT_EQ(Sum(d) + std::to_string(d.initialPadding),
                  Sum(h) + std::to_string(h.initialPadding));
        EXPECT_EQ(v.Layout(), kVorbisOrder[c]);
    }
    AudioFacts f;
    for (const Bytes& b : {OpusHead(3, 0), OpusHead(0, 1)})
        EXPECT_FALSE(ParseOpusHead(b.data(), b.size(), &f));
    for (const Bytes& b : {VorbisId(0, 48000, 0), VorbisId(2, 0, 0)})
        EXPECT_FALSE(ParseVorbisId(b.data(), b.size(), &f));
    for (const Bytes& b : {FlacInfo(0, 2, 16, 0)})
        EXPECT_FALSE(ParseFlacStreamInfo(b.data(), b.size(), &f));
    for (const Bytes& b :
         {AlacCookie(16, 0, 48000, 0), AlacCookie(16, 9, 48000, 0), AlacCookie(16, 2, 0, 0)})
        EXPECT_FALSE(ParseAlacCookie(b.data(), b.size(), &f));
}

TEST(AudioConfigs, FlacChannelMaskComment) {
    // ffmpeg's FLAC muxer writes the mask where the channels are not FLAC's own order (0x3f
    // for 5.1).
    struct Row {
        std::string comment;
        int channels;
        const char* layout;
    } rows[] = {
        {"WAVEFORMATEXTENSIBLE_CHANNEL_MASK=0x3f", 6, "5.1"},
        {"WAVEFORMATEXTENSIBLE_CHANNEL_MASK=63", 6, "5.1"},
        {"WAVEFORMATEXTENSIBLE_CHANNEL_MASK=0x37", 5, "5.0"},
        {"WAVEFORMATEXTENSIBLE_CHANNEL_MASK=0x3", 6, "5.1(side)"},
        {"ENCODER=Lavf59.27.100", 6, "5.1(side)"},
        {"", 6, "5.1(side)"},
        {"WAVEFORMATEXTENSIBLE_CHANNEL_MASK=0x4", 1, "mono"},
    };
    for (const Row& r : rows) {
        const Bytes priv = FlacPrivate(FlacInfo(48000, r.channels, 16, 0), r.comment);
        AudioAnalyser a("flac");
        StreamInfo info;
        info.config = priv;
        a.Configure(info);
        EXPECT_EQ(a.Model().facts.Layout(), r.layout) << r.comment;
        ExpectNoOverread(
            priv, [](const uint8_t* p, size_t n) { return std::to_string(FlacChannelMask(p, n)); },
            r.comment);
    }
}

// The container's configuration, then the first bytes of a sample: what the model says.
TEST(AudioAnalyser, FramedStreams) {
    Asc v2;
    v2.aot = 29, v2.sfi = 6, v2.ext = 3, v2.config = 1;
    const Bytes vorbisLaced =
        Cat({{2, 30, 10}, VorbisId(6, 48000, 256000), Bytes(10, 3), Bytes(20, 5)});
    const Bytes pair = Cat({Eac3(0, 768, 0, 3, 7, 1), Eac3(1, 384, 0, 3, 2, 0, 0x0200)});
    struct Row {
        const char* codec;
        Bytes config, head;
        const char* want;
    } rows[] = {
        {"aac", Build(v2), Adts(1, 3, 2, 100), "aac|HE-AACv2|48000|stereo|2048"},
        {"eac3", Bits({{640, 13}, {0, 3}, {0, 2}, {16, 5}, {0, 5}, {7, 3}, {1, 1}, {0, 8}}), pair,
         "eac3||48000|7.1|1536"},
        {"ac3", Bits({{0, 2}, {8, 5}, {0, 3}, {7, 3}, {1, 1}, {15, 5}, {0, 5}}), Ac3(0, 16, 2, 0),
         "ac3||48000|stereo|1536"},
        {"alac", AlacAtom(AlacCookie(24, 2, 88200, 0)), {}, "alac||88200|stereo|4096"},
        {"vorbis", vorbisLaced, {}, "vorbis||48000|5.1|0"},
        {"opus", Dops(6, 1), {}, "opus||48000|5.1|0"},
        {"flac", FlacInfo(44100, 2, 16, 0), {}, "flac||44100|stereo|0"},
    };
    for (const Row& r : rows) {
        AudioAnalyser a(r.codec);
        StreamInfo info;
        info.config = r.config;
        a.Configure(info);
        if (!r.head.empty()) a.SampleHead(r.head.data(), r.head.size());
        EXPECT_EQ(Sum(a.Model().facts), r.want) << r.codec;
    }
}

// --- LPCM, Opus in MPEG-TS, layout names ---------------------------------------------------

TEST(AudioLpcm, DvdAndBlurayRows) {
    // DVD: channels as ffprobe names them on ffmpeg's pcm_dvd VOB with the channel count patched.
    const char* const dvd[9] = {"", "mono", "stereo", "2.1", "4.0", "5.0", "5.1", "6.1", "7.1"};
    static const int kDvdRates[4] = {48000, 96000, 44100, 32000};
    for (int c = 1; c <= 8; ++c) {
        AudioFacts f;
        const uint8_t b[3] = {0, static_cast<uint8_t>(c - 1), 0x80};
        ASSERT_TRUE(ParseDvdLpcm(b, 3, &f));
        EXPECT_EQ(f.Layout(), dvd[c]) << c << " channels";
        EXPECT_EQ(f.channels, c);
    }
    for (int quant = 0; quant < 3; ++quant)
        for (int freq = 0; freq < 4; ++freq) {
            AudioFacts f;
            const uint8_t b[3] = {0, static_cast<uint8_t>(quant << 6 | freq << 4 | 5), 0x80};
            ASSERT_TRUE(ParseDvdLpcm(b, 3, &f));
            const int bits = 16 + 4 * quant;
            EXPECT_EQ(Sum(f) + " " + f.sampleFmt + std::to_string(f.bitsPerRawSample) + " " +
                          std::to_string(f.bitRate),
                      "pcm_dvd||" + std::to_string(kDvdRates[freq]) + "|" + dvd[6] + "|0 " +
                          (quant ? "s32" : "s16") + std::to_string(bits) + " " +
                          std::to_string(int64_t{kDvdRates[freq]} * 6 * bits));
        }
    AudioFacts f;
    const uint8_t badQuant[3] = {0, 0xC1, 0};
    EXPECT_FALSE(ParseDvdLpcm(badQuant, 3, &f));
    const char* const bluray[16] = {
        nullptr,     "mono",      nullptr, "stereo", "3.0",   "3.0(back)", "4.0",   "quad(side)",
        "5.0(side)", "5.1(side)", "7.0",   "7.1",    nullptr, nullptr,     nullptr, nullptr};
    for (int assign = 0; assign < 16; ++assign)
        for (int freq = 0; freq < 16; ++freq)
            for (int bits : {0, 1, 3}) {
                const uint8_t b[4] = {0x03, 0xC0, static_cast<uint8_t>(assign << 4 | freq),
                                      static_cast<uint8_t>(bits << 6)};
                const int rate = freq == 1 ? 48000 : freq == 4 ? 96000 : freq == 5 ? 192000 : 0;
                const bool ok = bluray[assign] && rate && bits;
                ASSERT_EQ(ParseBlurayLpcm(b, 4, &f), ok) << assign << " " << freq << " " << bits;
                if (!ok) continue;
                const int width = bits == 1 ? 16 : 24;
                EXPECT_EQ(Sum(f),
                          "pcm_bluray||" + std::to_string(rate) + "|" + bluray[assign] + "|0");
                // Stored channels are an even count.
                EXPECT_EQ(f.bitRate, int64_t{rate} * ((f.channels + 1) / 2 * 2) * width);
                EXPECT_EQ(f.sampleFmt, bits == 1 ? "s16" : "s32");
            }
}

TEST(AudioOpusTs, AccessUnitsAndPacketDurations) {
    struct Row {
        Bytes b;
        int64_t len;
    } rows[] = {
        {{0x7F, 0xE0, 10}, 13},
        {{0x7F, 0xE0, 0xFF, 0x05}, 264},
        {{0x7F, 0xF0, 10, 0, 0}, 15},
        {{0x7F, 0xF8, 10, 0, 0, 0, 0}, 17},
        {{0x7F, 0xE4, 10, 3, 1, 2, 3}, 17},
        {{0x7F, 0xE0, 0}, 0},
        {{0x7F, 0xC0, 10}, 0},
        {{0x7F, 0xE0, 0xFF}, -1},
        {{0x7F, 0xE4, 10}, -1},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ParseOpusTs(r.b.data(), r.b.size()), r.len) << int{r.b[1]} << " " << r.b.size();
    // TOC config -> frame duration (SILK 10/20/40/60 ms, hybrid 10/20, CELT 2.5/5/10/20) x count.
    struct Toc {
        Bytes b;
        int samples;
    } tocs[] = {
        {{0 << 3}, 480},       {{3 << 3}, 2880},
        {{13 << 3}, 960},      {{16 << 3}, 120},
        {{31 << 3 | 1}, 1920}, {{11 << 3 | 3, 2}, 5760},
        {{11 << 3 | 3, 3}, 0}, {{19 << 3 | 3, 0}, 0},
        {{19 << 3 | 3}, 0},    {{}, 0},
    };
    for (const Toc& t : tocs)
        EXPECT_EQ(OpusPacketSamples(t.b.data(), t.b.size()), t.samples)
            << (t.b.empty() ? -1 : t.b[0]);
}

TEST(AudioLayoutName, UnnamedAndHighChannels) {
    struct Row {
        uint64_t mask;
        int channels;
        const char* name;
    } rows[] = {
        {0, 6, "6 channels"},
        {0, 0, ""},
        {0x60000000, 2, "2 channels (DL+DR)"},
        {0x180000000, 2, "2 channels (WL+WR)"},
        {0x600000000, 2, "2 channels (SDL+SDR)"},
        {0x80F, 5, "5 channels (FL+FR+FC+LFE+TC)"},
        {0x800000008, 2, "2 channels (LFE+LFE2)"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(LayoutName(r.mask, r.channels), r.name);
}

// --- AudioAnalyser over byte streams ---------------------------------------------------------

std::string Text(const AudioModel& m) {
    std::ostringstream s;
    s << "frames " << m.frames << " samples " << m.samples << " bytes " << m.bytes << " skipped "
      << m.skipped << " changes " << m.changes << " rate " << m.bitRate << " | " << Sum(m.facts)
      << " | " << m.facts.profile;
    for (const std::string& d : m.diagnostics)
        s << " | " << d;
    return s.str();
}

AudioModel Analyse(const std::string& codec, const Bytes& s, const std::vector<size_t>& pieces) {
    AudioAnalyser a(codec);
    size_t at = 0;
    for (size_t k = 0; at < s.size(); ++k) {
        const size_t n =
            std::min(pieces.empty() ? s.size() : pieces[k % pieces.size()], s.size() - at);
        a.Feed(s.data() + at, n);
        at += n;
    }
    a.Finish();
    return a.Model();
}

// A LOAS frame of total bytes: with a StreamMuxConfig of audioMuxVersion 0 or 1 (LATM values
// of bfv + 1 bytes), or useSameStreamMux.
Bytes Loas(int total, const Asc* asc, int version = 0, int bfv = 0) {
    SyntaxWriter w;
    w.U(0x2B7, 11), w.U(total - 3, 13);
    w.Flag(asc == nullptr);
    if (asc) {
        auto value = [&](uint64_t v) { w.U(bfv, 2), w.U(v, 8 * (bfv + 1)); };
        w.U(version, 1);
        if (version) w.U(0, 1), value(0xFF);
        w.U(1, 1), w.U(0, 6), w.U(0, 4), w.U(0, 3);
        if (version) {
            SyntaxWriter probe;
            WriteAsc(probe, *asc);
            value(probe.Bits() + 5);
            WriteAsc(w, *asc);
            w.U(0, 5);  // fill bits the length covers
        } else {
            WriteAsc(w, *asc);
        }
        w.U(0, 3), w.U(0xFF, 8), w.U(0, 1), w.U(0, 1);
    }
    return Pad(w, static_cast<size_t>(total));
}

TEST(AudioAnalyser, LoasStreams) {
    Asc lc, mono, he, v2, bc;
    mono.sfi = 4, mono.config = 1;
    he.aot = 5, he.sfi = 6, he.ext = 3;
    v2.aot = 29, v2.sfi = 7, v2.ext = 4, v2.config = 1;
    bc.sfi = 6, bc.sync = 1;
    // The first bytes of a LOAS frame from ffmpeg's LATM muxer (AAC LC, 48 kHz, stereo).
    Bytes real = {0x56, 0xE1, 0x28, 0x20, 0x00, 0x11, 0x90,
                  0x1F, 0xE7, 0xF9, 0x0E, 0xF0, 0x10, 0x02};
    real.resize(299, 0);
    struct Row {
        Bytes first;
        const char* want;
        int samples;
    } rows[] = {
        {real, "aac|LC|48000|stereo|1024", 1024},
        {Loas(200, &lc), "aac|LC|48000|stereo|1024", 1024},
        {Loas(200, &mono, 1, 0), "aac|LC|44100|mono|1024", 1024},
        {Loas(200, &he, 1, 1), "aac|HE-AAC|48000|stereo|2048", 2048},
        {Loas(200, &v2, 1, 2), "aac|HE-AACv2|44100|stereo|2048", 2048},
        {Loas(200, &bc, 1, 3), "aac|HE-AAC|48000|stereo|2048", 2048},
        {Loas(200, &v2, 0), "aac|HE-AACv2|44100|stereo|2048", 2048},
    };
    for (const Row& r : rows) {
        const Bytes s = Cat({r.first, Repeat(Loas(150, nullptr), 9)});
        const AudioModel m = Analyse("aac_latm", s, {});
        EXPECT_PRED2(Matches, r.want, Sum(m.facts));
        EXPECT_EQ(m.frames, 10) << r.want;
        EXPECT_EQ(m.bytes, static_cast<int64_t>(s.size())) << r.want;
        EXPECT_EQ(m.samples, 10 * r.samples)
            << r.want << ": every frame decodes, not only those with a config";
        EXPECT_TRUE(m.diagnostics.empty()) << m.diagnostics[0];
        auto loas = [](const uint8_t* p, size_t n, AudioFacts* g) {
            bool c;
            return ParseLoas(p, n, g, &c);
        };
        ExpectNoOverread(Head(r.first, 40), Framer(loas), r.want);
    }
}

// Streams of each codec, with junk (ending in the codec's first sync byte) between frames: the
// frames and bytes skipped when fed whole, and the same model however the stream is cut.
TEST(AudioAnalyser, SameModelHoweverCut) {
    Asc lc;
    const Bytes adts = Cat({Adts(1, 4, 2, 300), Bytes(293, 0)}),
                mp2 = Bits({{0xFFFD, 16}, {0xA4, 8}, {0x00, 8}}, 576);
    const Bytes ac3 = Ac3(0, 16, 2, 0);
    const Bytes ac3Frame = Cat({ac3, Bytes(512 - 16, 0)});  // 128 kbit/s
    const Bytes eac3 = Cat({Eac3(0, 768, 0, 3, 7, 1), Eac3(1, 384, 0, 3, 2, 0, 0x0200)});
    const Bytes dts = Cat({DtsCore(15, 1023, 9, 13, 15, 1), DtsSub(2048, kXll)});
    const Bytes major = Mlp(200, 0xF8726FBA, TrueHdFormat(0, 0xF, 0));
    Bytes minor = Mlp(150);
    std::fill(minor.begin() + 4, minor.end(),
              0x11);  // payload bytes that read as access unit lengths
    const Bytes loas = Cat({Loas(200, &lc), Repeat(Loas(150, nullptr), 3)});
    // No sync byte of any of them but the last; 00 01 is no MLP access unit.
    auto junk = [](uint8_t last, size_t n) {
        Bytes j(n, 0x01);
        for (size_t i = 2; i < n; ++i)
            j[i] = uint8_t(0x21 + i % 50);
        j[0] = 0, j.back() = last;
        return j;
    };
    struct Row {
        const char* codec;
        Bytes s;
        int64_t frames, skipped;
        const char* want;
        size_t said = 1;
    } rows[] = {
        {"aac", Cat({Repeat(adts, 3), junk(0xFF, 37), Repeat(adts, 3)}), 6, 37,
         "aac|LC|44100|stereo|1024"},
        {"mp2", Cat({Repeat(mp2, 3), junk(0xFF, 41), Repeat(mp2, 3)}), 6, 41,
         "mp2||48000|stereo|1152"},
        {"ac3", Cat({Repeat(ac3Frame, 3), junk(0x0B, 23), Repeat(ac3Frame, 3)}), 6, 23,
         "ac3||48000|stereo|1536"},
        {"eac3", Cat({Repeat(eac3, 2), junk(0x0B, 23), Repeat(eac3, 2)}), 4, 23,
         "eac3||48000|7.1|1536"},
        {"dts", Cat({Repeat(dts, 3), junk(0x7F, 19), Repeat(dts, 3)}), 6, 19,
         "dts|DTS-HD MA|48000|5.1(side)|512"},
        {"truehd",
         Cat({minor, minor, major, Repeat(minor, 3), junk(0xF8, 30), major, Repeat(minor, 20)}), 25,
         600 + 30, "truehd||48000|5.1(side)|40", 2},
        {"aac_latm", Cat({loas, junk(0x56, 17), loas}), 8, 17, "aac|LC|48000|stereo|1024"},
    };
    for (const Row& r : rows) {
        const AudioModel whole = Analyse(r.codec, r.s, {});
        EXPECT_EQ(whole.frames, r.frames) << r.codec << ": " << Text(whole);
        EXPECT_EQ(whole.skipped, r.skipped) << r.codec << ": " << Text(whole);
        EXPECT_EQ(Sum(whole.facts), r.want) << r.codec;
        // A dependent frame or extension substream is part of its frame, no change of stream.
        EXPECT_EQ(whole.changes, 0) << r.codec << ": " << Text(whole);
        EXPECT_EQ(whole.diagnostics.size(), r.said) << r.codec << ": " << Text(whole);
        EXPECT_EQ(Text(Analyse(r.codec, r.s, {1})), Text(whole)) << r.codec << " fed byte by byte";
        std::mt19937 rng(7);
        for (int trial = 0; trial < 6; ++trial) {
            std::vector<size_t> pieces(50);
            for (size_t& p : pieces)
                p = 1 + rng() % (trial < 3 ? 40 : 700);
            EXPECT_EQ(Text(Analyse(r.codec, r.s, pieces)), Text(whole))
                << r.codec << " in pieces, trial " << trial;
        }
    }
}

// Whole streams that go wrong in one way each: what is counted and what is said, with offsets.
TEST(AudioAnalyser, LossAndChangeDiagnostics) {
    const Bytes a = Cat({Adts(1, 4, 2, 300), Bytes(293, 0)}),
                b = Cat({Adts(1, 3, 1, 200), Bytes(193, 0)});
    // A header in the junk whose length ends inside the junk: a false sync, not a frame.
    Bytes junk(60, 0x33);
    const Bytes fake = Adts(1, 8, 1, 30);
    std::copy(fake.begin(), fake.end(), junk.begin() + 5);
    struct Row {
        const char* what;
        Bytes s;
        int64_t frames, samples, skipped;
        int changes;
        std::vector<std::string> said;
    } rows[] = {
        {"false sync after junk",
         Cat({Repeat(a, 2), junk, Repeat(a, 2)}),
         4,
         4096,
         60,
         0,
         {"no valid header at offset 600"}},
        {"header change",
         Cat({Repeat(a, 3), Repeat(b, 3)}),
         6,
         6144,
         0,
         1,
         {"at offset 900: aac LC, 44100 Hz, stereo becomes aac LC, 48000 Hz, mono"}},
        {"junk runs",
         Cat({a, a, Bytes(13, 0x44), a, a, Bytes(29, 0x55), a, a}),
         6,
         6144,
         42,
         0,
         {"no valid header at offset 600", "no valid header at offset 1213"}},
        {"cut frame",
         Cat({Repeat(a, 3), Bytes(a.begin(), a.end() - 10)}),
         3,
         3072,
         0,
         0,
         {"at offset 1190: the last frame is cut short by 10 bytes"}},
        {"cut header",
         Cat({Repeat(a, 3), Bytes(a.begin(), a.begin() + 4)}),
         3,
         3072,
         4,
         0,
         {"the stream ends inside a frame header at offset 900"}},
    };
    for (const Row& r : rows) {
        const AudioModel m = Analyse("aac", r.s, {});
        EXPECT_EQ(m.frames, r.frames) << r.what << ": " << Text(m);
        EXPECT_EQ(m.samples, r.samples) << r.what << ": " << Text(m);
        EXPECT_EQ(m.skipped, r.skipped) << r.what << ": " << Text(m);
        EXPECT_LE(m.bytes + m.skipped, static_cast<int64_t>(r.s.size()))
            << r.what << ": " << Text(m);
        EXPECT_EQ(m.changes, r.changes) << r.what;
        EXPECT_EQ(Sum(m.facts), "aac|LC|44100|stereo|1024") << r.what;
        ASSERT_EQ(m.diagnostics.size(), r.said.size()) << r.what << ": " << Text(m);
        for (size_t i = 0; i < r.said.size(); ++i)
            EXPECT_NE(m.diagnostics[i].find(r.said[i]), std::string::npos)
                << r.what << ": " << m.diagnostics[i];
    }
}

// A core and its extension substream are one frame; lone substreams (DTS Express) are a frame each.
TEST(AudioAnalyser, DtsFramesAndMlpSync) {
    const Bytes core = DtsCore(15, 1023, 9, 13, 15, 1);
    struct Row {
        const char* what;
        Bytes s;
        int64_t frames;
        const char* profile;
    } rows[] = {
        {"core + XLL", Repeat(Cat({core, DtsSub(2048, kXll)}), 4), 4, "DTS-HD MA"},
        {"core + LBR", Repeat(Cat({core, DtsSub(600, kLbr)}), 4), 4, "DTS Express"},
        {"core + neither", Repeat(Cat({core, DtsSub(600, 0)}), 4), 4, "DTS-HD HRA"},
        {"core alone", Repeat(core, 4), 4, "DTS"},
        {"lone LBR substreams", Repeat(DtsSub(600, kLbr), 4), 4, "DTS Express"},
    };
    for (const Row& r : rows) {
        const AudioModel m = Analyse("dts", r.s, {});
        EXPECT_EQ(m.frames, r.frames) << r.what << ": " << Text(m);
        EXPECT_EQ(m.facts.profile, r.profile) << r.what;
        EXPECT_EQ(m.bytes, static_cast<int64_t>(r.s.size())) << r.what;
        EXPECT_EQ(m.changes, 0) << r.what << ": " << Text(m);
    }
    // Access units before the first major sync are skipped; after it, each is a frame of 40
    // samples.
    const Bytes major = Mlp(200, 0xF8726FBA, TrueHdFormat(0, 0x1, 0)), minor = Mlp(150);
    const AudioModel m = Analyse("truehd", Cat({minor, minor, major, Repeat(minor, 5)}), {});
    EXPECT_EQ(m.frames, 6) << Text(m);
    EXPECT_EQ(m.skipped, 600) << Text(m);
    EXPECT_EQ(m.samples, 6 * 40) << Text(m);
    EXPECT_EQ(Sum(m.facts), "truehd||48000|stereo|40");
}

}  // namespace

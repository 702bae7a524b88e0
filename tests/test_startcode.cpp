#include "QvStartCode.h"
#include "QvTestSupport.h"
#include "StartCodeModel.h"
#include "internal/QvCpu.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>

namespace {

namespace model = qvmodel::sc;
using model::Bytes;
using qv::cpu::ScopedMask;

Bytes Hex(const std::string& s) {
    Bytes b;
    std::istringstream in(s);
    for (std::string t; in >> t;) b.push_back(static_cast<unsigned char>(std::strtoul(t.c_str(), nullptr, 16)));
    return b;
}

// Runs a script of walk steps ("N" Next, "S" Skip, "F1E0" Find) and traces each result and
// cursor in the same notation: "N=1B3@2 S@6 F1E0=1E0@7".
template <class W, class Pos>
std::string Trace(W& w, Pos pos, const std::string& script) {
    std::istringstream in(script);
    std::string out;
    char buf[48];
    for (std::string t; in >> t;) {
        if (t[0] == 'S') {
            w.Skip();
            std::snprintf(buf, sizeof buf, "S@%d ", pos());
        } else if (t[0] == 'N') {
            const uint32_t r = w.Next();
            std::snprintf(buf, sizeof buf, "N=%X@%d ", r, pos());
        } else {
            const uint32_t code = std::strtoul(t.c_str() + 1, nullptr, 16);
            const uint32_t r = w.Find(code);
            std::snprintf(buf, sizeof buf, "F%X=%X@%d ", code, r, pos());
        }
        out += buf;
    }
    return out.substr(0, out.size() - 1);
}

TEST(QvStartCode, WalkTable) {
    const char* const k11 = "12 00 00 00 01 B3 AA 00 00 01 E0";
    const struct {
        const char* bytes;
        int backward;
        const char* script;
    } rows[] = {
        {k11, 0, "N=1B3@2 N=1B3@2 S@6 N=1E0@7 S@11 N=0@11"},
        {k11, 1, "N=1E0@7 N=1B3@2 N=0@2 S@2 N=0@2"},
        {k11, 0, "F1E0=1E0@7 S@11 F1E0=0@11"},
        {k11, 0, "F1C0=0@11"},
        {k11, 0, "FB3=0@11"},  // a code byte alone is no code word
        {k11, 1, "F1B3=1B3@2 F1B3=0@2"},
        {"12 34 56 78 9A", 0, "N=0@2 N=0@2"},
        {"12 34 56 78 9A", 1, "N=0@3 N=0@3"},
        {"00 00 01 00 00 01 E0", 0, "N=100@0 S@4 N=0@4"},  // first zero is the code byte before
        {"00 00 01 00 00 01 E0", 1, "N=1E0@3 N=0@3"},
        {"AA BB 00 00 01", 0, "N=0@2"},  // cut off by the end: left for the next piece
        {"AA BB 00 00 01", 1, "N=0@3"},
        {"00 01 B3 44 00 00 01 B5 66", 1, "N=1B5@4 N=0@3"},  // cut off by the start
        {"00 00 00 00 01 C0", 1, "N=1C0@2 N=0@2"},
        {"00 00 01", 0, "N=0@0"},
        {"00 00 01", 1, "N=0@3"},
        {"12 34 00 00 01 20 88", 0, "S@4 S@8 N=0@8"},
    };
    for (const auto& r : rows) {
        Bytes b = Hex(r.bytes);
        const int32_t n = static_cast<int32_t>(b.size());
        model::Walk m{b.data(), n, r.backward ? n : 0, r.backward != 0};
        EXPECT_EQ(Trace(m, [&] { return m.pos; }, r.script), r.script) << "model: " << r.bytes;
        for (const auto& level : qvtest::CpuLevels()) {
            ScopedMask mask(level.mask);
            QvStartCode sc(b.data(), n, r.backward);
            EXPECT_EQ(Trace(sc, [&] { return sc.GetPos(); }, r.script), r.script) << r.bytes << " " << level.name;
        }
    }
    QvStartCode none, copy(none);
    EXPECT_EQ(none.Next() | none.Find(0x1B3) | copy.Next(), 0u);
}

TEST(QvStartCode, ScannerTable) {
    const struct {
        const char* bytes;
        bool last;
        int width;
        uint32_t value, mask, window;
        int32_t at;
    } rows[] = {
        {"12 00 00 01", false, 4, 0x100, 0xFFFFFF00, 0, 1},  // no code byte yet
        {"00 00 01", false, 4, 0x100, 0xFFFFFF00, 0, 0},
        {"12 00 00 01 B3", true, 4, 0x100, 0xFFFFFF00, 0x1B3, 4},
        {"12 00 00 01", false, 2, 0x0001, 0xFFFF, 0x12000001, 2},  // the window keeps older bytes
        {"AB CD EF 01 02", true, 1, 0xAB, 0xFF, 0, 5},  // stepping back fills from the top
        {"AB CD EF 01 02", true, 1, 0xAB000000, 0xFF000000, 0xABCDEF01, 5},
    };
    for (const auto& r : rows) {
        Bytes b = Hex(r.bytes);
        const int32_t n = static_cast<int32_t>(b.size());
        const model::Scan m = r.last ? model::Last(b.data() + n, n, r.width, r.value, r.mask)
                                     : model::Next(b.data(), n, r.width, r.value, r.mask);
        EXPECT_TRUE(m.window == r.window && m.at == r.at) << "model: " << r.bytes;
        int32_t at = -1;
        const uint32_t w = r.last ? QvStartCode::Last(b.data() + n, n, at, r.width, r.value, r.mask)
                                  : QvStartCode::Next(b.data(), n, at, r.width, r.value, r.mask);
        EXPECT_TRUE(w == r.window && at == r.at) << r.bytes << " got " << std::hex << w << " @" << at;
    }
}

// Runs one escape pass at every CPU level, checks it against the model and that nothing is
// written past what it reports; RestoreRaceBytes also in place. "" or what differs.
std::string CheckPass(bool remove, const Bytes& in) {
    const Bytes want = remove ? model::RemoveRaceBytes(in) : model::RestoreRaceBytes(in);
    const int32_t n = static_cast<int32_t>(in.size());
    for (const auto& level : qvtest::CpuLevels()) {
        ScopedMask mask(level.mask);
        Bytes src(in), out(in.size() + in.size() / 4, 0xA5), self(in);
        const int got = remove ? QvStartCode::RemoveRaceBytes(src.data(), n, out.data())
                               : QvStartCode::RestoreRaceBytes(src.data(), n, out.data());
        if (got != static_cast<int>(want.size()) || !std::equal(want.begin(), want.end(), out.begin()) ||
            std::count(out.begin() + got, out.end(), 0xA5) != static_cast<long>(out.size() - got))
            return std::string(level.name) + (remove ? " remove" : " restore");
        if (!remove && (QvStartCode::RestoreRaceBytes(self.data(), n, self.data()) != got ||
                        !std::equal(want.begin(), want.end(), self.begin())))
            return std::string(level.name) + " restore in place";
    }
    return "";
}

TEST(QvStartCode, EscapeTable) {
    const struct {
        bool remove;
        const char *in, *out;
    } rows[] = {
        {true, "00 00 01 F0 00 00 01 E0 00 00 01 FF", "00 00 01 FF F0 00 00 01 E0 00 00 01 FF FF"},
        {false, "00 00 01 FF F0 00 00 01 E0 00 00 01 FF FF", "00 00 01 F0 00 00 01 E0 00 00 01 FF"},
        {true, "00 00 01 EF", "00 00 01 EF"},
        {true, "00 00 01", "00 00 01"},
        {true, "00 00 00 01 F5", "00 00 00 01 FF F5"},
        {true, "00 00 01 FF F0", "00 00 01 FF FF F0"},
        {false, "00 00 01 FF FF F0", "00 00 01 FF F0"},
        {true, "00 00 01 F0 00 00 01 F0 00 00 01 F0 00 00 01 F0 00 00 01 F0",
         "00 00 01 FF F0 00 00 01 FF F0 00 00 01 FF F0 00 00 01 FF F0 00 00 01 FF F0"},
        {false, "00 00 01 FF", "00 00 01"},  // escape byte last
        {false, "00 00 01 FF F3", "00 00 01 F3"},
        {false, "00 00 01 FF 00 00 01 FF E0", "00 00 01 00 00 01 FF E0"},  // 00 copied unexamined
        {false, "00 00 01 FE", "00 00 01 FE"},
        {false, "00 01 FF 80", "00 01 FF 80"},  // no bytes before the payload
        {true, "00 01 F5 00", "00 01 F5 00"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ((r.remove ? model::RemoveRaceBytes : model::RestoreRaceBytes)(Hex(r.in)), Hex(r.out)) << "model: " << r.in;
        EXPECT_EQ(CheckPass(r.remove, Hex(r.in)), "") << r.in;
    }
}

// Random bytes heavy in 00 00 01, 00 00 00 01, code bytes F0..FF and zeros.
Bytes Biased(std::mt19937& rng, size_t n) {
    static const Bytes pieces[] = {{0, 0, 1}, {0, 0, 0, 1}, {0}, {0xFF}, {0, 0, 1, 0xFF}};
    Bytes b;
    while (b.size() < n) {
        const uint32_t r = rng() % 16;
        if (r < 5) b.insert(b.end(), pieces[r].begin(), pieces[r].end());
        else b.push_back(static_cast<unsigned char>(r < 9 ? 0xF0 + rng() % 16 : rng()));
    }
    b.resize(n);
    return b;
}

// A random walk script: mostly Next and Skip, some searches for codes that occur and some
// for any value.
std::string RandomScript(std::mt19937& rng, const Bytes& b) {
    static const char* const steps[] = {"N S ", "N S ", "N ", "S ", "N N "};
    std::string s;
    for (size_t k = 0; k < 8 + b.size() / 8; ++k) {
        const uint32_t r = rng() % 7;
        char buf[16];
        std::snprintf(buf, sizeof buf, "F%X ", r == 5 && !b.empty() ? 0x100u + b[rng() % b.size()] : unsigned(rng() % 0x300));
        s += r < 5 ? steps[r] : buf;
    }
    return s.substr(0, s.size() - 1);
}

TEST(QvStartCode, AgreesWithModelOnRandomData) {
    std::mt19937 rng(2024);
    for (int iter = 0; iter < 1500; ++iter) {
        const size_t n = iter % 100 == 0 ? 9000 + rng() % 12000 : rng() % 200;
        const Bytes b = Biased(rng, n);
        const int32_t sn = static_cast<int32_t>(n);
        // Widths 1..6; masks of every kind; values taken from the data or anything at all.
        const int width = 1 + static_cast<int>(rng() % 6);
        const uint32_t masks[] = {0xFFFFFF00, 0xFFFFFFF0, 0xFFFFFFFF, static_cast<uint32_t>(rng()),
                                  static_cast<uint32_t>(rng()) | 0x00FF0000, 0xFFFFFFFFu >> (rng() % 32)};
        const uint32_t mask = masks[rng() % 6];
        uint32_t value = static_cast<uint32_t>(rng());
        if (n >= 4 && rng() % 4) {
            const size_t at = rng() % (n - 3);
            value = mask & ((uint32_t{b[at]} << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3]);
        }
        const model::Scan mn = model::Next(b.data(), sn, width, value, mask);
        const model::Scan ml = model::Last(b.data() + sn, sn, width, value, mask);
        const std::string fwd = RandomScript(rng, b), back = RandomScript(rng, b);
        model::Walk mf{b.data(), sn, 0, false}, mb{b.data(), sn, sn, true};
        const std::string wantF = Trace(mf, [&] { return mf.pos; }, fwd);
        const std::string wantB = Trace(mb, [&] { return mb.pos; }, back);
        for (const auto& level : qvtest::CpuLevels()) {
            ScopedMask m(level.mask);
            int32_t at = -1;
            Bytes c(b);  // the class's own copy, so any write would show
            ASSERT_EQ(QvStartCode::Next(c.data(), sn, at, width, value, mask), mn.window) << level.name << " " << iter;
            ASSERT_EQ(at, mn.at) << level.name << " Next";
            ASSERT_EQ(QvStartCode::Last(c.data() + sn, sn, at, width, value, mask), ml.window) << level.name << " " << iter;
            ASSERT_EQ(at, ml.at) << level.name << " Last";
            QvStartCode f(c.data(), sn, 0), r(c.data(), sn, 7);
            ASSERT_EQ(Trace(f, [&] { return f.GetPos(); }, fwd), wantF) << level.name << " " << iter;
            ASSERT_EQ(Trace(r, [&] { return r.GetPos(); }, back), wantB) << level.name << " " << iter;
            ASSERT_EQ(c, b);
        }
        // Escaping: both passes against the model, and the round trip of the class itself.
        ASSERT_EQ(CheckPass(true, b), "") << iter;
        ASSERT_EQ(CheckPass(false, b), "") << iter;
        Bytes esc(n + n / 4), back2(n + n / 4);
        const int m = QvStartCode::RemoveRaceBytes(const_cast<unsigned char*>(b.data()), sn, esc.data());
        ASSERT_EQ(CheckPass(false, Bytes(esc.begin(), esc.begin() + m)), "") << iter;
        ASSERT_EQ(QvStartCode::RestoreRaceBytes(esc.data(), m, back2.data()), sn);
        ASSERT_TRUE(std::equal(b.begin(), b.end(), back2.begin())) << iter;
        for (int j = 0; j + 3 < m; ++j)
            ASSERT_FALSE(esc[j] == 0 && esc[j + 1] == 0 && esc[j + 2] == 1 && esc[j + 3] >= 0xF0 && esc[j + 3] != 0xFF);
    }
}

// Every start code of real streams, both ways. Counts come from the streams' documentation;
// H.264 NAL unit types also from a plain loop over the file.
TEST(QvStartCode, RealStreams) {
    const struct {
        const char* file;
        size_t codes;
        const char* nalTypes;  // H.264: "type:count ..." as documented, or ""
    } rows[] = {
        {"samples/sample.h264", 55, ""},
        {"samples/sample.h265", 29, ""},
        {"samples/sample.m2v", 359, ""},
        {"streams/h264-1280x720-high-mixed.h264", 23, "1:9 5:1 6:1 7:1 8:1 9:10"},
        {"streams/h264-176x144-cbp-4byte.h264", 102, "1:96 5:4 7:1 8:1"},
        {"streams/hevc-640x360-main-mixed.h265", 49, ""},
        {"streams/mpeg2-128x128-mssg.m2v", 36, ""},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> d;
        QVTEST_LOAD_DATA(row.file, d);
        const bool h264 = std::string(row.file).find(".h264") != std::string::npos;
        std::map<int, int> plain;
        for (size_t i = 0; h264 && i + 3 < d.size(); ++i)
            if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) ++plain[d[i + 3] & 0x1F], i += 3;
        for (const auto& level : qvtest::CpuLevels()) {
            ScopedMask m(level.mask);
            std::vector<std::pair<int32_t, uint32_t>> fwd, back;
            QvStartCode f(d.data(), static_cast<int32_t>(d.size()), 0), b(d.data(), static_cast<int32_t>(d.size()), 1);
            for (uint32_t c; (c = f.Next()) != 0; f.Skip()) fwd.emplace_back(f.GetPos(), c);
            for (uint32_t c; (c = b.Next()) != 0;) back.emplace_back(b.GetPos(), c);
            std::reverse(back.begin(), back.end());
            EXPECT_EQ(fwd, back) << row.file << " " << level.name;
            EXPECT_EQ(fwd.size(), row.codes) << row.file << " " << level.name;
            std::map<int, int> types;
            std::string text;
            for (const auto& pc : fwd) ++types[pc.second & 0x1F];
            for (const auto& t : types) text += std::to_string(t.first) + ":" + std::to_string(t.second) + " ";
            if (h264) {
                EXPECT_EQ(types, plain) << row.file;
            }
            if (*row.nalTypes) {
                EXPECT_EQ(text, std::string(row.nalTypes) + " ") << row.file;
            }
        }
    }
}

}  // namespace

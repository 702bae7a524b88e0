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

// Runs walk steps ("N" Next, "S" Skip, "F1E0" Find) and traces each result and the cursor in
// the same notation: "N=1B3@2 S@6 F1E0=1E0@7".
template <class W, class Pos>
std::string Trace(W& w, Pos pos, const std::string& script) {
    std::istringstream in(script);
    std::string out;
    for (std::string t; in >> t;) {
        char buf[48];
        if (t[0] == 'S') {
            w.Skip();
            std::snprintf(buf, sizeof buf, "S@%d", pos());
        } else {
            const uint32_t r = t[0] == 'N' ? w.Next() : w.Find(std::strtoul(t.c_str() + 1, nullptr, 16));
            std::snprintf(buf, sizeof buf, "%s=%X@%d", t.substr(0, t.find('=')).c_str(), r, pos());
        }
        out += (out.empty() ? "" : " ") + std::string(buf);
    }
    return out;
}

TEST(QvStartCode, WalkTable) {
    const char* const k11 = "12 00 00 00 01 B3 AA 00 00 01 E0";
    const char* const kTwice = "00 00 01 00 00 01 E0";
    const struct { const char *bytes, *script; int backward; } rows[] = {
        {k11, "N=1B3@2 N=1B3@2 S@6 N=1E0@7 S@11 N=0@11", 0},
        {k11, "N=1E0@7 N=1B3@2 N=0@2 S@2 N=0@2", 1},
        {k11, "F1E0=1E0@7 S@11 F1E0=0@11", 0},
        {k11, "F1C0=0@11", 0},
        {k11, "FB3=0@11", 0},  // a code byte alone is no code word
        {k11, "F1B3=1B3@2 F1B3=0@2", 1},
        {"12 34 56 78 9A", "N=0@2 N=0@2", 0},  // failed: m_lSize - 3 forward, 3 backward
        {"12 34 56 78 9A", "N=0@3 N=0@3", 1},
        {kTwice, "N=100@0 S@4 N=0@4", 0},  // the second one's first zero is the code byte
        {kTwice, "N=1E0@3 N=0@3", 1},
        {"AA BB 00 00 01", "N=0@2", 0},  // cut off by the end: left for the next piece
        {"AA BB 00 00 01", "N=0@3", 1},
        {"00 01 B3 44 00 00 01 B5 66", "N=1B5@4 N=0@3", 1},  // cut off by the start
        {"00 00 00 00 01 C0", "N=1C0@2 N=0@2", 1},
        {"00 00 01", "N=0@0", 0},
        {"12 34 00 00 01 20 88", "S@4 S@8 N=0@8", 0},
    };
    for (const auto& r : rows) {
        Bytes b = Hex(r.bytes);
        QvStartCode sc(b.data(), static_cast<int32_t>(b.size()), r.backward);
        EXPECT_EQ(Trace(sc, [&] { return sc.GetPos(); }, r.script), r.script) << r.bytes;
    }
    QvStartCode none, copy(none);
    EXPECT_EQ(none.Next() | none.Find(0x1B3) | copy.Next(), 0u);
}

TEST(QvStartCode, ScannerTable) {
    const struct { const char* bytes; bool last; int width; uint32_t value, mask, window; int32_t at; } rows[] = {
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
        int32_t at = -1;
        const uint32_t w = r.last ? QvStartCode::Last(b.data() + n, n, at, r.width, r.value, r.mask)
                                  : QvStartCode::Next(b.data(), n, at, r.width, r.value, r.mask);
        EXPECT_TRUE(w == r.window && at == r.at) << r.bytes << " got " << std::hex << w << " @" << at;
    }
}

// One escape pass at every CPU level against the model, checking that nothing is written
// past what it reports; RestoreRaceBytes also in place. "" or what differs.
std::string CheckPass(bool remove, const Bytes& in) {
    const Bytes want = remove ? model::RemoveRaceBytes(in) : model::RestoreRaceBytes(in);
    const int32_t n = static_cast<int32_t>(in.size());
    for (const auto& level : qvtest::CpuLevels()) {
        ScopedMask mask(level.mask);
        Bytes src(in), out(in.size() + in.size() / 4, 0xA5), self(in);
        const int got = remove ? QvStartCode::RemoveRaceBytes(src.data(), n, out.data())
                               : QvStartCode::RestoreRaceBytes(src.data(), n, out.data());
        if (got != static_cast<int>(want.size()) || !std::equal(want.begin(), want.end(), out.begin()) ||
            std::count(out.begin() + got, out.end(), 0xA5) != static_cast<long>(out.size()) - got)
            return std::string(level.name) + (remove ? " remove" : " restore");
        if (!remove && (QvStartCode::RestoreRaceBytes(self.data(), n, self.data()) != got ||
                        !std::equal(want.begin(), want.end(), self.begin())))
            return std::string(level.name) + " restore in place";
    }
    return "";
}

TEST(QvStartCode, EscapeTable) {
    const struct { bool remove; const char *in, *out; } rows[] = {
        {true, "00 00 01 F0 00 00 01 E0 00 00 01 FF", "00 00 01 FF F0 00 00 01 E0 00 00 01 FF FF"},
        {false, "00 00 01 FF F0 00 00 01 E0 00 00 01 FF FF", "00 00 01 F0 00 00 01 E0 00 00 01 FF"},
        {true, "00 00 01 EF", "00 00 01 EF"},
        {true, "00 00 01", "00 00 01"},
        {true, "00 00 00 01 F5", "00 00 00 01 FF F5"},
        {true, "00 00 01 FF F0", "00 00 01 FF FF F0"},
        {false, "00 00 01 FF FF F0", "00 00 01 FF F0"},
        {false, "00 00 01 FF", "00 00 01"},  // escape byte last
        {false, "00 00 01 FF F3", "00 00 01 F3"},
        {false, "00 00 01 FF 00 00 01 FF E0", "00 00 01 00 00 01 FF E0"},  // 00 copied unexamined
        {false, "00 00 01 FE", "00 00 01 FE"},
        {false, "00 01 FF 80", "00 01 FF 80"},  // no bytes before the payload
        {true, "00 01 F5 00", "00 01 F5 00"},
        {true, "00 00 01 F0 00 00 01 F0 00 00 01 F0 00 00 01 F0 00 00 01 F0",  // the largest output
         "00 00 01 FF F0 00 00 01 FF F0 00 00 01 FF F0 00 00 01 FF F0 00 00 01 FF F0"},
    };
    for (const auto& r : rows) {
        Bytes in = Hex(r.in), out(in.size() + in.size() / 4);
        const int n = (r.remove ? QvStartCode::RemoveRaceBytes : QvStartCode::RestoreRaceBytes)(
            in.data(), static_cast<int32_t>(in.size()), out.data());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), Hex(r.out)) << r.in;
    }
}

// Random bytes heavy in 00 00 01, 00 00 00 01, code bytes F0..FF and zeros, and a walk script
// of Next, Skip and searches for codes that occur or for any value.
Bytes Biased(std::mt19937& rng, size_t n) {
    static const Bytes pieces[] = {{0, 0, 1}, {0, 0, 0, 1}, {0}, {0xFF}, {0, 0, 1, 0xFF}};
    Bytes b;
    for (uint32_t r; b.size() < n;) {
        if ((r = rng() % 16) < 5) b.insert(b.end(), pieces[r].begin(), pieces[r].end());
        else b.push_back(static_cast<unsigned char>(r < 9 ? 0xF0 + rng() % 16 : rng()));
    }
    b.resize(n);
    return b;
}

std::string Script(std::mt19937& rng, const Bytes& b) {
    static const char* const steps[] = {"N S", "N S", "N", "S", "N N"};
    std::string s = "N";
    for (size_t k = 0; k < 8 + b.size() / 8; ++k) {
        char f[16];
        const uint32_t r = rng() % 7;
        std::snprintf(f, sizeof f, "F%X", r == 5 && !b.empty() ? 0x100u + b[rng() % b.size()] : unsigned(rng() % 0x300));
        s += std::string(" ") + (r < 5 ? steps[r] : f);
    }
    return s;
}

TEST(QvStartCode, AgreesWithModelOnRandomData) {
    std::mt19937 rng(2024);
    for (int iter = 0; iter < 1500; ++iter) {
        const Bytes b = Biased(rng, iter % 100 == 0 ? 9000 + rng() % 12000 : rng() % 200);
        const int32_t n = static_cast<int32_t>(b.size());
        // Widths 1..6; masks of every kind; values taken from the data or anything at all.
        const int width = 1 + static_cast<int>(rng() % 6);
        const uint32_t masks[] = {0xFFFFFF00, 0xFFFFFFF0, 0xFFFFFFFF, static_cast<uint32_t>(rng()),
                                  static_cast<uint32_t>(rng()) | 0x00FF0000, 0xFFFFFFFFu >> (rng() % 32)};
        const uint32_t mask = masks[rng() % 6];
        uint32_t value = static_cast<uint32_t>(rng());
        if (n >= 4 && rng() % 4) {
            const unsigned char* q = &b[rng() % (n - 3)];
            value = mask & ((uint32_t{q[0]} << 24) | (uint32_t{q[1]} << 16) | (uint32_t{q[2]} << 8) | q[3]);
        }
        const model::Scan mn = model::Next(b.data(), n, width, value, mask);
        const model::Scan ml = model::Last(b.data() + n, n, width, value, mask);
        const std::string scripts[2] = {Script(rng, b), Script(rng, b)};
        std::string want[2];
        for (int back = 0; back < 2; ++back) {
            model::Walk m{b.data(), n, back ? n : 0, back != 0};
            want[back] = Trace(m, [&] { return m.pos; }, scripts[back]);
        }
        for (const auto& level : qvtest::CpuLevels()) {
            ScopedMask m(level.mask);
            Bytes c(b);  // the class's own copy: any write would show
            int32_t at = -1;
            ASSERT_EQ(QvStartCode::Next(c.data(), n, at, width, value, mask), mn.window) << level.name << iter;
            ASSERT_EQ(at, mn.at) << level.name << iter;
            ASSERT_EQ(QvStartCode::Last(c.data() + n, n, at, width, value, mask), ml.window) << level.name << iter;
            ASSERT_EQ(at, ml.at) << level.name << iter;
            for (int back = 0; back < 2; ++back) {
                QvStartCode sc(c.data(), n, back * 7);
                ASSERT_EQ(Trace(sc, [&] { return sc.GetPos(); }, scripts[back]), want[back]) << level.name << iter;
            }
            ASSERT_EQ(c, b);
        }
        // Both passes against the model; the class's round trip, with no code word F0..FE left.
        Bytes esc(b.size() + b.size() / 4), back(esc.size());
        const int m = QvStartCode::RemoveRaceBytes(Bytes(b).data(), n, esc.data());
        esc.resize(m);
        ASSERT_EQ(CheckPass(true, b) + CheckPass(false, b) + CheckPass(false, esc), "") << iter;
        ASSERT_EQ(QvStartCode::RestoreRaceBytes(esc.data(), m, back.data()), n);
        ASSERT_TRUE(std::equal(b.begin(), b.end(), back.begin())) << iter;
        for (int j = 0; j + 3 < m; ++j)
            ASSERT_FALSE(esc[j] == 0 && esc[j + 1] == 0 && esc[j + 2] == 1 && esc[j + 3] >= 0xF0 && esc[j + 3] != 0xFF)
                << iter << " at " << j;
    }
}

// Every start code of the shared streams, both ways; the counts are those their
// documentation gives, and the H.264 NAL unit types those a plain loop finds in the file.
TEST(QvStartCode, RealStreams) {
    const std::pair<const char*, size_t> files[] = {
        {"samples/sample.h264", 55}, {"samples/sample.h265", 29}, {"samples/sample.m2v", 359},
        {"streams/h264-1280x720-high-mixed.h264", 23}, {"streams/h264-176x144-cbp-4byte.h264", 102},
        {"streams/hevc-640x360-main-mixed.h265", 49}, {"streams/mpeg2-128x128-mssg.m2v", 36}};
    for (const auto& file : files) {
        Bytes d;
        QVTEST_LOAD_DATA(file.first, d);
        const bool h264 = std::string(file.first).find(".h264") != std::string::npos;
        std::map<int, int> plain, types;
        for (size_t i = 0; h264 && i + 3 < d.size(); ++i)
            if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) ++plain[d[i + 3] & 0x1F], i += 3;
        std::vector<std::pair<int32_t, uint32_t>> fwd, back;
        QvStartCode f(d.data(), static_cast<int32_t>(d.size()), 0), b(f.m_pData, f.m_lSize, 1);
        for (uint32_t c; (c = f.Next()) != 0; f.Skip()) fwd.emplace_back(f.GetPos(), c);
        for (uint32_t c; (c = b.Next()) != 0;) back.emplace_back(b.GetPos(), c);
        std::reverse(back.begin(), back.end());
        EXPECT_EQ(fwd, back) << file.first;
        EXPECT_EQ(fwd.size(), file.second) << file.first;
        if (!h264) continue;
        for (const auto& pc : fwd) ++types[pc.second & 0x1F];
        EXPECT_EQ(types, plain) << file.first;
    }
}

}  // namespace

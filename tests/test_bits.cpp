#include "BitsModel.h"
#include "QvTestSupport.h"
#include "internal/QvCpu.h"

#include <cstdio>
#include <random>
#include <sstream>

namespace {

// Memory from hex bytes, or from "b" and a bit string padded with zeros to whole bytes.
std::vector<uint8_t> Parse(const std::string& s) {
    const bool bits = !s.empty() && s[0] == 'b';
    std::string d;
    for (char c : s.substr(bits ? 1 : 0))
        if (c != ' ') d += c;
    std::vector<uint8_t> out((d.size() + (bits ? 7 : 1)) / (bits ? 8 : 2));
    for (size_t i = 0; i < d.size(); ++i) {
        const int digit = d[i] <= '9' ? d[i] - '0' : (d[i] | 0x20) - 'a' + 10;
        out[i / (bits ? 8 : 2)] |= static_cast<uint8_t>(digit << (bits ? 7 - i % 8 : i % 2 ? 0 : 4));
    }
    return out;
}

// The n-bit binary digits of v.
std::string Bin(uint32_t v, int n = 32) {
    std::string s;
    while (n-- > 0) s += static_cast<char>('0' + ((v >> n) & 1));
    return s;
}

TEST(QvBitStream, MatchesModelAtEveryLevel) {
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        for (uint32_t seed : {1u, 2u, 3u, 99u}) {
            std::mt19937 rng(seed);
            qvmodel::BitsScenario scenario([&] { return static_cast<uint32_t>(rng()); });
            for (int step = 0; step < 30000; ++step)
                ASSERT_EQ(scenario.Step(), "") << level.name << ", seed " << seed << ", step " << step;
        }
    }
}

// Every code length the window may or may not hold, at every bit offset, with the memory
// ending right after the code or a little later: the limits of the wide paths.
TEST(QvBitStream, CodesAtEveryOffsetMatchModel) {
    std::mt19937 rng(5);
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        for (int32_t off = 0; off < 8; ++off)
            for (int32_t z = 0; z <= 34; ++z)
                for (int32_t k = 0; k < 32; ++k)
                    for (size_t extra : {0, 3, 9}) {
                        std::string bits = "b" + Bin(static_cast<uint32_t>(rng()), off) + std::string(z, '0') + "1";
                        for (int32_t i = 0; i < z + k; ++i) bits += static_cast<char>('0' + rng() % 2);
                        auto mem = Parse(bits + std::string(extra * 8, '1'));
                        qvmodel::BitsModel m{mem, static_cast<int64_t>(mem.size())};
                        QvBitStream s(mem.data(), static_cast<int32_t>(mem.size()), 0);
                        m.Bits(off), s.GetBits(off);
                        const uint32_t got = k || extra == 9 ? s.GetUEK(k) : s.GetUE();  // GetUE's own path too
                        ASSERT_TRUE(got == m.UEK(k) && s.m_pCur - mem.data() == m.cur && s.m_nLeft == m.left)
                            << level.name << " off " << off << " z " << z << " k " << k << " extra " << extra;
                    }
    }
}

// Calls and their results as "op=result", the cursor as "@=byte.left": g GetBits, b GetBit1,
// c ClearBits, u/s GetUE/GetSE (with an order: GetUEK/GetSEK), m7/m30 marked reads as
// "marker:value", e EOS, n NextByte, k Skip, pBITS:V PutBits, P7:V/P30:V marked writes.
std::string Trace(QvBitStream& s, const std::string& script) {
    std::istringstream in(script);
    std::string out;
    for (std::string t; in >> t;) {
        const std::string op = t.substr(0, t.find('='));
        const int32_t a = std::atoi(op.c_str() + 1);
        const uint32_t v = static_cast<uint32_t>(std::strtoul(op.c_str() + op.find(':') + 1, nullptr, 16));
        uint32_t m = 0;
        char r[32] = "";
        switch (op[0]) {
        case 'g': std::snprintf(r, sizeof r, "%X", s.GetBits(a)); break;
        case 'b': std::snprintf(r, sizeof r, "%u", s.GetBit1()); break;
        case 'c': s.ClearBits(a); break;
        case 'u': std::snprintf(r, sizeof r, "%X", op.size() > 1 ? s.GetUEK(a) : s.GetUE()); break;
        case 's': std::snprintf(r, sizeof r, "%d", op.size() > 1 ? s.GetSEK(a) : s.GetSE()); break;
        case 'm': {
            const int ok = a == 7 ? s.GetMarkedInt7(m) : s.GetMarkedInt30(m);
            std::snprintf(r, sizeof r, "%d:%X", ok, m);
            break;
        }
        case 'e': std::snprintf(r, sizeof r, "%d", s.EOS()); break;
        case 'n': s.NextByte(); break;
        case 'k': s.Skip(a); break;
        case 'p': std::snprintf(r, sizeof r, "%u", s.PutBits(v, a)); break;
        case 'P': a == 7 ? s.PutMarkedInt7(static_cast<int32_t>(v)) : s.PutMarkedInt30(static_cast<int32_t>(v)); break;
        case '@': std::snprintf(r, sizeof r, "%d.%d", s.BytesPos(), s.m_nLeft); break;
        }
        out += (out.empty() ? "" : " ") + op + (t.find('=') == std::string::npos ? "" : "=" + std::string(r));
    }
    return out;
}

// Rules the random walk meets rarely and the model must get right too: ends of memory, 32
// and 33 zero bits, the power term at 32 bits, order-k codes, marker bits anywhere.
TEST(QvBitStream, TraceTable) {
    const std::string z31(31, '0'), z32(32, '0'), z33(33, '0'), ones = Bin(~0u);
    const struct { std::string mem; int write; const char *script, *after; } rows[] = {
        {"AB", 0, "g12=AB0 g5=0 b=0 u=0 m7=0:0 m30=0:0 @=1.8", nullptr},  // missing bits are low zeros
        {"12 34 56 78 9A", 0, "g36=23456789 @=4.4", nullptr},              // the last 32 of a long field
        {"00 00", 0, "e=0 g9=0 e=1 c99 e=1 @=2.8", nullptr},                // EOS from the last byte on
        {"b1 010 011 00100 1 010 011 00100 0001000", 0, "u=0 u=1 u=2 u=3 s=0 s=1 s=-1 s=2 u=7 @=3.1", nullptr},
        {"b0111 0111 01000 01000 10 11 0100 100", 0, "u1=5 s1=3 u2=4 s2=-2 u1=0 u1=1 u1=2 u2=0 @=3.3", nullptr},
        {"00", 0, "u=7F u=0 @=1.8", nullptr},  // 7 zeros counted, the last bit not
        {"b" + z32 + "1" + Bin(0xDEADBEEF) + "1", 0, "u=DEADBEEF b=1 @=8.6", nullptr},
        {"b" + z33 + Bin(0xDEADBEEF) + "1", 0, "u=DEADBEEF @=8.7", nullptr},  // the 33rd zero ends the run
        {"b" + z31 + "1" + ones, 0, "u1=FFFFFFFE @=8.8", nullptr},            // 2^32 counts as 1
        {"b" + z32 + "1" + Bin(0x7FFFFFFF) + z32 + "1" + Bin(0x80000000) + z32 + "1" + ones + z32 + "1" + Bin(~1u), 0,
         "s=1073741824 s=1073741824 s=0 s=1 @=32.4", nullptr},
        {"0B 0A FF FF FF FF 00 02 00 03 0B", 0, "m7=1:5 m7=0:5 m30=1:3FFFFFFF m30=0:1 g16=3 b=0 m7=0:B @=11.8",
         nullptr},  // the value read so far, with the last marker missing at the end
        {"b1 " + Bin(1, 15) + "1" + Bin(2, 15) + "1", 0, "b=1 m30=1:8002 @=4.7", nullptr},
        {"00 00 00 00 00 00 00", 1, "p7:1=7 p12:ABC=3 p32:FFFFFFFF=3 @=6.3", "03 57 9F FF FF FF E0"},
        {"00 00", 1, "p8:F0=0 k-1 p8:0C=0 @=1.0", "FC 00"},              // writing ORs bits in
        {"00 00 00 00", 1, "n p12:FFF=4 @=3.4", "00 00 FF F0"},          // after NextByte the byte takes nothing
        {"00 00", 1, "p4:FF=4 p0:1=4 @=0.4", "F0 00"},                   // value bits above the field dropped
        {std::string(30, '0'), 1, "P7:5 P30:1 P30:8000 P30:FFFFFFFF p1:1=1 P7:7F @=14.1",
         "0B 00 01 00 03 00 03 00 01 FF FF FF FF FF 80"},
    };
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        for (const auto& row : rows) {
            std::vector<uint8_t> mem = Parse(row.mem);
            const std::vector<uint8_t> before = mem;
            QvBitStream s(mem.data(), static_cast<int32_t>(mem.size()), row.write);
            EXPECT_EQ(Trace(s, row.script), row.script) << level.name;
            EXPECT_EQ(mem, row.after ? Parse(row.after) : before) << row.script << ", " << level.name;
        }
    }
}

// A real stream: the first SPS of the H.264 sample, up to the frame cropping fields, which
// end before its first emulation-prevention byte.
TEST(QvBitStream, ParsesSampleSps) {
    std::vector<uint8_t> f;
    QVTEST_LOAD_DATA("samples/sample.h264", f);
    size_t i = 0;
    while (i + 4 < f.size() && (f[i] || f[i + 1] || f[i + 2] != 1 || (f[i + 3] & 0x1F) != 7)) ++i;
    ASSERT_LT(i + 4, f.size());
    // NAL header, profile 100, flags, level 12, SPS 0, 4:2:0, bit depths, bypass flag, no
    // scaling matrices, frame number and POC type 0 fields, 4 reference frames, gaps flag,
    // 20 x 12 macroblocks, frames only, direct 8x8 flag, cropped by 6 at the bottom.
    const char* sps = "g8=67 g8=64 c8 g8=C u=0 u=1 u u c1 b=0 u=0 u=0 u=2 u=4 c1 u=13 u=B b=1 c1 b=1 u=0 u=0 u=0 u=6";
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        QvBitStream s(&f[i + 3], static_cast<int32_t>(f.size() - i - 3), 0);
        EXPECT_EQ(Trace(s, sps), sps) << level.name;
    }
}

}  // namespace

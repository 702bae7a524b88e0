#include "BitsModel.h"
#include "QvBitStream.h"
#include "QvTestSupport.h"
#include "internal/QvCpu.h"

#include <random>
#include <string>
#include <vector>

namespace {

// Memory from hex bytes, or from "b" and a bit string padded with zeros to whole bytes.
std::vector<uint8_t> Parse(const std::string& s) {
    const bool bits = !s.empty() && s[0] == 'b';
    std::string digits;
    for (char c : s.substr(bits ? 1 : 0))
        if (c != ' ') digits += c;
    std::vector<uint8_t> out((digits.size() + (bits ? 7 : 1)) / (bits ? 8 : 2));
    for (size_t i = 0; i < digits.size(); ++i) {
        if (bits) out[i / 8] |= static_cast<uint8_t>((digits[i] - '0') << (7 - i % 8));
        else out[i / 2] |= static_cast<uint8_t>(std::stoul(digits.substr(i, 1), nullptr, 16) << (i % 2 ? 0 : 4));
    }
    return out;
}

// The n-bit binary digits of v.
std::string Bin(uint32_t v, int n = 32) {
    std::string s;
    for (int i = n - 1; i >= 0; --i) s += static_cast<char>('0' + ((v >> i) & 1));
    return s;
}

// ---------------------------------------------------------------------------------------
// Every path against the bit-at-a-time model, over random calls on short memory.

TEST(QvBitStream, MatchesModelAtEveryLevel) {
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        for (uint32_t seed : {1u, 2u, 3u, 99u}) {
            std::mt19937 rng(seed);
            qvmodel::BitsScenario scenario([&] { return static_cast<uint32_t>(rng()); });
            for (int step = 0; step < 30000; ++step) {
                const std::string diff = scenario.Step();
                ASSERT_EQ(diff, "") << level.name << ", seed " << seed << ", step " << step;
            }
        }
    }
}

// Every code length the window may or may not hold, at every bit offset, with the memory
// ending right after the code or a little later: the limits of the wide path.
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
                        ASSERT_EQ(s.GetUEK(k), m.UEK(k)) << level.name << " off " << off << " z " << z << " k " << k;
                        ASSERT_EQ(s.m_pCur - mem.data(), m.cur) << level.name << " off " << off << " z " << z;
                        ASSERT_EQ(s.m_nLeft, m.left) << level.name << " off " << off << " z " << z;
                    }
    }
}

// ---------------------------------------------------------------------------------------
// Rows that pin the rules a random walk meets rarely: ends of memory, 32 and 33 zero bits,
// the power term at 32 bits, order-k codes, marker bits anywhere.

enum Op { GET, BIT1, CLEAR, UE, SE, UEK, SEK, M7, M30, PUT, PUT7, PUT30, SKIP, NEXT, EOS };

struct Call {
    Op op;
    int64_t arg;
    int64_t want;  // marked reads: (result << 32) | value; ignored for moves and M7/M30 puts
};

struct Script {
    const char* what;
    std::string mem;  // hex bytes, or "b" and a bit string padded with zeros to whole bytes
    int write;
    std::vector<Call> calls;
    int32_t bytePos, left;
    const char* after;  // hex of the memory after the calls; null: unchanged
};

int64_t Do(QvBitStream& s, const Call& c) {
    const int32_t a = static_cast<int32_t>(c.arg);
    uint32_t v = 0;
    switch (c.op) {
    case GET: return s.GetBits(a);
    case BIT1: return s.GetBit1();
    case CLEAR: return s.ClearBits(a), c.want;
    case UE: return s.GetUE();
    case SE: return s.GetSE();
    case UEK: return s.GetUEK(a);
    case SEK: return s.GetSEK(a);
    case M7: return int64_t{s.GetMarkedInt7(v)} << 32 | v;
    case M30: return int64_t{s.GetMarkedInt30(v)} << 32 | v;
    case PUT: return s.PutBits(static_cast<uint32_t>(c.arg >> 8), static_cast<int32_t>(c.arg & 0xFF));
    case PUT7: return s.PutMarkedInt7(a), c.want;
    case PUT30: return s.PutMarkedInt30(a), c.want;
    case SKIP: return s.Skip(a), c.want;
    case NEXT: return s.NextByte(), c.want;
    case EOS: return s.EOS();
    }
    return -1;
}

constexpr int64_t P(uint32_t value, int bits) { return int64_t{value} << 8 | bits; }
constexpr int64_t Marked(int ok, uint32_t v) { return int64_t{ok} << 32 | v; }

TEST(QvBitStream, ScriptTable) {
    const std::string z31(31, '0'), z32(32, '0'), z33(33, '0');
    const std::vector<Script> scripts = {
        {"missing bits are low zeros; at the end nothing moves", "AB", 0,
         {{GET, 12, 0xAB0}, {GET, 5, 0}, {BIT1, 0, 0}, {UE, 0, 0}, {M7, 0, 0}, {M30, 0, 0}}, 1, 8, nullptr},
        {"a field of 36 bits keeps the last 32", "12 34 56 78 9A", 0, {{GET, 36, 0x23456789}}, 4, 4, nullptr},
        {"EOS from the last byte on", "00 00", 0, {{EOS, 0, 0}, {GET, 9, 0}, {EOS, 0, 1}, {CLEAR, 99, 0}, {EOS, 0, 1}}, 2, 8,
         nullptr},
        {"empty memory", "", 0, {{EOS, 0, 1}, {GET, 8, 0}, {BIT1, 0, 0}, {SE, 0, 0}, {M30, 0, 0}}, 0, 8, nullptr},
        {"ue(v) and se(v)", "b1 010 011 00100 1 010 011 00100 0001000", 0,
         {{UE, 0, 0}, {UE, 0, 1}, {UE, 0, 2}, {UE, 0, 3}, {SE, 0, 0}, {SE, 0, 1}, {SE, 0, -1}, {SE, 0, 2}, {UE, 0, 7}},
         3, 1, nullptr},
        {"order-k codes", "b0111 0111 01000 01000 10 11 0100 100", 0,
         {{UEK, 1, 5}, {SEK, 1, 3}, {UEK, 2, 4}, {SEK, 2, -2}, {UEK, 1, 0}, {UEK, 1, 1}, {UEK, 1, 2}, {UEK, 2, 0}}, 3, 3,
         nullptr},
        {"zero byte: 7 zeros counted, the last not", "00", 0, {{UE, 0, 127}, {UE, 0, 0}}, 1, 8, nullptr},
        {"32 zeros: the 32 bits with nothing added", "b" + z32 + "1" + Bin(0xDEADBEEF) + "1", 0,
         {{UE, 0, 0xDEADBEEF}, {BIT1, 0, 1}}, 8, 6, nullptr},
        {"33 zeros: the 33rd ends the run", "b" + z33 + Bin(0xDEADBEEF) + "1", 0, {{UE, 0, 0xDEADBEEF}}, 8, 7, nullptr},
        {"order 1 after 31 zeros: 2^32 counts as 1", "b" + z31 + "1" + Bin(0xFFFFFFFF), 0, {{UEK, 1, 0xFFFFFFFE}}, 8, 8,
         nullptr},
        {"se(v) at the ends of the range",
         "b" + z32 + "1" + Bin(0x7FFFFFFF) + z32 + "1" + Bin(0x80000000) + z32 + "1" + Bin(0xFFFFFFFF) + z32 + "1" +
             Bin(0xFFFFFFFE),
         0, {{SE, 0, 1 << 30}, {SE, 0, 1 << 30}, {SE, 0, 0}, {SE, 0, 1}}, 32, 4, nullptr},
        {"marked reads: markers 1 and 0", "0B 0A FF FF FF FF 00 02 00 03", 0,
         {{M7, 0, Marked(1, 5)}, {M7, 0, Marked(0, 5)}, {M30, 0, Marked(1, (1 << 30) - 1)}, {M30, 0, Marked(0, 1)}},
         8, 8, nullptr},
        {"marker missing at the end", "0B", 0, {{BIT1, 0, 0}, {M7, 0, Marked(0, 0xB)}}, 1, 8, nullptr},
        {"marked 30 off the byte grid", "b1 " + Bin(1, 15) + "1" + Bin(2, 15) + "1", 0,
         {{BIT1, 0, 1}, {M30, 0, Marked(1, 0x8002)}}, 4, 7, nullptr},
        {"fields across bytes", "00 00 00 00 00 00 00", 1, {{PUT, P(1, 7), 7}, {PUT, P(0xABC, 12), 3}, {PUT, P(~0u, 32), 3}},
         6, 3, "03 57 9F FF FF FF E0"},
        {"writing ORs onto what is there", "00 00", 1, {{PUT, P(0xF0, 8), 0}, {SKIP, -1, 0}, {PUT, P(0x0C, 8), 0}}, 1, 0,
         "FC 00"},
        {"after NextByte the current byte takes nothing", "00 00 00 00", 1, {{NEXT, 0, 0}, {PUT, P(0xFFF, 12), 4}}, 3, 4,
         "00 00 FF F0"},
        {"value bits above the field are dropped", "00 00", 1, {{PUT, P(0xFF, 4), 4}, {PUT, P(1, 0), 4}}, 0, 4, "F0 00"},
        {"marked writes at any bit position", std::string(30, '0'), 1,
         {{PUT7, 5, 0}, {PUT30, 1, 0}, {PUT30, 1 << 15, 0}, {PUT30, -1, 0}, {PUT, P(1, 1), 1}, {PUT7, 127, 0}}, 14, 1,
         "0B 00 01 00 03 00 03 00 01 FF FF FF FF FF 80"},
    };
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        for (const Script& sc : scripts) {
            std::vector<uint8_t> mem = Parse(sc.mem);
            const std::vector<uint8_t> before = mem;
            QvBitStream s(mem.data(), static_cast<int32_t>(mem.size()), sc.write);
            for (size_t i = 0; i < sc.calls.size(); ++i)
                EXPECT_EQ(Do(s, sc.calls[i]), sc.calls[i].want) << sc.what << ", call " << i << ", " << level.name;
            EXPECT_EQ(s.BytesPos(), sc.bytePos) << sc.what << ", " << level.name;
            EXPECT_EQ(s.m_nLeft, sc.left) << sc.what << ", " << level.name;
            EXPECT_EQ(mem, sc.after ? Parse(sc.after) : before) << sc.what << ", " << level.name;
        }
    }
}

// ---------------------------------------------------------------------------------------
// A real stream: the first SPS of the H.264 sample, up to the frame cropping fields.

TEST(QvBitStream, ParsesSampleSps) {
    std::vector<uint8_t> file;
    QVTEST_LOAD_DATA("samples/sample.h264", file);
    std::vector<uint8_t> rbsp;
    for (size_t i = 0; i + 4 < file.size() && rbsp.empty(); ++i) {
        if (file[i] || file[i + 1] || file[i + 2] != 1 || (file[i + 3] & 0x1F) != 7) continue;
        // The NAL unit up to the next start code, without its emulation-prevention bytes.
        int zeros = 0;
        for (size_t j = i + 3; j < file.size(); ++j) {
            if (zeros >= 2 && file[j] <= 1) break;
            if (zeros >= 2 && file[j] == 3) {
                zeros = 0;
                continue;
            }
            zeros = file[j] ? 0 : zeros + 1;
            rbsp.push_back(file[j]);
        }
    }
    ASSERT_FALSE(rbsp.empty());
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        QvBitStream s(rbsp.data(), static_cast<int32_t>(rbsp.size()), 0);
        EXPECT_EQ(s.GetBits(8), 0x67u);
        EXPECT_EQ(s.GetBits(8), 100u);  // profile_idc
        s.ClearBits(8);                 // constraint flags
        EXPECT_EQ(s.GetBits(8), 12u);   // level_idc
        EXPECT_EQ(s.GetUE(), 0u);       // seq_parameter_set_id
        EXPECT_EQ(s.GetUE(), 1u);       // chroma_format_idc
        s.GetUE(), s.GetUE();           // bit depths
        s.ClearBits(1);                 // qpprime_y_zero_transform_bypass_flag
        ASSERT_EQ(s.GetBit1(), 0u) << "scaling matrices are not expected here";
        EXPECT_EQ(s.GetUE(), 0u);   // log2_max_frame_num_minus4
        EXPECT_EQ(s.GetUE(), 0u);   // pic_order_cnt_type
        EXPECT_EQ(s.GetUE(), 2u);   // log2_max_pic_order_cnt_lsb_minus4
        EXPECT_EQ(s.GetUE(), 4u);   // max_num_ref_frames
        s.ClearBits(1);             // gaps_in_frame_num_value_allowed_flag
        EXPECT_EQ(s.GetUE(), 19u);  // pic_width_in_mbs_minus1
        EXPECT_EQ(s.GetUE(), 11u);  // pic_height_in_map_units_minus1
        EXPECT_EQ(s.GetBit1(), 1u); // frame_mbs_only_flag
        s.ClearBits(1);             // direct_8x8_inference_flag
        EXPECT_EQ(s.GetBit1(), 1u); // frame_cropping_flag
        for (uint32_t crop : {0u, 0u, 0u, 6u}) EXPECT_EQ(s.GetUE(), crop);  // left, right, top, bottom
    }
}

}  // namespace

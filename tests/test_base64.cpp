#include "Base64Model.h"
#include "QvBase64.h"
#include "QvTestSupport.h"
#include "internal/QvCpu.h"

#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Runs a static form with the input in a heap block of exactly n bytes and the output in
// one of exactly the documented room, so the sanitizers see any access beyond either.
// Fails the test when the call writes more than its result and the terminator.
template <typename Fn>
std::string RunStatic(Fn fn, const std::string& in, size_t room) {
    std::unique_ptr<char[]> src(new char[in.size()]);
    std::unique_ptr<char[]> dst(new char[room]);
    std::memcpy(src.get(), in.data(), in.size());
    std::memset(dst.get(), 0x5A, room);
    const int n = fn(src.get(), static_cast<int32_t>(in.size()), dst.get());
    EXPECT_EQ(dst[n], '\0');
    for (size_t i = n + 1; i < room; ++i) EXPECT_EQ(dst[i], 0x5A) << "written beyond at " << i;
    return std::string(dst.get(), n);
}

std::string Enc(const Bytes& in) {
    return RunStatic(static_cast<int (*)(const char*, int32_t, char*)>(QvBase64::Encode), S(in),
                     (in.size() + 2) / 3 * 4 + 1);
}

Bytes Dec(const std::string& text) {
    const std::string got = RunStatic(static_cast<int (*)(const char*, int32_t, char*)>(QvBase64::Decode),
                                      text, text.size() * 3 / 4 + 1);
    QvBase64 codec;  // the member form must agree
    const int n = codec.Decode(text.data(), static_cast<int32_t>(text.size()));
    EXPECT_EQ(std::string(codec.GetString() ? codec.GetString() : "", n), got);
    return B(got);
}

// Runs body once per dispatch level of this machine.
template <typename Body>
void AtEveryLevel(Body body) {
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        SCOPED_TRACE(level.name);
        body();
    }
}

Bytes Hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(QvBase64, PublishedVectors) {
    std::vector<uint8_t> rfc, vec;
    QVTEST_LOAD_DATA("vectors/base64/rfc4648.txt", rfc);
    QVTEST_LOAD_DATA("vectors/base64/base64.vec", vec);
    std::vector<std::pair<Bytes, std::string>> valid;
    std::vector<std::string> invalid;  // from a strict decoder; ours decodes them leniently
    std::istringstream r(S(rfc)), v(S(vec));
    for (std::string line; std::getline(r, line);)
        if (line.size() > 1 && line[0] == '"') {
            const size_t mid = line.find("\"  \"");
            valid.push_back({B(line.substr(1, mid - 1)), line.substr(mid + 4, line.rfind('"') - mid - 4)});
        }
    bool inValid = false;
    Bytes binary;
    for (std::string line; std::getline(v, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find(" = ");
        const std::string value = eq == std::string::npos ? "" : line.substr(eq + 3);
        if (line.rfind("[", 0) == 0) inValid = line == "[valid]";
        if (line.rfind("Binary", 0) == 0) binary = Hex(value);
        if (line.rfind("Base64", 0) == 0) {
            if (inValid) valid.push_back({binary, value});
            else invalid.push_back(value);
        }
    }
    ASSERT_EQ(valid.size(), 29u);
    ASSERT_EQ(invalid.size(), 9u);
    AtEveryLevel([&] {
        for (const auto& [bytes, text] : valid) {
            EXPECT_EQ(Enc(bytes), text);
            EXPECT_EQ(Dec(text), bytes) << text;
        }
        for (const auto& text : invalid) EXPECT_EQ(Dec(text), qvmodel::Base64Decode(text)) << text;
    });
}

TEST(QvBase64, LenientDecodingRows) {
    const struct {
        std::string text, bytes;
    } rows[] = {
        {"", ""}, {"=", ""}, {"==", ""}, {"Q", ""}, {"QR", "A"}, {"QUI", "AB"}, {"/w==", "\xff"},
        {"QQ==QUJD", "A"},             // "=" in the third place ends the text
        {"QUJDQUJD", "ABCABC"},        // unpadded groups run on
        {"=Q=Q=QUJD", "A"},            // skipped in the first two places
        {"QUI\r\n=QUJD", "AB"},        // "=" after skipped characters still counts
        {"Q\r\nU J\x80\xff" "D", "ABC"},
        {std::string("QU\0JD", 5), "ABC"},
        {"QUJD" + std::string(70, '\xc3') + "QUJD", "ABCABC"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(S(qvmodel::Base64Decode(row.text)), row.bytes) << "model: " << row.text;
        AtEveryLevel([&] { EXPECT_EQ(S(Dec(row.text)), row.bytes) << row.text; });
    }
}

TEST(QvBase64, NonPositiveLengthWritesOnlyTheTerminator) {
    for (int32_t n : {0, -5}) {
        char dst[2] = {'x', 'y'};
        EXPECT_EQ(QvBase64::Encode("abc", n, dst), 0);
        EXPECT_EQ(std::string(dst, 2), std::string("\0y", 2));
        dst[0] = 'x';
        EXPECT_EQ(QvBase64::Decode("QUJD", n, dst), 0);
        EXPECT_EQ(std::string(dst, 2), std::string("\0y", 2));
    }
}

// Clean text with noise at random places: characters outside the alphabet, "=", line
// breaks, spaces, NUL and bytes 0x80..0xFF, sparse or dense, so that the fast paths both
// run long and hand over at every position.
std::string NoisyText(std::mt19937& rng) {
    Bytes raw(rng() % 400);
    for (auto& b : raw) b = static_cast<uint8_t>(rng());
    std::string text = qvmodel::Base64Encode(raw), out;
    const uint32_t density = 1 + rng() % 200;
    static const std::string noise[] = {"=", "==", "\r\n", " ", std::string(1, '\0'), "!", "-_"};
    for (char c : text) {
        if (rng() % density == 0) {
            const uint32_t k = rng() % 9;
            out += k < 7 ? noise[k] : std::string(1, static_cast<char>(0x80 + rng() % 128));
        }
        if (rng() % (density * 4) != 0) out += c;  // also drop characters now and then
    }
    return out;
}

TEST(QvBase64, RandomTextAgainstModel) {
    std::mt19937 rng(4648);
    for (int i = 0; i < 300; ++i) {
        const std::string text = NoisyText(rng);
        const size_t n = rng() % 4 == 0 ? rng() % (text.size() + 1) : text.size();
        const Bytes expected = qvmodel::Base64Decode(text.substr(0, n));
        AtEveryLevel([&] { ASSERT_EQ(Dec(text.substr(0, n)), expected) << text; });
    }
}

TEST(QvBase64, EveryByteValueAtEveryPlaceOfCleanBlocks) {
    std::mt19937 rng(7);
    Bytes raw(54);
    for (auto& b : raw) b = static_cast<uint8_t>(rng());
    const std::string clean = qvmodel::Base64Encode(raw);  // 72 characters
    AtEveryLevel([&] {
        for (size_t at = 0; at < clean.size(); ++at)
            for (int c = 0; c < 256; ++c) {
                std::string text = clean;
                text[at] = static_cast<char>(c);
                ASSERT_EQ(Dec(text), qvmodel::Base64Decode(text)) << "byte " << c << " at " << at;
            }
    });
}

TEST(QvBase64, RoundTripAllLengths) {
    std::mt19937 rng(2000);
    Bytes raw(2000);
    for (auto& b : raw) b = static_cast<uint8_t>(rng());
    AtEveryLevel([&] {
        for (size_t len = 0; len <= raw.size(); len += 1 + len / 64) {
            const Bytes in(raw.begin(), raw.begin() + len);
            const std::string text = Enc(in);
            ASSERT_EQ(text, qvmodel::Base64Encode(in)) << len;
            ASSERT_EQ(Dec(text), in) << len;
            std::string lines, bare = text.substr(0, text.find('='));
            for (size_t i = 0; i < text.size(); i += 76) lines += text.substr(i, 76) + "\r\n";
            ASSERT_EQ(Dec(lines), in) << len;
            ASSERT_EQ(Dec(bare), in) << len;
            ASSERT_EQ(Dec(text + text), len % 3 ? in : qvmodel::Base64Decode(text + text)) << len;
        }
    });
}

// One codec through a sequence of member calls: result, the size of any block it takes
// (0: none), and what GetString then shows.
TEST(QvBase64, MemberFormsAllocateExactlyAndReuse) {
    const struct {
        bool encode;
        std::string in;
        int32_t n;
        bool fail;  // the allocation fails
        int result;
        size_t alloc;
        std::string text;  // "": GetString() is null
    } rows[] = {
        {true, "ABC", 0, false, 0, 0, ""},          // n = 0 on a new codec: nothing
        {true, "ABC", 3, false, 4, 10, "QUJD"},     // (4 * 3) / 3 + 6
        {true, "A", 1, false, 4, 0, "QQ=="},        // the block of 10 is reused
        {false, "QUJD", 4, false, 3, 0, "ABC"},     // 5 fits
        {true, "x", 0, false, 0, 0, "ABC"},         // n = 0 leaves the last result
        {false, "QUJD QUJD", 9, false, 6, 0, "ABCABC"},
        {false, "AAECAA==", 8, false, 4, 0, std::string("\0\1\2\0", 4)},
        {true, std::string(30, 'a'), 30, false, 40, 46, "YWFh"},
        {false, "QUJD", -1, false, 0, 0, "YWFh"},
        {false, std::string(60, 'Q'), 60, true, 0, 61, ""},  // failed: no block left
        {true, "ABC", 0, false, 0, 0, ""},
        {false, "QUJD", 4, true, 0, 5, ""},
        {true, std::string(99, 'a'), 99, false, 132, 138, "YWFh"},
    };
    QvBase64 codec;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        const long before = qvtest::AllocCount();
        if (row.fail) qvtest::FailNthAlloc(1);
        const int got = row.encode ? codec.Encode(row.in.data(), row.n) : codec.Decode(row.in.data(), row.n);
        qvtest::ResetAllocFaults();
        EXPECT_EQ(got, row.result);
        EXPECT_EQ(qvtest::AllocCount() - before, row.alloc ? 1 : 0);
        if (row.alloc) {
            EXPECT_EQ(qvtest::LastAllocSize(), row.alloc);
        }
        if (row.text.empty()) {
            EXPECT_EQ(codec.GetString(), nullptr);
        } else {
            EXPECT_EQ(std::string(codec.GetString(), row.text.size()), row.text);
        }
    }
}

TEST(QvBase64, CopiesOwnTheirOutput) {
    QvBase64 a;
    ASSERT_EQ(a.Encode("ABC", 3), 4);
    QvBase64 b(a), c;
    c = a;
    for (const QvBase64* copy : {&b, &c}) {
        EXPECT_NE(copy->GetString(), a.GetString());
        EXPECT_STREQ(copy->GetString(), "QUJD");
    }
    qvtest::AllocFault fault(1);
    const QvBase64 failed(a);
    EXPECT_EQ(failed.GetString(), nullptr);
}

}  // namespace

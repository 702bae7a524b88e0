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
using StaticForm = int (*)(const char*, int32_t, char*);

std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Input in a heap block of exactly its length, output in one of exactly the documented
// room, so the sanitizers see any access beyond either; nothing may be written after the
// terminator.
std::string RunStatic(StaticForm fn, const std::string& in, size_t room) {
    std::unique_ptr<char[]> src(new char[in.size()]), dst(new char[room]);
    std::memcpy(src.get(), in.data(), in.size());
    std::memset(dst.get(), 0x5A, room);
    const int n = fn(src.get(), static_cast<int32_t>(in.size()), dst.get());
    EXPECT_EQ(dst[n], '\0');
    for (size_t i = n + 1; i < room; ++i) EXPECT_EQ(dst[i], 0x5A) << "written beyond, at " << i;
    return std::string(dst.get(), n);
}

std::string Enc(const Bytes& in) {
    return RunStatic(QvBase64::Encode, S(in), (in.size() + 2) / 3 * 4 + 1);
}

// The static and the member form, which must agree.
std::string Dec(const std::string& text) {
    const std::string got = RunStatic(QvBase64::Decode, text, text.size() * 3 / 4 + 1);
    QvBase64 codec;
    const int n = codec.Decode(text.data(), static_cast<int32_t>(text.size()));
    EXPECT_EQ(std::string(n ? codec.GetString() : "", n), got);
    return got;
}

template <typename Body> void AtEveryLevel(Body body) {
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        SCOPED_TRACE(level.name);
        body();
    }
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

TEST(QvBase64, PublishedVectors) {
    Bytes rfc, vec;
    QVTEST_LOAD_DATA("vectors/base64/rfc4648.txt", rfc);
    QVTEST_LOAD_DATA("vectors/base64/base64.vec", vec);
    std::vector<std::pair<std::string, std::string>> valid;  // bytes, text
    std::vector<std::string> invalid;  // rejected by a strict decoder; ours is lenient
    std::istringstream r(S(rfc)), v(S(vec));
    for (std::string line; std::getline(r, line);) {
        const size_t mid = line.find("\"  \"");
        if (line[0] == '"')
            valid.push_back({line.substr(1, mid - 1), line.substr(mid + 4, line.size() - mid - 5)});
    }
    std::string section, binary;
    for (std::string line; std::getline(v, line);) {
        const size_t eq = line.find(" = ");
        const std::string key = line.substr(0, eq),
                          value = eq == std::string::npos ? "" : line.substr(eq + 3);
        if (line[0] == '[') section = line;
        if (key == "Binary") {
            binary.clear();
            for (size_t i = 0; i + 1 < value.size(); i += 2)
                binary += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
        }
        if (key == "Base64" && section == "[valid]") valid.push_back({binary, value});
        if (key == "Base64" && section == "[invalid]") invalid.push_back(value);
    }
    ASSERT_EQ(valid.size(), 29u);
    ASSERT_EQ(invalid.size(), 9u);
    AtEveryLevel([&] {
        for (const auto& [bytes, text] : valid) {
            EXPECT_EQ(Enc(Bytes(bytes.begin(), bytes.end())), text);
            EXPECT_EQ(Dec(text), bytes) << text;
        }
        for (const auto& t : invalid) EXPECT_EQ(Dec(t), S(qvmodel::Base64Decode(t))) << t;
    });
}

TEST(QvBase64, LenientDecodingRows) {
    const struct {
        std::string text, bytes;
    } rows[] = {
        {"", ""}, {"=", ""}, {"==", ""}, {"Q", ""}, {"QR", "A"}, {"QUI", "AB"}, {"/w==", "\xff"},
        {"QQ==QUJD", "A"},      // "=" in the third place ends the text
        {"QUJDQUJD", "ABCABC"},  // unpadded groups run on
        {"=Q=Q=QUJD", "A"},     // skipped in the first two places
        {"QUI\r\n=QUJD", "AB"},  // "=" after skipped characters still counts
        {"Q\r\nU J\x80\xff" "D", "ABC"}, {std::string("QU\0JD", 5), "ABC"},
        {"QUJD" + std::string(70, '\xc3') + "QUJD", "ABCABC"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(S(qvmodel::Base64Decode(row.text)), row.bytes) << "model: " << row.text;
        AtEveryLevel([&] { EXPECT_EQ(Dec(row.text), row.bytes) << row.text; });
    }
    for (int32_t n : {0, -5}) {
        for (StaticForm fn : {StaticForm(QvBase64::Encode), StaticForm(QvBase64::Decode)}) {
            char dst[2] = {'x', 'y'};
            EXPECT_EQ(fn("QUJD", n, dst), 0);
            EXPECT_EQ(std::string(dst, 2), std::string("\0y", 2)) << n;
        }
    }
}

// Encoded random bytes with noise at random places and density: characters outside the
// alphabet, "=", CR LF, spaces, NUL and bytes 0x80..0xFF, and characters left out, so the
// wide paths both run long and hand over at every place.
TEST(QvBase64, RandomTextAgainstModel) {
    std::mt19937 rng(4648);
    static const std::string noise[] = {"=", "==", "\r\n", " ", std::string(1, '\0'), "!", "-_"};
    for (int i = 0; i < 300; ++i) {
        const std::string clean = qvmodel::Base64Encode(RandomBytes(rng, rng() % 400));
        const uint32_t density = 1 + rng() % 200;
        std::string text;
        for (char c : clean) {
            if (rng() % density == 0) {
                const uint32_t k = rng() % 9;
                text += k < 7 ? noise[k] : std::string(1, static_cast<char>(0x80 + rng() % 128));
            }
            if (rng() % (density * 4) != 0) text += c;
        }
        text.resize(rng() % 4 ? text.size() : rng() % (text.size() + 1));
        const std::string expected = S(qvmodel::Base64Decode(text));
        AtEveryLevel([&] { ASSERT_EQ(Dec(text), expected) << text; });
    }
}

// The wide decoders classify whole blocks at once: any byte at any place of a clean text
// must hand over exactly where the rules take over.
TEST(QvBase64, EveryByteValueAtEveryPlaceOfCleanBlocks) {
    std::mt19937 rng(7);
    const std::string clean = qvmodel::Base64Encode(RandomBytes(rng, 54));  // 72 characters
    AtEveryLevel([&] {
        for (size_t at = 0; at < clean.size(); ++at)
            for (int c = 0; c < 256; ++c) {
                std::string text = clean;
                text[at] = static_cast<char>(c);
                ASSERT_EQ(Dec(text), S(qvmodel::Base64Decode(text)))
                    << "byte " << c << " at " << at;
            }
    });
}

TEST(QvBase64, RoundTripLengthsUpTo2000) {
    std::mt19937 rng(2000);
    const Bytes raw = RandomBytes(rng, 2000);
    AtEveryLevel([&] {
        for (size_t len = 0; len <= raw.size(); len += 1 + rng() % 40) {
            const Bytes in(raw.begin(), raw.begin() + len);
            const std::string text = Enc(in);
            ASSERT_EQ(text, qvmodel::Base64Encode(in)) << len;
            std::string lines;  // as MIME breaks it
            for (size_t i = 0; i < text.size(); i += 76) lines += text.substr(i, 76) + "\r\n";
            ASSERT_EQ(Dec(text), S(in)) << len;
            ASSERT_EQ(Dec(lines), S(in)) << len;
        }
    });
}

// One codec through a sequence of member calls: result, the size of the block it takes
// (0: none), and what GetString then shows ("": null).
TEST(QvBase64, MemberFormsAllocateExactlyAndReuse) {
    const struct {
        bool encode;
        std::string in;
        int32_t n;
        bool fail;  // the allocation fails
        int result;
        size_t alloc;
        std::string text;
    } rows[] = {
        {true, "ABC", 0, false, 0, 0, ""},      // n = 0 on a new codec: nothing
        {true, "ABC", 3, false, 4, 10, "QUJD"},  // (4 * 3) / 3 + 6
        {true, "A", 1, false, 4, 0, "QQ=="},    // the block of 10 is reused
        {false, "QUJD", 4, false, 3, 0, "ABC"},  // 4 + 1 fits
        {true, "x", 0, false, 0, 0, "ABC"},     // n = 0 leaves the last result
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
        const int got =
            row.encode ? codec.Encode(row.in.data(), row.n) : codec.Decode(row.in.data(), row.n);
        qvtest::ResetAllocFaults();
        EXPECT_EQ(got, row.result);
        EXPECT_EQ(qvtest::AllocCount() - before, row.alloc ? 1 : 0);
        EXPECT_EQ(row.alloc ? qvtest::LastAllocSize() : 0, row.alloc);
        ASSERT_EQ(codec.GetString() == nullptr, row.text.empty());
        EXPECT_EQ(std::string(row.text.empty() ? "" : codec.GetString(), row.text.size()),
                  row.text);
    }
}

TEST(QvBase64, CopiesOwnTheirOutput) {
    QvBase64 a, c;
    ASSERT_EQ(a.Encode("ABC", 3), 4);
    const QvBase64 b(a);
    c = a;
    EXPECT_TRUE(b.GetString() != a.GetString() && c.GetString() != a.GetString());
    EXPECT_STREQ(b.GetString(), "QUJD");
    EXPECT_STREQ(c.GetString(), "QUJD");
    qvtest::AllocFault fault(1);
    EXPECT_EQ(QvBase64(a).GetString(), nullptr);
}

}  // namespace

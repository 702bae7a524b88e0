#include "Base64Model.h"
#include "QvBase64.h"
#include "QvTestSupport.h"

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qvmodel::CheckBase64;
using StaticForm = int (*)(const char*, int32_t, char*);

TEST(QvBase64, PublishedVectors) {
    std::vector<uint8_t> rfc, vec;
    QVTEST_LOAD_DATA("vectors/base64/rfc4648.txt", rfc);
    QVTEST_LOAD_DATA("vectors/base64/base64.vec", vec);
    std::vector<std::pair<std::string, std::string>> valid;  // bytes, text
    std::vector<std::string> invalid;  // rejected by a strict decoder; ours is lenient
    std::istringstream r(std::string(rfc.begin(), rfc.end()));
    std::istringstream v(std::string(vec.begin(), vec.end()));
    for (std::string l; std::getline(r, l);) {  // "bytes"  "text"
        const size_t mid = l.find("\"  \"");
        if (l[0] == '"')
            valid.push_back({l.substr(1, mid - 1), l.substr(mid + 4, l.size() - mid - 5)});
    }
    std::string section, binary;
    for (std::string l; std::getline(v, l);) {  // Binary = hex, Base64 = text
        if (l[0] == '[') section = l;
        const size_t eq = l.find(" = ");
        const std::string key = l.substr(0, eq), value = eq == l.npos ? "" : l.substr(eq + 3);
        if (key == "Binary") binary.clear();
        for (size_t i = 0; key == "Binary" && i + 1 < value.size(); i += 2)
            binary += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
        if (key == "Base64" && section == "[valid]") valid.push_back({binary, value});
        if (key == "Base64" && section == "[invalid]") invalid.push_back(value);
    }
    ASSERT_EQ(valid.size(), 29u);
    ASSERT_EQ(invalid.size(), 9u);
    for (const auto& [bytes, text] : valid) {  // the model, then the codec against it
        EXPECT_EQ(qvmodel::Base64Encode(bytes), text);
        EXPECT_EQ(qvmodel::Base64Decode(text), bytes) << text;
        EXPECT_EQ(CheckBase64(text, bytes), "") << text;
    }
    for (const auto& t : invalid) EXPECT_EQ(CheckBase64(t, ""), "") << t;
}

// The lenient rules, pinned for the model as much as for the codec.
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
        EXPECT_EQ(qvmodel::Base64Decode(row.text), row.bytes) << row.text;
        EXPECT_EQ(CheckBase64(row.text, ""), "") << row.text;
    }
    for (StaticForm fn : {StaticForm(QvBase64::Encode), StaticForm(QvBase64::Decode)}) {
        char dst[2] = {'x', 'y'};  // n < 0: the terminator only
        EXPECT_EQ(fn("QUJD", -5, dst), 0);
        EXPECT_EQ(std::string(dst, 2), std::string("\0y", 2));
    }
}

// Random bytes of up to 2000 (every tail of every wide path), their encoding, and that text
// decoded clean and with noise at random places and density: characters outside the
// alphabet, "=", CR LF, spaces, NUL, bytes 0x80..0xFF and characters left out, so the wide
// paths both run long and hand over at every place.
TEST(QvBase64, RandomTextAgainstModel) {
    std::mt19937 rng(4648);
    static const std::string noise[] = {"=", "==", "\r\n", " ", std::string(1, '\0'), "!", "-_"};
    for (int i = 0; i < 400; ++i) {
        std::string raw(rng() % (i % 4 ? 400 : 2000), '\0'), text;
        for (auto& x : raw) x = static_cast<char>(rng());
        const std::string clean = qvmodel::Base64Encode(raw);
        const uint32_t density = 1 + rng() % 200;
        for (char c : clean) {
            if (rng() % density == 0) {
                const uint32_t k = rng() % 9;
                text += k < 7 ? noise[k] : std::string(1, static_cast<char>(0x80 + rng() % 128));
            }
            if (rng() % (density * 4) != 0) text += c;
        }
        text.resize(rng() % 4 ? text.size() : rng() % (text.size() + 1));
        ASSERT_EQ(qvmodel::Base64Decode(clean), raw);
        ASSERT_EQ(CheckBase64(clean, raw), "") << clean;
        ASSERT_EQ(CheckBase64(text, raw), "") << text;
    }
}

// The wide decoders classify whole blocks at once: any byte at any place of a clean text
// must hand over exactly where the rules take over.
TEST(QvBase64, EveryByteValueAtEveryPlaceOfCleanBlocks) {
    std::string raw(54, '\0');  // 72 characters
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<char>(i * 97 + 13);
    const std::string clean = qvmodel::Base64Encode(raw);
    for (size_t at = 0; at < clean.size(); ++at)
        for (int c = 0; c < 256; ++c) {
            std::string text = clean;
            text[at] = static_cast<char>(c);
            ASSERT_EQ(CheckBase64(text, ""), "") << "byte " << c << " at " << at;
        }
}

// One codec through a sequence of member calls: result, the size of the block it takes
// (0: none), and what GetString then shows ("": null); then copies of the last result.
TEST(QvBase64, MemberFormsAllocateExactlyReuseAndCopy) {
    const struct {
        bool encode, fail;  // fail: the allocation fails
        std::string in;
        int32_t n, result;
        size_t alloc;
        std::string text;
    } rows[] = {
        {false, false, "QUJD", 0, 0, 0, ""},  // n = 0 on a new codec: nothing
        {true, false, "ABC", 3, 4, 10, "QUJD"},  // (4 * 3) / 3 + 6
        {true, false, "A", 1, 4, 0, "QQ=="},    // the block of 10 is reused
        {false, false, "QUJD", 4, 3, 0, "ABC"},  // 4 + 1 fits
        {true, false, "x", 0, 0, 0, "ABC"},     // n = 0 leaves the last result
        {false, false, "QUJD QUJD", 9, 6, 0, "ABCABC"},
        {true, false, std::string(30, 'a'), 30, 40, 46, "YWFh"},
        {false, false, "QUJD", -1, 0, 0, "YWFh"},
        {false, true, std::string(60, 'Q'), 60, 0, 61, ""},  // failed: no block left
        {true, false, std::string(99, 'a'), 99, 132, 138, "YWFh"},  // a new block
    };
    QvBase64 codec, assigned;
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
    const QvBase64 copy(codec);  // a block of its own, or none when it cannot have one
    assigned = codec;
    EXPECT_TRUE(copy.GetString() != codec.GetString() && assigned.GetString() != codec.GetString());
    EXPECT_STREQ(copy.GetString(), codec.GetString());
    EXPECT_STREQ(assigned.GetString(), codec.GetString());
    qvtest::AllocFault fault(1);
    EXPECT_EQ(QvBase64(codec).GetString(), nullptr);
}

}  // namespace

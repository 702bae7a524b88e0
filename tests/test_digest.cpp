#include "DigestModel.h"
#include "QvMD5.h"
#include "QvSHA1.h"
#include "QvTestSupport.h"
#include "internal/QvCpu.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using qvmodel::Bytes;

Bytes FromHex(const std::string& h) {
    Bytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Lines without their CR/LF ending.
std::vector<std::string> Lines(const std::vector<uint8_t>& file) {
    std::vector<std::string> out(1);
    for (uint8_t c : file) {
        if (c == '\n') out.emplace_back();
        else if (c != '\r') out.back() += static_cast<char>(c);
    }
    return out;
}

// The value of "key = value", or "" with found false.
std::string Field(const std::string& line, const char* key, bool& found) {
    const std::string k = std::string(key) + " =";
    found = line.compare(0, k.size(), k) == 0;
    return found && line.size() > k.size() ? line.substr(k.size() + 1) : "";
}

template <class Obj>
std::string DigestOf(const Bytes& msg) {
    Obj o;
    Bytes copy = msg;
    EXPECT_EQ(o.Init(), 1);
    EXPECT_EQ(o.Append(copy.data(), static_cast<int32_t>(copy.size())), 1);
    EXPECT_EQ(o.Final(), 1);
    return std::string(o.GetString());
}

// MD5 against RFC 1321's suite and Botan's vectors, through the object and the one-shot
// members, and the model against the same values.
TEST(QvMD5, PublishedVectors) {
    std::vector<uint8_t> rfc, vec;
    QVTEST_LOAD_DATA("vectors/md5/rfc1321.txt", rfc);
    QVTEST_LOAD_DATA("vectors/md5/md5.vec", vec);
    std::vector<std::pair<Bytes, std::string>> cases;
    for (const std::string& l : Lines(rfc)) {
        const size_t q = l.rfind('"');
        if (l.empty() || l[0] != '"' || q == 0) continue;
        cases.push_back({Bytes(l.begin() + 1, l.begin() + static_cast<long>(q)), Upper(l.substr(q + 3))});
    }
    ASSERT_EQ(cases.size(), 7u);
    Bytes in;
    bool found;
    for (const std::string& l : Lines(vec)) {
        const std::string v = Field(l, "In", found);
        if (found) in = FromHex(v);
        const std::string out = Field(l, "Out", found);
        if (found) cases.push_back({in, Upper(out)});
    }
    ASSERT_EQ(cases.size(), 7u + 78u);
    for (auto& [msg, hex] : cases) {
        EXPECT_EQ(qvmodel::Hex(qvmodel::Md5(msg)), hex);
        EXPECT_EQ(DigestOf<QvMD5>(msg), hex) << msg.size() << " bytes";
        if (msg.empty()) continue;
        unsigned char out[QvMD5::MD5_SIZE];
        EXPECT_EQ(QvMD5::Encode(msg.data(), static_cast<int32_t>(msg.size()), out, 16), 1);
        EXPECT_EQ(qvmodel::Hex(Bytes(out, out + 16)), hex);
        Bytes want = FromHex(hex);
        EXPECT_EQ(QvMD5::Check(msg.data(), static_cast<int32_t>(msg.size()), want.data(), 16), 1);
    }
}

// NIST's byte-oriented SHA-1 vectors on every dispatch level (Len is in bits; Len = 0
// still lists one message byte, which is not part of the message).
TEST(QvSHA1, NistShortAndLongMessages) {
    std::vector<std::pair<Bytes, std::string>> cases;
    for (const char* name : {"vectors/sha1/SHA1ShortMsg.rsp", "vectors/sha1/SHA1LongMsg.rsp"}) {
        std::vector<uint8_t> file;
        QVTEST_LOAD_DATA(name, file);
        size_t len = 0;
        Bytes msg;
        bool found;
        for (const std::string& l : Lines(file)) {
            const std::string n = Field(l, "Len", found);
            if (found) len = std::stoul(n) / 8;
            const std::string m = Field(l, "Msg", found);
            if (found) msg = FromHex(m), msg.resize(len);
            const std::string md = Field(l, "MD", found);
            if (found) cases.push_back({msg, Upper(md)});
        }
    }
    ASSERT_EQ(cases.size(), 65u + 64u);
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        for (const auto& [msg, hex] : cases) EXPECT_EQ(DigestOf<QvSHA1>(msg), hex) << level.name << ", " << msg.size() << " bytes";
    }
    for (const auto& [msg, hex] : cases) EXPECT_EQ(qvmodel::Hex(qvmodel::Sha1(msg)), hex);
}

TEST(QvSHA1, NistMonteCarlo) {
    std::vector<uint8_t> file;
    QVTEST_LOAD_DATA("vectors/sha1/SHA1Monte.rsp", file);
    Bytes seed;
    std::vector<std::string> checkpoints;
    bool found;
    for (const std::string& l : Lines(file)) {
        const std::string s = Field(l, "Seed", found);
        if (found) seed = FromHex(s);
        const std::string md = Field(l, "MD", found);
        if (found) checkpoints.push_back(Upper(md));
    }
    ASSERT_EQ(checkpoints.size(), 100u);
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        Bytes md = seed;
        QvSHA1 o;
        for (size_t j = 0; j < checkpoints.size(); ++j) {
            Bytes m = md;  // MD(i-3) || MD(i-2) || MD(i-1)
            m.insert(m.end(), md.begin(), md.end());
            m.insert(m.end(), md.begin(), md.end());
            for (int i = 3; i < 1003; ++i) {
                o.Init();
                o.Append(m.data(), 60);
                o.Final();
                std::memmove(m.data(), m.data() + 20, 40);
                std::memcpy(m.data() + 40, o.GetBuffer()->m_pData, 20);
            }
            md.assign(m.begin() + 40, m.end());
            ASSERT_EQ(qvmodel::Hex(md), checkpoints[j]) << level.name << ", checkpoint " << j;
        }
    }
}

template <class Obj>
class Digest : public ::testing::Test {};
using DigestTypes = ::testing::Types<QvMD5, QvSHA1>;
TYPED_TEST_SUITE(Digest, DigestTypes);

// Random messages in random pieces (0 to 200 bytes, across block boundaries) give the
// model's digest of the whole on every level, and the pieces stay as they were.
TYPED_TEST(Digest, PiecesMatchTheWholeMessage) {
    using A = qvmodel::Algo<TypeParam>;
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        std::mt19937 rng(77);
        for (int round = 0; round < 40; ++round) {
            Bytes msg(rng() % 1000);
            for (auto& c : msg) c = static_cast<uint8_t>(rng());
            const Bytes before = msg;
            TypeParam o;
            ASSERT_EQ(o.Init(), 1);
            for (size_t at = 0; at < msg.size();) {
                const size_t n = std::min<size_t>(rng() % 201, msg.size() - at);
                ASSERT_EQ(o.Append(msg.data() + at, static_cast<int32_t>(n)), 1);
                at += n;
            }
            ASSERT_EQ(o.Final(), 1);
            EXPECT_EQ(std::string(o.GetString()), qvmodel::Hex(A::Hash(msg))) << level.name << ", " << msg.size() << " bytes";
            EXPECT_EQ(msg, before);
        }
    }
}

// One row: a sequence of calls on a new object, their results, and what the object shows.
struct LifeRow {
    const char* ops;      // I Init; X, Y Init whose 1st / 2nd allocation fails; a "abc";
                          // b 200 bytes; z Append(null, 0); n Append(-1); F Final;
                          // C, M copy / move onto itself
    const char* results;  // one digit per call
    const char* digestOf;  // null: GetString ""; else the digest of these appends shows
    bool wiped;            // ... computed from the context Final wiped
    bool context;          // GetBuffer non-null
};

TYPED_TEST(Digest, LifecycleTable) {
    using A = qvmodel::Algo<TypeParam>;
    const LifeRow rows[] = {
        {"", "", nullptr, false, false},       {"azF", "000", nullptr, false, false},
        {"I", "1", nullptr, false, true},      {"IF", "11", "", false, true},
        {"IzF", "111", "", false, true},       {"InF", "101", "", false, true},
        {"IabF", "1111", "ab", false, true},   {"IaFI", "1111", "a", false, true},
        {"IaFIb", "11111", "a", false, true},  {"IaIbF", "11111", "b", false, true},
        {"IaFF", "1111", "", true, true},      {"IaFbF", "11111", "b", true, true},
        {"IaFIbF", "111111", "b", false, true}, {"X", "0", nullptr, false, false},
        {"Y", "0", nullptr, false, false},     {"XaF", "000", nullptr, false, false},
        {"YIaF", "0111", "a", false, true},    {"IaFX", "1110", nullptr, false, false},
        {"IaFY", "1111", "a", false, true},    {"IaCF", "1111", "a", false, true},
        {"IaMF", "1111", "a", false, true},    {"IaFXIF", "111011", "", false, true},
    };
    Bytes abc = {'a', 'b', 'c'}, b200(200);
    for (size_t i = 0; i < b200.size(); ++i) b200[i] = static_cast<uint8_t>(i * 7);
    for (const LifeRow& r : rows) {
        TypeParam o, *self = &o;
        std::string results;
        for (const char* op = r.ops; *op; ++op) {
            if (*op == 'X' || *op == 'Y') qvtest::FailNthAlloc(*op == 'X' ? 1 : 2);
            int got = 1;
            switch (*op) {
            case 'I': case 'X': case 'Y': got = o.Init(); break;
            case 'a': got = o.Append(abc.data(), 3); break;
            case 'b': got = o.Append(b200.data(), 200); break;
            case 'z': got = o.Append(nullptr, 0); break;
            case 'n': got = o.Append(abc.data(), -1); break;
            case 'F': got = o.Final(); break;
            case 'C': o = *self; break;
            case 'M': o = std::move(*self); break;
            }
            qvtest::ResetAllocFaults();
            results += static_cast<char>('0' + got);
        }
        EXPECT_EQ(results, r.results) << r.ops;
        Bytes msg;
        for (const char* p = r.digestOf; p && *p; ++p) msg.insert(msg.end(), *p == 'a' ? abc.begin() : b200.begin(), *p == 'a' ? abc.end() : b200.end());
        EXPECT_EQ(std::string(o.GetString()), r.digestOf ? qvmodel::Hex(A::Hash(msg, r.wiped)) : "") << r.ops;
        const QvBuffer* b = o.GetBuffer();
        ASSERT_EQ(b != nullptr, r.context) << r.ops;
        if (b) {
            EXPECT_EQ(b->m_lSize, r.digestOf ? A::kSize : 0) << r.ops;
            EXPECT_EQ(b->m_nFlags, QvBuffer::FLAGS_DELETE) << r.ops;
        }
    }
}

// Random calls, copies, moves and allocation faults on two objects against the model.
TYPED_TEST(Digest, RandomLifecycleAgainstModel) {
    std::mt19937 rng(4242);
    qvmodel::DigestScenario<TypeParam> scenario([&] { return static_cast<uint32_t>(rng()); });
    for (int step = 0; step < 3000; ++step) {
        const std::string diff = scenario.Step();
        ASSERT_EQ(diff, "") << "step " << step;
    }
}

TEST(QvMD5, EncodeRefusalsTable) {
    const struct {
        bool nullData;
        int32_t count;
        bool nullOut;
        int32_t outSize;
        int expected;
    } rows[] = {
        {true, 3, false, 16, 0},  {false, 0, false, 16, 0},  {false, -1, false, 16, 0},
        {false, 3, true, 16, 0},  {false, 3, false, 15, 0},  {false, 3, false, -16, 0},
        {false, 3, false, 16, 1}, {false, 200, false, 100, 1}, {false, 1, false, 17, 1},
    };
    Bytes data(200);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 5);
    const Bytes before = data;
    for (const auto& r : rows) {
        Bytes out(100, 0xEE);
        const int got = QvMD5::Encode(r.nullData ? nullptr : data.data(), r.count, r.nullOut ? nullptr : out.data(), r.outSize);
        EXPECT_EQ(got, r.expected) << r.count << " bytes, size " << r.outSize;
        Bytes want(100, 0xEE);
        if (r.expected) {
            const Bytes md = qvmodel::Md5(Bytes(data.begin(), data.begin() + r.count));
            std::copy(md.begin(), md.end(), want.begin());
        }
        EXPECT_EQ(out, want) << r.count << " bytes, size " << r.outSize;
        EXPECT_EQ(data, before);
    }
}

TEST(QvMD5, CheckTable) {
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5A);
    const struct {
        int32_t size;
        bool nullData;
        int32_t count;
        bool nullDigest;
        int flipBit;     // -1: none; else this bit of the expected digest is flipped
        int changeByte;  // -1: none; else this byte of the data changes after hashing
        int expected;
    } rows[] = {
        {16, false, 300, false, -1, -1, 1}, {16, false, 1, false, -1, -1, 1},
        {15, false, 300, false, -1, -1, 0}, {17, false, 300, false, -1, -1, 0},
        {16, true, 300, false, -1, -1, 0},  {16, false, 0, false, -1, -1, 0},
        {16, false, -5, false, -1, -1, 0},  {16, false, 300, true, -1, -1, 0},
        {16, false, 300, false, 0, -1, 0},  {16, false, 300, false, 127, -1, 0},
        {16, false, 300, false, 64, -1, 0}, {16, false, 300, false, -1, 0, 0},
        {16, false, 300, false, -1, 299, 0},
    };
    for (const auto& r : rows) {
        Bytes msg = data;
        Bytes expected = qvmodel::Md5(Bytes(msg.begin(), msg.begin() + std::max(r.count, 0)));
        if (r.count == 0) expected = qvmodel::Md5({});  // even the empty message's digest is refused
        expected.push_back(0);                          // room for a 17-byte claim
        if (r.flipBit >= 0) expected[static_cast<size_t>(r.flipBit / 8)] ^= static_cast<uint8_t>(1 << (r.flipBit % 8));
        if (r.changeByte >= 0) msg[static_cast<size_t>(r.changeByte)] ^= 1;
        const Bytes before = msg;
        EXPECT_EQ(QvMD5::Check(r.nullData ? nullptr : msg.data(), r.count, r.nullDigest ? nullptr : expected.data(), r.size), r.expected)
            << "size " << r.size << ", count " << r.count << ", bit " << r.flipBit << ", byte " << r.changeByte;
        EXPECT_EQ(msg, before);
    }
}

}  // namespace

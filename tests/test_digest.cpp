#include "DigestModel.h"
#include "QvTestSupport.h"
#include "internal/QvCpu.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace {

using qvmodel::Bytes;
using qvmodel::Hex;

Bytes FromHex(const std::string& h) {
    Bytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

// The "key = value" lines of a vector file (LF or CRLF); RFC 1321 lines under the key '"'.
std::vector<std::pair<std::string, std::string>> Fields(const Bytes& file) {
    std::istringstream in(std::string(file.begin(), file.end()));
    std::vector<std::pair<std::string, std::string>> out;
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        const size_t eq = l.find(" =");
        if (!l.empty() && l[0] == '"')
            out.push_back({"\"", l});
        else if (eq != std::string::npos)
            out.push_back({l.substr(0, eq), l.size() > eq + 3 ? l.substr(eq + 3) : ""});
    }
    return out;
}

template <class Obj>
std::string DigestOf(Bytes msg) {
    Obj o;
    EXPECT_EQ(o.Init(), 1);
    EXPECT_EQ(qvtest::LastAllocSize(), static_cast<size_t>(qvmodel::kSize<Obj>));  // exactly
    EXPECT_EQ(o.Append(msg.data(), static_cast<int32_t>(msg.size())) + o.Final(), 2);
    return std::string(o.GetString());
}

// RFC 1321's suite and Botan's vectors, for the model and the object.
TEST(QvMD5, PublishedVectors) {
    Bytes rfc, vec, in;
    QVTEST_LOAD_DATA("vectors/md5/rfc1321.txt", rfc);
    QVTEST_LOAD_DATA("vectors/md5/md5.vec", vec);
    std::vector<std::pair<Bytes, Bytes>> cases;  // message, digest
    for (const auto& [key, v] : Fields(rfc)) {  // "message"  digest
        const size_t q = v.rfind('"');
        if (key == "\"") cases.push_back({Bytes(&v[1], &v[q]), FromHex(v.substr(q + 3))});
    }
    for (const auto& [key, v] : Fields(vec)) {
        if (key == "In") in = FromHex(v);
        if (key == "Out") cases.push_back({in, FromHex(v)});
    }
    ASSERT_EQ(cases.size(), 7u + 78u);
    for (const auto& [msg, md] : cases) {
        EXPECT_EQ(qvmodel::Md5(msg), md) << msg.size() << " bytes";
        EXPECT_EQ(DigestOf<QvMD5>(msg), Hex(md)) << msg.size() << " bytes";
    }
}

// NIST's byte-oriented vectors on every dispatch level. Len is in bits; for Len = 0 the
// file still lists one byte, which is not part of the message.
TEST(QvSHA1, NistVectors) {
    Bytes shortMsg, longMsg, monte, msg;
    QVTEST_LOAD_DATA("vectors/sha1/SHA1ShortMsg.rsp", shortMsg);
    QVTEST_LOAD_DATA("vectors/sha1/SHA1LongMsg.rsp", longMsg);
    QVTEST_LOAD_DATA("vectors/sha1/SHA1Monte.rsp", monte);
    std::vector<std::pair<Bytes, Bytes>> cases;  // message, digest
    size_t len = 0;
    for (const auto* file : {&shortMsg, &longMsg}) {
        for (const auto& [key, v] : Fields(*file)) {
            if (key == "Len") len = std::stoul(v) / 8;
            if (key == "Msg") msg = FromHex(v), msg.resize(len);
            if (key == "MD") cases.push_back({msg, FromHex(v)});
        }
    }
    ASSERT_EQ(cases.size(), 65u + 64u);
    for (const auto& [m, md] : cases) EXPECT_EQ(qvmodel::Sha1(m), md) << m.size() << " bytes";
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        for (const auto& [m, md] : cases)
            EXPECT_EQ(DigestOf<QvSHA1>(m), Hex(md)) << level.name << ", " << m.size() << " bytes";
        // Monte Carlo: MD(i) = SHA1(MD(i-3) || MD(i-2) || MD(i-1)); the 1000th is the next seed.
        Bytes w;  // MD(i-3) || MD(i-2) || MD(i-1)
        int checkpoints = 0;
        QvSHA1 o;
        for (const auto& [key, v] : Fields(monte)) {
            if (key == "Seed") w = FromHex(v + v + v);
            if (key != "MD") continue;
            for (int i = 0; i < 1000; ++i) {
                o.Init(), o.Append(w.data(), 60), o.Final();
                std::memmove(w.data(), w.data() + 20, 40);
                std::memcpy(w.data() + 40, o.GetBuffer()->m_pData, 20);
            }
            ASSERT_EQ(Bytes(w.begin() + 40, w.end()), FromHex(v))
                << level.name << ", checkpoint " << checkpoints;
            ++checkpoints;
            std::copy(w.begin() + 40, w.end(), w.begin());
            std::copy(w.begin() + 40, w.end(), w.begin() + 20);
        }
        EXPECT_EQ(checkpoints, 100);
    }
}

template <class Obj>
class Digest : public ::testing::Test {};
using DigestTypes = ::testing::Types<QvMD5, QvSHA1>;
TYPED_TEST_SUITE(Digest, DigestTypes);

// Random messages in random pieces (across block boundaries) on every level.
TYPED_TEST(Digest, PiecesMatchTheWholeMessage) {
    for (const auto& level : qvtest::CpuLevels()) {
        qv::cpu::ScopedMask mask(level.mask);
        std::mt19937 rng(77);
        for (int round = 0; round < 40; ++round) {
            Bytes msg(rng() % 1000);
            for (auto& c : msg) c = static_cast<uint8_t>(rng());
            ASSERT_EQ(qvmodel::CheckPieces<TypeParam>(msg, rng()), "") << level.name;
        }
    }
}

// Calls on a new object, their results (one digit per call; copies and moves count as 1),
// and what the object shows afterwards: null, no context (GetString "", GetBuffer null);
// "-", a context but no digest yet; else the digest of these appends, "~" first when
// from the zeros Final left.
//   I Init; X, Y Init whose 1st / 2nd allocation fails; a "abc"; b 200 bytes;
//   z Append(null, 0); n Append(-1); F Final; K go on with a copy (the original gets "abc"
//   first); P, Q the copy's 1st / 2nd allocation fails; V go on with a move; C, M copy /
//   move onto itself.
TYPED_TEST(Digest, LifecycleTable) {
    const struct {
        const char *ops, *results, *shows;
    } rows[] = {
        {"", "", nullptr},          {"azF", "000", nullptr},      {"I", "1", "-"},
        {"IF", "11", ""},           {"IzF", "111", ""},           {"InF", "101", ""},
        {"IabF", "1111", "ab"},     {"IaFI", "1111", "a"},        {"IaFIb", "11111", "a"},
        {"IaIbF", "11111", "b"},    {"IaFF", "1111", "~"},        {"IaFbF", "11111", "~b"},
        {"IaFIbF", "111111", "b"},  {"X", "0", nullptr},          {"Y", "0", nullptr},
        {"XaF", "000", nullptr},    {"YIaF", "0111", "a"},        {"IaFX", "1110", nullptr},
        {"IaFY", "1111", "a"},      {"IaFXIF", "111011", ""},     {"IaCF", "1111", "a"},
        {"IaMF", "1111", "a"},      {"IaKbF", "11111", "ab"},     {"IaFKI", "11111", "a"},
        {"IaP", "111", nullptr},    {"IaQ", "111", nullptr},      {"IaFQ", "1111", nullptr},
        {"IaVbF", "11111", "ab"},   {"K", "1", nullptr},          {"IaFbKF", "111111", "~b"},
    };
    Bytes abc = {'a', 'b', 'c'}, b200(200);
    for (size_t i = 0; i < b200.size(); ++i) b200[i] = static_cast<uint8_t>(i * 7);
    for (const auto& r : rows) {
        TypeParam o, *self = &o;
        std::string results;
        for (const char* op = r.ops; *op; ++op) {
            if (std::strchr("XYPQ", *op)) qvtest::FailNthAlloc(std::strchr("XP", *op) ? 1 : 2);
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
            case 'V': {
                TypeParam moved(std::move(o));
                EXPECT_EQ(o.GetBuffer(), nullptr) << r.ops;
                o = std::move(moved);
                break;
            }
            default: {  // K, P, Q
                TypeParam copy(o);
                qvtest::ResetAllocFaults();
                o.Append(abc.data(), 3);  // must not reach the copy's context
                o = copy;
            }
            }
            qvtest::ResetAllocFaults();
            results += static_cast<char>('0' + got);
        }
        EXPECT_EQ(results, r.results) << r.ops;
        const bool digest = r.shows && *r.shows != '-', wiped = digest && *r.shows == '~';
        Bytes msg;
        for (const char* p = digest ? r.shows + wiped : ""; *p; ++p) {
            const Bytes& piece = *p == 'a' ? abc : b200;
            msg.insert(msg.end(), piece.begin(), piece.end());
        }
        const std::string want = digest ? Hex(qvmodel::Hash<TypeParam>(msg, wiped)) : "";
        EXPECT_EQ(std::string(o.GetString()), want) << r.ops;
        // GetBuffer: null (-1), or the buffer with the digest's size or 0, owning its block.
        const QvBuffer* b = o.GetBuffer();
        const int size = digest ? qvmodel::kSize<TypeParam> : 0;
        EXPECT_EQ(b ? b->m_lSize * 10 + b->m_nFlags : -1, r.shows ? size * 10 + 1 : -1) << r.ops;
    }
}

// Refusals come before anything is read or written; Check needs exactly 16 digest bytes.
TEST(QvMD5, EncodeAndCheckTable) {
    const struct {
        bool check, nullData, nullOut;
        int32_t count, size;
        int flip;  // Check: -1 none, 0-127 that bit of the digest, 128 + i byte i of the data
        int expected;
    } rows[] = {
        {0, 1, 0, 3, 16, -1, 0},    {0, 0, 0, 0, 16, -1, 0},    {0, 0, 0, -1, 16, -1, 0},
        {0, 0, 1, 3, 16, -1, 0},    {0, 0, 0, 3, 15, -1, 0},    {0, 0, 0, 3, -16, -1, 0},
        {0, 0, 0, 3, 16, -1, 1},    {0, 0, 0, 200, 100, -1, 1}, {1, 0, 0, 200, 16, -1, 1},
        {1, 0, 0, 200, 15, -1, 0},  {1, 0, 0, 200, 17, -1, 0},  {1, 1, 0, 200, 16, -1, 0},
        {1, 0, 0, 0, 16, -1, 0},    {1, 0, 0, -5, 16, -1, 0},   {1, 0, 1, 200, 16, -1, 0},
        {1, 0, 0, 200, 16, 0, 0},   {1, 0, 0, 200, 16, 127, 0}, {1, 0, 0, 200, 16, 327, 0},
    };
    Bytes data(200);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 5);
    for (const auto& r : rows) {
        // The digest of the range (of the empty message for an empty one), and a 17th byte.
        Bytes msg = data, out(100, 0xEE), want(100, 0xEE);
        Bytes md = qvmodel::Md5(Bytes(msg.begin(), msg.begin() + std::max(r.count, 0)));
        md.push_back(0);
        if (!r.check && r.expected) std::copy(md.begin(), md.end() - 1, want.begin());
        if (r.flip >= 128) msg[static_cast<size_t>(r.flip - 128)] ^= 1;
        if (r.flip >= 0 && r.flip < 128)
            md[static_cast<size_t>(r.flip / 8)] ^= static_cast<uint8_t>(1 << r.flip % 8);
        const Bytes before = msg;
        unsigned char* p = r.nullData ? nullptr : msg.data();
        unsigned char* q = r.nullOut ? nullptr : r.check ? md.data() : out.data();
        const int got = r.check ? QvMD5::Check(p, r.count, q, r.size)
                                : QvMD5::Encode(p, r.count, q, r.size);
        const std::string row = "row " + std::to_string(&r - rows);
        EXPECT_EQ(got, r.expected) << row;
        EXPECT_EQ(out, want) << row;
        EXPECT_EQ(msg, before) << row;
    }
}

// Read-only zero bytes that cost no memory: every page maps the system's zero page.
class ZeroPages {
public:
    explicit ZeroPages(size_t n) : m_size(n) {
#if defined(_WIN32)
        m_p = static_cast<unsigned char*>(VirtualAlloc(nullptr, n, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY));
#else
        void* p = mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_p = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
#endif
    }
    ~ZeroPages() {
#if defined(_WIN32)
        if (m_p) VirtualFree(m_p, 0, MEM_RELEASE);
#else
        if (m_p) munmap(m_p, m_size);
#endif
    }
    ZeroPages(const ZeroPages&) = delete;
    ZeroPages& operator=(const ZeroPages&) = delete;
    unsigned char* Get() const { return m_p; }

private:
    unsigned char* m_p;
    size_t m_size;
};

// Messages past 2^32 bits. The 64-bit bit count must carry from its low word into its high
// one, and a piece of 2^29 bytes or more, whose own bit count overflows 32 bits, must add
// its top bits to the high word: the first row takes the second path, the second row the
// first, over the same message of 2^29 + 64 zero bytes. The digests are coreutils':
//   head -c 536870976 /dev/zero | md5sum     (and sha1sum)
TYPED_TEST(Digest, MessagesPast4GiBits) {
    // Every level keeps the count in the same code, and 1.5 GiB of hashing is slow under an
    // emulator: the process that runs the default level is enough.
    if (const char* forced = std::getenv("QV_CPU"); forced && *forced)
        GTEST_SKIP() << "the bit count is shared by every level; run without QV_CPU";
    constexpr int32_t kBig = int32_t{1} << 29, kTotal = kBig + 64;
    const std::string want = std::is_same_v<TypeParam, QvMD5>
                                 ? "86D6D3E2FBA02CAEE5D80C9D0246ACF5"
                                 : "04428C197A00753DF08C542599882BCEC6DE90D1";
    ZeroPages zeros(static_cast<size_t>(kTotal));
    ASSERT_NE(zeros.Get(), nullptr) << "no address space for " << kTotal << " bytes";
    const struct {
        const char* name;
        int32_t first, piece;  // a first piece, then pieces of this size up to the total
    } rows[] = {
        {"64 bytes, then one piece of 2^29", 64, kBig},
        {"1 MiB pieces, then 64 bytes", 0, 1 << 20},
    };
    for (const auto& r : rows) {
        TypeParam o;
        ASSERT_EQ(o.Init(), 1);
        int32_t done = 0;
        if (r.first) o.Append(zeros.Get(), r.first), done = r.first;
        for (; done < kTotal; done += std::min(r.piece, kTotal - done))
            o.Append(zeros.Get() + done, std::min(r.piece, kTotal - done));
        o.Final();
        EXPECT_EQ(std::string(o.GetString()), want) << r.name;
    }
    if constexpr (std::is_same_v<TypeParam, QvMD5>) {  // the one-shot member counts alike
        unsigned char digest[16];
        ASSERT_EQ(QvMD5::Encode(zeros.Get(), kTotal, digest, 16), 1);
        EXPECT_EQ(Hex(Bytes(digest, digest + 16)), want);
    }
}

}  // namespace

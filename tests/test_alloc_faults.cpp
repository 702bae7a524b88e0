// Every allocation of a scripted scenario fails in turn, for each class that allocates. The
// call that meets the failure reports it (0, an empty copy or an empty string), the calls
// before it are unaffected, and running the whole script again on the same objects works
// as if nothing had happened. Leaks are LeakSanitizer's to find in the sanitizer build.

#include "QvBase64.h"
#include "QvBuffer.h"
#include "QvMD5.h"
#include "QvSHA1.h"
#include "QvTestSupport.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

template <class Objects>
struct Call {
    const char* name;
    std::function<int(Objects&)> run;  // 0 means the call reported a failure
};

struct Outcome {
    std::vector<int> results;
    std::vector<long> allocs;  // allocations each call attempted
};

template <class Objects>
Outcome Run(Objects& o, const std::vector<Call<Objects>>& script) {
    Outcome out;
    for (const auto& c : script) {
        const long before = qvtest::AllocCount();
        out.results.push_back(c.run(o));
        out.allocs.push_back(qvtest::AllocCount() - before);
    }
    return out;
}

template <class Objects>
void EveryAllocationFailsInTurn(const std::vector<Call<Objects>>& script) {
    Objects clean;
    const Outcome base = Run(clean, script);
    long total = 0;
    for (size_t i = 0; i < script.size(); ++i) {
        ASSERT_NE(base.results[i], 0) << script[i].name << " fails without a fault";
        total += base.allocs[i];
    }
    ASSERT_GT(total, 0);

    for (long n = 1; n <= total; ++n) {
        Objects o;
        Outcome faulted;
        {
            qvtest::AllocFault fault(n);
            faulted = Run(o, script);
        }
        // The call that made the nth allocation.
        long seen = 0;
        size_t hit = 0;
        while (hit + 1 < script.size() && seen + faulted.allocs[hit] < n) seen += faulted.allocs[hit++];
        for (size_t i = 0; i < hit; ++i)
            ASSERT_EQ(faulted.results[i], base.results[i]) << "allocation " << n << ", before the fault: "
                                                           << script[i].name;
        EXPECT_EQ(faulted.results[hit], 0) << "allocation " << n << " failed inside " << script[hit].name;

        const Outcome again = Run(o, script);
        EXPECT_EQ(again.results, base.results) << "objects unusable after allocation " << n << " failed";
    }
}

std::vector<unsigned char> Bytes(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 16);
    return v;
}

// --- QvBuffer ----------------------------------------------------------------------------

struct Buffers {
    QvBuffer a, b;
};

TEST(AllocFaults, Buffer) {
    static const auto small = Bytes(5, 1), more = Bytes(10, 2), big = Bytes(40, 3);
    auto contentIs = [](const QvBuffer& b, const std::vector<unsigned char>& v, bool back) {
        const unsigned char* p = back ? b.m_pData + b.m_lCapacity - b.m_lSize : b.m_pData;
        return b.m_pData && b.m_lSize == static_cast<int32_t>(v.size()) && !std::memcmp(p, v.data(), v.size());
    };
    EveryAllocationFailsInTurn<Buffers>({
        {"Alloc", [](Buffers& o) { return o.a.Alloc(8); }},
        {"Add within capacity", [](Buffers& o) { o.a.Reset(); return o.a.Add(small.data(), 5); }},
        {"Add that grows", [](Buffers& o) { return o.a.Add(more.data(), 10); }},
        {"ReverseAdd", [](Buffers& o) { o.b.Free(); return o.b.ReverseAdd(small.data(), 5); }},
        {"ReverseAdd that grows", [](Buffers& o) { return o.b.ReverseAdd(more.data(), 10); }},
        {"CopyFrom", [](Buffers& o) { return o.a.CopyFrom(big.data(), 40); }},
        {"copy construction", [&](Buffers& o) { QvBuffer c(o.a); return int(contentIs(c, big, false)); }},
        {"assignment", [&](Buffers& o) { o.b = o.a; return int(contentIs(o.b, big, false) && o.b.m_pData != o.a.m_pData); }},
        {"Realloc", [](Buffers& o) { return o.a.Realloc(100); }},
        {"contents", [&](Buffers& o) { return int(contentIs(o.a, big, false) && o.a.m_lCapacity >= 100); }},
    });
}

// --- QvBase64 ----------------------------------------------------------------------------

struct Codecs {
    QvBase64 codec;
};

TEST(AllocFaults, Base64) {
    static const auto three = Bytes(3, 4), long300 = Bytes(300, 5);
    static std::string text300;
    text300.assign(400, '\0');
    text300.resize(static_cast<size_t>(
        QvBase64::Encode(reinterpret_cast<const char*>(long300.data()), 300, &text300[0])));
    EveryAllocationFailsInTurn<Codecs>({
        {"Encode", [](Codecs& o) { return o.codec.Encode(reinterpret_cast<const char*>(three.data()), 3); }},
        {"Decode", [](Codecs& o) { return o.codec.Decode(text300.data(), static_cast<int32_t>(text300.size())); }},
        {"copy construction",
         [](Codecs& o) { QvBase64 c(o.codec); return int(c.GetString() && !std::memcmp(c.GetString(), long300.data(), 300)); }},
        {"Encode larger", [](Codecs& o) { return o.codec.Encode(reinterpret_cast<const char*>(long300.data()), 300); }},
        {"text", [](Codecs& o) { return int(o.codec.GetString() && text300 == o.codec.GetString()); }},
    });
}

// --- QvMD5, QvSHA1 -----------------------------------------------------------------------

// 1 for the expected text, 0 for the empty string a failure gives, 2 for anything else (a
// cut or garbled digest, which no failure may produce).
int TextIs(const std::string& want, const CString& got) {
    return want == static_cast<const char*>(got) ? 1 : got.IsEmpty() ? 0 : 2;
}

template <class Digest>
struct Digests {
    Digest d, other;
};

template <class Digest>
void DigestScenario(const char* expectedFirst, const char* expectedSecond) {
    using O = Digests<Digest>;
    static const auto data = Bytes(1000, 6);
    const std::string first = expectedFirst, second = expectedSecond;
    EveryAllocationFailsInTurn<O>({
        {"Init", [](O& o) { return o.d.Init(); }},
        {"Append", [](O& o) { return o.d.Append(const_cast<unsigned char*>(data.data()), 1000); }},
        {"Final", [](O& o) { return o.d.Final(); }},
        {"GetString", [=](O& o) { return TextIs(first, o.d.GetString()); }},
        {"copy construction", [=](O& o) { Digest c(o.d); return TextIs(first, c.GetString()); }},
        {"assignment", [=](O& o) { o.other = o.d; return TextIs(first, o.other.GetString()); }},
        {"Init again", [](O& o) { return o.d.Init(); }},
        {"Append 999", [](O& o) { return o.d.Append(const_cast<unsigned char*>(data.data()), 999); }},
        {"Final again", [](O& o) { return o.d.Final(); }},
        {"second digest", [=](O& o) { return TextIs(second, o.d.GetString()); }},
    });
}

std::string Hex(const unsigned char* p, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02X", p[i]);
        s += two;
    }
    return s;
}

TEST(AllocFaults, MD5) {
    auto data = Bytes(1000, 6);
    unsigned char a[16], b[16];
    ASSERT_EQ(QvMD5::Encode(data.data(), 1000, a, 16), 1);
    ASSERT_EQ(QvMD5::Encode(data.data(), 999, b, 16), 1);
    DigestScenario<QvMD5>(Hex(a, 16).c_str(), Hex(b, 16).c_str());
}

TEST(AllocFaults, SHA1) {
    auto data = Bytes(1000, 6);
    std::string digests[2];
    for (int i = 0; i < 2; ++i) {
        QvSHA1 s;
        ASSERT_EQ(s.Init(), 1);
        s.Append(data.data(), 1000 - i);
        s.Final();
        digests[i] = static_cast<const char*>(s.GetString());
        ASSERT_EQ(digests[i].size(), 40u);
    }
    DigestScenario<QvSHA1>(digests[0].c_str(), digests[1].c_str());
}

}  // namespace

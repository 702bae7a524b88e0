// The static members and separate objects used from several threads at once on shared
// read-only input. Run under ThreadSanitizer by the tsan preset; elsewhere it still checks
// that every thread gets the single-threaded results.

#include "QvBase64.h"
#include "QvBitStream.h"
#include "QvBuffer.h"
#include "QvMD5.h"
#include "QvSHA1.h"
#include "QvStartCode.h"
#include "QvTestSupport.h"

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Results {
    std::string base64;
    std::vector<uint8_t> decoded, md5, escaped, restored;
    std::vector<std::pair<int32_t, uint32_t>> forward, backward;
    std::string md5Hex, sha1Hex;
    uint32_t bits = 0;
};

Results Compute(const std::vector<uint8_t>& in) {
    Results r;
    const int n = static_cast<int>(in.size());
    r.base64.resize(static_cast<size_t>(n / 3 * 4 + 8));
    r.base64.resize(static_cast<size_t>(
        QvBase64::Encode(reinterpret_cast<const char*>(in.data()), n, &r.base64[0])));
    r.decoded.resize(r.base64.size() + 1);
    r.decoded.resize(static_cast<size_t>(QvBase64::Decode(r.base64.data(), static_cast<int>(r.base64.size()),
                                                         reinterpret_cast<char*>(r.decoded.data()))));
    r.md5.resize(16);
    QvMD5::Encode(const_cast<uint8_t*>(in.data()), n, r.md5.data(), 16);
    if (!QvMD5::Check(const_cast<uint8_t*>(in.data()), n, r.md5.data(), 16)) r.md5.clear();

    QvStartCode fwd(const_cast<uint8_t*>(in.data()), n, 0), bwd(const_cast<uint8_t*>(in.data()), n, 1);
    while (const uint32_t c = fwd.Next()) {
        r.forward.emplace_back(fwd.GetPos(), c);
        fwd.Skip();
    }
    while (const uint32_t c = bwd.Next()) r.backward.emplace_back(bwd.GetPos(), c);

    r.escaped.resize(in.size() + in.size() / 4 + 1);
    r.escaped.resize(static_cast<size_t>(
        QvStartCode::RemoveRaceBytes(const_cast<uint8_t*>(in.data()), n, r.escaped.data())));
    r.restored = r.escaped;
    r.restored.resize(static_cast<size_t>(QvStartCode::RestoreRaceBytes(
        r.restored.data(), static_cast<int32_t>(r.restored.size()), r.restored.data())));

    QvMD5 md5;
    QvSHA1 sha1;
    md5.Init();
    sha1.Init();
    md5.Append(const_cast<uint8_t*>(in.data()), n);
    sha1.Append(const_cast<uint8_t*>(in.data()), n);
    md5.Final();
    sha1.Final();
    r.md5Hex = static_cast<const char*>(md5.GetString());
    r.sha1Hex = static_cast<const char*>(sha1.GetString());

    QvBase64 codec;
    codec.Encode(reinterpret_cast<const char*>(in.data()), n);
    if (r.base64 != codec.GetString()) r.base64.clear();

    QvBitStream bs(const_cast<uint8_t*>(in.data()), n, 0);
    for (int i = 0; i < 200; ++i) r.bits ^= bs.GetUE() + bs.GetBits(i % 33);
    return r;
}

bool operator==(const Results& a, const Results& b) {
    return a.base64 == b.base64 && a.decoded == b.decoded && a.md5 == b.md5 && a.escaped == b.escaped &&
           a.restored == b.restored && a.forward == b.forward && a.backward == b.backward &&
           a.md5Hex == b.md5Hex && a.sha1Hex == b.sha1Hex && a.bits == b.bits;
}

TEST(Threads, StaticMembersAndSeparateObjectsAgreeAcrossThreads) {
    std::mt19937 rng(99);
    std::vector<uint8_t> input(64 * 1024);
    for (auto& b : input) b = static_cast<uint8_t>(rng() % 5 == 0 ? (rng() % 3 == 0 ? 1 : 0) : rng());
    const Results expected = Compute(input);
    ASSERT_FALSE(expected.base64.empty());
    ASSERT_EQ(expected.decoded, input);
    ASSERT_EQ(expected.restored, input);
    ASSERT_EQ(expected.md5.size(), 16u);

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 6; ++i)
                if (!(Compute(input) == expected)) ++mismatches;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace

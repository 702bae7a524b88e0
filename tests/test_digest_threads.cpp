// qvutil's digests on threads of their own over the reader's rotating buffers: the same
// MD5 and SHA-1 as one thread computing them in order, whatever the piece sizes, and no
// buffer overwritten while a digest still reads it (each buffer is refilled with garbage
// the moment the reader may reuse it). Built into the library's suite so that the
// ThreadSanitizer run, which builds no tool, covers it.

#include "DigestThreads.h"
#include "QvMD5.h"
#include "QvSHA1.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::pair<std::string, std::string> Digests(const std::vector<uint8_t>& data, const std::vector<size_t>& cuts,
                                            bool threads) {
    QvMD5 md5;
    QvSHA1 sha1;
    EXPECT_TRUE(md5.Init() && sha1.Init());
    std::vector<std::vector<uint8_t>> buffers(qvutil::DigestThreads::kInFlight + 1);
    {
        qvutil::DigestThreads d(md5, sha1, threads);
        size_t at = 0, turn = 0;
        for (size_t cut : cuts) {
            std::vector<uint8_t>& b = buffers[turn++ % buffers.size()];
            // What a digest still reading this buffer would see: anything but the data.
            b.assign(b.size(), 0xA5);
            b.assign(data.begin() + at, data.begin() + at + cut);
            d.Add(b.data(), b.size());
            at += cut;
        }
        d.Finish();
    }
    md5.Final();
    sha1.Final();
    return {std::string(md5.GetString()), std::string(sha1.GetString())};
}

TEST(Threads, DigestsBesideTheReader) {
    std::mt19937 rng(7);
    std::vector<uint8_t> data(3 << 20);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    // Cuts: one piece, many tiny ones, random sizes up to 256 KiB, and nothing at all.
    std::vector<std::vector<size_t>> rows = {{data.size()}, {}, {}};
    for (size_t at = 0; at < data.size(); at += 4096) rows[1].push_back(std::min<size_t>(4096, data.size() - at));
    for (size_t at = 0; at < data.size();) {
        const size_t cut = std::min<size_t>(1 + rng() % (256 << 10), data.size() - at);
        rows[2].push_back(cut);
        at += cut;
    }
    const auto inline_ = Digests(data, rows[0], false);
    for (const auto& cuts : rows)
        for (bool threads : {false, true}) EXPECT_EQ(Digests(data, cuts, threads), inline_) << cuts.size() << " pieces";
    // Nothing at all: the digests of no bytes.
    EXPECT_EQ(Digests({}, {}, true), Digests({}, {}, false));
}

}  // namespace

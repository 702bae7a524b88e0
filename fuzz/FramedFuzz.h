#pragma once

// What the MP4 and Matroska fuzz targets share: the input is a file (after a byte that
// picks the scenario). It is read at offsets in pieces of two different sizes, and as a
// pipe: the readings must hand on the same samples with the same bytes, the bytes must
// come from within the file, and nothing may run past a sample's end or loop.

#include "DemuxDriver.h"
#include "FuzzInput.h"

#include <memory>
#include <string>
#include <vector>

namespace qvfuzz {

struct Reading {
    qvtest::Recorder rec;
    std::string warnings;
    size_t streams = 0;
    bool wentBack = false;
};

inline std::unique_ptr<Reading> ReadOnce(qvutil::Container c, const std::vector<uint8_t>& file, qvtest::Drive how,
                                         uint32_t seed, size_t take) {
    auto r = std::make_unique<Reading>();
    r->rec.take = take;
    const auto d = qvutil::MakeDemuxer(c, r->rec);
    // A few requests per byte at most: a demuxer that asks for more loops.
    r->wentBack = !qvtest::Run(*d, file, how, seed, 64 * file.size() + 100000);
    r->warnings = d->Warnings();
    r->streams = d->Facts().streams.size();
    if (r->warnings.size() > 16384) Fail("warnings grew without bound");
    if (r->rec.overrun) Fail("bytes given past a sample's end");
    // A sample may be announced before the reader finds the file ends before it, but bytes
    // come from within the file only.
    for (const qvtest::Delivery& s : r->rec.samples)
        if (s.sample.pos < 0 || s.bytes.size() > static_cast<uint64_t>(s.sample.size) ||
            (!s.bytes.empty() && s.sample.pos + static_cast<int64_t>(s.bytes.size()) > static_cast<int64_t>(file.size())))
            Fail("a sample outside the file");
    return r;
}

// What was read of the samples that end before the file does: one the file's end cuts is
// told apart only where its size is known before (a pipe cannot know it).
inline std::string Digest(const Reading& r, size_t fileSize) {
    std::string s = std::to_string(r.streams) + ":";
    for (const qvtest::Delivery& d : r.rec.samples) {
        if (d.sample.pos < 0 || d.sample.size < 0 || static_cast<uint64_t>(d.sample.pos) + static_cast<uint64_t>(d.sample.size) >= fileSize)
            continue;
        s += std::to_string(d.id) + "," + std::to_string(d.sample.pos) + "," + std::to_string(d.sample.size) + "," +
             std::to_string(d.sample.pts) + "," + std::to_string(d.sample.dts) + "," + std::to_string(d.sample.key) + ",";
        s.append(d.bytes.begin(), d.bytes.end());
        s += ";";
    }
    return s;
}

inline int FuzzFramed(qvutil::Container c, const uint8_t* data, size_t size) {
    if (!size) return 0;
    const std::vector<uint8_t> file(data + 1, data + size);
    const size_t take = data[0] & 1 ? 16 : static_cast<size_t>(-1);
    const auto a = ReadOnce(c, file, qvtest::Drive::kAtOffsets, data[0], take);
    const auto b = ReadOnce(c, file, qvtest::Drive::kAtOffsets, data[0] * 7919u + 1, take);
    if (Digest(*a, file.size()) != Digest(*b, file.size()) || a->warnings != b->warnings)
        Fail("the pieces change what is read");
    const auto p = ReadOnce(c, file, qvtest::Drive::kPipe, data[0] + 3u, take);
    if (!p->wentBack && Digest(*p, file.size()) != Digest(*a, file.size())) Fail("a pipe reads other samples");
    return 0;
}

}  // namespace qvfuzz

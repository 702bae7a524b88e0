#pragma once

// Runs a demuxer over a file in memory as the tool's reader would: its requests served at
// offsets in pieces of random size, or in order as from a pipe, which cannot go back. What
// it hands on is recorded.

#include "container/Demux.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace qvtest {

struct Delivery {
    int id;
    qvutil::Sample sample;
    std::vector<uint8_t> bytes;  // the bytes given, up to where the recorder stopped taking
};

class Recorder : public qvutil::EsSink {
public:
    // Which streams to read, and how many of each sample's first bytes (the rest skipped).
    std::function<bool(const qvutil::StreamInfo&)> want = [](const qvutil::StreamInfo&) { return true; };
    size_t take = static_cast<size_t>(-1);

    std::vector<qvutil::StreamInfo> streams;
    std::vector<Delivery> samples;
    size_t dataBytes = 0;
    bool overrun = false;  // bytes given past a sample's size

    bool OnStream(const qvutil::StreamInfo& info) override {
        streams.push_back(info);
        return want(info);
    }
    void OnData(int, const uint8_t*, size_t n, int64_t, int64_t) override { dataBytes += n; }
    bool OnSample(int id, const qvutil::Sample& s) override {
        samples.push_back({id, s, {}});
        m_left = s.size;
        return true;
    }
    int64_t OnSampleData(int id, const uint8_t* p, size_t n) override {
        Delivery& d = samples.back();
        if (d.id != id || static_cast<int64_t>(n) > m_left) overrun = true;
        m_left -= static_cast<int64_t>(n);
        const size_t room = take > d.bytes.size() ? take - d.bytes.size() : 0;
        d.bytes.insert(d.bytes.end(), p, p + std::min(n, room));
        return d.bytes.size() >= take ? m_left : 0;
    }

private:
    int64_t m_left = 0;
};

enum class Drive { kAtOffsets, kPipe };

// Serves the demuxer until it wants nothing more; false when a pipe would have had to go
// back. seed picks the piece sizes; steps bounds the requests (a demuxer that loops fails).
inline bool Run(qvutil::Demuxer& d, const std::vector<uint8_t>& file, Drive how, uint32_t seed, uint64_t steps = 50000000) {
    const int64_t size = static_cast<int64_t>(file.size());
    auto piece = [&seed]() -> size_t {
        seed = seed * 1103515245u + 12345u;
        const size_t r = seed >> 16;
        return r % 4 == 0 ? 1 + r % 7 : 1 + r % 5000;
    };
    int64_t passed = 0, ended = -1;  // for a pipe: the bytes read past
    if (how == Drive::kAtOffsets) d.SetSize(size);
    for (uint64_t step = 0; step < steps; ++step) {
        const qvutil::Want w = d.Next();
        if (w.size == 0 || w.offset < 0) break;
        // A pipe cannot go back, and once at its end it has nothing more to give.
        if (how == Drive::kPipe && (w.offset < passed || (ended >= 0 && w.offset < size))) return false;
        if (w.offset >= size) {
            if (w.offset == ended) break;
            ended = w.offset;
            d.End(size);
            continue;
        }
        const size_t n = std::min({w.size, static_cast<size_t>(size - w.offset), piece()});
        if (how == Drive::kPipe) passed = w.offset;
        d.Feed(file.data() + w.offset, n);
    }
    d.Finish();
    return true;
}

}  // namespace qvtest

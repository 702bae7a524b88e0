// QvStartCode: the walk from start code to start code, forward and backward, beside
// GStreamer's masked scan walking forward over the same bytes (it has no backward scan); the
// escape passes beside memcpy of the same bytes, the limit of a copying pass.

#include "QvStartCode.h"
#include "bench_util.h"
#include "internal/QvCpu.h"

#include <cstdio>
#include <cstring>
#include <string>

#if defined(QV_BENCH_GSTREAMER)
#include <gst/base/gstbytereader.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// 1 MiB like a video elementary stream: random bytes without 00 00, and a start code every
// 4 KiB whose code bytes include some F0..FF, so that the escape passes have work.
const Bytes& VideoLike() {
    static const Bytes v = [] {
        Bytes b = qvbench::RandomBytes(1 << 20, 4242);
        for (size_t i = 1; i < b.size(); ++i)
            if (b[i] == 0 && b[i - 1] == 0) b[i] = 0x80;
        static const uint8_t codes[] = {0x67, 0x68, 0x65, 0x41, 0xB3, 0xF5, 0x01, 0xFE};
        for (size_t i = 0, k = 0; i + 4 <= b.size(); i += 4096, ++k) {
            b[i] = b[i + 1] = 0;
            b[i + 2] = 1;
            b[i + 3] = codes[k % 8];
        }
        return b;
    }();
    return v;
}

// The worst case for searches that start a wide kernel per match: 00 00 01 F3 over and
// over, a start code and an escape every four bytes.
const Bytes& Dense() {
    static const Bytes v = [] {
        Bytes b(1 << 20);
        for (size_t i = 0; i < b.size(); i += 4) b[i] = 0, b[i + 1] = 0, b[i + 2] = 1, b[i + 3] = 0xF3;
        return b;
    }();
    return v;
}

// Every sample and stream of the shared data folder, or nothing when it is missing.
const std::vector<Bytes>& Streams() {
    static const std::vector<Bytes> files = [] {
        std::vector<Bytes> out;
        for (const char* name : {"samples/sample.h264", "samples/sample.h265", "samples/sample.m2v",
                                 "streams/h264-1280x720-high-mixed.h264", "streams/h264-176x144-cbp-4byte.h264",
                                 "streams/hevc-640x360-main-mixed.h265", "streams/mpeg2-128x128-mssg.m2v"}) {
            FILE* f = std::fopen((std::string(QV_BENCH_DATA_DIR) + "/" + name).c_str(), "rb");
            if (!f) continue;
            Bytes b;
            unsigned char chunk[65536];
            for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) b.insert(b.end(), chunk, chunk + n);
            std::fclose(f);
            out.push_back(std::move(b));
        }
        return out;
    }();
    return files;
}

size_t WalkQv(const Bytes& b, bool backward) {
    QvStartCode sc(const_cast<uint8_t*>(b.data()), static_cast<int32_t>(b.size()), backward);
    size_t count = 0;
    if (backward) {
        while (sc.Next()) ++count;
    } else {
        for (; sc.Next(); sc.Skip()) ++count;
    }
    return count;
}

#if defined(QV_BENCH_GSTREAMER)
size_t WalkGst(const Bytes& b, bool) {
    GstByteReader br = GST_BYTE_READER_INIT(b.data(), static_cast<guint>(b.size()));
    const guint n = static_cast<guint>(b.size());
    size_t count = 0;
    for (guint off = 0; n - off >= 4;) {
        const guint r = gst_byte_reader_masked_scan_uint32(&br, 0xffffff00, 0x00000100, off, n - off);
        if (r == static_cast<guint>(-1)) break;
        ++count;
        off = r + 4;
    }
    return count;
}
#endif

// Runs a walk over one buffer or over every stream, at a CPU level (kAll: as dispatched).
template <size_t (*Walk)(const Bytes&, bool)>
void RunWalk(benchmark::State& state, bool backward, bool streams, uint32_t level, bool dense = false) {
    qv::cpu::ScopedMask mask(level);
    const std::vector<Bytes> one = streams ? std::vector<Bytes>() : std::vector<Bytes>{dense ? Dense() : VideoLike()};
    const std::vector<Bytes>& data = streams ? Streams() : one;
    if (data.empty()) {
        state.SkipWithError("shared data folder not found");
        return;
    }
    size_t bytes = 0, codes = 0;
    for (const Bytes& b : data) bytes += b.size();
    for (auto _ : state) {
        codes = 0;
        for (const Bytes& b : data) codes += Walk(b, backward);
        benchmark::DoNotOptimize(codes);
    }
    state.counters["codes"] = static_cast<double>(codes);
    qvbench::SetBytes(state, bytes);
}

// The input of a pass: the video-like (or dense) bytes, escaped for RestoreRaceBytes.
Bytes PassInput(bool restore, bool dense) {
    const Bytes& v = dense ? Dense() : VideoLike();
    if (!restore) return v;
    Bytes esc(v.size() + v.size() / 4);
    esc.resize(static_cast<size_t>(QvStartCode::RemoveRaceBytes(const_cast<uint8_t*>(v.data()),
                                                                static_cast<int32_t>(v.size()), esc.data())));
    return esc;
}

void Escape(benchmark::State& state, bool restore, bool dense, uint32_t level) {
    qv::cpu::ScopedMask mask(level);
    Bytes in = PassInput(restore, dense), out(in.size() + in.size() / 4);
    const int32_t n = static_cast<int32_t>(in.size());
    for (auto _ : state) {
        const int r = restore ? QvStartCode::RestoreRaceBytes(in.data(), n, out.data())
                              : QvStartCode::RemoveRaceBytes(in.data(), n, out.data());
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, in.size());
}

void EscapeMemcpy(benchmark::State& state, bool restore, bool dense) {
    const Bytes in = PassInput(restore, dense);
    Bytes out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, in.size());
}

using qv::cpu::kAll;
using qv::cpu::kLevelScalar;
using qv::cpu::kLevelWord;

void Register() {
    struct Walks {
        const char* op;
        bool backward, streams, dense;
    };
    for (const Walks& w : {Walks{"walk-forward", false, false, false}, Walks{"walk-backward", true, false, false},
                           Walks{"walk-forward-streams", false, true, false},
                           Walks{"walk-backward-streams", true, true, false},
                           Walks{"walk-forward-dense", false, false, true}}) {
        const std::string op = std::string("startcode/") + w.op + "/";
        const struct {
            const char* impl;
            uint32_t level;
        } levels[] = {{"qv", kAll}, {"qv-word", kLevelWord}, {"qv-scalar", kLevelScalar}};
        for (const auto& l : levels)
            benchmark::RegisterBenchmark((op + l.impl).c_str(), [w, l](benchmark::State& s) {
                RunWalk<WalkQv>(s, w.backward, w.streams, l.level, w.dense);
            });
#if defined(QV_BENCH_GSTREAMER)
        benchmark::RegisterBenchmark((op + "gst").c_str(), [w](benchmark::State& s) {
            RunWalk<WalkGst>(s, w.backward, w.streams, kAll, w.dense);
        });
#endif
    }
    for (bool dense : {false, true})
        for (bool restore : {false, true}) {
            const std::string op =
                std::string(restore ? "startcode/restore" : "startcode/remove") + (dense ? "-dense/" : "/");
            benchmark::RegisterBenchmark((op + "qv").c_str(),
                                         [=](benchmark::State& s) { Escape(s, restore, dense, kAll); });
            benchmark::RegisterBenchmark((op + "qv-scalar").c_str(),
                                         [=](benchmark::State& s) { Escape(s, restore, dense, kLevelScalar); });
            // memcpy is the limit of a pass that copies long runs, not of one that stops
            // every four bytes: the dense case is there to compare our own two paths.
            if (!dense)
                benchmark::RegisterBenchmark((op + "memcpy").c_str(),
                                             [=](benchmark::State& s) { EscapeMemcpy(s, restore, dense); });
        }
}

const int registered = (Register(), 0);

}  // namespace

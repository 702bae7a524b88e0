// QvStartCode: the walk from start code to start code, forward and backward, at every CPU
// level, beside the plain memchr loop (memrchr backward), FFmpeg's start-code finder and
// GStreamer's masked scan (both forward only); the escape passes beside memcpy of the same
// bytes, the limit of a copying pass.

#include "QvStartCode.h"
#include "bench_util.h"
#include "internal/QvCpu.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(QV_BENCH_GSTREAMER)
#include <gst/base/gstbytereader.h>
#endif

#if defined(QV_BENCH_FFMPEG)
// Exported by libavcodec but declared in none of its public headers.
extern "C" const uint8_t* avpriv_find_start_code(const uint8_t* p, const uint8_t* end, uint32_t* state);
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

// What a walk found: every start code's offset and code word, in the order found.
struct Hit {
    int32_t pos;
    uint32_t code;
    bool operator==(const Hit& o) const { return pos == o.pos && code == o.code; }
};

// Sinks for the hits: a list to check a walk with, a tally to time it with.
struct List {
    std::vector<Hit> hits;
    void operator()(int32_t pos, uint32_t code) { hits.push_back({pos, code}); }
};
struct Tally {
    size_t count = 0;
    uint64_t sum = 0;
    void operator()(int32_t pos, uint32_t code) {
        ++count;
        sum += static_cast<uint32_t>(pos) ^ code;
    }
};

struct Qv {
    template <class Sink>
    static void Walk(const Bytes& b, bool backward, Sink& sink) {
        QvStartCode sc(const_cast<uint8_t*>(b.data()), static_cast<int32_t>(b.size()), backward);
        if (backward) {
            for (uint32_t c; (c = sc.Next()) != 0;) sink(sc.GetPos(), c);
        } else {
            for (uint32_t c; (c = sc.Next()) != 0; sc.Skip()) sink(sc.GetPos(), c);
        }
    }
};

// What a user writes in ten minutes: memchr for the 01, then a look at the two bytes before
// it; memrchr the same way backward. The walk's rules: a start code must lie wholly in the
// range, and forward the next one begins at least four bytes after the last.
struct Memchr {
    template <class Sink>
    static void Walk(const Bytes& b, bool, Sink& sink) {
        const uint8_t* p = b.data();
        const uint8_t* end = p + b.size();
        for (const uint8_t* q = p + 2; q < end - 1;) {
            q = static_cast<const uint8_t*>(std::memchr(q, 1, static_cast<size_t>(end - 1 - q)));
            if (!q) break;
            if (q[-1] == 0 && q[-2] == 0) {
                sink(static_cast<int32_t>(q - 2 - p), 0x100u | q[1]);
                q += 4;
            } else {
                ++q;
            }
        }
    }
};

#if defined(__GLIBC__) && defined(_GNU_SOURCE)
#define QV_BENCH_MEMRCHR 1
struct Memrchr {
    template <class Sink>
    static void Walk(const Bytes& b, bool, Sink& sink) {
        const uint8_t* p = b.data();
        if (b.size() < 4) return;
        for (size_t len = b.size() - 3; len > 0;) {  // the 01 lies in p[2 .. size - 2]
            const uint8_t* q = static_cast<const uint8_t*>(memrchr(p + 2, 1, len));
            if (!q) break;
            if (q[-1] == 0 && q[-2] == 0) {
                sink(static_cast<int32_t>(q - 2 - p), 0x100u | q[1]);
                len = q - p > 5 ? static_cast<size_t>(q - p - 5) : 0;  // the next one ends before q - 2
            } else {
                len = static_cast<size_t>(q - (p + 2));
            }
        }
    }
};
#endif

#if defined(QV_BENCH_GSTREAMER)
// GStreamer's masked scan, forward only (it has no backward scan).
struct Gst {
    template <class Sink>
    static void Walk(const Bytes& b, bool, Sink& sink) {
        const guint n = static_cast<guint>(b.size());
        GstByteReader br;
        gst_byte_reader_init(&br, b.data(), n);
        for (guint off = 0; n - off >= 4;) {
            guint32 code = 0;
            const guint r = gst_byte_reader_masked_scan_uint32_peek(&br, 0xffffff00, 0x00000100, off, n - off, &code);
            if (r == static_cast<guint>(-1)) break;
            sink(static_cast<int32_t>(r), code);
            off = r + 4;
        }
    }
};
#endif

#if defined(QV_BENCH_FFMPEG)
// FFmpeg's finder, forward only. It returns the byte after the code byte with the last four
// bytes in state; starting each search with a clear state keeps to the walk's rules (a
// carried state would also find a start code whose first 00 is the previous code byte).
struct Ffmpeg {
    template <class Sink>
    static void Walk(const Bytes& b, bool, Sink& sink) {
        const uint8_t* p = b.data();
        const uint8_t* end = p + b.size();
        while (end - p >= 4) {
            uint32_t state = ~0u;
            p = avpriv_find_start_code(p, end, &state);
            if ((state & 0xFFFFFF00) != 0x100) break;
            sink(static_cast<int32_t>(p - 4 - b.data()), state);
        }
    }
};
#endif

// The data of a walk: the video-like megabyte, the dense input, or every stream.
enum class Input { kVideo, kDense, kStreams };

const std::vector<Bytes>& WalkData(Input in) {
    static const std::vector<Bytes> video{VideoLike()}, dense{Dense()};
    return in == Input::kStreams ? Streams() : in == Input::kDense ? dense : video;
}

// Runs a walk over its data at a CPU level (kAll: as dispatched), once the start codes it
// finds have been checked against the portable walk's: a peer that finds others is not timed.
template <class W>
void RunWalk(benchmark::State& state, bool backward, Input in, uint32_t level) {
    const std::vector<Bytes>& data = WalkData(in);
    if (data.empty()) {
        state.SkipWithError("shared data folder not found");
        return;
    }
    size_t bytes = 0;
    for (const Bytes& b : data) {
        bytes += b.size();
        List expect, got;
        {
            qv::cpu::ScopedMask portable(qv::cpu::kLevelScalar);
            Qv::Walk(b, backward, expect);
        }
        {
            qv::cpu::ScopedMask scoped(level);
            W::Walk(b, backward, got);
        }
        // Forward-only peers walk the backward rows forward: compare in address order.
        auto byPos = [](const Hit& x, const Hit& y) { return x.pos < y.pos; };
        std::sort(expect.hits.begin(), expect.hits.end(), byPos);
        std::sort(got.hits.begin(), got.hits.end(), byPos);
        if (got.hits != expect.hits) {
            state.SkipWithError("finds other start codes than QvStartCode");
            return;
        }
    }
    qv::cpu::ScopedMask scoped(level);
    Tally t;
    for (auto _ : state) {
        t = Tally();
        for (const Bytes& b : data) W::Walk(b, backward, t);
        benchmark::DoNotOptimize(t.sum);
    }
    state.counters["codes"] = static_cast<double>(t.count);
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
    using qv::cpu::kLevelAVX2;
    struct Walks {
        const char* op;
        bool backward;
        Input in;
    };
    for (const Walks& w : {Walks{"walk-forward", false, Input::kVideo}, Walks{"walk-backward", true, Input::kVideo},
                           Walks{"walk-forward-streams", false, Input::kStreams},
                           Walks{"walk-backward-streams", true, Input::kStreams},
                           Walks{"walk-forward-dense", false, Input::kDense},
                           Walks{"walk-backward-dense", true, Input::kDense}}) {
        const std::string op = std::string("startcode/") + w.op + "/";
        auto add = [&](const char* impl, void (*run)(benchmark::State&, bool, Input, uint32_t), uint32_t level) {
            benchmark::RegisterBenchmark((op + impl).c_str(),
                                         [w, run, level](benchmark::State& s) { run(s, w.backward, w.in, level); });
        };
        add("qv", RunWalk<Qv>, kAll);
        add("qv-avx2", RunWalk<Qv>, kLevelAVX2);
        add("qv-word", RunWalk<Qv>, kLevelWord);
        add("qv-scalar", RunWalk<Qv>, kLevelScalar);
#if defined(QV_BENCH_GSTREAMER)
        add("gst", RunWalk<Gst>, kAll);
#endif
        if (!w.backward) {
            add("memchr", RunWalk<Memchr>, kAll);
#if defined(QV_BENCH_FFMPEG)
            add("ffmpeg", RunWalk<Ffmpeg>, kAll);
#endif
        }
#if defined(QV_BENCH_MEMRCHR)
        if (w.backward) add("memrchr", RunWalk<Memrchr>, kAll);
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

// QvBitStream: fields of widths 1 to 32 in turn (read and written) and a stream of ue(v)
// codes, beside GStreamer's GstBitReader and GstBitWriter on the same data.

#include "QvBitStream.h"
#include "bench_util.h"
#include "internal/QvCpu.h"

#include <cstring>

#if defined(QV_BENCH_GSTREAMER)
#include <gst/base/gstbitreader.h>
#include <gst/base/gstbitwriter.h>
#endif

namespace {

constexpr size_t kBytes = 64 * 1024;
constexpr size_t kCycleBits = 32 * 33 / 2;  // widths 1 + 2 + ... + 32
constexpr size_t kCycles = kBytes * 8 / kCycleBits;
constexpr size_t kFieldBytes = kCycles * kCycleBits / 8;

// The fields the writers write: width i % 32 + 1, a value that fits it.
const std::vector<uint32_t>& FieldValues() {
    static const std::vector<uint32_t> values = [] {
        std::mt19937 rng(777);
        std::vector<uint32_t> v(kCycles * 32);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint32_t>(rng()) >> (31 - i % 32);
        return v;
    }();
    return values;
}

// ue(v) codes of mostly small numbers, some large, as a syntax parser meets them; the
// stream ends in 8 bytes of ones so that every reader can look 32 bits ahead.
struct UeStream {
    std::vector<uint8_t> bytes;
    size_t codes = 0;
};

const UeStream& Codes() {
    static const UeStream stream = [] {
        std::mt19937 rng(4242);
        std::vector<uint32_t> nums(40000);
        for (auto& n : nums) {
            const uint32_t r = static_cast<uint32_t>(rng()) % 100, x = static_cast<uint32_t>(rng());
            n = r < 80 ? x % 8 : r < 95 ? x % 4096 : r < 99 ? x % (1u << 24) : x >> 1;
        }
        UeStream s;
        s.bytes.assign(nums.size() * 8 + 8, 0);
        QvBitStream w(s.bytes.data(), static_cast<int32_t>(s.bytes.size()), 1);
        for (uint32_t n : nums) {
            const int32_t z = 31 - __builtin_clz(n + 1);
            w.PutBits(0, z);
            w.PutBits(n + 1, z + 1);
        }
        s.bytes.resize(static_cast<size_t>(w.BytesPos()) + 1);
        s.bytes.insert(s.bytes.end(), 8, 0xFF);
        s.codes = nums.size();
        return s;
    }();
    return stream;
}

// kWide false: ours forced onto the byte-wise path.
constexpr uint32_t Level(bool wide) {
    return wide ? qv::cpu::kAll : qv::cpu::kLevelScalar;
}

template <bool kWide>
void GetBitsQv(benchmark::State& state) {
    qv::cpu::ScopedMask mask(Level(kWide));
    auto data = qvbench::RandomBytes(kBytes);
    for (auto _ : state) {
        QvBitStream s(data.data(), static_cast<int32_t>(data.size()), 0);
        uint32_t acc = 0;
        for (size_t c = 0; c < kCycles; ++c)
            for (int32_t w = 1; w <= 32; ++w) acc ^= s.GetBits(w);
        benchmark::DoNotOptimize(acc);
    }
    qvbench::SetBytes(state, kFieldBytes);
}

template <bool kWide>
void UeQv(benchmark::State& state) {
    qv::cpu::ScopedMask mask(Level(kWide));
    auto data = Codes().bytes;
    const size_t n = Codes().codes;
    for (auto _ : state) {
        QvBitStream s(data.data(), static_cast<int32_t>(data.size()), 0);
        uint32_t acc = 0;
        for (size_t i = 0; i < n; ++i) acc += s.GetUE();
        benchmark::DoNotOptimize(acc);
    }
    qvbench::SetBytes(state, data.size());
}

template <bool kWide>
void PutBitsQv(benchmark::State& state) {
    qv::cpu::ScopedMask mask(Level(kWide));
    // Locals: the writes go through byte pointers, which could alias the vector itself.
    const uint32_t* vals = FieldValues().data();
    const size_t count = FieldValues().size();
    std::vector<uint8_t> out(kFieldBytes + 8);
    for (auto _ : state) {
        QvBitStream s(out.data(), static_cast<int32_t>(out.size()), 1);
        for (size_t i = 0; i < count; ++i) s.PutBits(vals[i], static_cast<int32_t>(i % 32 + 1));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, kFieldBytes);
}

BENCHMARK(GetBitsQv<true>)->Name("bits/getbits/qv");
BENCHMARK(GetBitsQv<false>)->Name("bits/getbits/qv-scalar");
BENCHMARK(UeQv<true>)->Name("bits/ue/qv");
BENCHMARK(UeQv<false>)->Name("bits/ue/qv-scalar");
BENCHMARK(PutBitsQv<true>)->Name("bits/putbits/qv");
BENCHMARK(PutBitsQv<false>)->Name("bits/putbits/qv-scalar");

#if defined(QV_BENCH_GSTREAMER)

void GetBitsGst(benchmark::State& state) {
    const auto data = qvbench::RandomBytes(kBytes);
    for (auto _ : state) {
        GstBitReader br;
        gst_bit_reader_init(&br, data.data(), static_cast<guint>(data.size()));
        uint32_t acc = 0;
        for (size_t c = 0; c < kCycles; ++c)
            for (guint w = 1; w <= 32; ++w) {
                guint32 v = 0;
                gst_bit_reader_get_bits_uint32(&br, &v, w);
                acc ^= v;
            }
        benchmark::DoNotOptimize(acc);
    }
    qvbench::SetBytes(state, kFieldBytes);
}

// ue(v) the quick way GstBitReader allows: look 32 bits ahead, count the zeros, and take a
// short code in one skip.
guint32 GstUe(GstBitReader* br) {
    guint32 v = 0;
    if (!gst_bit_reader_peek_bits_uint32(br, &v, 32) || v == 0) return 0;  // the padding rules it out
    const guint z = static_cast<guint>(__builtin_clz(v));
    if (z < 16) {
        gst_bit_reader_skip_unchecked(br, 2 * z + 1);
        return (v >> (31 - 2 * z)) - 1;
    }
    gst_bit_reader_skip_unchecked(br, z + 1);
    guint32 field = 0;
    gst_bit_reader_get_bits_uint32(br, &field, z);
    return field + (1u << z) - 1;
}

void UeGst(benchmark::State& state) {
    const auto& data = Codes().bytes;
    const size_t n = Codes().codes;
    for (auto _ : state) {
        GstBitReader br;
        gst_bit_reader_init(&br, data.data(), static_cast<guint>(data.size()));
        uint32_t acc = 0;
        for (size_t i = 0; i < n; ++i) acc += GstUe(&br);
        benchmark::DoNotOptimize(acc);
    }
    qvbench::SetBytes(state, data.size());
}

void PutBitsGst(benchmark::State& state) {
    // Locals: the writes go through byte pointers, which could alias the vector itself.
    const uint32_t* vals = FieldValues().data();
    const size_t count = FieldValues().size();
    std::vector<uint8_t> out(kFieldBytes + 8);
    for (auto _ : state) {
        // GstBitWriter ORs into the memory as ours does: it starts from zeros too.
        std::memset(out.data(), 0, out.size());
        GstBitWriter bw;
        gst_bit_writer_init_with_data(&bw, out.data(), static_cast<guint>(out.size()), FALSE);
        for (size_t i = 0; i < count; ++i)
            gst_bit_writer_put_bits_uint32(&bw, vals[i], static_cast<guint>(i % 32 + 1));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, kFieldBytes);
}

BENCHMARK(GetBitsGst)->Name("bits/getbits/gst");
BENCHMARK(UeGst)->Name("bits/ue/gst");
BENCHMARK(PutBitsGst)->Name("bits/putbits/gst");

#endif

}  // namespace

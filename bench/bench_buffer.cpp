// QvBuffer: appending small pieces into reserved room, dropping consumed bytes and copying
// in payloads from near the destination's page offset, beside std::vector doing the same and memcpy as the limit.

#include "QvBuffer.h"
#include "bench_util.h"

#include <cstring>

namespace {

constexpr size_t kTotal = 64 * 1024;
constexpr size_t kPiece = 16;

void AppendQv(benchmark::State& state) {
    const auto src = qvbench::RandomBytes(kTotal);
    QvBuffer b;
    b.Realloc(static_cast<int32_t>(kTotal));
    for (auto _ : state) {
        b.Reset();
        for (size_t i = 0; i < kTotal; i += kPiece) b.Add(src.data() + i, kPiece);
        benchmark::DoNotOptimize(b.m_pData);
    }
    qvbench::SetBytes(state, kTotal);
}

void AppendVector(benchmark::State& state) {
    const auto src = qvbench::RandomBytes(kTotal);
    std::vector<uint8_t> v;
    v.reserve(kTotal);
    for (auto _ : state) {
        v.clear();
        for (size_t i = 0; i < kTotal; i += kPiece) v.insert(v.end(), src.data() + i, src.data() + i + kPiece);
        benchmark::DoNotOptimize(v.data());
    }
    qvbench::SetBytes(state, kTotal);
}

void AppendMemcpy(benchmark::State& state) {
    const auto src = qvbench::RandomBytes(kTotal);
    std::vector<uint8_t> dst(kTotal);
    for (auto _ : state) {
        for (size_t i = 0; i < kTotal; i += kPiece) std::memcpy(dst.data() + i, src.data() + i, kPiece);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, kTotal);
}

// A reader consumes a quarter of what was appended, then the rest moves to the front.
void RewindQv(benchmark::State& state) {
    const auto src = qvbench::RandomBytes(kTotal);
    QvBuffer b;
    b.Realloc(static_cast<int32_t>(kTotal));
    for (auto _ : state) {
        b.CopyFrom(src.data(), static_cast<int32_t>(kTotal));
        b.m_lOffset = static_cast<int32_t>(kTotal / 4);
        b.Rewind();
        benchmark::DoNotOptimize(b.m_pData);
    }
    qvbench::SetBytes(state, kTotal);
}

void RewindVector(benchmark::State& state) {
    const auto src = qvbench::RandomBytes(kTotal);
    std::vector<uint8_t> v;
    v.reserve(kTotal);
    for (auto _ : state) {
        v.assign(src.begin(), src.end());
        v.erase(v.begin(), v.begin() + kTotal / 4);
        benchmark::DoNotOptimize(v.data());
    }
    qvbench::SetBytes(state, kTotal);
}

// A 64 KiB payload copied in from 64 places whose distance below the destination, modulo the
// 4096-byte page, runs from 32 down to -31 bytes: where payloads land when the stream's
// buffer and the destination start at nearby offsets into their pages (a mapped file and a
// big block from malloc, 16 bytes into its page). glibc copies 15 of them slowly on Zen 4.
const uint8_t* PayloadsFor(const std::vector<uint8_t>& arena, const uint8_t* dst) {
    const uintptr_t k = (reinterpret_cast<uintptr_t>(dst) - reinterpret_cast<uintptr_t>(arena.data()) - 32) & 4095;
    return arena.data() + k;
}

void PayloadQv(benchmark::State& state) {
    const auto arena = qvbench::RandomBytes(kTotal + 4096 + 64);
    QvBuffer b;
    b.Realloc(static_cast<int32_t>(kTotal));
    const uint8_t* src = PayloadsFor(arena, b.m_pData);
    for (auto _ : state) {
        for (size_t off = 0; off < 64; ++off) {
            b.CopyFrom(src + off, static_cast<int32_t>(kTotal));
            benchmark::DoNotOptimize(b.m_pData);
        }
    }
    qvbench::SetBytes(state, 64 * kTotal);
}

void PayloadVector(benchmark::State& state) {
    const auto arena = qvbench::RandomBytes(kTotal + 4096 + 64);
    std::vector<uint8_t> v;
    v.reserve(kTotal);
    const uint8_t* src = PayloadsFor(arena, v.data());
    for (auto _ : state) {
        for (size_t off = 0; off < 64; ++off) {
            v.assign(src + off, src + off + kTotal);  // within the capacity: v.data() stays
            benchmark::DoNotOptimize(v.data());
        }
    }
    qvbench::SetBytes(state, 64 * kTotal);
}

BENCHMARK(AppendQv)->Name("buffer/append16/qv");
BENCHMARK(AppendVector)->Name("buffer/append16/vector");
BENCHMARK(AppendMemcpy)->Name("buffer/append16/memcpy");
BENCHMARK(RewindQv)->Name("buffer/copy+rewind/qv");
BENCHMARK(RewindVector)->Name("buffer/copy+rewind/vector");
BENCHMARK(PayloadQv)->Name("buffer/copy-payload/qv");
BENCHMARK(PayloadVector)->Name("buffer/copy-payload/vector");

}  // namespace

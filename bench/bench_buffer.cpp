// QvBuffer: appending small pieces into reserved room, and dropping consumed bytes,
// beside std::vector doing the same and memcpy as the limit.

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

BENCHMARK(AppendQv)->Name("buffer/append16/qv");
BENCHMARK(AppendVector)->Name("buffer/append16/vector");
BENCHMARK(AppendMemcpy)->Name("buffer/append16/memcpy");
BENCHMARK(RewindQv)->Name("buffer/copy+rewind/qv");
BENCHMARK(RewindVector)->Name("buffer/copy+rewind/vector");

}  // namespace

#pragma once

// Shared pieces of the benchmarks. Names are "family/operation/implementation"; bench/report
// pairs the implementations starting with "qv" with the others (the peers) of the same
// operation.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace qvbench {

// Fixed-seed random bytes, the same in every run.
inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed = 12345) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Reports throughput as the bytes of input each iteration handles.
inline void SetBytes(benchmark::State& state, size_t perIteration) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(perIteration));
}

}  // namespace qvbench

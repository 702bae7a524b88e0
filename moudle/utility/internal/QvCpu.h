#pragma once

// Run-time choice of the fast paths. Every kernel beside the portable code is guarded by a
// feature bit; the bits are what the CPU offers, limited by the QV_CPU environment variable
// (read once) and by a test hook, so tests and fuzzers can run every path against the
// portable one.
//
// QV_CPU: "scalar" (portable byte-wise code only), "word" (plus portable word-at-a-time
// paths, and generic vectors on the target's baseline vector unit), "sse4.1", "avx2",
// "avx512" (x86, up to that level), "neon" (AArch64: NEON and the SHA-1 instructions);
// unset or "native": everything. A level of the other CPU family leaves the word paths.

#include <atomic>
#include <cstdint>

namespace qv {
namespace cpu {

enum Feature : uint32_t {
    kWord = 1u << 0,      // portable wide paths; on every machine unless forced off
    kSSSE3 = 1u << 1,
    kSSE41 = 1u << 2,
    kAVX2 = 1u << 3,      // with BMI1/BMI2
    kAVX512BW = 1u << 4,  // with AVX-512F/VL
    kAVX512VBMI = 1u << 5,
    kSHANI = 1u << 6,
    kNEON = 1u << 7,      // AArch64 AdvSIMD: baseline there, a bit so it can be forced off
    kSHA1CE = 1u << 8,    // AArch64 Crypto Extensions' SHA-1 instructions
    kAll = (1u << 9) - 1,
};

// The levels QV_CPU names, as masks. SHA-NI works on SSE registers and comes with sse4.1.
constexpr uint32_t kLevelScalar = 0;
constexpr uint32_t kLevelWord = kWord;
constexpr uint32_t kLevelSSE41 = kWord | kSSSE3 | kSSE41 | kSHANI;
constexpr uint32_t kLevelAVX2 = kLevelSSE41 | kAVX2;
constexpr uint32_t kLevelAVX512 = kLevelAVX2 | kAVX512BW | kAVX512VBMI;
constexpr uint32_t kLevelNEON = kWord | kNEON | kSHA1CE;

// Not yet computed; never a valid feature set.
constexpr uint32_t kUnset = 1u << 31;

extern std::atomic<uint32_t> g_features;

uint32_t InitFeatures();

// The feature bits in force: a single relaxed load once computed.
inline uint32_t Features() {
    const uint32_t f = g_features.load(std::memory_order_relaxed);
    return (f & kUnset) ? InitFeatures() : f;
}

inline bool Has(uint32_t bits) {
    return (Features() & bits) == bits;
}

// What the processor itself offers, before any limit.
uint32_t Detected();

// Test hook: limits the features in force to mask (kAll lifts the limit). QV_CPU still
// applies. Not for use while other threads run library code.
void SetMask(uint32_t mask);

// The limit QV_CPU puts on the features ("scalar" -> 0).
uint32_t EnvMask();

// Short name of a single feature bit, for test and benchmark labels.
const char* Name(uint32_t feature);

class ScopedMask {
public:
    explicit ScopedMask(uint32_t mask) { SetMask(mask); }
    ~ScopedMask() { SetMask(kAll); }
    ScopedMask(const ScopedMask&) = delete;
    ScopedMask& operator=(const ScopedMask&) = delete;
};

}  // namespace cpu
}  // namespace qv

// AVX2 window search: 32 window offsets per step, one unaligned load per window byte. The
// last few windows, whose bytes would run past the range, go to the plain loop.

#include "internal/QvWindowScan.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace qv {
namespace scan {

namespace {

struct Lanes {
    __m256i m[4], v[4];
};

__attribute__((target("avx2"))) inline Lanes MakeLanes(uint32_t mask, uint32_t value) {
    Lanes l;
    for (int k = 0; k < 4; ++k) {
        l.m[k] = _mm256_set1_epi8(static_cast<char>(mask >> (24 - 8 * k)));
        l.v[k] = _mm256_set1_epi8(static_cast<char>(value >> (24 - 8 * k)));
    }
    return l;
}

// Bit t set when the window at q + t matches, for t in 0..31. Reads q[0..34].
__attribute__((target("avx2"))) inline uint32_t Matches(const Lanes& l, const uint8_t* q) {
    __m256i eq = _mm256_set1_epi8(-1);
    for (int k = 0; k < 4; ++k) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + k));
        eq = _mm256_and_si256(eq, _mm256_cmpeq_epi8(_mm256_and_si256(x, l.m[k]), l.v[k]));
    }
    return static_cast<uint32_t>(_mm256_movemask_epi8(eq));
}

}  // namespace

__attribute__((target("avx2,bmi,bmi2")))
int32_t First4Avx2(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    const Lanes l = MakeLanes(mask, value);
    int32_t j = 0;
    for (; j + 35 <= n; j += 32) {
        const uint32_t bits = Matches(l, p + j);
        if (bits) return j + __builtin_ctz(bits);
    }
    const int32_t r = First4Scalar(p + j, n - j, mask, value);
    return r < 0 ? -1 : j + r;
}

__attribute__((target("avx2,bmi,bmi2")))
int32_t Last4Avx2(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    const Lanes l = MakeLanes(mask, value);
    int32_t top = n - 4;  // highest window not yet tested
    for (; top >= 31; top -= 32) {
        const uint32_t bits = Matches(l, p + top - 31);
        if (bits) return top - __builtin_clz(bits);
    }
    return Last4Scalar(p, top + 4, mask, value);
}

}  // namespace scan
}  // namespace qv

#endif

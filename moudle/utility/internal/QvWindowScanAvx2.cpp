// AVX2 window search. Two selective bytes of the window are tested first, 64 offsets per
// step; only a step where both agree somewhere gets the full four-byte test. The last few
// windows, whose bytes would run past the range, go to the plain loop.

#include "internal/QvWindowScan.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace qv {
namespace scan {

namespace {

#define QV_AVX2 __attribute__((target("avx2")))

struct Lanes {
    __m256i m[4], v[4];
    int a, b;  // the two lanes of the first test
    bool masked;  // a or b has a partial mask byte
};

QV_AVX2 inline Lanes MakeLanes(uint32_t mask, uint32_t value) {
    Lanes l;
    for (int k = 0; k < 4; ++k) {
        l.m[k] = _mm256_set1_epi8(static_cast<char>(LaneByte(mask, k)));
        l.v[k] = _mm256_set1_epi8(static_cast<char>(LaneByte(value, k)));
    }
    PickLanes(mask, value, l.a, l.b);
    l.masked = LaneByte(mask, l.a) != 0xFF || LaneByte(mask, l.b) != 0xFF;
    return l;
}

QV_AVX2 inline __m256i LaneEq(const Lanes& l, const uint8_t* q, int k, bool masked) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + k));
    if (masked) x = _mm256_and_si256(x, l.m[k]);
    return _mm256_cmpeq_epi8(x, l.v[k]);
}

// Bit t set when the window at q + t matches, for t in 0..31. Reads q[0..34].
QV_AVX2 inline uint32_t Matches(const Lanes& l, const uint8_t* q) {
    __m256i eq = LaneEq(l, q, 0, true);
    for (int k = 1; k < 4; ++k) eq = _mm256_and_si256(eq, LaneEq(l, q, k, true));
    return static_cast<uint32_t>(_mm256_movemask_epi8(eq));
}

// Whether the first test passes anywhere among the 64 windows from q. Reads q[0..66].
template <bool kMasked>
QV_AVX2 inline bool Maybe64(const Lanes& l, const uint8_t* q) {
    const __m256i lo = _mm256_and_si256(LaneEq(l, q, l.a, kMasked), LaneEq(l, q, l.b, kMasked));
    const __m256i hi = _mm256_and_si256(LaneEq(l, q + 32, l.a, kMasked), LaneEq(l, q + 32, l.b, kMasked));
    return !_mm256_testz_si256(_mm256_or_si256(lo, hi), _mm256_set1_epi8(-1));
}

template <bool kMasked>
QV_AVX2 int32_t First(const Lanes& l, const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    int32_t j = 0;
    for (; j <= n - 67; j += 64) {
        if (!Maybe64<kMasked>(l, p + j)) continue;
        if (const uint32_t bits = Matches(l, p + j)) return j + __builtin_ctz(bits);
        if (const uint32_t bits = Matches(l, p + j + 32)) return j + 32 + __builtin_ctz(bits);
    }
    for (; j <= n - 35; j += 32)
        if (const uint32_t bits = Matches(l, p + j)) return j + __builtin_ctz(bits);
    const int32_t r = First4Scalar(p + j, n - j, mask, value);
    return r < 0 ? -1 : j + r;
}

template <bool kMasked>
QV_AVX2 int32_t Last(const Lanes& l, const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    int32_t top = n - 4;  // highest window not yet tested
    for (; top >= 63; top -= 64) {
        if (!Maybe64<kMasked>(l, p + top - 63)) continue;
        if (const uint32_t bits = Matches(l, p + top - 31)) return top - __builtin_clz(bits);
        if (const uint32_t bits = Matches(l, p + top - 63)) return top - 32 - __builtin_clz(bits);
    }
    for (; top >= 31; top -= 32)
        if (const uint32_t bits = Matches(l, p + top - 31)) return top - __builtin_clz(bits);
    return Last4Scalar(p, top + 4, mask, value);
}

}  // namespace

QV_AVX2 int32_t First4Avx2(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    const Lanes l = MakeLanes(mask, value);
    return l.masked ? First<true>(l, p, n, mask, value) : First<false>(l, p, n, mask, value);
}

QV_AVX2 int32_t Last4Avx2(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    const Lanes l = MakeLanes(mask, value);
    return l.masked ? Last<true>(l, p, n, mask, value) : Last<false>(l, p, n, mask, value);
}

}  // namespace scan
}  // namespace qv

#endif

// AVX-512 search for the start-code window. Between start codes a cheap test of two of its
// bytes runs over 128 windows per step; a step where it passes somewhere gets the exact test
// of all three. Masked loads take the last windows, so no byte past the range is read and no
// plain loop is left over at the ends.

#include "internal/QvWindowScan.h"

#if defined(QV_X86)

#include <immintrin.h>

namespace qv {
namespace scan {

namespace {

#define QV_AVX512 QV_TARGET("avx512f,avx512bw")

// Bit t set when q[t], q[t + 1] are 00 and q[t + 2] is 01, for the t set in lanes (the first
// m): the loads read q[0 .. m + 1] only.
QV_AVX512 inline uint64_t Codes64(const uint8_t* q, __mmask64 lanes) {
    const __m512i a = _mm512_maskz_loadu_epi8(lanes, q);
    const __m512i b = _mm512_maskz_loadu_epi8(lanes, q + 1);
    const __m512i c = _mm512_maskz_loadu_epi8(lanes, q + 2);
    return _mm512_mask_testn_epi8_mask(_mm512_cmpeq_epi8_mask(c, _mm512_set1_epi8(1)),
                                       _mm512_or_si512(a, b), _mm512_or_si512(a, b));
}

// The same over all 64 windows: reads q[0..65].
QV_AVX512 inline uint64_t Codes64(const uint8_t* q) {
    const __m512i a = _mm512_loadu_si512(q);
    const __m512i b = _mm512_loadu_si512(q + 1);
    const __m512i c = _mm512_loadu_si512(q + 2);
    return _mm512_mask_testn_epi8_mask(_mm512_cmpeq_epi8_mask(c, _mm512_set1_epi8(1)),
                                       _mm512_or_si512(a, b), _mm512_or_si512(a, b));
}

// Zero in byte t when q[t] is 00 and q[t + 2] is 01, a necessary condition for a start code
// at t: q[t] | (q[t + 2] ^ 01) in one three-input operation. Reads q[0..65].
QV_AVX512 inline __m512i Maybe64(const uint8_t* q) {
    return _mm512_ternarylogic_epi32(_mm512_loadu_si512(q), _mm512_loadu_si512(q + 2), _mm512_set1_epi8(1), 0xF6);
}

// Whether the cheap test passes anywhere among the 128 windows from q. Reads q[0..129].
QV_AVX512 inline bool Maybe128(const uint8_t* q) {
    const __m512i m = _mm512_min_epu8(Maybe64(q), Maybe64(q + 64));
    return _mm512_testn_epi8_mask(m, m) != 0;
}

inline __mmask64 FirstLanes(int32_t m) {
    return m >= 64 ? ~__mmask64{0} : (__mmask64{1} << m) - 1;
}

// A start code at a has its 00 00 in the aligned byte pair at a (a even) or its 00 01 in the
// pair at a + 1 (a odd): some aligned pair is 00 then 00 or 01, a 16-bit lane whose bits
// under 0xFEFF are clear. Whether such a pair lies in the 128 aligned bytes from q, that
// is whether a start code may lie at q - 1 .. q + 126: two aligned loads, no line crossed.
QV_AVX512 inline bool Pairs128(const uint8_t* q) {
    const __m512i m = _mm512_set1_epi16(static_cast<short>(0xFEFF));
    return (_mm512_testn_epi16_mask(_mm512_load_si512(q), m) | _mm512_testn_epi16_mask(_mm512_load_si512(q + 64), m)) != 0;
}

QV_AVX512 int32_t FirstStartCodeNear(const uint8_t* p, int32_t n) {
    int32_t j = 0;
    // Windows j .. j + 127; the code byte of the last is in range.
    for (; j <= n - 131; j += 128) {
        if (!Maybe128(p + j)) continue;
        if (const uint64_t bits = Codes64(p + j)) return j + Ctz64(bits);
        if (const uint64_t bits = Codes64(p + j + 64)) return j + 64 + Ctz64(bits);
    }
    for (; j <= n - 67; j += 64)
        if (const uint64_t bits = Codes64(p + j)) return j + Ctz64(bits);
    if (j > n - 4) return -1;
    const uint64_t bits = Codes64(p + j, FirstLanes(n - 3 - j));
    return bits ? j + Ctz64(bits) : -1;
}

QV_AVX512 int32_t LastStartCodeNear(const uint8_t* p, int32_t n) {
    int32_t top = n - 4;  // highest window not yet tested
    for (; top >= 127; top -= 128) {
        if (!Maybe128(p + top - 127)) continue;
        if (const uint64_t bits = Codes64(p + top - 63)) return top - Clz64(bits);
        if (const uint64_t bits = Codes64(p + top - 127)) return top - 64 - Clz64(bits);
    }
    for (; top >= 63; top -= 64)
        if (const uint64_t bits = Codes64(p + top - 63)) return top - Clz64(bits);
    if (top < 0) return -1;
    const uint64_t bits = Codes64(p, FirstLanes(top + 1));
    return bits ? 63 - Clz64(bits) : -1;
}

}  // namespace

// Long ranges go by aligned blocks of 128 bytes; the unaligned head and the tail by the
// kernels above.
QV_AVX512 int32_t FirstStartCodeAvx512(const uint8_t* p, int32_t n) {
    if (n < 256) return FirstStartCodeNear(p, n);
    if (const uint64_t bits = Codes64(p)) return Ctz64(bits);  // windows 0 .. 63
    // The first block boundary past p: its windows from j - 1 <= 63 on.
    int32_t j = 64 - static_cast<int32_t>(reinterpret_cast<uintptr_t>(p) & 63);
    for (; j <= n - 130; j += 128) {
        if (!Pairs128(p + j)) continue;
        if (const uint64_t bits = Codes64(p + j - 1)) return j - 1 + Ctz64(bits);
        if (const uint64_t bits = Codes64(p + j + 63)) return j + 63 + Ctz64(bits);
    }
    const int32_t r = FirstStartCodeNear(p + j - 1, n - j + 1);
    return r < 0 ? -1 : j - 1 + r;
}

QV_AVX512 int32_t LastStartCodeAvx512(const uint8_t* p, int32_t n) {
    if (n < 256) return LastStartCodeNear(p, n);
    const int32_t top = n - 4;
    if (const uint64_t bits = Codes64(p + top - 63)) return top - Clz64(bits);  // top - 63 .. top
    // The highest aligned block whose windows end at or below top; those above were just
    // tested.
    int32_t j = top - 126 - static_cast<int32_t>(reinterpret_cast<uintptr_t>(p + top - 126) & 63);
    for (; j >= 1; j -= 128) {
        if (!Pairs128(p + j)) continue;
        if (const uint64_t bits = Codes64(p + j + 63)) return j + 126 - Clz64(bits);
        if (const uint64_t bits = Codes64(p + j - 1)) return j + 62 - Clz64(bits);
    }
    return LastStartCodeNear(p, j + 130);  // windows 0 .. j + 126
}

}  // namespace scan
}  // namespace qv

#endif

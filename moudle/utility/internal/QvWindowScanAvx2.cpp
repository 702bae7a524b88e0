// AVX2 window search. Two selective bytes of the window are tested first, 64 offsets per
// step; only a step where both agree somewhere gets the full four-byte test. The last few
// windows, whose bytes would run past the range, go to the plain loop.

#include "internal/QvWindowScan.h"

#if defined(QV_X86)

#include <immintrin.h>

namespace qv {
namespace scan {

namespace {

#define QV_AVX2 QV_TARGET("avx2")

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
        if (const uint32_t bits = Matches(l, p + j)) return j + Ctz32(bits);
        if (const uint32_t bits = Matches(l, p + j + 32)) return j + 32 + Ctz32(bits);
    }
    for (; j <= n - 35; j += 32)
        if (const uint32_t bits = Matches(l, p + j)) return j + Ctz32(bits);
    const int32_t r = First4Scalar(p + j, n - j, mask, value);
    return r < 0 ? -1 : j + r;
}

template <bool kMasked>
QV_AVX2 int32_t Last(const Lanes& l, const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    int32_t top = n - 4;  // highest window not yet tested
    for (; top >= 63; top -= 64) {
        if (!Maybe64<kMasked>(l, p + top - 63)) continue;
        if (const uint32_t bits = Matches(l, p + top - 31)) return top - Clz32(bits);
        if (const uint32_t bits = Matches(l, p + top - 63)) return top - 32 - Clz32(bits);
    }
    for (; top >= 31; top -= 32)
        if (const uint32_t bits = Matches(l, p + top - 31)) return top - Clz32(bits);
    return Last4Scalar(p, top + 4, mask, value);
}

// The start-code window tests its three fixed bytes exactly: bit t set when q[t], q[t + 1]
// are 00 and q[t + 2] is 01. Codes32 reads q[0..33], Codes16 q[0..17].
QV_AVX2 inline uint32_t Codes32(const uint8_t* q) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 2));
    const __m256i eq = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(a, b), _mm256_setzero_si256()),
                                        _mm256_cmpeq_epi8(c, _mm256_set1_epi8(1)));
    return static_cast<uint32_t>(_mm256_movemask_epi8(eq));
}

QV_AVX2 inline uint32_t Codes16(const uint8_t* q) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 2));
    const __m128i eq = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, b), _mm_setzero_si128()),
                                     _mm_cmpeq_epi8(c, _mm_set1_epi8(1)));
    return static_cast<uint32_t>(_mm_movemask_epi8(eq));
}

// Reads q[0..65].
QV_AVX2 inline uint64_t Codes64(const uint8_t* q) {
    return Codes32(q) | uint64_t{Codes32(q + 32)} << 32;
}

// Zero in byte t when q[t] is 00 and q[t + 2] is 01, which a start code at t needs. Reads
// q[0..33].
QV_AVX2 inline __m256i Maybe32(const uint8_t* q) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 2));
    return _mm256_or_si256(a, _mm256_xor_si256(c, _mm256_set1_epi8(1)));
}

// Whether that holds anywhere among the 128 windows from q. Reads q[0..129].
QV_AVX2 inline bool Maybe128(const uint8_t* q) {
    const __m256i m = _mm256_min_epu8(_mm256_min_epu8(Maybe32(q), Maybe32(q + 32)),
                                      _mm256_min_epu8(Maybe32(q + 64), Maybe32(q + 96)));
    return _mm256_movemask_epi8(_mm256_cmpeq_epi8(m, _mm256_setzero_si256())) != 0;
}

constexpr uint32_t kStartMask = 0xFFFFFF00, kStartValue = 0x100;

// A start code at a has its 00 00 in the aligned byte pair at a (a even) or its 00 01 in the
// pair at a + 1 (a odd): some aligned pair is 00 then 00 or 01, a 16-bit lane whose bits
// under 0xFEFF are clear. One aligned load per 32 bytes, none across a cache line.
// Whether such a pair lies in the 128 aligned bytes from q, that is whether a start code
// may lie at q - 1 .. q + 126.
QV_AVX2 inline __m256i Pairs32(const uint8_t* q) {
    return _mm256_and_si256(_mm256_load_si256(reinterpret_cast<const __m256i*>(q)),
                            _mm256_set1_epi16(static_cast<short>(0xFEFF)));
}

QV_AVX2 inline bool Pairs128(const uint8_t* q) {
    const __m256i x = _mm256_min_epu16(_mm256_min_epu16(Pairs32(q), Pairs32(q + 32)),
                                       _mm256_min_epu16(Pairs32(q + 64), Pairs32(q + 96)));
    return _mm256_movemask_epi8(_mm256_cmpeq_epi16(x, _mm256_setzero_si256())) != 0;
}

// Between start codes two of their bytes are tested, 128 windows per step; where that
// passes, all three. The last windows go in one block that ends at the last window (those
// it repeats were tested already and hold no match), 16 bytes wide below 35 bytes, and the
// plain loop below 19.
QV_AVX2 int32_t FirstStartCodeNear(const uint8_t* p, int32_t n) {
    int32_t j = 0;
    for (; j <= n - 131; j += 128) {
        if (!Maybe128(p + j)) continue;
        if (const uint64_t bits = Codes64(p + j)) return j + Ctz64(bits);
        if (const uint64_t bits = Codes64(p + j + 64)) return j + 64 + Ctz64(bits);
    }
    for (; j <= n - 35; j += 32)
        if (const uint32_t bits = Codes32(p + j)) return j + Ctz32(bits);
    if (j > n - 4) return -1;
    if (n >= 35) {
        const uint32_t bits = Codes32(p + n - 35);
        return bits ? n - 35 + Ctz32(bits) : -1;
    }
    if (n >= 19) {
        if (const uint32_t bits = Codes16(p)) return Ctz32(bits);
        const uint32_t bits = Codes16(p + n - 19);
        return bits ? n - 19 + Ctz32(bits) : -1;
    }
    return First4Scalar(p, n, kStartMask, kStartValue);
}

QV_AVX2 int32_t LastStartCodeNear(const uint8_t* p, int32_t n) {
    int32_t top = n - 4;  // highest window not yet tested
    for (; top >= 127; top -= 128) {
        if (!Maybe128(p + top - 127)) continue;
        if (const uint64_t bits = Codes64(p + top - 63)) return top - Clz64(bits);
        if (const uint64_t bits = Codes64(p + top - 127)) return top - 64 - Clz64(bits);
    }
    for (; top >= 31; top -= 32)
        if (const uint32_t bits = Codes32(p + top - 31)) return top - Clz32(bits);
    if (top < 0) return -1;
    if (n >= 35) {
        const uint32_t bits = Codes32(p);
        return bits ? 31 - Clz32(bits) : -1;
    }
    if (n >= 19) {
        if (const uint32_t bits = Codes16(p + n - 19)) return n - 19 + 31 - Clz32(bits);
        const uint32_t bits = Codes16(p);
        return bits ? 31 - Clz32(bits) : -1;
    }
    return Last4Scalar(p, n, kStartMask, kStartValue);
}

}  // namespace

// Long ranges go by aligned blocks of 128 bytes; the unaligned head and the tail by the
// kernels above.
QV_AVX2 int32_t FirstStartCodeAvx2(const uint8_t* p, int32_t n) {
    if (n < 256) return FirstStartCodeNear(p, n);
    if (const uint32_t bits = Codes32(p)) return Ctz32(bits);  // windows 0 .. 31
    // The first block boundary past p: its windows from j - 1 <= 31 on.
    int32_t j = 32 - static_cast<int32_t>(reinterpret_cast<uintptr_t>(p) & 31);
    for (; j <= n - 130; j += 128) {
        if (!Pairs128(p + j)) continue;
        if (const uint64_t bits = Codes64(p + j - 1)) return j - 1 + Ctz64(bits);
        if (const uint64_t bits = Codes64(p + j + 63)) return j + 63 + Ctz64(bits);
    }
    const int32_t r = FirstStartCodeNear(p + j - 1, n - j + 1);
    return r < 0 ? -1 : j - 1 + r;
}

QV_AVX2 int32_t LastStartCodeAvx2(const uint8_t* p, int32_t n) {
    if (n < 256) return LastStartCodeNear(p, n);
    const int32_t top = n - 4;
    if (const uint32_t bits = Codes32(p + top - 31)) return top - Clz32(bits);  // top - 31 .. top
    // The highest block whose windows end at or below top - 1 - 31 + 32; those above it
    // were just tested.
    int32_t j = top - 126 - static_cast<int32_t>(reinterpret_cast<uintptr_t>(p + top - 126) & 31);
    for (; j >= 1; j -= 128) {
        if (!Pairs128(p + j)) continue;
        if (const uint64_t bits = Codes64(p + j + 63)) return j + 126 - Clz64(bits);
        if (const uint64_t bits = Codes64(p + j - 1)) return j + 62 - Clz64(bits);
    }
    return LastStartCodeNear(p, j + 130);  // windows 0 .. j + 126
}

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

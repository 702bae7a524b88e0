// NEON start-code search for AArch64, the counterpart of the AVX2 kernels: between start
// codes one aligned load per 16 bytes, tested as byte pairs; the exact three-byte test only
// where a pair passes. NEON has no byte mask move: a compare result narrowed by four bits
// per byte gives a 64-bit mask, four bits per window.

#include "internal/QvWindowScan.h"

#if defined(QV_ARM64)

#include <arm_neon.h>

namespace qv {
namespace scan {

namespace {

constexpr uint32_t kStartMask = 0xFFFFFF00, kStartValue = 0x100;

inline uint64_t Nibbles(uint8x16_t eq) {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(eq), 4)), 0);
}

// Four bits set at 4t when q[t], q[t + 1] are 00 and q[t + 2] is 01, for t in 0..15.
// Reads q[0..17].
inline uint64_t Codes16(const uint8_t* q) {
    const uint8x16_t a = vld1q_u8(q);
    const uint8x16_t b = vld1q_u8(q + 1);
    const uint8x16_t c = vld1q_u8(q + 2);
    return Nibbles(vandq_u8(vceqzq_u8(vorrq_u8(a, b)), vceqq_u8(c, vdupq_n_u8(1))));
}

inline int32_t FirstOf(uint64_t bits) {
    return static_cast<int32_t>(Ctz64(bits) >> 2);
}

inline int32_t LastOf(uint64_t bits) {
    return static_cast<int32_t>((63 - Clz64(bits)) >> 2);
}

// A start code at a has its 00 00 in the aligned byte pair at a (a even) or its 00 01 in the
// pair at a + 1 (a odd): a pair whose first byte is 00 and whose second is 00 or 01, clear
// under FF FE. Whether such a pair lies in the 128 aligned bytes from q, that is whether a
// start code may lie at q - 1 .. q + 126.
inline uint16x8_t Pairs32(const uint8_t* q, uint8x16_t m) {
    const uint16x8_t x0 = vreinterpretq_u16_u8(vandq_u8(vld1q_u8(q), m));
    const uint16x8_t x1 = vreinterpretq_u16_u8(vandq_u8(vld1q_u8(q + 16), m));
    return vminq_u16(x0, x1);
}

inline bool Pairs128(const uint8_t* q) {
    const uint8x16_t m = vreinterpretq_u8_u16(vdupq_n_u16(0xFEFF));
    const uint16x8_t x = vminq_u16(vminq_u16(Pairs32(q, m), Pairs32(q + 32, m)),
                                   vminq_u16(Pairs32(q + 64, m), Pairs32(q + 96, m)));
    return vminvq_u16(x) == 0;
}

// Short ranges, and what is left at either end of the aligned blocks: 16 windows per step,
// the last ones in one step that ends at the last window (those it repeats hold no match),
// and the plain loop below 19 bytes.
int32_t FirstStartCodeNear(const uint8_t* p, int32_t n) {
    if (n < 19) return First4Scalar(p, n, kStartMask, kStartValue);
    int32_t j = 0;
    for (; j <= n - 19; j += 16)
        if (const uint64_t bits = Codes16(p + j)) return j + FirstOf(bits);
    if (j > n - 4) return -1;
    const uint64_t bits = Codes16(p + n - 19);
    return bits ? n - 19 + FirstOf(bits) : -1;
}

int32_t LastStartCodeNear(const uint8_t* p, int32_t n) {
    if (n < 19) return Last4Scalar(p, n, kStartMask, kStartValue);
    int32_t top = n - 4;  // highest window not yet tested
    for (; top >= 15; top -= 16)
        if (const uint64_t bits = Codes16(p + top - 15)) return top - 15 + LastOf(bits);
    if (top < 0) return -1;
    const uint64_t bits = Codes16(p);
    return bits ? LastOf(bits) : -1;
}

}  // namespace

int32_t FirstStartCodeNeon(const uint8_t* p, int32_t n) {
    if (n < 256) return FirstStartCodeNear(p, n);
    if (const uint64_t bits = Codes16(p)) return FirstOf(bits);  // windows 0 .. 15
    // The first block boundary past p: its windows from j - 1 <= 15 on.
    int32_t j = 16 - static_cast<int32_t>(reinterpret_cast<uintptr_t>(p) & 15);
    for (; j <= n - 130; j += 128) {
        if (!Pairs128(p + j)) continue;
        for (int32_t k = j - 1; k < j + 127; k += 16)
            if (const uint64_t bits = Codes16(p + k)) return k + FirstOf(bits);
    }
    const int32_t r = FirstStartCodeNear(p + j - 1, n - j + 1);
    return r < 0 ? -1 : j - 1 + r;
}

int32_t LastStartCodeNeon(const uint8_t* p, int32_t n) {
    if (n < 256) return LastStartCodeNear(p, n);
    const int32_t top = n - 4;
    if (const uint64_t bits = Codes16(p + top - 15))
        return top - 15 + LastOf(bits);  // top - 15 .. top
    // The highest block whose windows end at or below top; those above top - 16 were just
    // tested.
    int32_t j = top - 126 - static_cast<int32_t>(reinterpret_cast<uintptr_t>(p + top - 126) & 15);
    for (; j >= 1; j -= 128) {
        if (!Pairs128(p + j)) continue;
        for (int32_t k = j + 111; k >= j - 1; k -= 16)
            if (const uint64_t bits = Codes16(p + k)) return k + LastOf(bits);
    }
    return LastStartCodeNear(p, j + 130);  // windows 0 .. j + 126
}

}  // namespace scan
}  // namespace qv

#endif

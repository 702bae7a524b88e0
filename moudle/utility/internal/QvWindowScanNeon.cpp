// NEON start-code search for AArch64, the counterpart of the AVX2 kernels: between start
// codes one aligned load per 16 bytes, tested as byte pairs; the exact three-byte test only
// where a pair passes. NEON has no byte mask move: a compare result narrowed by four bits
// per byte gives a 64-bit mask, four bits per window.

#include "internal/QvStartCodeBlocks.h"

#if defined(QV_ARM64)

#include <arm_neon.h>

namespace qv {
namespace scan {

namespace {

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

struct Kernel {
    static int32_t First16(const uint8_t* q) {
        const uint64_t bits = Codes16(q);
        return bits ? static_cast<int32_t>(Ctz64(bits) >> 2) : -1;
    }
    static int32_t Last16(const uint8_t* q) {
        const uint64_t bits = Codes16(q);
        return bits ? static_cast<int32_t>((63 - Clz64(bits)) >> 2) : -1;
    }
    static bool Pairs128(const uint8_t* q) { return qv::scan::Pairs128(q); }
};

}  // namespace

int32_t FirstStartCodeNeon(const uint8_t* p, int32_t n) {
    return blocks::First<Kernel>(p, n);
}

int32_t LastStartCodeNeon(const uint8_t* p, int32_t n) {
    return blocks::Last<Kernel>(p, n);
}

}  // namespace scan
}  // namespace qv

#endif

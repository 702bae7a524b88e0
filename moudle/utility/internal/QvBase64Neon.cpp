// NEON kernels of QvBase64. Structure loads split a block into the places of 16 groups (the
// three bytes, or the four characters), so the bit work runs lane by lane with plain
// shifts, and table look-ups over four registers (64 entries) turn values into characters
// and characters back into values. Loads and stores cover exactly the blocks taken.

#include "internal/QvBase64Kernels.h"

#if defined(QV_BASE64_NEON)

#include <arm_neon.h>

#include <cstring>

namespace qv {
namespace base64 {

namespace {

inline uint8x16x4_t LoadTable(const uint8_t* t) {
    uint8x16x4_t r;
    r.val[0] = vld1q_u8(t);
    r.val[1] = vld1q_u8(t + 16);
    r.val[2] = vld1q_u8(t + 32);
    r.val[3] = vld1q_u8(t + 48);
    return r;
}

}  // namespace

size_t EncodeNeon(const uint8_t* src, size_t n, char* dst) {
    const uint8x16x4_t alphabet = LoadTable(reinterpret_cast<const uint8_t*>(kAlphabet));
    const uint8x16_t low6 = vdupq_n_u8(63);
    size_t i = 0;
    for (; n - i >= 48; i += 48, dst += 64) {
        const uint8x16x3_t b = vld3q_u8(src + i);
        uint8x16x4_t c;
        c.val[0] = vshrq_n_u8(b.val[0], 2);
        c.val[1] = vandq_u8(vorrq_u8(vshlq_n_u8(b.val[0], 4), vshrq_n_u8(b.val[1], 4)), low6);
        c.val[2] = vandq_u8(vorrq_u8(vshlq_n_u8(b.val[1], 2), vshrq_n_u8(b.val[2], 6)), low6);
        c.val[3] = vandq_u8(b.val[2], low6);
        for (int k = 0; k < 4; ++k) c.val[k] = vqtbl4q_u8(alphabet, c.val[k]);
        vst4q_u8(reinterpret_cast<uint8_t*>(dst), c);
    }
    return i;
}

size_t DecodeNeon(const uint8_t* src, size_t n, uint8_t* dst) {
    const uint8x16x4_t low = LoadTable(kValues.v), high = LoadTable(kValues.v + 64);
    const uint8x16_t outside = vdupq_n_u8(kNotInAlphabet), sixty4 = vdupq_n_u8(64);
    size_t i = 0;
    for (; n - i >= 64; i += 64, dst += 48) {
        const uint8x16x4_t c = vld4q_u8(src + i);
        uint8x16_t v[4];
        for (int k = 0; k < 4; ++k) {
            // Each look-up leaves lanes outside its 64 entries as they were: codes 0x80 and
            // up stay kNotInAlphabet.
            v[k] = vqtbx4q_u8(outside, low, c.val[k]);
            v[k] = vqtbx4q_u8(v[k], high, vsubq_u8(c.val[k], sixty4));
        }
        uint8x16x3_t b;
        b.val[0] = vorrq_u8(vshlq_n_u8(v[0], 2), vshrq_n_u8(v[1], 4));
        b.val[1] = vorrq_u8(vshlq_n_u8(v[1], 4), vshrq_n_u8(v[2], 2));
        b.val[2] = vorrq_u8(vshlq_n_u8(v[2], 6), v[3]);
        // Lane j is group j: any value above 63 in it makes the group need the rules.
        const uint8x16_t any = vorrq_u8(vorrq_u8(v[0], v[1]), vorrq_u8(v[2], v[3]));
        if (vmaxvq_u8(any) > 63) {
            // Four bits per lane, then the groups in front of the first dirty one; a group's
            // bytes depend on its own characters only, so those are right.
            const uint8x16_t dirty = vcgtq_u8(any, vdupq_n_u8(63));
            const uint64_t bits =
                vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(dirty), 4)), 0);
            const size_t clean = static_cast<size_t>(Ctz64(bits)) / 4;
            uint8_t tmp[48];
            vst3q_u8(tmp, b);
            std::memcpy(dst, tmp, clean * 3);
            return i + clean * 4;
        }
        vst3q_u8(dst, b);
    }
    return i;
}

}  // namespace base64
}  // namespace qv

#endif

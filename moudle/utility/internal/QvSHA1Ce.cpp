// SHA-1 compression with the ARMv8 Crypto Extensions. Each sha1c/sha1p/sha1m does four
// steps on abcd in one register (a in lane 0) with e beside it as a scalar; sha1h gives the
// e of the next group, a rotated by 30, from a before the steps. The schedule advances
// four words at a time with sha1su0 and sha1su1, register m[g % 4] holding words 4g .. 4g + 3.

#include "internal/QvCompiler.h"

#if defined(QV_ARM64)

#include "internal/QvDigestContext.h"

#include <arm_neon.h>

// GCC compiles this function alone for the crypto instructions, the rest of the library
// for baseline ARMv8-A. Clang before 16 declares the intrinsics only for a target that has
// them, so the build gives this one file +crypto (CMakeLists.txt); MSVC allows them anywhere.
#if defined(__GNUC__) && !defined(__clang__)
#define QV_SHA1CE QV_TARGET("+crypto")
#else
#define QV_SHA1CE
#endif

namespace qv {
namespace digest {

namespace {

// Sixteen message words: big-endian in memory, lane order is word order.
QV_SHA1CE inline uint32x4_t LoadWords(const unsigned char* p) {
    return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(p)));
}

}  // namespace

// Group g (steps 4g .. 4g + 3) with step function F and constant k: from group 4 on, its
// words come from the four registers before it; e for the next group is taken before a
// changes.
#define QV_SHA1CE_GROUP(g, F, k, m0, m1, m2, m3, eIn, eOut)                                  \
    if ((g) >= 4) m0 = vsha1su1q_u32(vsha1su0q_u32(m0, m1, m2), m3);                         \
    eOut = vsha1h_u32(vgetq_lane_u32(abcd, 0));                                                \
    abcd = F(abcd, eIn, vaddq_u32(m0, k))

QV_SHA1CE void CompressSHA1BlocksCe(uint32_t state[5], const unsigned char* p, size_t blocks) {
    const uint32x4_t k0 = vdupq_n_u32(0x5a827999u), k1 = vdupq_n_u32(0x6ed9eba1u);
    const uint32x4_t k2 = vdupq_n_u32(0x8f1bbcdcu), k3 = vdupq_n_u32(0xca62c1d6u);
    uint32x4_t abcd = vld1q_u32(state);
    uint32_t e0 = state[4], e1;

    for (; blocks != 0; --blocks, p += 64) {
        const uint32x4_t abcdSaved = abcd;
        const uint32_t eSaved = e0;
        uint32x4_t m0 = LoadWords(p), m1 = LoadWords(p + 16);
        uint32x4_t m2 = LoadWords(p + 32), m3 = LoadWords(p + 48);

        QV_SHA1CE_GROUP(0, vsha1cq_u32, k0, m0, m1, m2, m3, e0, e1);
        QV_SHA1CE_GROUP(1, vsha1cq_u32, k0, m1, m2, m3, m0, e1, e0);
        QV_SHA1CE_GROUP(2, vsha1cq_u32, k0, m2, m3, m0, m1, e0, e1);
        QV_SHA1CE_GROUP(3, vsha1cq_u32, k0, m3, m0, m1, m2, e1, e0);
        QV_SHA1CE_GROUP(4, vsha1cq_u32, k0, m0, m1, m2, m3, e0, e1);
        QV_SHA1CE_GROUP(5, vsha1pq_u32, k1, m1, m2, m3, m0, e1, e0);
        QV_SHA1CE_GROUP(6, vsha1pq_u32, k1, m2, m3, m0, m1, e0, e1);
        QV_SHA1CE_GROUP(7, vsha1pq_u32, k1, m3, m0, m1, m2, e1, e0);
        QV_SHA1CE_GROUP(8, vsha1pq_u32, k1, m0, m1, m2, m3, e0, e1);
        QV_SHA1CE_GROUP(9, vsha1pq_u32, k1, m1, m2, m3, m0, e1, e0);
        QV_SHA1CE_GROUP(10, vsha1mq_u32, k2, m2, m3, m0, m1, e0, e1);
        QV_SHA1CE_GROUP(11, vsha1mq_u32, k2, m3, m0, m1, m2, e1, e0);
        QV_SHA1CE_GROUP(12, vsha1mq_u32, k2, m0, m1, m2, m3, e0, e1);
        QV_SHA1CE_GROUP(13, vsha1mq_u32, k2, m1, m2, m3, m0, e1, e0);
        QV_SHA1CE_GROUP(14, vsha1mq_u32, k2, m2, m3, m0, m1, e0, e1);
        QV_SHA1CE_GROUP(15, vsha1pq_u32, k3, m3, m0, m1, m2, e1, e0);
        QV_SHA1CE_GROUP(16, vsha1pq_u32, k3, m0, m1, m2, m3, e0, e1);
        QV_SHA1CE_GROUP(17, vsha1pq_u32, k3, m1, m2, m3, m0, e1, e0);
        QV_SHA1CE_GROUP(18, vsha1pq_u32, k3, m2, m3, m0, m1, e0, e1);
        QV_SHA1CE_GROUP(19, vsha1pq_u32, k3, m3, m0, m1, m2, e1, e0);

        abcd = vaddq_u32(abcd, abcdSaved);
        e0 += eSaved;
    }

    vst1q_u32(state, abcd);
    state[4] = e0;
}

#undef QV_SHA1CE_GROUP

}  // namespace digest
}  // namespace qv

#endif

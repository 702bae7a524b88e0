// SHA-1 (FIPS 180-1): the context steps, the portable compression and the choice of the
// SHA-NI or ARMv8 SHA-1 kernel.

#include "internal/QvCpu.h"
#include "internal/QvDigestBlocks.h"
#include "internal/QvDigestContext.h"

namespace qv {
namespace digest {

namespace {

inline uint32_t LoadBE32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// The schedule lives in a 16-word ring: word i replaces word i - 16, which nothing needs
// any more.
#define QV_SHA1_W(i) w[(i) & 15]
#define QV_SHA1_NEXT(i)                                                                        \
    (QV_SHA1_W(i) =                                                                            \
         Rotl(QV_SHA1_W((i) + 13) ^ QV_SHA1_W((i) + 8) ^ QV_SHA1_W((i) + 2) ^ QV_SHA1_W(i), 1))

// a is the value the previous step produced; everything else joins e before it.
#define QV_SHA1_STEP(a, b, e, f, word, k)                                                      \
    e += (word) + (k);                                                                         \
    e += (f);                                                                                  \
    e += Rotl(a, 5);                                                                           \
    b = Rotl(b, 30)

#define QV_SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define QV_SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
// Majority: b & c and d & (b ^ c) share no bit.
#define QV_SHA1_MAJ(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))

#define QV_SHA1_R0(a, b, c, d, e, i)                                                           \
    QV_SHA1_STEP(a, b, e, QV_SHA1_CH(b, c, d), QV_SHA1_W(i), 0x5a827999u)
#define QV_SHA1_R1(a, b, c, d, e, i)                                                           \
    QV_SHA1_STEP(a, b, e, QV_SHA1_CH(b, c, d), QV_SHA1_NEXT(i), 0x5a827999u)
#define QV_SHA1_R2(a, b, c, d, e, i)                                                           \
    QV_SHA1_STEP(a, b, e, QV_SHA1_PARITY(b, c, d), QV_SHA1_NEXT(i), 0x6ed9eba1u)
#define QV_SHA1_R3(a, b, c, d, e, i)                                                           \
    QV_SHA1_STEP(a, b, e, QV_SHA1_MAJ(b, c, d), QV_SHA1_NEXT(i), 0x8f1bbcdcu)
#define QV_SHA1_R4(a, b, c, d, e, i)                                                           \
    QV_SHA1_STEP(a, b, e, QV_SHA1_PARITY(b, c, d), QV_SHA1_NEXT(i), 0xca62c1d6u)

// Five steps, after which the names are back in their places.
#define QV_SHA1_FIVE(R, i)                                                                     \
    R(a, b, c, d, e, i);                                                                       \
    R(e, a, b, c, d, i + 1);                                                                   \
    R(d, e, a, b, c, i + 2);                                                                   \
    R(c, d, e, a, b, i + 3);                                                                   \
    R(b, c, d, e, a, i + 4)

}  // namespace

void CompressSHA1BlocksPortable(uint32_t state[5], const unsigned char* p, size_t blocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (; blocks != 0; --blocks, p += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = LoadBE32(p + 4 * i);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;

        QV_SHA1_FIVE(QV_SHA1_R0, 0);
        QV_SHA1_FIVE(QV_SHA1_R0, 5);
        QV_SHA1_FIVE(QV_SHA1_R0, 10);
        QV_SHA1_R0(a, b, c, d, e, 15);
        QV_SHA1_R1(e, a, b, c, d, 16);
        QV_SHA1_R1(d, e, a, b, c, 17);
        QV_SHA1_R1(c, d, e, a, b, 18);
        QV_SHA1_R1(b, c, d, e, a, 19);

        QV_SHA1_FIVE(QV_SHA1_R2, 20);
        QV_SHA1_FIVE(QV_SHA1_R2, 25);
        QV_SHA1_FIVE(QV_SHA1_R2, 30);
        QV_SHA1_FIVE(QV_SHA1_R2, 35);

        QV_SHA1_FIVE(QV_SHA1_R3, 40);
        QV_SHA1_FIVE(QV_SHA1_R3, 45);
        QV_SHA1_FIVE(QV_SHA1_R3, 50);
        QV_SHA1_FIVE(QV_SHA1_R3, 55);

        QV_SHA1_FIVE(QV_SHA1_R4, 60);
        QV_SHA1_FIVE(QV_SHA1_R4, 65);
        QV_SHA1_FIVE(QV_SHA1_R4, 70);
        QV_SHA1_FIVE(QV_SHA1_R4, 75);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
        e += e0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
    state[4] = e;
}

void CompressSHA1Blocks(uint32_t state[5], const unsigned char* p, size_t blocks) {
#if defined(QV_X86)
    if (qv::cpu::Has(qv::cpu::kSHANI)) return CompressSHA1BlocksShaNi(state, p, blocks);
#elif defined(QV_ARM64)
    if (qv::cpu::Has(qv::cpu::kSHA1CE)) return CompressSHA1BlocksCe(state, p, blocks);
#endif
    CompressSHA1BlocksPortable(state, p, blocks);
}

void StartSHA1Context(SHA1Context* ctx) {
    ctx->m_dwState[0] = 0x67452301u;
    ctx->m_dwState[1] = 0xefcdab89u;
    ctx->m_dwState[2] = 0x98badcfeu;
    ctx->m_dwState[3] = 0x10325476u;
    ctx->m_dwState[4] = 0xc3d2e1f0u;
    ctx->m_dwCount[0] = ctx->m_dwCount[1] = 0;
}

void UpdateSHA1Context(SHA1Context* ctx, const unsigned char* bytes, uint32_t count) {
    UpdateBlocks(ctx, bytes, count, CompressSHA1Blocks);
}

void FinishSHA1Context(SHA1Context* ctx, unsigned char* out) {
    PadBlocks<true>(ctx, CompressSHA1Blocks);
    for (int i = 0; i < 5; ++i) StoreBE32(out + 4 * i, ctx->m_dwState[i]);
    Wipe(ctx, sizeof *ctx);
}

}  // namespace digest
}  // namespace qv

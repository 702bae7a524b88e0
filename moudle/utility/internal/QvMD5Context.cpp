// MD5 (RFC 1321): the context steps and the compression.

#include "internal/QvDigestBlocks.h"
#include "internal/QvDigestContext.h"

namespace qv {
namespace digest {

namespace {

// Byte by byte so that the code does not depend on the machine's byte order; compilers turn
// it into a single load where the order matches.
inline uint32_t LoadLE32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// MD5 is one long dependency chain, so each step is arranged to keep the chain short: the
// message word and the constant are added to a before the round function is known (they do
// not wait for the previous step), and the part of the round function that does not
// involve b (the value the previous step just produced) is worked out beside the chain.
#define QV_MD5_F(a, b, c, d, x, k, s)                                                          \
    a += (x) + (k);                                                                            \
    a += (d) ^ ((b) & ((c) ^ (d)));                                                            \
    a = Rotl(a, s) + (b)

// G = (b & d) | (c & ~d). The two halves share no bit, so they may be added one at a time,
// and c & ~d joins the sum before b is ready.
#define QV_MD5_G(a, b, c, d, x, k, s)                                                          \
    a += (x) + (k) + ((c) & ~(d));                                                             \
    a += (b) & (d);                                                                            \
    a = Rotl(a, s) + (b)

#define QV_MD5_H(a, b, c, d, x, k, s)                                                          \
    a += (x) + (k);                                                                            \
    a += (b) ^ ((c) ^ (d));                                                                    \
    a = Rotl(a, s) + (b)

#define QV_MD5_I(a, b, c, d, x, k, s)                                                          \
    a += (x) + (k);                                                                            \
    a += (c) ^ ((b) | ~(d));                                                                   \
    a = Rotl(a, s) + (b)

}  // namespace

void CompressMD5Blocks(uint32_t state[4], const unsigned char* p, size_t blocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks != 0; --blocks, p += 64) {
        const uint32_t x0 = LoadLE32(p), x1 = LoadLE32(p + 4), x2 = LoadLE32(p + 8),
                       x3 = LoadLE32(p + 12), x4 = LoadLE32(p + 16), x5 = LoadLE32(p + 20),
                       x6 = LoadLE32(p + 24), x7 = LoadLE32(p + 28), x8 = LoadLE32(p + 32),
                       x9 = LoadLE32(p + 36), x10 = LoadLE32(p + 40), x11 = LoadLE32(p + 44),
                       x12 = LoadLE32(p + 48), x13 = LoadLE32(p + 52), x14 = LoadLE32(p + 56),
                       x15 = LoadLE32(p + 60);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        QV_MD5_F(a, b, c, d, x0, 0xd76aa478u, 7);
        QV_MD5_F(d, a, b, c, x1, 0xe8c7b756u, 12);
        QV_MD5_F(c, d, a, b, x2, 0x242070dbu, 17);
        QV_MD5_F(b, c, d, a, x3, 0xc1bdceeeu, 22);
        QV_MD5_F(a, b, c, d, x4, 0xf57c0fafu, 7);
        QV_MD5_F(d, a, b, c, x5, 0x4787c62au, 12);
        QV_MD5_F(c, d, a, b, x6, 0xa8304613u, 17);
        QV_MD5_F(b, c, d, a, x7, 0xfd469501u, 22);
        QV_MD5_F(a, b, c, d, x8, 0x698098d8u, 7);
        QV_MD5_F(d, a, b, c, x9, 0x8b44f7afu, 12);
        QV_MD5_F(c, d, a, b, x10, 0xffff5bb1u, 17);
        QV_MD5_F(b, c, d, a, x11, 0x895cd7beu, 22);
        QV_MD5_F(a, b, c, d, x12, 0x6b901122u, 7);
        QV_MD5_F(d, a, b, c, x13, 0xfd987193u, 12);
        QV_MD5_F(c, d, a, b, x14, 0xa679438eu, 17);
        QV_MD5_F(b, c, d, a, x15, 0x49b40821u, 22);

        QV_MD5_G(a, b, c, d, x1, 0xf61e2562u, 5);
        QV_MD5_G(d, a, b, c, x6, 0xc040b340u, 9);
        QV_MD5_G(c, d, a, b, x11, 0x265e5a51u, 14);
        QV_MD5_G(b, c, d, a, x0, 0xe9b6c7aau, 20);
        QV_MD5_G(a, b, c, d, x5, 0xd62f105du, 5);
        QV_MD5_G(d, a, b, c, x10, 0x02441453u, 9);
        QV_MD5_G(c, d, a, b, x15, 0xd8a1e681u, 14);
        QV_MD5_G(b, c, d, a, x4, 0xe7d3fbc8u, 20);
        QV_MD5_G(a, b, c, d, x9, 0x21e1cde6u, 5);
        QV_MD5_G(d, a, b, c, x14, 0xc33707d6u, 9);
        QV_MD5_G(c, d, a, b, x3, 0xf4d50d87u, 14);
        QV_MD5_G(b, c, d, a, x8, 0x455a14edu, 20);
        QV_MD5_G(a, b, c, d, x13, 0xa9e3e905u, 5);
        QV_MD5_G(d, a, b, c, x2, 0xfcefa3f8u, 9);
        QV_MD5_G(c, d, a, b, x7, 0x676f02d9u, 14);
        QV_MD5_G(b, c, d, a, x12, 0x8d2a4c8au, 20);

        QV_MD5_H(a, b, c, d, x5, 0xfffa3942u, 4);
        QV_MD5_H(d, a, b, c, x8, 0x8771f681u, 11);
        QV_MD5_H(c, d, a, b, x11, 0x6d9d6122u, 16);
        QV_MD5_H(b, c, d, a, x14, 0xfde5380cu, 23);
        QV_MD5_H(a, b, c, d, x1, 0xa4beea44u, 4);
        QV_MD5_H(d, a, b, c, x4, 0x4bdecfa9u, 11);
        QV_MD5_H(c, d, a, b, x7, 0xf6bb4b60u, 16);
        QV_MD5_H(b, c, d, a, x10, 0xbebfbc70u, 23);
        QV_MD5_H(a, b, c, d, x13, 0x289b7ec6u, 4);
        QV_MD5_H(d, a, b, c, x0, 0xeaa127fau, 11);
        QV_MD5_H(c, d, a, b, x3, 0xd4ef3085u, 16);
        QV_MD5_H(b, c, d, a, x6, 0x04881d05u, 23);
        QV_MD5_H(a, b, c, d, x9, 0xd9d4d039u, 4);
        QV_MD5_H(d, a, b, c, x12, 0xe6db99e5u, 11);
        QV_MD5_H(c, d, a, b, x15, 0x1fa27cf8u, 16);
        QV_MD5_H(b, c, d, a, x2, 0xc4ac5665u, 23);

        QV_MD5_I(a, b, c, d, x0, 0xf4292244u, 6);
        QV_MD5_I(d, a, b, c, x7, 0x432aff97u, 10);
        QV_MD5_I(c, d, a, b, x14, 0xab9423a7u, 15);
        QV_MD5_I(b, c, d, a, x5, 0xfc93a039u, 21);
        QV_MD5_I(a, b, c, d, x12, 0x655b59c3u, 6);
        QV_MD5_I(d, a, b, c, x3, 0x8f0ccc92u, 10);
        QV_MD5_I(c, d, a, b, x10, 0xffeff47du, 15);
        QV_MD5_I(b, c, d, a, x1, 0x85845dd1u, 21);
        QV_MD5_I(a, b, c, d, x8, 0x6fa87e4fu, 6);
        QV_MD5_I(d, a, b, c, x15, 0xfe2ce6e0u, 10);
        QV_MD5_I(c, d, a, b, x6, 0xa3014314u, 15);
        QV_MD5_I(b, c, d, a, x13, 0x4e0811a1u, 21);
        QV_MD5_I(a, b, c, d, x4, 0xf7537e82u, 6);
        QV_MD5_I(d, a, b, c, x11, 0xbd3af235u, 10);
        QV_MD5_I(c, d, a, b, x2, 0x2ad7d2bbu, 15);
        QV_MD5_I(b, c, d, a, x9, 0xeb86d391u, 21);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef QV_MD5_F
#undef QV_MD5_G
#undef QV_MD5_H
#undef QV_MD5_I

void StartMD5Context(MD5Context* ctx) {
    ctx->m_dwCount[0] = ctx->m_dwCount[1] = 0;
    ctx->m_dwState[0] = 0x67452301u;
    ctx->m_dwState[1] = 0xefcdab89u;
    ctx->m_dwState[2] = 0x98badcfeu;
    ctx->m_dwState[3] = 0x10325476u;
}

void UpdateMD5Context(MD5Context* ctx, const unsigned char* bytes, uint32_t count) {
    UpdateBlocks(ctx, bytes, count, CompressMD5Blocks);
}

void FinishMD5Context(MD5Context* ctx, unsigned char* out) {
    PadBlocks<false>(ctx, CompressMD5Blocks);
    for (int i = 0; i < 4; ++i) StoreLE32(out + 4 * i, ctx->m_dwState[i]);
    Wipe(ctx, sizeof *ctx);
}

}  // namespace digest
}  // namespace qv

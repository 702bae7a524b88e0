#pragma once

// The block plumbing MD5 and SHA-1 share: counting bits, filling the context's block,
// compressing whole blocks of the caller's data where they lie, and the closing padding
// (0x80, zeros, the 64-bit bit count) that differs only in the byte order of the count.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv {
namespace digest {

inline uint32_t Rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

inline void StoreLE32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline void StoreBE32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Zeroes memory in a way the optimiser may not drop, even for a context about to die.
inline void Wipe(void* p, size_t n) {
    std::memset(p, 0, n);
#if defined(__GNUC__)
    __asm__ __volatile__("" : : "r"(p) : "memory");
#else
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) v[i] = 0;
#endif
}

// Compress: void(uint32_t* state, const unsigned char* blocks, size_t count).
template <class Context, class Compress>
inline void UpdateBlocks(Context* ctx, const unsigned char* bytes, uint32_t count,
                         Compress compress) {
    uint32_t index = (ctx->m_dwCount[0] >> 3) & 63;
    const uint32_t bits = count << 3;
    ctx->m_dwCount[0] += bits;
    if (ctx->m_dwCount[0] < bits) ++ctx->m_dwCount[1];
    ctx->m_dwCount[1] += count >> 29;

    uint32_t i = 0;
    if (count >= 64 - index) {
        if (index != 0) {
            i = 64 - index;
            std::memcpy(ctx->m_byBlock + index, bytes, i);
            compress(ctx->m_dwState, ctx->m_byBlock, 1);
            index = 0;
        }
        const uint32_t whole = (count - i) >> 6;
        if (whole != 0) {
            compress(ctx->m_dwState, bytes + i, whole);
            i += whole << 6;
        }
    }
    if (count != i) std::memcpy(ctx->m_byBlock + index, bytes + i, count - i);
}

// Pads the message and compresses the last block or two. The count words are left as they
// were: the caller wipes the whole context next.
template <bool kBigEndianCount, class Context, class Compress>
inline void PadBlocks(Context* ctx, Compress compress) {
    const uint32_t lo = ctx->m_dwCount[0], hi = ctx->m_dwCount[1];
    uint32_t index = (lo >> 3) & 63;
    unsigned char* block = ctx->m_byBlock;
    block[index++] = 0x80;
    if (index > 56) {
        std::memset(block + index, 0, 64 - index);
        compress(ctx->m_dwState, block, 1);
        index = 0;
    }
    std::memset(block + index, 0, 56 - index);
    if (kBigEndianCount) {
        StoreBE32(block + 56, hi);
        StoreBE32(block + 60, lo);
    } else {
        StoreLE32(block + 56, lo);
        StoreLE32(block + 60, hi);
    }
    compress(ctx->m_dwState, block, 1);
}

}  // namespace digest
}  // namespace qv

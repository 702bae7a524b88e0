#pragma once

// Hashing contexts of QvMD5 and QvSHA1 and the steps that drive them. Internal: the public
// headers only forward-declare the records, and nothing here is exported.
//
// A context holds the chaining values, the number of message bits absorbed so far (modulo
// 2^64, low word first) and the block being filled; the first (m_dwCount[0] / 8) % 64 bytes
// of m_byBlock are the valid ones.

#include "internal/QvCompiler.h"

#include <cstddef>
#include <cstdint>

struct MD5Context {
    uint32_t m_dwState[4];
    uint32_t m_dwCount[2];
    unsigned char m_byBlock[64];
};

struct SHA1Context {
    uint32_t m_dwState[5];
    uint32_t m_dwCount[2];
    unsigned char m_byBlock[64];
};

namespace qv {
namespace digest {

constexpr int kMD5Size = 16;
constexpr int kSHA1Size = 20;

// Initial chaining values, zero count; the block is left as it is.
void StartMD5Context(MD5Context* ctx);
// Absorbs count bytes (count 0: nothing is read). Whole blocks are compressed where they lie.
void UpdateMD5Context(MD5Context* ctx, const unsigned char* bytes, uint32_t count);
// Pads, writes the 16 digest bytes to out and wipes the context.
void FinishMD5Context(MD5Context* ctx, unsigned char* out);
// blocks consecutive 64-byte blocks; only reads them.
void CompressMD5Blocks(uint32_t state[4], const unsigned char* p, size_t blocks);

void StartSHA1Context(SHA1Context* ctx);
void UpdateSHA1Context(SHA1Context* ctx, const unsigned char* bytes, uint32_t count);
void FinishSHA1Context(SHA1Context* ctx, unsigned char* out);
// The portable compression; CompressSHA1Blocks picks SHA-NI or the ARMv8 SHA-1
// instructions when the CPU dispatch allows.
void CompressSHA1BlocksPortable(uint32_t state[5], const unsigned char* p, size_t blocks);
void CompressSHA1Blocks(uint32_t state[5], const unsigned char* p, size_t blocks);
#if defined(QV_X86)
void CompressSHA1BlocksShaNi(uint32_t state[5], const unsigned char* p, size_t blocks);
#elif defined(QV_ARM64)
void CompressSHA1BlocksCe(uint32_t state[5], const unsigned char* p, size_t blocks);
#endif

}  // namespace digest
}  // namespace qv

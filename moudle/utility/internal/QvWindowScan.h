#pragma once

// Masked search for four-byte windows, the core of the start-code scanner and of the escape
// passes. A window is the four bytes at an offset j read big-endian; it matches when
// (window & mask) == value. Every kernel returns the same offset as the plain byte loop.

#include "internal/QvCompiler.h"

#include <cstdint>

namespace qv {
namespace scan {

inline uint32_t Be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline uint32_t LaneByte(uint32_t word, int k) {
    return (word >> (24 - 8 * k)) & 0xFF;
}

// The two lanes (0 = the window's first byte) a search tests first: the most selective, and
// among equals those whose value is not 00 (zeros are common in video data, the 01 of a
// start code is not). With one lane under the mask, both are that lane.
void PickLanes(uint32_t mask, uint32_t value, int& a, int& b);

// The first / last offset j in [0, n - 4] whose window matches, or -1. Dispatches on the
// CPU features in force.
int32_t First4(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value);
int32_t Last4(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value);

// The same for the start-code window, 00 00 01 and any code byte (mask 0xFFFFFF00, value
// 0x100), which the walk asks for with every step. Its kernels test the three fixed bytes
// exactly, so a search ends at the first start code without a second look.
int32_t FirstStartCode(const uint8_t* p, int32_t n);
int32_t LastStartCode(const uint8_t* p, int32_t n);

// The kernels behind them. They expect value to lie inside mask and mask to be non-zero.
int32_t First4Scalar(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value);
int32_t Last4Scalar(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value);
int32_t First4Word(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value);
int32_t Last4Word(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value);
// The word level's start-code search: the generic-vector kernel where the target has a
// vector unit, the memchr one elsewhere.
int32_t FirstStartCodeWord(const uint8_t* p, int32_t n);
int32_t LastStartCodeWord(const uint8_t* p, int32_t n);
// The C library's memchr (memrchr where it has one) for the 01 byte, which every platform
// vectorises: the portable way to skip the bytes between start codes.
int32_t FirstStartCodeMemchr(const uint8_t* p, int32_t n);
int32_t LastStartCodeMemchr(const uint8_t* p, int32_t n);
#if defined(QV_GNU_VECTORS)
int32_t FirstStartCodeVector(const uint8_t* p, int32_t n);
int32_t LastStartCodeVector(const uint8_t* p, int32_t n);
#endif
#if defined(QV_X86)
int32_t First4Avx2(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value);
int32_t Last4Avx2(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value);
int32_t FirstStartCodeAvx2(const uint8_t* p, int32_t n);
int32_t LastStartCodeAvx2(const uint8_t* p, int32_t n);
int32_t FirstStartCodeAvx512(const uint8_t* p, int32_t n);
int32_t LastStartCodeAvx512(const uint8_t* p, int32_t n);
#elif defined(QV_ARM64)
int32_t FirstStartCodeNeon(const uint8_t* p, int32_t n);
int32_t LastStartCodeNeon(const uint8_t* p, int32_t n);
#endif

}  // namespace scan
}  // namespace qv

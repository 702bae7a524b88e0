#pragma once

// SIMD kernels of QvBase64. Each works on whole blocks only and reports how much input it
// took; the portable code in QvBase64.cpp does the rest, so every kernel's output is the
// portable code's output for the same bytes. Kernels read no byte at or beyond src + n
// and write exactly the output of the blocks they take: no scratch beyond it.

#include "internal/QvCompiler.h"

#include <cstddef>
#include <cstdint>

#if defined(QV_X86)
#define QV_BASE64_X86 1
#elif defined(QV_ARM64)
#define QV_BASE64_NEON 1
#endif

namespace qv {
namespace base64 {

// The alphabet in value order, and its inverse for character codes 0..127 (kNotInAlphabet
// for the rest); codes 0x80..0xFF are outside the alphabet too. The kernels rely on the
// top bit of kNotInAlphabet.
inline constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kNotInAlphabet = 255;

struct ValueTable {
    uint8_t v[128];
    constexpr ValueTable() : v() {
        for (int c = 0; c < 128; ++c) v[c] = kNotInAlphabet;
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
    }
};
inline constexpr ValueTable kValues;

#if defined(QV_BASE64_X86)
// Encode whole groups of 24 (AVX2) or 48 (AVX-512 VBMI) bytes into 32 or 64 characters
// while a whole group remains. Returns the bytes taken (4/3 as many characters written).
size_t EncodeAvx2(const uint8_t* src, size_t n, char* dst);
size_t EncodeAvx512(const uint8_t* src, size_t n, char* dst);

// Decode blocks of 32 (AVX2) or 64 (AVX-512 VBMI) characters, from the first place of a
// group, while a whole block remains. A block holding a character outside the alphabet
// ("=" included) ends the run after the clean groups in front of it: when a whole block is
// left after the call, the next group needs the rules. Returns the characters taken, a
// multiple of 4 (3/4 as many bytes written).
size_t DecodeAvx2(const uint8_t* src, size_t n, uint8_t* dst);
size_t DecodeAvx512(const uint8_t* src, size_t n, uint8_t* dst);
#elif defined(QV_BASE64_NEON)
// The same contracts with NEON: 48 bytes into 64 characters, and blocks of 64 characters.
size_t EncodeNeon(const uint8_t* src, size_t n, char* dst);
size_t DecodeNeon(const uint8_t* src, size_t n, uint8_t* dst);
#endif

}  // namespace base64
}  // namespace qv

// AVX-512 VBMI kernels of QvBase64: byte permutes do the table look-ups of all 64
// characters of a block at once (the technique of Muła and Lemire, "Base64 encoding and
// decoding at almost the speed of a memory copy", 2019). Masked loads and stores keep every
// access inside the blocks taken.

#include "internal/QvBase64Kernels.h"

#if defined(QV_BASE64_X86)

// GCC 12 takes the "undefined" pass-through register of the unmasked VBMI permutes for an
// uninitialised read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#define QV_AVX512 QV_TARGET("avx512f,avx512bw,avx512vbmi")

namespace qv {
namespace base64 {

namespace {

struct Tables {
    uint8_t spread[64];  // input byte index per output byte: b1 b0 b2 b1 per 32-bit word
    uint8_t pack[64];    // 24-bit words (little end first) -> bytes in text order
    constexpr Tables() : spread(), pack() {
        for (int w = 0; w < 16; ++w) {
            spread[4 * w] = static_cast<uint8_t>(3 * w + 1);
            spread[4 * w + 1] = static_cast<uint8_t>(3 * w);
            spread[4 * w + 2] = static_cast<uint8_t>(3 * w + 2);
            spread[4 * w + 3] = static_cast<uint8_t>(3 * w + 1);
            pack[3 * w] = static_cast<uint8_t>(4 * w + 2);
            pack[3 * w + 1] = static_cast<uint8_t>(4 * w + 1);
            pack[3 * w + 2] = static_cast<uint8_t>(4 * w);
        }
    }
};
constexpr Tables kTables;

constexpr __mmask64 kBlock48 = (__mmask64{1} << 48) - 1;  // 48 bytes in, or out

}  // namespace

QV_AVX512 size_t EncodeAvx512(const uint8_t* src, size_t n, char* dst) {
    const __m512i spread = _mm512_loadu_si512(kTables.spread);
    const __m512i alphabet = _mm512_loadu_si512(kAlphabet);
    // Per 32-bit word b1 b0 b2 b1, the four 6-bit fields start at bits 10, 4, 22 and 16.
    const __m512i shifts = _mm512_set1_epi64(0x3036242A1016040Aull);
    size_t i = 0;
    for (; n - i >= 48; i += 48, dst += 64) {
        const __m512i in = _mm512_maskz_loadu_epi8(kBlock48, src + i);
        const __m512i fields = _mm512_multishift_epi64_epi8(shifts, _mm512_permutexvar_epi8(spread, in));
        _mm512_storeu_si512(dst, _mm512_permutexvar_epi8(fields, alphabet));
    }
    return i;
}

QV_AVX512 size_t DecodeAvx512(const uint8_t* src, size_t n, uint8_t* dst) {
    const __m512i low = _mm512_loadu_si512(kValues.v);
    const __m512i high = _mm512_loadu_si512(kValues.v + 64);
    const __m512i pack = _mm512_loadu_si512(kTables.pack);
    size_t i = 0;
    for (; n - i >= 64; i += 64, dst += 48) {
        const __m512i in = _mm512_loadu_si512(src + i);
        // Index bit 6 picks the table; codes 0x80 and up keep their top bit through the OR.
        const __m512i v = _mm512_permutex2var_epi8(low, in, high);
        const __mmask64 dirty = _mm512_movepi8_mask(_mm512_or_si512(v, in));
        // A group's bytes depend on its own characters only: the clean groups in front of
        // the first character outside the alphabet come out right and are kept.
        const size_t clean = dirty ? static_cast<size_t>(Ctz64(dirty)) & ~size_t{3} : 64;
        const __m512i halves = _mm512_maddubs_epi16(v, _mm512_set1_epi32(0x01400140));
        const __m512i words = _mm512_madd_epi16(halves, _mm512_set1_epi32(0x00011000));
        const __mmask64 keep = (__mmask64{1} << (clean / 4 * 3)) - 1;
        _mm512_mask_storeu_epi8(dst, keep, _mm512_permutexvar_epi8(pack, words));
        if (dirty) return i + clean;
    }
    return i;
}

}  // namespace base64
}  // namespace qv

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

// AVX2 kernels of QvBase64 (the technique of Muła and Lemire, "Faster Base64 encoding and
// decoding using AVX2 instructions", 2018), with loads and stores kept exactly inside the
// blocks taken.

#include "internal/QvBase64Kernels.h"

#if defined(QV_BASE64_X86)

#include <immintrin.h>

#include <cstring>

#define QV_AVX2 QV_TARGET("avx2")

namespace qv {
namespace base64 {

namespace {

// 6-bit values -> alphabet characters, by adding an offset chosen per range.
QV_AVX2 inline __m256i ToAscii(__m256i v) {
    const __m256i offsets = _mm256_setr_epi8(
        'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
        '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0, 'a' - 26, '0' - 52, '0' - 52, '0' - 52,
        '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63,
        'A', 0, 0);
    // 0..25 -> 13, 26..51 -> 0, 52..61 -> 1..10, 62 -> 11, 63 -> 12.
    __m256i range = _mm256_subs_epu8(v, _mm256_set1_epi8(51));
    const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), v);
    range = _mm256_or_si256(range, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
    return _mm256_add_epi8(v, _mm256_shuffle_epi8(offsets, range));
}

QV_AVX2 inline __m256i EncodeBlock(const uint8_t* s) {
    // Lane 0 takes bytes 0..11 from a load at s, lane 1 bytes 12..23 from a load at s + 8,
    // so that no load reaches past the 24 bytes of the block.
    const __m256i in = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8)), 1);
    // Each 32-bit word becomes b1 b0 b2 b1, the 24 bits in reach of 16-bit shifts.
    const __m256i spread = _mm256_shuffle_epi8(
        in, _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 5, 4, 6, 5, 8,
                             7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14));
    // Isolate the four 6-bit fields and move each to the bottom of its byte.
    const __m256i hi = _mm256_mulhi_epu16(_mm256_and_si256(spread, _mm256_set1_epi32(0x0FC0FC00)),
                                          _mm256_set1_epi32(0x04000040));
    const __m256i lo = _mm256_mullo_epi16(_mm256_and_si256(spread, _mm256_set1_epi32(0x003F03F0)),
                                          _mm256_set1_epi32(0x01000010));
    return ToAscii(_mm256_or_si256(hi, lo));
}

}  // namespace

QV_AVX2 size_t EncodeAvx2(const uint8_t* src, size_t n, char* dst) {
    size_t i = 0;
    for (; n - i >= 48; i += 48, dst += 64) {
        const __m256i a = EncodeBlock(src + i);
        const __m256i b = EncodeBlock(src + i + 24);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32), b);
    }
    if (n - i >= 24) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), EncodeBlock(src + i));
        i += 24;
    }
    return i;
}

QV_AVX2 size_t DecodeAvx2(const uint8_t* src, size_t n, uint8_t* dst) {
    // A character is in the alphabet when the classes of its low and high nibble share no
    // bit; anything with the top bit set has high-nibble class 0x10, which every low-nibble
    // class holds.
    const __m256i lowClass = _mm256_setr_epi8(
        0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B,
        0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
        0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i highClass = _mm256_setr_epi8(
        0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
        0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
        0x10, 0x10, 0x10, 0x10);
    // Offset from character to value by high nibble; "/" shares its nibble with "+" and
    // takes the entry below.
    const __m256i offsets = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0,
                                             0, 0, 0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0,
                                             0, 0, 0, 0);
    const __m256i slash = _mm256_set1_epi8(0x2F);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                          2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);

    size_t i = 0;
    for (; n - i >= 32; i += 32, dst += 24) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i hiNib = _mm256_and_si256(_mm256_srli_epi32(in, 4), nibble);
        const __m256i loNib = _mm256_and_si256(in, nibble);
        const __m256i bad = _mm256_and_si256(_mm256_shuffle_epi8(lowClass, loNib),
                                             _mm256_shuffle_epi8(highClass, hiNib));
        const __m256i isSlash = _mm256_cmpeq_epi8(in, slash);
        const __m256i v =
            _mm256_add_epi8(in, _mm256_shuffle_epi8(offsets, _mm256_add_epi8(isSlash, hiNib)));
        // Four 6-bit values -> two 12-bit halves -> one 24-bit word, bytes in text order. A
        // group's bytes depend on its own characters only, so clean groups come out right
        // beside dirty ones.
        const __m256i halves = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
        const __m256i words = _mm256_madd_epi16(halves, _mm256_set1_epi32(0x00011000));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack),
                                                          _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
        if (!_mm256_testz_si256(bad, bad)) {
            // Keep the groups in front of the first character outside the alphabet.
            const uint32_t dirty = ~static_cast<uint32_t>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256())));
            const size_t clean = static_cast<size_t>(Ctz32(dirty)) & ~size_t{3};
            alignas(32) uint8_t tmp[32];
            _mm256_store_si256(reinterpret_cast<__m256i*>(tmp), bytes);
            std::memcpy(dst, tmp, clean / 4 * 3);
            return i + clean;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(bytes, 1));
    }
    return i;
}

}  // namespace base64
}  // namespace qv

#endif

// SHA-1 compression with the SHA extensions (SHA-NI). Four steps per sha1rnds4; the
// schedule advances four words at a time with sha1msg1, a plain xor and sha1msg2, each
// register holding words i .. i + 3 with word i in the top lane.

#include "internal/QvCompiler.h"

#if defined(QV_X86)

#include "internal/QvDigestContext.h"

#include <immintrin.h>

namespace qv {
namespace digest {

// Group g (steps 4g .. 4g + 3) with the schedule register m[g % 4] ready, in the
// interleaving of Intel's SHA extensions paper: finish words 4g + 4 .. 4g + 7 (msg2), start
// words 4g + 12 .. (msg1) and 4g + 8 .. (xor) while the rounds run.
#define QV_SHANI_GROUP(g, eIn, eOut, m0, m1, m2, m3, doMsg2, doMsg1, doXor)                   \
    eIn = _mm_sha1nexte_epu32(eIn, m0);                                                        \
    eOut = abcd;                                                                               \
    if (doMsg2) m1 = _mm_sha1msg2_epu32(m1, m0);                                               \
    abcd = _mm_sha1rnds4_epu32(abcd, eIn, (g) / 5);                                            \
    if (doMsg1) m3 = _mm_sha1msg1_epu32(m3, m0);                                               \
    if (doXor) m2 = _mm_xor_si128(m2, m0)

QV_TARGET("sha,sse4.1") void CompressSHA1BlocksShaNi(uint32_t state[5],
                                                                   const unsigned char* p,
                                                                   size_t blocks) {
    // Reverses all 16 bytes: big-endian words, word 0 in the top lane.
    const __m128i order = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)),
                                     0x1b);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    __m128i e1;

    for (; blocks != 0; --blocks, p += 64) {
        const __m128i abcdSaved = abcd, eSaved = e0;
        const __m128i* in = reinterpret_cast<const __m128i*>(p);
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in), order);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), order);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), order);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), order);

        // Group 0 has no earlier e to rotate: the saved e is added as it is.
        e0 = _mm_add_epi32(e0, m0);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);

        QV_SHANI_GROUP(1, e1, e0, m1, m2, m3, m0, 0, 1, 0);
        QV_SHANI_GROUP(2, e0, e1, m2, m3, m0, m1, 0, 1, 1);
        QV_SHANI_GROUP(3, e1, e0, m3, m0, m1, m2, 1, 1, 1);
        QV_SHANI_GROUP(4, e0, e1, m0, m1, m2, m3, 1, 1, 1);
        QV_SHANI_GROUP(5, e1, e0, m1, m2, m3, m0, 1, 1, 1);
        QV_SHANI_GROUP(6, e0, e1, m2, m3, m0, m1, 1, 1, 1);
        QV_SHANI_GROUP(7, e1, e0, m3, m0, m1, m2, 1, 1, 1);
        QV_SHANI_GROUP(8, e0, e1, m0, m1, m2, m3, 1, 1, 1);
        QV_SHANI_GROUP(9, e1, e0, m1, m2, m3, m0, 1, 1, 1);
        QV_SHANI_GROUP(10, e0, e1, m2, m3, m0, m1, 1, 1, 1);
        QV_SHANI_GROUP(11, e1, e0, m3, m0, m1, m2, 1, 1, 1);
        QV_SHANI_GROUP(12, e0, e1, m0, m1, m2, m3, 1, 1, 1);
        QV_SHANI_GROUP(13, e1, e0, m1, m2, m3, m0, 1, 1, 1);
        QV_SHANI_GROUP(14, e0, e1, m2, m3, m0, m1, 1, 1, 1);
        QV_SHANI_GROUP(15, e1, e0, m3, m0, m1, m2, 1, 1, 1);
        QV_SHANI_GROUP(16, e0, e1, m0, m1, m2, m3, 1, 1, 1);
        QV_SHANI_GROUP(17, e1, e0, m1, m2, m3, m0, 1, 0, 1);
        QV_SHANI_GROUP(18, e0, e1, m2, m3, m0, m1, 1, 0, 0);
        QV_SHANI_GROUP(19, e1, e0, m3, m0, m1, m2, 0, 0, 0);

        e0 = _mm_sha1nexte_epu32(e0, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1b));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef QV_SHANI_GROUP

}  // namespace digest
}  // namespace qv

#endif

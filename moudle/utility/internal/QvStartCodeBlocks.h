#pragma once

// The drivers shared by the 16-byte start-code kernels (NEON, generic vectors): aligned
// blocks of 128 bytes between start codes, where the kernel's byte-pair test says whether a
// start code may lie at q - 1 .. q + 126, and its exact test of 16 windows where one may.
// K supplies, for the 16 windows from q (reading q[0..17]), First16 / Last16: the offset of
// the first / last start code, or -1; and Pairs128 for the 128 bytes from a 16-aligned q.

#include "internal/QvWindowScan.h"

#include <cstdint>

namespace qv {
namespace scan {
namespace blocks {

// Short ranges, and what is left at either end of the aligned blocks: 16 windows per step,
// the last ones in one step that ends at the last window (those it repeats hold no match),
// and the plain loop below 19 bytes.
template <class K>
int32_t FirstNear(const uint8_t* p, int32_t n) {
    if (n < 19) return First4Scalar(p, n, 0xFFFFFF00, 0x100);
    int32_t j = 0;
    for (; j <= n - 19; j += 16)
        if (const int32_t t = K::First16(p + j); t >= 0) return j + t;
    if (j > n - 4) return -1;
    const int32_t t = K::First16(p + n - 19);
    return t >= 0 ? n - 19 + t : -1;
}

template <class K>
int32_t LastNear(const uint8_t* p, int32_t n) {
    if (n < 19) return Last4Scalar(p, n, 0xFFFFFF00, 0x100);
    int32_t top = n - 4;  // highest window not yet tested
    for (; top >= 15; top -= 16)
        if (const int32_t t = K::Last16(p + top - 15); t >= 0) return top - 15 + t;
    if (top < 0) return -1;
    return K::Last16(p);
}

template <class K>
int32_t First(const uint8_t* p, int32_t n) {
    if (n < 256) return FirstNear<K>(p, n);
    if (const int32_t t = K::First16(p); t >= 0) return t;  // windows 0 .. 15
    // The first block boundary past p: its windows from j - 1 <= 15 on.
    int32_t j = 16 - static_cast<int32_t>(reinterpret_cast<uintptr_t>(p) & 15);
    for (; j <= n - 130; j += 128) {
        if (!K::Pairs128(p + j)) continue;
        for (int32_t k = j - 1; k < j + 127; k += 16)
            if (const int32_t t = K::First16(p + k); t >= 0) return k + t;
    }
    const int32_t r = FirstNear<K>(p + j - 1, n - j + 1);
    return r < 0 ? -1 : j - 1 + r;
}

template <class K>
int32_t Last(const uint8_t* p, int32_t n) {
    if (n < 256) return LastNear<K>(p, n);
    const int32_t top = n - 4;
    if (const int32_t t = K::Last16(p + top - 15); t >= 0) return top - 15 + t;  // top - 15 .. top
    // The highest block whose windows end at or below top; those above top - 16 were just
    // tested.
    int32_t j = top - 126 - static_cast<int32_t>(reinterpret_cast<uintptr_t>(p + top - 126) & 15);
    for (; j >= 1; j -= 128) {
        if (!K::Pairs128(p + j)) continue;
        for (int32_t k = j + 111; k >= j - 1; k -= 16)
            if (const int32_t t = K::Last16(p + k); t >= 0) return k + t;
    }
    return LastNear<K>(p, j + 130);  // windows 0 .. j + 126
}

}  // namespace blocks
}  // namespace scan
}  // namespace qv

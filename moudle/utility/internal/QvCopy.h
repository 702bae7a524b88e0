#pragma once

// Long copies that keep clear of a slow `rep movsb`. glibc hands copies of a few KiB and more
// to `rep movsb`, which AMD Zen 4 runs about fifteen times slower when the destination lies
// 1 to 15 bytes past the source modulo 4096 (measured: 3.4 against 55 GB/s; 16 and more,
// or a destination before the source, run at full speed). Big blocks from malloc start 16
// bytes into a page, so a payload a few bytes into a mapped file or page-aligned buffer,
// copied into one, lands there; so do runs the escape passes shift by the bytes they add or
// drop. Such copies go in pieces below the size where glibc switches; all others go to the C
// library whole.

#include "internal/QvCompiler.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv {

constexpr size_t kCopyPiece = 2048 - 64;

inline bool SkewedCopy(const unsigned char* out, const unsigned char* in) {
    return ((reinterpret_cast<uintptr_t>(out) - reinterpret_cast<uintptr_t>(in)) & 4095) - 1 < 15;
}

// Out of the way of the short copies that most calls make.
template <bool kMove>
QV_NOINLINE void CopyLong(unsigned char* out, const unsigned char* in, size_t n) {
    if (SkewedCopy(out, in))
        for (; n > kCopyPiece; n -= kCopyPiece, out += kCopyPiece, in += kCopyPiece)
            kMove ? std::memmove(out, in, kCopyPiece) : std::memcpy(out, in, kCopyPiece);
    kMove ? std::memmove(out, in, n) : std::memcpy(out, in, n);
}

// memcpy: the ranges do not overlap.
inline void CopyBytes(unsigned char* out, const unsigned char* in, size_t n) {
    if (QV_UNLIKELY(n > kCopyPiece)) CopyLong<false>(out, in, n);
    else std::memcpy(out, in, n);
}

// memmove where, if the ranges overlap, out lies at or below in: forward pieces then work in
// place too.
inline void MoveBytesDown(unsigned char* out, const unsigned char* in, size_t n) {
    if (QV_UNLIKELY(n > kCopyPiece)) CopyLong<true>(out, in, n);
    else std::memmove(out, in, n);
}

}  // namespace qv

#pragma once

// Compiler and CPU spellings the kernels share, for GCC/Clang (Linux, mingw) and MSVC.
//   QV_X86         an x86 or x86-64 target: the SIMD and SHA-NI kernels are compiled
//   QV_ARM64       a little-endian AArch64 target: the NEON and SHA-1 Crypto Extension
//                  kernels are compiled (big-endian AArch64 keeps the portable code)
//   QV_GNU_VECTORS the compiler has GCC's generic vectors (GCC, Clang)
//   QV_VECTOR_UNIT and the baseline target has a 16-byte vector unit to run them on
//   QV_TARGET(s)   lets one function use instructions beyond the baseline (GCC/Clang need
//                  the attribute; MSVC allows any intrinsic anywhere)
//   QV_NOINLINE, QV_UNLIKELY(c)   keep a rarely taken path out of its caller's way
//   qv::Ctz32/Ctz64/Clz32/Clz64   bit scans of a non-zero word

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || (defined(_M_IX86) && !defined(_M_ARM64EC))
#define QV_X86 1
#endif

#if (defined(__aarch64__) && !defined(__AARCH64EB__)) || (defined(_M_ARM64) && !defined(_M_ARM64EC))
#define QV_ARM64 1
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QV_GNU_VECTORS 1
#if defined(__SSE2__) || defined(__ARM_NEON) || defined(__ALTIVEC__) || defined(__VX__)
#define QV_VECTOR_UNIT 1
#endif
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QV_TARGET(features) __attribute__((target(features)))
#else
#define QV_TARGET(features)
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QV_NOINLINE __attribute__((noinline))
#define QV_UNLIKELY(c) __builtin_expect(!!(c), 0)
#elif defined(_MSC_VER)
#define QV_NOINLINE __declspec(noinline)
#define QV_UNLIKELY(c) (c)
#else
#define QV_NOINLINE
#define QV_UNLIKELY(c) (c)
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace qv {

inline int Ctz32(uint32_t w) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_ctz(w);
#elif defined(_MSC_VER)
    unsigned long i;
    _BitScanForward(&i, w);
    return static_cast<int>(i);
#else
    int n = 0;
    for (; !(w & 1); w >>= 1) ++n;
    return n;
#endif
}

inline int Ctz64(uint64_t w) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_ctzll(w);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_ARM64))
    unsigned long i;
    _BitScanForward64(&i, w);
    return static_cast<int>(i);
#else
    const uint32_t lo = static_cast<uint32_t>(w);
    return lo ? Ctz32(lo) : 32 + Ctz32(static_cast<uint32_t>(w >> 32));
#endif
}

inline int Clz32(uint32_t w) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_clz(w);
#elif defined(_MSC_VER)
    unsigned long i;
    _BitScanReverse(&i, w);
    return 31 - static_cast<int>(i);
#else
    int n = 0;
    for (; !(w >> 31); w <<= 1) ++n;
    return n;
#endif
}

inline int Clz64(uint64_t w) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_clzll(w);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_ARM64))
    unsigned long i;
    _BitScanReverse64(&i, w);
    return 63 - static_cast<int>(i);
#else
    const uint32_t hi = static_cast<uint32_t>(w >> 32);
    return hi ? Clz32(hi) : 32 + Clz32(static_cast<uint32_t>(w));
#endif
}

}  // namespace qv

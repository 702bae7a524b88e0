#include "internal/QvCpu.h"
#include "internal/QvCompiler.h"

#include <cstdlib>
#include <cstring>

#if defined(QV_X86)
#if defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

#if defined(QV_ARM64)
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(__linux__)
#include <sys/auxv.h>
#endif
#endif

namespace qv {
namespace cpu {

std::atomic<uint32_t> g_features{kUnset};

namespace {

std::atomic<uint32_t> g_mask{kAll};

#if defined(QV_X86)
// Only called when the OS has set OSXSAVE, which is when xgetbv may run.
uint64_t ReadXcr0() {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<uint64_t>(hi) << 32) | lo;
#endif
}

// CPUID leaf (and subleaf) into a, b, c, d; false when the CPU has no such leaf.
bool Cpuid(unsigned leaf, unsigned sub, unsigned& a, unsigned& b, unsigned& c, unsigned& d) {
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuid(r, 0);
    if (static_cast<unsigned>(r[0]) < leaf) return false;
    __cpuidex(r, static_cast<int>(leaf), static_cast<int>(sub));
    a = static_cast<unsigned>(r[0]), b = static_cast<unsigned>(r[1]);
    c = static_cast<unsigned>(r[2]), d = static_cast<unsigned>(r[3]);
    return true;
#else
    return __get_cpuid_count(leaf, sub, &a, &b, &c, &d) != 0;
#endif
}

uint32_t DetectX86() {
    unsigned a, b, c, d;
    if (!Cpuid(1, 0, a, b, c, d)) return 0;
    uint32_t f = 0;
    if (c & (1u << 9)) f |= kSSSE3;
    if (c & (1u << 19)) f |= kSSE41;
    const bool osxsave = c & (1u << 27);
    const uint64_t xcr0 = osxsave ? ReadXcr0() : 0;
    const bool ymm = (xcr0 & 0x6) == 0x6;
    const bool zmm = ymm && (xcr0 & 0xE0) == 0xE0;
    if (!Cpuid(7, 0, a, b, c, d)) return f;
    const bool avx2 = b & (1u << 5), bmi1 = b & (1u << 3), bmi2 = b & (1u << 8);
    if (ymm && avx2 && bmi1 && bmi2) f |= kAVX2;
    const bool avx512 = (b & (1u << 16)) && (b & (1u << 30)) && (b & (1u << 31));
    if (zmm && avx512 && (f & kAVX2)) {
        f |= kAVX512BW;
        if (c & (1u << 1)) f |= kAVX512VBMI;
    }
    if ((b & (1u << 29)) && (f & kSSE41)) f |= kSHANI;
    return f;
}
#endif

#if defined(QV_ARM64)
uint32_t DetectArm64() {
#if defined(_WIN32)
    // Windows on ARM requires AdvSIMD; the crypto flag covers AES, SHA-1 and SHA-256.
    return kNEON | (IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE) ? kSHA1CE : 0);
#elif defined(__linux__)
    // The kernel's bits (asm/hwcap.h), spelled here for C libraries that lack them.
    constexpr unsigned long kHwcapAsimd = 1ul << 1, kHwcapSha1 = 1ul << 5;
    const unsigned long hwcap = getauxval(AT_HWCAP);
    uint32_t f = 0;
    if (hwcap & kHwcapAsimd) {
        f |= kNEON;
        if (hwcap & kHwcapSha1) f |= kSHA1CE;
    }
    return f;
#elif defined(__APPLE__)
    return kNEON | kSHA1CE;  // every Apple ARM64 processor has both
#else
    // No portable way to ask: what the compiler was told the target has.
#if defined(__ARM_FEATURE_SHA2) || defined(__ARM_FEATURE_CRYPTO)
    return kNEON | kSHA1CE;
#else
    return kNEON;
#endif
#endif
}
#endif

}  // namespace

uint32_t Detected() {
#if defined(QV_X86)
    static const uint32_t detected = kWord | DetectX86();
#elif defined(QV_ARM64)
    static const uint32_t detected = kWord | DetectArm64();
#else
    static const uint32_t detected = kWord;
#endif
    return detected;
}

uint32_t EnvMask() {
    static const uint32_t mask = [] {
        const char* v = std::getenv("QV_CPU");
        if (!v || !*v || std::strcmp(v, "native") == 0) return uint32_t{kAll};
        if (std::strcmp(v, "scalar") == 0) return uint32_t{0};
        if (std::strcmp(v, "word") == 0) return uint32_t{kWord};
        if (std::strcmp(v, "sse4.1") == 0) return uint32_t{kLevelSSE41};
        if (std::strcmp(v, "avx2") == 0) return uint32_t{kLevelAVX2};
        if (std::strcmp(v, "avx512") == 0) return uint32_t{kLevelAVX512};
        if (std::strcmp(v, "neon") == 0) return uint32_t{kLevelNEON};
        return uint32_t{kAll};
    }();
    return mask;
}

uint32_t InitFeatures() {
    const uint32_t f = Detected() & EnvMask() & g_mask.load(std::memory_order_relaxed);
    g_features.store(f, std::memory_order_relaxed);
    return f;
}

void SetMask(uint32_t mask) {
    g_mask.store(mask & kAll, std::memory_order_relaxed);
    InitFeatures();
}

const char* Name(uint32_t feature) {
    switch (feature) {
    case 0: return "scalar";
    case kWord: return "word";
    case kSSSE3: return "ssse3";
    case kSSE41: return "sse4.1";
    case kAVX2: return "avx2";
    case kAVX512BW: return "avx512bw";
    case kAVX512VBMI: return "avx512vbmi";
    case kSHANI: return "sha-ni";
    case kNEON: return "neon";
    case kSHA1CE: return "sha1-ce";
    default: return "?";
    }
}

}  // namespace cpu
}  // namespace qv

#include "internal/QvWindowScan.h"

#include "internal/QvCpu.h"

#include <cstring>

// memrchr is a GNU extension: glibc has it; elsewhere the backward word path stays the
// word-at-a-time loop.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
#define QV_HAVE_MEMRCHR 1
#endif

namespace qv {
namespace scan {

int32_t First4Scalar(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    if (n < 4) return -1;
    uint32_t w = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    for (int32_t i = 3; i < n; ++i) {
        w = (w << 8) | p[i];
        if ((w & mask) == value) return i - 3;
    }
    return -1;
}

int32_t Last4Scalar(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    if (n < 4) return -1;
    uint32_t w = Be32(p + n - 4);
    for (int32_t c = n - 4;; --c) {
        if ((w & mask) == value) return c;
        if (c == 0) return -1;
        w = (w >> 8) | (uint32_t{p[c - 1]} << 24);
    }
}

void PickLanes(uint32_t mask, uint32_t value, int& a, int& b) {
    int score[4];
    for (int k = 0; k < 4; ++k) {
        const uint32_t m = LaneByte(mask, k);
        int bits = 0;
        for (uint32_t t = m; t; t &= t - 1) ++bits;
        score[k] = m == 0 ? -1 : bits * 2 + (LaneByte(value, k) != 0 ? 1 : 0);
    }
    a = 0;
    for (int k = 1; k < 4; ++k)
        if (score[k] > score[a]) a = k;
    b = a;
    for (int k = 0; k < 4; ++k)
        if (k != a && score[k] >= 0 && (b == a || score[k] > score[b])) b = k;
}

namespace {

struct Filter {
    int a, b;
    uint64_t ma, va, mb, vb;  // the lanes' mask and value bytes in every byte
};

Filter MakeFilter(uint32_t mask, uint32_t value) {
    Filter f;
    PickLanes(mask, value, f.a, f.b);
    const uint64_t ones = 0x0101010101010101ull;
    f.ma = LaneByte(mask, f.a) * ones;
    f.va = LaneByte(value, f.a) * ones;
    f.mb = LaneByte(mask, f.b) * ones;
    f.vb = LaneByte(value, f.b) * ones;
    return f;
}

// The top bit of every zero byte of x set, and perhaps of others above a zero byte: a
// zero byte is never missed, whatever the byte order.
inline uint64_t ZeroBytes(uint64_t x) {
    return (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
}

// Zero when none of the eight windows from q can match: where both lanes agree, both
// words have the same byte flagged.
inline uint64_t Maybe8(const Filter& f, const uint8_t* q) {
    uint64_t x, y;
    std::memcpy(&x, q + f.a, sizeof x);
    std::memcpy(&y, q + f.b, sizeof y);
    return ZeroBytes((x & f.ma) ^ f.va) & ZeroBytes((y & f.mb) ^ f.vb);
}

}  // namespace

int32_t First4Word(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    const Filter f = MakeFilter(mask, value);
    int32_t j = 0;
    // Windows j..j+15 lie wholly inside the range.
    for (; j <= n - 19; j += 16) {
        if (!(Maybe8(f, p + j) | Maybe8(f, p + j + 8))) continue;
        for (int32_t c = j; c < j + 16; ++c)
            if ((Be32(p + c) & mask) == value) return c;
    }
    const int32_t r = First4Scalar(p + j, n - j, mask, value);
    return r < 0 ? -1 : j + r;
}

int32_t Last4Word(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    const Filter f = MakeFilter(mask, value);
    int32_t top = n - 4;  // highest window not yet tested
    for (; top >= 15; top -= 16) {
        if (!(Maybe8(f, p + top - 15) | Maybe8(f, p + top - 7))) continue;
        for (int32_t c = top; c > top - 16; --c)
            if ((Be32(p + c) & mask) == value) return c;
    }
    return Last4Scalar(p, top + 4, mask, value);
}

namespace {

constexpr uint32_t kStartMask = 0xFFFFFF00;
constexpr uint32_t kStartValue = 0x100;

}  // namespace

// The C library's memchr finds the 01 bytes, vectorised wherever it runs. Looking a few
// words past a false 01 before calling it again was tried: on real streams and on random
// data alike it cost more than the call it saved.
int32_t FirstStartCodeMemchr(const uint8_t* p, int32_t n) {
    if (n < 4) return -1;
    // The 01 of the window at j lies at j + 2, so in [2, n - 2].
    const uint8_t* q = p + 2;
    const uint8_t* const end = p + n - 1;
    while (q < end) {
        const uint8_t* k = static_cast<const uint8_t*>(std::memchr(q, 1, static_cast<size_t>(end - q)));
        if (!k) return -1;
        if (k[-1] == 0 && k[-2] == 0) return static_cast<int32_t>(k - p) - 2;
        // A later 01 needs two zeros after this one.
        q = k + 3;
    }
    return -1;
}

int32_t LastStartCodeMemchr(const uint8_t* p, int32_t n) {
#if defined(QV_HAVE_MEMRCHR)
    if (n < 4) return -1;
    const uint8_t* const begin = p + 2;
    const uint8_t* q = p + n - 1;  // the 01 lies before q
    while (q > begin) {
        const uint8_t* k = static_cast<const uint8_t*>(memrchr(begin, 1, static_cast<size_t>(q - begin)));
        if (!k) return -1;
        if (k[-1] == 0 && k[-2] == 0) return static_cast<int32_t>(k - p) - 2;
        q = k;
    }
    return -1;
#else
    return Last4Word(p, n, kStartMask, kStartValue);
#endif
}

// memchr pays a call and a mispredicted exit for every 01 byte, a few hundred bytes apart in
// coded video; the aligned-pair filter of the vector kernel passes over those without
// stopping: 1.4x to 1.7x the memchr loop on x86-64 with SSE2 alone.
int32_t FirstStartCodeWord(const uint8_t* p, int32_t n) {
#if defined(QV_VECTOR_UNIT)
    return FirstStartCodeVector(p, n);
#else
    return FirstStartCodeMemchr(p, n);
#endif
}

int32_t LastStartCodeWord(const uint8_t* p, int32_t n) {
#if defined(QV_VECTOR_UNIT)
    return LastStartCodeVector(p, n);
#else
    return LastStartCodeMemchr(p, n);
#endif
}

int32_t FirstStartCode(const uint8_t* p, int32_t n) {
    const uint32_t f = cpu::Features();
#if defined(QV_X86)
    if (f & cpu::kAVX512BW) return FirstStartCodeAvx512(p, n);
    if (f & cpu::kAVX2) return FirstStartCodeAvx2(p, n);
#elif defined(QV_ARM64)
    if (f & cpu::kNEON) return FirstStartCodeNeon(p, n);
#endif
    if (f & cpu::kWord) return FirstStartCodeWord(p, n);
    return First4Scalar(p, n, kStartMask, kStartValue);
}

int32_t LastStartCode(const uint8_t* p, int32_t n) {
    const uint32_t f = cpu::Features();
#if defined(QV_X86)
    if (f & cpu::kAVX512BW) return LastStartCodeAvx512(p, n);
    if (f & cpu::kAVX2) return LastStartCodeAvx2(p, n);
#elif defined(QV_ARM64)
    if (f & cpu::kNEON) return LastStartCodeNeon(p, n);
#endif
    if (f & cpu::kWord) return LastStartCodeWord(p, n);
    return Last4Scalar(p, n, kStartMask, kStartValue);
}

// Matches often lie close together (start codes a few bytes apart, runs of escapes), and
// a wide kernel costs a set-up per call: the first windows are tested one by one, so a
// search that ends at once costs no more than the plain loop.
constexpr int32_t kProbe = 16;

int32_t First4(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    if (n < 4 || (value & ~mask) != 0) return -1;
    if (mask == 0) return 0;
    if (mask == kStartMask && value == kStartValue) return FirstStartCode(p, n);
    if (n <= kProbe + 3 || !cpu::Has(cpu::kWord)) return First4Scalar(p, n, mask, value);
    const int32_t head = First4Scalar(p, kProbe + 3, mask, value);  // windows 0 .. kProbe - 1
    if (head >= 0) return head;
    int32_t r;
#if defined(QV_X86)
    if (cpu::Has(cpu::kAVX2)) r = First4Avx2(p + kProbe, n - kProbe, mask, value);
    else
#endif
        r = First4Word(p + kProbe, n - kProbe, mask, value);
    return r < 0 ? -1 : kProbe + r;
}

int32_t Last4(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    if (n < 4 || (value & ~mask) != 0) return -1;
    if (mask == 0) return n - 4;
    if (mask == kStartMask && value == kStartValue) return LastStartCode(p, n);
    if (n <= kProbe + 3 || !cpu::Has(cpu::kWord)) return Last4Scalar(p, n, mask, value);
    const int32_t tail = n - kProbe - 3;  // windows tail .. n - 4
    const int32_t r = Last4Scalar(p + tail, kProbe + 3, mask, value);
    if (r >= 0) return tail + r;
#if defined(QV_X86)
    if (cpu::Has(cpu::kAVX2)) return Last4Avx2(p, n - kProbe, mask, value);
#endif
    return Last4Word(p, n - kProbe, mask, value);
}

}  // namespace scan
}  // namespace qv

#include "internal/QvWindowScan.h"

#include "internal/QvCpu.h"

#include <cstring>

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

namespace {

// One byte of the window that every match must satisfy, tested eight offsets at a time: the
// most selective lane, and among equals one whose value is not 00 (zeros are common in
// video data, the 01 of a start code is not).
struct Anchor {
    int lane;     // 0 = first byte of the window
    uint64_t m;   // the lane's mask byte in every byte
    uint64_t v;   // the lane's value byte in every byte
};

Anchor PickAnchor(uint32_t mask, uint32_t value) {
    Anchor a{0, 0, 0};
    int best = -1;
    for (int k = 0; k < 4; ++k) {
        const uint32_t m = (mask >> (24 - 8 * k)) & 0xFF, v = (value >> (24 - 8 * k)) & 0xFF;
        int bits = 0;
        for (uint32_t t = m; t; t &= t - 1) ++bits;
        const int score = bits * 2 + (v != 0 ? 1 : 0);
        if (m != 0 && score > best) {
            best = score;
            a.lane = k;
            a.m = m * 0x0101010101010101ull;
            a.v = v * 0x0101010101010101ull;
        }
    }
    return a;
}

// Non-zero when some byte of x is zero, whatever the byte order.
inline uint64_t HasZero(uint64_t x) {
    return (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
}

// Eight anchor bytes from p; non-zero when one of them satisfies the anchor lane.
inline uint64_t AnchorHits(const Anchor& a, const uint8_t* p) {
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return HasZero((x & a.m) ^ a.v);
}

}  // namespace

int32_t First4Word(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    const Anchor a = PickAnchor(mask, value);
    int32_t j = 0;
    // Windows j..j+7 lie wholly inside the range.
    for (; j <= n - 11; j += 8) {
        if (!AnchorHits(a, p + j + a.lane)) continue;
        for (int32_t c = j; c < j + 8; ++c)
            if ((Be32(p + c) & mask) == value) return c;
    }
    const int32_t r = First4Scalar(p + j, n - j, mask, value);
    return r < 0 ? -1 : j + r;
}

int32_t Last4Word(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    const Anchor a = PickAnchor(mask, value);
    int32_t top = n - 4;  // highest window not yet tested
    for (; top >= 7; top -= 8) {
        if (!AnchorHits(a, p + top - 7 + a.lane)) continue;
        for (int32_t c = top; c > top - 8; --c)
            if ((Be32(p + c) & mask) == value) return c;
    }
    return Last4Scalar(p, top + 4, mask, value);
}

int32_t First4(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    if (n < 4 || (value & ~mask) != 0) return -1;
    if (mask == 0) return 0;
#if defined(__x86_64__) || defined(__i386__)
    if (cpu::Has(cpu::kAVX2)) return First4Avx2(p, n, mask, value);
#endif
    if (cpu::Has(cpu::kWord)) return First4Word(p, n, mask, value);
    return First4Scalar(p, n, mask, value);
}

int32_t Last4(const uint8_t* p, int32_t n, uint32_t mask, uint32_t value) {
    if (n < 4 || (value & ~mask) != 0) return -1;
    if (mask == 0) return n - 4;
#if defined(__x86_64__) || defined(__i386__)
    if (cpu::Has(cpu::kAVX2)) return Last4Avx2(p, n, mask, value);
#endif
    if (cpu::Has(cpu::kWord)) return Last4Word(p, n, mask, value);
    return Last4Scalar(p, n, mask, value);
}

}  // namespace scan
}  // namespace qv

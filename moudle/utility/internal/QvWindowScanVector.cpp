// Start-code search in the compiler's generic vectors: the shape of the NEON and AVX2 kernels
// (aligned byte pairs between start codes, the exact test where a pair passes) in plain
// GCC/Clang vector arithmetic, which becomes SSE2 on x86-64, NEON on ARM, VSX on POWER and
// the vector facility on s390x. It is the word level's search where the target has such a
// unit; elsewhere the compiler lowers it to scalar code, correct but slower than memchr.

#include "internal/QvStartCodeBlocks.h"

#if defined(QV_GNU_VECTORS)

#include <cstring>

// Without a vector unit (32-bit x86 before SSE2) GCC warns that vectors passed by value have
// no settled calling convention; these never cross this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace qv {
namespace scan {

namespace {

typedef uint8_t V8 __attribute__((vector_size(16), __may_alias__));
typedef uint16_t V16 __attribute__((vector_size(16), __may_alias__));

inline V8 Load(const uint8_t* q) {
    V8 v;
    std::memcpy(&v, q, sizeof v);
    return v;
}

// Byte t of the first of the two words is byte t of the vector, whatever the byte order.
inline void Words(V8 v, uint64_t& lo, uint64_t& hi) {
    std::memcpy(&lo, &v, 8);
    std::memcpy(&hi, reinterpret_cast<const unsigned char*>(&v) + 8, 8);
}

// The lowest / highest byte index in 0..7 whose byte is non-zero in a non-zero word.
inline int32_t FirstByte(uint64_t w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return Clz64(w) >> 3;
#else
    return Ctz64(w) >> 3;
#endif
}

inline int32_t LastByte(uint64_t w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return (63 - Ctz64(w)) >> 3;
#else
    return (63 - Clz64(w)) >> 3;
#endif
}

// Byte t is FF when q[t], q[t + 1] are 00 and q[t + 2] is 01, for t in 0..15. Reads q[0..17].
inline V8 Codes16(const uint8_t* q) {
    const V8 a = Load(q), b = Load(q + 1), c = Load(q + 2);
    return reinterpret_cast<V8>((a | b) == 0) & reinterpret_cast<V8>(c == 1);
}

// The first / last start code among the 16 windows from q, as an offset from q, or -1.
inline int32_t First16(const uint8_t* q) {
    uint64_t lo, hi;
    Words(Codes16(q), lo, hi);
    if (lo) return FirstByte(lo);
    return hi ? 8 + FirstByte(hi) : -1;
}

inline int32_t Last16(const uint8_t* q) {
    uint64_t lo, hi;
    Words(Codes16(q), lo, hi);
    if (hi) return 8 + LastByte(hi);
    return lo ? LastByte(lo) : -1;
}

// A start code at a has its 00 00 in the aligned byte pair at a (a even) or its 00 01 in the
// pair at a + 1 (a odd): a pair whose first byte is 00 and whose second is 00 or 01, clear
// under FF FE. Whether such a pair lies in the 128 aligned bytes from q (16-aligned), that
// is whether a start code may lie at q - 1 .. q + 126.
inline V16 Pairs16(const uint8_t* q, V8 m) {
    return reinterpret_cast<V16>(reinterpret_cast<V16>(*reinterpret_cast<const V8*>(q) & m) == 0);
}

inline bool Pairs128(const uint8_t* q) {
    const V8 m = {0xFF, 0xFE, 0xFF, 0xFE, 0xFF, 0xFE, 0xFF, 0xFE, 0xFF, 0xFE, 0xFF, 0xFE, 0xFF, 0xFE, 0xFF, 0xFE};
    const V16 x = (Pairs16(q, m) | Pairs16(q + 16, m)) | (Pairs16(q + 32, m) | Pairs16(q + 48, m)) |
                  (Pairs16(q + 64, m) | Pairs16(q + 80, m)) | (Pairs16(q + 96, m) | Pairs16(q + 112, m));
    uint64_t lo, hi;
    Words(reinterpret_cast<V8>(x), lo, hi);
    return (lo | hi) != 0;
}

struct Kernel {
    static int32_t First16(const uint8_t* q) { return qv::scan::First16(q); }
    static int32_t Last16(const uint8_t* q) { return qv::scan::Last16(q); }
    static bool Pairs128(const uint8_t* q) { return qv::scan::Pairs128(q); }
};

}  // namespace

int32_t FirstStartCodeVector(const uint8_t* p, int32_t n) {
    return blocks::First<Kernel>(p, n);
}

int32_t LastStartCodeVector(const uint8_t* p, int32_t n) {
    return blocks::Last<Kernel>(p, n);
}

}  // namespace scan
}  // namespace qv

#endif

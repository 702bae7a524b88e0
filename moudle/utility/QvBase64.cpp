#include "QvBase64.h"

#include "internal/QvBase64Kernels.h"
#include "internal/QvCpu.h"

#include <cstring>

namespace {

using qv::base64::kAlphabet;
using qv::base64::kNotInAlphabet;
using qv::base64::kValues;

constexpr unsigned ValueOf(unsigned c) {
    return c < 128 ? kValues.v[c] : kNotInAlphabet;
}

// Wide portable tables: the two characters of every 12-bit value, and for each place of a
// group the value already shifted into its 24-bit position. A character outside the
// alphabet sets bits above the 24, so one OR over a group tells whether it is clean.
struct PairTable {
    char c[4096 * 2];
    constexpr PairTable() : c() {
        for (int i = 0; i < 4096; ++i) {
            c[2 * i] = kAlphabet[i >> 6];
            c[2 * i + 1] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

constexpr uint32_t kDirty = 0xFF000000u;

struct PlaceTables {
    uint32_t d[4][256];
    constexpr PlaceTables() : d() {
        for (int c = 0; c < 256; ++c) {
            const unsigned v = ValueOf(static_cast<unsigned>(c));
            for (int k = 0; k < 4; ++k)
                d[k][c] = v < 64 ? static_cast<uint32_t>(v) << (18 - 6 * k) : kDirty;
        }
    }
};
constexpr PlaceTables kPlaces;

#if defined(QV_BASE64_X86)
constexpr uint32_t kVbmi = qv::cpu::kAVX512BW | qv::cpu::kAVX512VBMI;
#endif

inline bool Offers(uint32_t features, uint32_t bits) {
    return (features & bits) == bits;
}

// ---------------------------------------------------------------------------------------
// Encoding: whole groups of three bytes by the fastest path on offer, then the tail.

size_t EncodeGroupsPlain(const uint8_t* s, size_t n, char* d) {
    size_t i = 0;
    for (; n - i >= 3; i += 3, d += 4) {
        const unsigned b0 = s[i], b1 = s[i + 1], b2 = s[i + 2];
        d[0] = kAlphabet[b0 >> 2];
        d[1] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        d[2] = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
        d[3] = kAlphabet[b2 & 63];
    }
    return i;
}

inline void PutGroup(uint32_t v, char* d) {
    std::memcpy(d, kPairs.c + 2 * (v >> 12), 2);
    std::memcpy(d + 2, kPairs.c + 2 * (v & 0xFFF), 2);
}

inline uint32_t Load24(const uint8_t* s) {
    return static_cast<uint32_t>(s[0]) << 16 | static_cast<uint32_t>(s[1]) << 8 | s[2];
}

size_t EncodeGroupsWord(const uint8_t* s, size_t n, char* d) {
    size_t i = 0;
    for (; n - i >= 12; i += 12, d += 16) {
        PutGroup(Load24(s + i), d);
        PutGroup(Load24(s + i + 3), d + 4);
        PutGroup(Load24(s + i + 6), d + 8);
        PutGroup(Load24(s + i + 9), d + 12);
    }
    for (; n - i >= 3; i += 3, d += 4) PutGroup(Load24(s + i), d);
    return i;
}

// ---------------------------------------------------------------------------------------
// Decoding: clean groups (four alphabet characters) many at a time while they last, and
// the character-by-character rules for every group that holds anything else.

// Takes one group from its first place. Returns false once decoding has stopped.
bool DecodeGroupByRules(const uint8_t*& p, const uint8_t* end, uint8_t*& out) {
    unsigned s[4];
    for (int place = 0; place < 4; ++place) {
        for (;;) {
            if (p == end) return false;
            const unsigned c = *p++;
            if (place >= 2 && c == '=') return false;
            s[place] = ValueOf(c);
            if (s[place] != kNotInAlphabet) break;
        }
        if (place == 1) *out++ = static_cast<uint8_t>((s[0] << 2) | (s[1] >> 4));
        if (place == 2) *out++ = static_cast<uint8_t>((s[1] << 4) | (s[2] >> 2));
        if (place == 3) *out++ = static_cast<uint8_t>((s[2] << 6) | s[3]);
    }
    return p != end;
}

inline uint32_t GroupBits(const uint8_t* p) {
    return kPlaces.d[0][p[0]] | kPlaces.d[1][p[1]] | kPlaces.d[2][p[2]] | kPlaces.d[3][p[3]];
}

inline void PutBytes(uint32_t v, uint8_t* out) {
    out[0] = static_cast<uint8_t>(v >> 16);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v);
}

// Big-endian stores spelled byte by byte: the compiler makes each one store.
inline void StoreBE64(uint64_t v, uint8_t* out) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

inline void StoreBE32(uint32_t v, uint8_t* out) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void DecodeCleanGroupsWord(const uint8_t*& p, const uint8_t* end, uint8_t*& out) {
    // Four groups per test while all are clean, then the clean ones one by one.
    for (; end - p >= 16; p += 16, out += 12) {
        const uint32_t a = GroupBits(p), b = GroupBits(p + 4);
        const uint32_t c = GroupBits(p + 8), d = GroupBits(p + 12);
        if ((a | b | c | d) & kDirty) break;
        StoreBE64(uint64_t{a} << 40 | uint64_t{b} << 16 | c >> 8, out);
        StoreBE32(c << 24 | d, out + 8);
    }
    for (; end - p >= 4; p += 4, out += 3) {
        const uint32_t v = GroupBits(p);
        if (v & kDirty) return;
        PutBytes(v, out);
    }
}

#if defined(QV_BASE64_X86) || defined(QV_BASE64_NEON)
// Runs a kernel over the clean blocks ahead. True when it stopped with a whole block left:
// it has met a group that needs the rules. One that ran short of input leaves the rest to
// the narrower paths.
bool KernelTakes(size_t (*kernel)(const uint8_t*, size_t, uint8_t*), ptrdiff_t block,
                 const uint8_t*& p, const uint8_t* end, uint8_t*& out) {
    const size_t k = kernel(p, static_cast<size_t>(end - p), out);
    p += k;
    out += k / 4 * 3;
    return end - p >= block;
}
#endif

void DecodeCleanGroups(uint32_t features, const uint8_t*& p, const uint8_t* end, uint8_t*& out) {
#if defined(QV_BASE64_X86)
    if (Offers(features, kVbmi) && KernelTakes(qv::base64::DecodeAvx512, 64, p, end, out)) return;
    if (Offers(features, qv::cpu::kAVX2) && KernelTakes(qv::base64::DecodeAvx2, 32, p, end, out))
        return;
#elif defined(QV_BASE64_NEON)
    if (Offers(features, qv::cpu::kNEON) && KernelTakes(qv::base64::DecodeNeon, 64, p, end, out))
        return;
#endif
    if (Offers(features, qv::cpu::kWord)) DecodeCleanGroupsWord(p, end, out);
}

}  // namespace

QvBase64::QvBase64() = default;
QvBase64::~QvBase64() = default;
QvBase64::QvBase64(const QvBase64& other) = default;

QvBase64& QvBase64::operator=(const QvBase64& other) = default;

int QvBase64::Encode(const char* src, int32_t n, char* dst) {
    if (n < 1) {
        *dst = '\0';
        return 0;
    }
    const uint8_t* s = reinterpret_cast<const uint8_t*>(src);
    const size_t len = static_cast<size_t>(n);
    const uint32_t features = qv::cpu::Features();
    size_t i = 0;
#if defined(QV_BASE64_X86)
    if (Offers(features, kVbmi)) i += qv::base64::EncodeAvx512(s, len, dst);
    if (Offers(features, qv::cpu::kAVX2))
        i += qv::base64::EncodeAvx2(s + i, len - i, dst + i / 3 * 4);
#elif defined(QV_BASE64_NEON)
    if (Offers(features, qv::cpu::kNEON)) i += qv::base64::EncodeNeon(s, len, dst);
#endif
    if (Offers(features, qv::cpu::kWord)) i += EncodeGroupsWord(s + i, len - i, dst + i / 3 * 4);
    i += EncodeGroupsPlain(s + i, len - i, dst + i / 3 * 4);

    char* d = dst + i / 3 * 4;
    if (len - i == 1) {
        const unsigned b0 = s[i];
        d[0] = kAlphabet[b0 >> 2];
        d[1] = kAlphabet[(b0 & 3) << 4];
        d[2] = '=';
        d[3] = '=';
        d += 4;
    } else if (len - i == 2) {
        const unsigned b0 = s[i], b1 = s[i + 1];
        d[0] = kAlphabet[b0 >> 2];
        d[1] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        d[2] = kAlphabet[(b1 & 15) << 2];
        d[3] = '=';
        d += 4;
    }
    *d = '\0';
    return static_cast<int>(d - dst);
}

int QvBase64::Decode(const char* src, int32_t n, char* dst) {
    uint8_t* out = reinterpret_cast<uint8_t*>(dst);
    if (n >= 1) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(src);
        const uint8_t* const end = p + n;
        const uint32_t features = qv::cpu::Features();
        bool more;
        do {
            const uint8_t* const before = p;
            DecodeCleanGroups(features, p, end, out);
            // A short clean run means text broken every few characters: the rules take the
            // next groups before a wide kernel is set up again, so noise costs no more
            // than the rules themselves.
            int groups = p - before < 16 ? 32 : 1;
            do {
                more = DecodeGroupByRules(p, end, out);
            } while (more && --groups > 0);
        } while (more);
    }
    *out = 0;
    return static_cast<int>(out - reinterpret_cast<uint8_t*>(dst));
}

int QvBase64::Encode(const char* src, int32_t n) {
    if (n <= 0) return 0;
    const int64_t room = int64_t{4} * n / 3 + 6;
    if (room > INT32_MAX) return 0;
    if (!m_Buffer.Alloc(static_cast<int32_t>(room))) return 0;
    return Encode(src, n, reinterpret_cast<char*>(m_Buffer.m_pData));
}

int QvBase64::Decode(const char* src, int32_t n) {
    if (n <= 0 || n == INT32_MAX) return 0;
    if (!m_Buffer.Alloc(n + 1)) return 0;
    return Decode(src, n, reinterpret_cast<char*>(m_Buffer.m_pData));
}

const char* QvBase64::GetString() const {
    return reinterpret_cast<const char*>(m_Buffer.m_pData);
}

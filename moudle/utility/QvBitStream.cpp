#include "QvBitStream.h"

#include "internal/QvCpu.h"

#include <cstddef>
#include <cstring>

// Two ways through every read: byte by byte (the reference, and the only one within eight
// bytes of the end), and from one 64-bit big-endian window of the memory, which holds any
// field or code short enough that it cannot reach past the eight bytes it was loaded from.
// Both leave the same result and the same cursor.

namespace {

using Byte = unsigned char;

bool Wide() {
    return qv::cpu::Has(qv::cpu::kWord);
}

uint64_t LoadBE64(const Byte* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint64_t w;
    std::memcpy(&w, p, 8);
    return __builtin_bswap64(w);
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
#else
    uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = (w << 8) | p[i];
    return w;
#endif
}

void StoreBE64(Byte* p, uint64_t w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    w = __builtin_bswap64(w);
    std::memcpy(p, &w, 8);
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    std::memcpy(p, &w, 8);
#else
    for (int i = 7; i >= 0; --i, w >>= 8) p[i] = static_cast<Byte>(w);
#endif
}

// 2^m as the codes count it in 32 bits: 2^32 counts as 1, higher powers as 0.
uint32_t Pow2(int64_t m) {
    return m < 32 ? uint32_t{1} << m : m == 32 ? 1u : 0u;
}

// The window needs eight bytes from the current one. Comparing the distance also keeps an
// empty stream (null pointers) and a cursor past the end off the wide path.
bool HasWindow(const QvBitStream& s) {
    return s.m_pEnd - s.m_pCur >= 8 && Wide();
}

// The eight bytes from the current one, shifted so that the next unread bit is bit 63. At
// least 56 bits of it are memory (more when m_nLeft > 0).
uint64_t Window(const QvBitStream& s) {
    return LoadBE64(s.m_pCur) << (8 - s.m_nLeft);
}

// Moves the read cursor over bits that lie within the window.
void Advance(QvBitStream& s, int32_t bits) {
    const int32_t pos = 8 - s.m_nLeft + bits;
    s.m_pCur += pos >> 3;
    s.m_nLeft = 8 - (pos & 7);
}

// The read of one bit. A write-mode count of 0 (the caller mixed modes) holds no unread
// bit, so the bit comes from the next byte, as the field reader would take it.
uint32_t ReadBit(QvBitStream& s) {
    if (s.m_pCur >= s.m_pEnd) return 0;
    if (s.m_nLeft <= 0) {
        ++s.m_pCur;
        s.m_nLeft = 8;
        if (s.m_pCur >= s.m_pEnd) return 0;
    }
    --s.m_nLeft;
    const uint32_t bit = (*s.m_pCur >> s.m_nLeft) & 1u;
    if (s.m_nLeft == 0) {
        ++s.m_pCur;
        s.m_nLeft = 8;
    }
    return bit;
}

// Byte-wise field read, 1 to 32 bits. Bits missing at the end are zeros at the bottom.
uint32_t ReadBitsBytewise(QvBitStream& s, int32_t bits) {
    uint32_t result = 0;
    int32_t remaining = bits;
    while (s.m_pCur < s.m_pEnd) {
        const uint32_t byte = *s.m_pCur;
        if (s.m_nLeft >= remaining) {
            result |= (byte >> (s.m_nLeft - remaining)) & ((1u << remaining) - 1);
            s.m_nLeft -= remaining;
            if (s.m_nLeft == 0) {
                ++s.m_pCur;
                s.m_nLeft = 8;
            }
            return result;
        }
        // 64-bit so that a shift by 32 (a count of 0 in the byte) stays defined.
        const uint64_t low = byte & ((1u << (s.m_nLeft & 31)) - 1);
        result |= static_cast<uint32_t>(low << (remaining - s.m_nLeft));
        remaining -= s.m_nLeft;
        ++s.m_pCur;
        s.m_nLeft = 8;
    }
    return result;
}

void SkipBits(QvBitStream& s, int64_t bits) {
    if (bits < 1 || s.m_pCur >= s.m_pEnd) return;
    if (Wide()) {
        // Nothing is read, so the cursor's destination is plain arithmetic, clamped at the
        // end where the byte-wise loop stops.
        const int64_t pos = 8 - s.m_nLeft + bits;
        if (pos >= static_cast<int64_t>(s.m_pEnd - s.m_pCur) * 8) {
            s.m_pCur = s.m_pEnd;
            s.m_nLeft = 8;
        } else {
            s.m_pCur += pos >> 3;
            s.m_nLeft = 8 - static_cast<int32_t>(pos & 7);
        }
        return;
    }
    while (s.m_pCur < s.m_pEnd) {
        if (s.m_nLeft >= bits) {
            s.m_nLeft -= static_cast<int32_t>(bits);
            if (s.m_nLeft == 0) {
                ++s.m_pCur;
                s.m_nLeft = 8;
            }
            return;
        }
        bits -= s.m_nLeft;
        ++s.m_pCur;
        s.m_nLeft = 8;
    }
}

// Any count: past 32 bits the leading ones are passed over and the last 32 returned.
uint32_t ReadBits(QvBitStream& s, int64_t bits) {
    if (bits < 1) return 0;
    if (bits > 32) {
        SkipBits(s, bits - 32);
        bits = 32;
    }
    const int32_t n = static_cast<int32_t>(bits);
    if (HasWindow(s)) {
        const uint64_t w = Window(s);
        Advance(s, n);
        return static_cast<uint32_t>(w >> (64 - n));
    }
    return ReadBitsBytewise(s, n);
}

// The leading zeros of an Exp-Golomb code, consuming the 1 bit that ends them. The count
// stops at the end of the memory (a zero that was the last bit is not counted) and at 32
// (a 33rd zero is consumed in place of the 1).
int32_t CountLeadingZeros(QvBitStream& s) {
    int32_t z = 0;
    while (s.m_pCur < s.m_pEnd) {
        if (ReadBit(s)) break;
        if (s.m_pCur >= s.m_pEnd || z >= 32) break;
        ++z;
    }
    return z;
}

uint32_t ReadExpGolomb(QvBitStream& s, int32_t k) {
    if (k < 0) k = 0;
    if (k < 32 && HasWindow(s)) {
        const uint64_t w = Window(s);
        if (w != 0) {
            // Zeros, 1 bit and field must lie within the 56 bits that are surely memory.
            const int32_t z = __builtin_clzll(w);
            const int32_t len = 2 * z + 1 + k;
            if (len <= 56) {
                Advance(s, len);
                // The code's bits read as a number are 2^(z+k) + field; in 32 bits the
                // power vanishes from z + k = 32 on, where the rule wants 1 at exactly 32.
                return static_cast<uint32_t>(w >> (64 - len)) - (1u << k) +
                       (z + k == 32 ? 1u : 0u);
            }
        }
    }
    const int64_t n = static_cast<int64_t>(CountLeadingZeros(s)) + k;
    return ReadBits(s, n) + Pow2(n) - Pow2(k);
}

// se(v): odd code numbers to (c + 1) / 2, even ones to -(c / 2), c taken as signed 32-bit.
// In 64 bits so that c = 2^31 - 1 does not overflow.
int32_t SignedCode(uint32_t code) {
    const int64_t c = static_cast<int32_t>(code);
    return static_cast<int32_t>((c & 1) ? (c + 1) / 2 : -(c / 2));
}

int ReadMarked30(QvBitStream& s, uint32_t& value) {
    if (HasWindow(s)) {
        const uint32_t w = static_cast<uint32_t>(Window(s) >> 32);
        if (!(w & 0x10000)) {
            Advance(s, 16);
            value = w >> 17;
            return 0;
        }
        Advance(s, 32);
        value = ((w >> 17) << 15) | ((w >> 1) & 0x7FFF);
        return static_cast<int>(w & 1);
    }
    value = ReadBits(s, 15);
    if (s.m_pCur >= s.m_pEnd || !ReadBit(s)) return 0;
    value = (value << 15) | ReadBits(s, 15);
    if (s.m_pCur >= s.m_pEnd) return 0;
    return static_cast<int>(ReadBit(s));
}

}  // namespace

QvBitStream::QvBitStream()
    : m_pStart(nullptr), m_pCur(nullptr), m_pEnd(nullptr), m_nLeft(8), m_bWrite(0) {}

QvBitStream::QvBitStream(void* pMemory, int32_t lSize, int32_t bWrite) {
    Init(pMemory, lSize, bWrite);
}

void QvBitStream::Init(void* pMemory, int32_t lSize, int32_t bWrite) {
    m_pStart = m_pCur = static_cast<Byte*>(pMemory);
    m_pEnd = m_pStart + lSize;
    m_bWrite = bWrite;
    if (bWrite && lSize > 0) std::memset(pMemory, 0, static_cast<size_t>(lSize));
    ResetLeft();
}

int32_t QvBitStream::Pos() const {
    // Unsigned, so that memory of 256 MB and more wraps instead of overflowing.
    const uint32_t bytes = static_cast<uint32_t>(m_pCur - m_pStart);
    return static_cast<int32_t>(bytes * 8u + 8u - static_cast<uint32_t>(m_nLeft));
}

void QvBitStream::Skip(int32_t lBytes) {
    m_pCur += lBytes;
    ResetLeft();
}

void QvBitStream::NewBytesPos(int32_t lOffset) {
    m_pCur = m_pStart + lOffset;
    ResetLeft();
}

void QvBitStream::NextByte() {
    ++m_pCur;
    m_nLeft = 8;
}

uint32_t QvBitStream::PutBits(uint32_t dwValue, int32_t lBits) {
    if (lBits < 0) lBits = 0;
    if (lBits > 32) {
        // The field's leading bits are zeros: ORing them changes nothing, so only the
        // cursor moves over them.
        const int32_t t = m_nLeft + (lBits - 32);
        m_pCur += t >> 3;
        m_nLeft = t & 7;
        lBits = 32;
    }
    const uint32_t v = lBits == 32 ? dwValue : dwValue & ((1u << lBits) - 1);
    // m_nLeft may be 8 after NextByte: the current byte then takes no bit of the field.
    const int32_t total = m_nLeft + lBits;
    if (lBits > 0) {
        if (m_pEnd - m_pCur >= 8 && Wide()) {
            // One load, OR and store of the eight bytes from the current one: the field
            // spans at most five of them, the others are stored back as they were.
            StoreBE64(m_pCur, LoadBE64(m_pCur) | (static_cast<uint64_t>(v) << (64 - total)));
        } else {
            Byte* p = m_pCur;
            int32_t shift = total - 8;  // of the byte completed first
            for (; shift >= 0; shift -= 8) *p++ |= static_cast<Byte>(static_cast<uint64_t>(v) >> shift);
            if (shift > -8) *p |= static_cast<Byte>(v << -shift);
        }
    }
    m_pCur += total >> 3;
    m_nLeft = total & 7;
    return static_cast<uint32_t>(m_nLeft);
}

uint32_t QvBitStream::GetBits(int32_t lBits) {
    return ReadBits(*this, lBits);
}

uint32_t QvBitStream::GetBit1() {
    return ReadBit(*this);
}

void QvBitStream::ClearBits(int32_t lBits) {
    SkipBits(*this, lBits);
}

uint32_t QvBitStream::GetUE() {
    return ReadExpGolomb(*this, 0);
}

int32_t QvBitStream::GetSE() {
    return SignedCode(ReadExpGolomb(*this, 0));
}

uint32_t QvBitStream::GetUEK(int32_t k) {
    return ReadExpGolomb(*this, k);
}

int32_t QvBitStream::GetSEK(int32_t k) {
    return SignedCode(ReadExpGolomb(*this, k));
}

void QvBitStream::PutMarkedInt7(int32_t nValue) {
    PutBits(((static_cast<uint32_t>(nValue) & 0x7F) << 1) | 1u, 8);
}

int QvBitStream::GetMarkedInt7(uint32_t& dwValue) {
    // One 8-bit read is the same as 7 bits and a marker: when the memory ends before the
    // marker, the missing bit reads as 0 and the value keeps the bits that were there.
    const uint32_t b = ReadBits(*this, 8);
    dwValue = b >> 1;
    return static_cast<int>(b & 1);
}

int QvBitStream::GetMarkedInt7(int32_t& nValue) {
    uint32_t v;
    const int ok = GetMarkedInt7(v);
    nValue = static_cast<int32_t>(v);
    return ok;
}

void QvBitStream::PutMarkedInt30(int32_t nValue) {
    const uint32_t v = static_cast<uint32_t>(nValue);
    PutBits((((v >> 15) & 0x7FFF) << 17) | 0x10000u | ((v & 0x7FFF) << 1) | 1u, 32);
}

int QvBitStream::GetMarkedInt30(uint32_t& dwValue) {
    return ReadMarked30(*this, dwValue);
}

int QvBitStream::GetMarkedInt30(int32_t& nValue) {
    uint32_t v;
    const int ok = ReadMarked30(*this, v);
    nValue = static_cast<int32_t>(v);
    return ok;
}

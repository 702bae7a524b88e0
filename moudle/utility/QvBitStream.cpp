#include "QvBitStream.h"

#include "internal/QvCpu.h"

#include <cstddef>
#include <cstring>

// The inline members take the common cases from 64-bit words; what they hand on lands here:
// the byte-wise code (the reference, the only path within eight bytes of the end and under
// QV_CPU=scalar), the rare counts and codes, and the members nobody calls in a tight loop.
// Both ways leave the same results, bytes and cursor.

static_assert(qv::cpu::kWord == 1u, "the inline paths test bit 0 of the dispatch word");

const std::atomic<uint32_t>* const QvBitStream::s_pFeatures = &qv::cpu::g_features;

namespace {

using Byte = unsigned char;

// Unlike the inline test, this computes the dispatch word on first use.
bool WordPaths() {
    return qv::cpu::Has(qv::cpu::kWord);
}

bool WindowFits(const QvBitStream& s) {
    return s.m_pEnd - s.m_pCur >= 8 && WordPaths();
}

// 2^m as the codes count it in 32 bits: 2^32 counts as 1, higher powers as 0.
uint32_t Pow2(int64_t m) {
    return m < 32 ? uint32_t{1} << m : m == 32 ? 1u : 0u;
}

// Byte-wise field read, 1 to 32 bits. Bits missing at the end are zeros at the bottom. A
// bit count of 0 (reads on a write-mode stream) holds no unread bit: the field starts in
// the next byte.
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
        // 64-bit, so that a shift by 32 (no unread bit in the byte) stays defined.
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
    if (WordPaths()) {
        // Nothing is read, so the destination is plain arithmetic, clamped at the end where
        // the byte-wise loop stops.
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

// The leading zeros of an Exp-Golomb code, consuming the 1 bit that ends them. The count
// stops at the end of the memory (a zero that was the last bit is not counted) and at 32
// (a 33rd zero is consumed in place of the 1).
int64_t CountLeadingZeros(QvBitStream& s) {
    int64_t z = 0;
    while (s.m_pCur < s.m_pEnd) {
        if (s.GetBit1()) break;
        if (s.m_pCur >= s.m_pEnd || z >= 32) break;
        ++z;
    }
    return z;
}

}  // namespace

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

uint32_t QvBitStream::PutBitsAny(uint32_t dwValue, int32_t lBits) {
    if (lBits < 0) lBits = 0;
    if (lBits > 32) {
        // The field's leading bits are zeros: ORing them changes nothing, so only the
        // cursor moves over them.
        const int32_t t = m_nLeft + (lBits - 32);
        m_pCur += t >> 3;
        m_nLeft = t & 7;
        lBits = 32;
    }
    if (WordsFit(lBits) && WordPaths()) return PutWords(dwValue, lBits);
    const uint64_t v = lBits == 32 ? dwValue : dwValue & ((1u << lBits) - 1);
    // m_nLeft may be 8 after NextByte: the current byte then takes none of the field.
    const int32_t total = m_nLeft + lBits;
    if (lBits > 0) {
        Byte* p = m_pCur;
        int32_t shift = total - 8;  // of the byte completed first
        for (; shift >= 0; shift -= 8) *p++ |= static_cast<Byte>(v >> shift);
        if (shift > -8) *p |= static_cast<Byte>(v << -shift);
    }
    m_pCur += total >> 3;
    m_nLeft = total & 7;
    return static_cast<uint32_t>(m_nLeft);
}

uint32_t QvBitStream::GetBitsAny(int32_t lBits) {
    if (lBits < 1) return 0;
    if (lBits > 32) {
        // The leading bits would be shifted out of the result: pass over them.
        SkipBits(*this, lBits - 32);
        lBits = 32;
    }
    if (WindowFits(*this)) {
        const uint64_t w = Window();
        Advance(lBits);
        return static_cast<uint32_t>(w >> (64 - lBits));
    }
    return ReadBitsBytewise(*this, lBits);
}

void QvBitStream::ClearBits(int32_t lBits) {
    SkipBits(*this, lBits);
}

uint32_t QvBitStream::GetCodeAny(int32_t k) {
    if (k < 0) k = 0;
    int64_t n;
    if (k < 32 && WindowFits(*this)) {
        // The window holds at least 56 bits of memory, enough for the zeros (at most 33 are
        // taken) and the bit after them, but not always for the field.
        const uint64_t w = Window();
        const int32_t z = w ? Clz64(w) : 64;
        const int32_t len = 2 * z + 1 + k;
        if (len <= 56) {
            Advance(len);
            // The code's bits read as a number are 2^(z+k) + field; in 32 bits the
            // power vanishes from z + k = 32 on, where the rule wants 1 at exactly 32.
            return static_cast<uint32_t>(w >> (64 - len)) - (1u << k) + (z + k == 32 ? 1u : 0u);
        }
        const int32_t zeros = z < 32 ? z : 32;
        Advance(zeros + 1);  // the 1 bit, or the 33rd zero in its place
        n = zeros + k;
    } else {
        n = CountLeadingZeros(*this) + k;
    }
    if (n > 32) SkipBits(*this, n - 32);
    return GetBitsAny(static_cast<int32_t>(n < 32 ? n : 32)) + Pow2(n) - Pow2(k);
}

QvBitStream::Result QvBitStream::GetBitsAt(QvBitStream s, int32_t lBits) {
    const uint32_t v = s.GetBitsAny(lBits);
    return {s.m_pCur, s.m_nLeft, v};
}

QvBitStream::Result QvBitStream::PutBitsAt(QvBitStream s, uint32_t dwValue, int32_t lBits) {
    const uint32_t v = s.PutBitsAny(dwValue, lBits);
    return {s.m_pCur, s.m_nLeft, v};
}

QvBitStream::Result QvBitStream::GetCodeAt(QvBitStream s, int32_t k) {
    const uint32_t v = s.GetCodeAny(k);
    return {s.m_pCur, s.m_nLeft, v};
}

uint32_t QvBitStream::GetUEK(int32_t k) {
    return GetCodeAny(k);
}

int32_t QvBitStream::GetSEK(int32_t k) {
    return SignedCode(GetCodeAny(k));
}

void QvBitStream::PutMarkedInt7(int32_t nValue) {
    PutBits(((static_cast<uint32_t>(nValue) & 0x7F) << 1) | 1u, 8);
}

int QvBitStream::GetMarkedInt7(uint32_t& dwValue) {
    // One 8-bit read is the same as 7 bits and a marker: when the memory ends before the
    // marker, the missing bit reads as 0 and the value keeps the bits that were there.
    const uint32_t b = GetBits(8);
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
    if (WindowFits(*this)) {
        // A first marker of 0 ends the read after 16 bits, so look before moving.
        const uint32_t w = static_cast<uint32_t>(Window() >> 32);
        if (!(w & 0x10000)) {
            Advance(16);
            dwValue = w >> 17;
            return 0;
        }
        Advance(32);
        dwValue = ((w >> 17) << 15) | ((w >> 1) & 0x7FFF);
        return static_cast<int>(w & 1);
    }
    dwValue = GetBits(15);
    if (m_pCur >= m_pEnd || !GetBit1()) return 0;
    dwValue = (dwValue << 15) | GetBits(15);
    if (m_pCur >= m_pEnd) return 0;
    return static_cast<int>(GetBit1());
}

int QvBitStream::GetMarkedInt30(int32_t& nValue) {
    uint32_t v;
    const int ok = GetMarkedInt30(v);
    nValue = static_cast<int32_t>(v);
    return ok;
}

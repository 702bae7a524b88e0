#pragma once

#include "QvDefs.h"

#include <atomic>
#include <cstring>
#if defined(_MSC_VER)
#include <intrin.h>
#include <stdlib.h>
#endif

// A cursor that reads or writes bits over memory the caller owns: bytes in address order,
// the most significant bit of each byte first, fields most significant bit first.
//
// Ownership and sizing: the stream never allocates, copies or frees the memory; the caller
// keeps it valid and large enough. Reads stop at the end of the memory and supply zeros
// for the missing bits; writes are not checked against the end (the caller gives at least
// (bits written + 7) / 8 bytes from where writing starts). Init in write mode clears the
// whole memory, because writing ORs bits in: a bit once set stays set.
//
// Cursor: m_pCur is the current byte. In read mode m_nLeft counts its unread bits (1 to 8,
// never 0: taking the last bit moves to the next byte); in write mode it counts the bits
// already written into it (0 to 7). Copies share the memory with cursors of their own.
//
// Choices beyond the basic contract: GetBits of more than 32 bits reads them all and
// returns the last 32; PutBits ignores value bits above the field, writes a field of more
// than 32 bits as that many zero bits and then the 32 bits of the value, and treats a
// negative count as 0. A default-constructed stream has no memory and stands at a byte
// boundary in read mode.
//
// The common cases of GetBits, GetBit1, PutBits, GetUE and GetSE are inline: they work on
// whole 64-bit words of the memory and hand everything else (ends of the memory, unusual
// counts, QV_CPU=scalar) to the byte-wise code in QvBitStream.cpp, with the same results.
// A word-wide PutBits stores the bytes around the field back unchanged (never outside the
// stream's memory), so no other thread may read that memory while a stream writes to it.
class QV_API QvBitStream {
public:
    QvBitStream() : m_pStart(nullptr), m_pCur(nullptr), m_pEnd(nullptr), m_nLeft(8), m_bWrite(0) {}
    QvBitStream(void* pMemory, int32_t lSize, int32_t bWrite) { Init(pMemory, lSize, bWrite); }
    QvBitStream(const QvBitStream&) = default;
    QvBitStream& operator=(const QvBitStream&) = default;
    ~QvBitStream() = default;

    // Starts over on new memory: 0 selects read mode, anything else write mode.
    void Init(void* pMemory, int32_t lSize, int32_t bWrite) {
        m_pStart = m_pCur = static_cast<unsigned char*>(pMemory);
        m_pEnd = m_pStart + lSize;
        m_bWrite = bWrite;
        if (bWrite && lSize > 0) std::memset(pMemory, 0, static_cast<size_t>(lSize));
        ResetLeft();
    }

    // --- Cursor ----------------------------------------------------------------------

    // Read mode: unread bits of the current byte, 0 at a byte boundary. Write mode: bits
    // already written into it.
    int32_t CheckByteAlign() const { return m_nLeft & 7; }
    int32_t BytesPos() const { return static_cast<int32_t>(m_pCur - m_pStart); }
    // Bits read since the start (read mode).
    int32_t Pos() const;
    // 1 once the current byte is the last one (even with bits of it unread) or beyond.
    int EOS() const { return m_pEnd - m_pCur <= 1 ? 1 : 0; }

    // Back to the first bit of the current byte. The moves below are not checked: the
    // caller keeps m_pCur within the memory.
    void ResetLeft() { m_nLeft = m_bWrite ? 0 : 8; }
    void Skip(int32_t lBytes);
    void NewBytesPos(int32_t lOffset);
    // Read mode: passes over what is left of the current byte.
    void NextByte();

    // --- Raw bits --------------------------------------------------------------------

    // Writes the low lBits bits of dwValue (0 to 32 bits); returns the bits now written
    // into the current byte, 0 at a byte boundary.
    uint32_t PutBits(uint32_t dwValue, int32_t lBits) {
        if (WordsFit(lBits) && Wide()) return PutWords(dwValue, lBits);
        return Take(PutBitsAt(*this, dwValue, lBits));
    }
    // Reads a field of lBits bits (1 to 32; fewer than 1 reads nothing and gives 0).
    uint32_t GetBits(int32_t lBits) {
        if (static_cast<uint32_t>(lBits) - 1u < 32u && HasWindow()) {
            const uint64_t w = Window();
            Advance(lBits);
            return static_cast<uint32_t>(w >> (64 - lBits));
        }
        return Take(GetBitsAt(*this, lBits));
    }
    uint32_t GetBit1() {
        if (m_pCur >= m_pEnd || m_nLeft <= 0) return Take(GetBitsAt(*this, 1));
        const uint32_t bit = (static_cast<uint32_t>(*m_pCur) >> --m_nLeft) & 1u;
        if (m_nLeft == 0) {
            ++m_pCur;
            m_nLeft = 8;
        }
        return bit;
    }
    // Moves past lBits bits as reading them would, for any count.
    void ClearBits(int32_t lBits);

    // --- Variable-length integers (read mode unless named Put) -----------------------

    // Exp-Golomb code numbers of order 0 (ue(v), se(v)) and of order k (0 to 31). At most
    // 32 leading zeros count: a 33rd zero bit ends the run in place of the 1 bit.
    uint32_t GetUE() {
        if (HasWindow()) {
            const uint64_t w = Window();
            if (w != 0) {
                // Zeros, 1 bit and field within the 56 bits that are surely memory.
                const int32_t z = Clz64(w);
                if (z <= 27) {
                    Advance(2 * z + 1);
                    return static_cast<uint32_t>(w >> (63 - 2 * z)) - 1u;  // 2^z + field - 1
                }
            }
        }
        return Take(GetCodeAt(*this, 0));
    }
    int32_t GetSE() { return SignedCode(GetUE()); }
    uint32_t GetUEK(int32_t k);
    int32_t GetSEK(int32_t k);

    // 7 value bits and a marker bit 1; 30 value bits as two 15-bit halves, each closed by a
    // marker bit 1. The readers return 1 when every marker bit is there and 1, else 0 with
    // the value read up to the failing marker (the first half alone, unshifted, when the
    // first marker fails).
    void PutMarkedInt7(int32_t nValue);
    int GetMarkedInt7(int32_t& nValue);
    int GetMarkedInt7(uint32_t& dwValue);
    void PutMarkedInt30(int32_t nValue);
    int GetMarkedInt30(int32_t& nValue);
    int GetMarkedInt30(uint32_t& dwValue);

    unsigned char* m_pStart;
    unsigned char* m_pCur;
    unsigned char* m_pEnd;
    int32_t m_nLeft;
    int32_t m_bWrite;

private:
    // The library's dispatch word: bit 0 allows the word-at-a-time paths (cleared by
    // QV_CPU=scalar, and 0 until the first byte-wise call has computed it).
    static const std::atomic<uint32_t>* const s_pFeatures;
    static bool Wide() { return (s_pFeatures->load(std::memory_order_relaxed) & 1u) != 0; }

    // Reads from a window of the 8 bytes from the current one, shifted so that the next
    // unread bit is its bit 63; at least 56 bits of it are memory.
    bool HasWindow() const { return m_pEnd - m_pCur >= 8 && Wide(); }
    uint64_t Window() const { return LoadBE64(m_pCur) << (8 - m_nLeft); }
    void Advance(int32_t lBits) {
        const int32_t pos = 8 - m_nLeft + lBits;
        m_pCur += pos >> 3;
        m_nLeft = 8 - (pos & 7);
    }

    // Writes go to two 8-byte words at offsets from m_pStart that are multiples of 8: the
    // first holds the current byte. Such words never partly overlap the words the previous
    // call stored, so their loads need not wait for those stores.
    bool WordsFit(int32_t lBits) const {
        return static_cast<uint32_t>(lBits) - 1u < 32u && static_cast<uint32_t>(m_nLeft) < 8u &&
               m_pEnd - m_pCur >= 16;
    }
    uint32_t PutWords(uint32_t dwValue, int32_t lBits) {
        unsigned char* const p = m_pCur;
        const int32_t left = m_nLeft;
        const uint32_t mis = static_cast<uint32_t>(p - m_pStart) & 7;
        const uint32_t total = static_cast<uint32_t>(left + lBits);
        m_pCur = p + (total >> 3);
        m_nLeft = static_cast<int32_t>(total & 7);
        unsigned char* word = p - mis;
        unsigned char* next = word + 8;
#if defined(__GNUC__)
        __asm__("" : "+r"(next));  // keeps the compiler from merging the words into one access
#endif
        // The field at the top, bits above it dropped; then `at` bits down into the words.
        const uint64_t top = static_cast<uint64_t>(dwValue) << ((64 - lBits) & 63);
        const uint32_t at = mis * 8 + static_cast<uint32_t>(left);
        OrBE64(word, top >> at);
        OrBE64(next, (top << 1) << (at ^ 63));
        return total & 7;
    }

    // Big-endian order to the machine's and back (its own inverse).
    static uint64_t SwapBE(uint64_t w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        return w;
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        return __builtin_bswap64(w);
#elif defined(_MSC_VER)
        return _byteswap_uint64(w);
#else
        const uint16_t one = 1;
        unsigned char first;
        std::memcpy(&first, &one, 1);
        if (!first) return w;
        uint64_t r = 0;
        for (int i = 0; i < 8; ++i, w >>= 8) r = (r << 8) | (w & 0xFF);
        return r;
#endif
    }
    static uint64_t LoadBE64(const unsigned char* p) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        return SwapBE(w);
    }
    // ORs bits, a big-endian number, into the 8 bytes at p.
    static void OrBE64(unsigned char* p, uint64_t bits) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        w |= SwapBE(bits);
        std::memcpy(p, &w, 8);
    }
    // Leading zero bits of w, which is not 0.
    static int32_t Clz64(uint64_t w) {
#if defined(__GNUC__)
        return __builtin_clzll(w);
#elif defined(_MSC_VER) && defined(_M_X64)
        unsigned long i;
        _BitScanReverse64(&i, w);
        return 63 - static_cast<int32_t>(i);
#else
        int32_t n = 0;
        for (; !(w >> 63); w <<= 1) ++n;
        return n;
#endif
    }
    // se(v): odd code numbers to (c + 1) / 2, even ones to -(c / 2), with c the code number
    // as signed 32-bit; in 64 bits, so that c = 2^31 - 1 does not overflow.
    static int32_t SignedCode(uint32_t code) {
        const int64_t c = static_cast<int32_t>(code);
        return static_cast<int32_t>((c & 1) ? (c + 1) / 2 : -(c / 2));
    }

    // What the inline paths hand on: any count, the end of the memory, the byte-wise level.
    uint32_t GetBitsAny(int32_t lBits);
    uint32_t PutBitsAny(uint32_t dwValue, int32_t lBits);
    uint32_t GetCodeAny(int32_t k);
    // The same on a copy, handing back the cursor and result: a caller's stream whose
    // address is never taken can then live in registers across the inline paths.
    struct Result {
        unsigned char* pCur;
        int32_t nLeft;
        uint32_t dwValue;
    };
    static Result GetBitsAt(QvBitStream s, int32_t lBits);
    static Result PutBitsAt(QvBitStream s, uint32_t dwValue, int32_t lBits);
    static Result GetCodeAt(QvBitStream s, int32_t k);
    uint32_t Take(const Result& r) {
        m_pCur = r.pCur;
        m_nLeft = r.nLeft;
        return r.dwValue;
    }
};

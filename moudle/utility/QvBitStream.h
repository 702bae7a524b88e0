#pragma once

#include "QvDefs.h"

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
class QV_API QvBitStream {
public:
    QvBitStream();
    QvBitStream(void* pMemory, int32_t lSize, int32_t bWrite);
    QvBitStream(const QvBitStream&) = default;
    QvBitStream& operator=(const QvBitStream&) = default;
    ~QvBitStream() = default;

    // Starts over on new memory: 0 selects read mode, anything else write mode.
    void Init(void* pMemory, int32_t lSize, int32_t bWrite);

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
    uint32_t PutBits(uint32_t dwValue, int32_t lBits);
    // Reads a field of lBits bits (1 to 32; fewer than 1 reads nothing and gives 0).
    uint32_t GetBits(int32_t lBits);
    uint32_t GetBit1();
    // Moves past lBits bits as reading them would, for any count.
    void ClearBits(int32_t lBits);

    // --- Variable-length integers (read mode unless named Put) -----------------------

    // Exp-Golomb code numbers of order 0 (ue(v), se(v)) and of order k (0 to 31). At most
    // 32 leading zeros count: a 33rd zero bit ends the run in place of the 1 bit.
    uint32_t GetUE();
    int32_t GetSE();
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
};

#pragma once

#include "QvDefs.h"

// Walks a byte range from start code to start code: 00 00 01 and a code byte, reported as
// the code word 0x100 + code byte at the offset of its first 00 (a zero in front of it, as in
// 00 00 00 01, is not part of it). Forward the walk begins at the first byte, backward at the
// end of the range.
//
// Memory: the caller owns the range, keeps it valid while the object is used and sizes it;
// nothing here allocates, frees or changes those bytes. A result of 0 means "no start code"
// (or no range); the cursor then rests where the search ended, m_lSize - 3 forward or 3
// backward, so that a start code cut off by the end of the range is not lost.
//
// The escape passes keep a payload from imitating the start codes with code bytes F0..FE:
// RemoveRaceBytes inserts an FF after every 00 00 01 that precedes a byte F0..FF, and
// RestoreRaceBytes drops it again. The caller sizes the output: length + length / 4 bytes
// for RemoveRaceBytes (input and output distinct), length bytes for RestoreRaceBytes (which
// may write over its own input, output == input).
class QV_API QvStartCode {
public:
    QvStartCode();
    QvStartCode(unsigned char* pData, int32_t lSize, int bBackward);
    QvStartCode(const QvStartCode&) = default;
    QvStartCode& operator=(const QvStartCode& other);

    // Sets the range and puts the cursor at 0 (forward) or lSize (backward != 0).
    void Init(unsigned char* pData, int32_t lSize, int bBackward);

    int32_t GetPos() const { return m_lPos; }
    int32_t GetLeft() const { return m_lSize - m_lPos; }
    unsigned char* GetPPos() const { return m_pData + m_lPos; }

    // The next start code in the walk's direction; the cursor moves onto its first 00.
    // Forward, the same start code is found again until Skip steps over it.
    uint32_t Next();
    // Walks on until the code word dwCode (0x100 + code byte) is found; 0 when it is not.
    uint32_t Find(uint32_t dwCode);
    // Forward: steps over the four bytes of the start code at the cursor. Always 1.
    int Skip();

    // The first window of nWidth bytes in the range whose value, under dwMask, equals
    // dwValue. The window is a 32-bit number the bytes are shifted into, so below width 4 it
    // still holds earlier bytes of the range: keep the mask to the low nWidth bytes (wider
    // windows keep their last four bytes; a width below 1 finds nothing). Returns the window
    // and sets lPos to the offset of its first byte; without a match returns 0 and sets lPos
    // to lSize - nWidth + 1, where a search over more bytes would resume (0 when
    // lSize < nWidth).
    static uint32_t Next(unsigned char* pData, int32_t lSize, int32_t& lPos, int nWidth,
                         uint32_t dwValue, uint32_t dwMask);
    // The last matching window among the lSize bytes before pEnd; lDistance is the distance
    // from pEnd back to its first byte. Without a match: 0, and lDistance = lSize - nWidth + 1
    // (0 when lSize < nWidth). The window starts as the last nWidth bytes and each step back
    // shifts the earlier byte in at the top, so only at width 4 is it always the four bytes
    // from its first byte on; at other widths that holds from the fifth window tested.
    static uint32_t Last(unsigned char* pEnd, int32_t lSize, int32_t& lDistance, int nWidth,
                         uint32_t dwValue, uint32_t dwMask);

    // Returns the bytes written: lLength plus the escape bytes inserted.
    static int RemoveRaceBytes(unsigned char* pInput, int32_t lLength, unsigned char* pOutput);
    // Returns the bytes written: lLength minus the escape bytes dropped. The byte after a
    // dropped escape byte is copied as it is, without being examined.
    static int RestoreRaceBytes(unsigned char* pInput, int32_t lLength, unsigned char* pOutput);

    unsigned char* m_pData;
    int32_t m_lSize;
    int32_t m_lPos;
    int32_t m_bBackward;
};

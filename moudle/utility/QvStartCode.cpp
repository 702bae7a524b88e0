#include "QvStartCode.h"

#include "internal/QvCopy.h"
#include "internal/QvWindowScan.h"

#include <cstring>

namespace {

// What the walk reports: 0x100 + the code byte.
const uint32_t kStartValue = 0x100;

// Escape passes: 00 00 01 before a byte F0..FF, and 00 00 01 FF.
const uint32_t kRaceMask = 0xFFFFFFF0;
const uint32_t kRaceValue = 0x1F0;
const uint32_t kEscaped = 0x1FF;
const unsigned char kEscapeByte = 0xFF;

// The escape passes search this many window offsets before copying what they passed over,
// so that the copy reads bytes the search has just brought into the cache.
const int32_t kChunk = 8192;

// The first escape-pass window at or after from in the n input bytes, searching at most
// kChunk offsets; -1 when there is none there.
int32_t FindRace(const unsigned char* in, int32_t from, int32_t n, uint32_t mask,
                 uint32_t value) {
    const int32_t span = n - from < kChunk + 3 ? n - from : kChunk + 3;
    const int32_t r = qv::scan::First4(in + from, span, mask, value);
    return r < 0 ? -1 : from + r;
}

// Where a pass may copy up to after searching from `from`: before the match's window
// byte 3, or without a match everything before the next window to test.
inline int32_t CopyEnd(int32_t j, int32_t from, int32_t n) {
    if (j >= 0) return j + 3;
    return n - from > kChunk ? from + kChunk : n;
}

}  // namespace

QvStartCode::QvStartCode() : m_pData(nullptr), m_lSize(0), m_lPos(0), m_bBackward(0) {}

QvStartCode::QvStartCode(unsigned char* pData, int32_t lSize, int bBackward) {
    Init(pData, lSize, bBackward);
}

QvStartCode& QvStartCode::operator=(const QvStartCode& other) {
    m_pData = other.m_pData;
    m_lSize = other.m_lSize;
    m_lPos = other.m_lPos;
    m_bBackward = other.m_bBackward;
    return *this;
}

void QvStartCode::Init(unsigned char* pData, int32_t lSize, int bBackward) {
    m_pData = pData;
    m_lSize = lSize;
    m_bBackward = bBackward;
    m_lPos = bBackward ? lSize : 0;
}

uint32_t QvStartCode::Next() {
    if (!m_pData) return 0;
    // The static scanners with width 4, without their set-up for other widths; a start code
    // right at the cursor (codes back to back) needs no search at all.
    if (!m_bBackward) {
        const int32_t n = m_lSize - m_lPos;
        if (n < 4) return 0;
        const unsigned char* p = m_pData + m_lPos;
        const int32_t j = (p[0] | p[1] | (p[2] ^ 1)) == 0 ? 0 : qv::scan::FirstStartCode(p, n);
        if (j < 0) {
            m_lPos = m_lSize - 3;
            return 0;
        }
        m_lPos += j;
        return kStartValue | p[j + 3];
    }
    if (m_lPos < 4) return 0;
    const unsigned char* end = m_pData + m_lPos;
    const int32_t j = (end[-4] | end[-3] | (end[-2] ^ 1)) == 0 ? m_lPos - 4
                                                               : qv::scan::LastStartCode(m_pData, m_lPos);
    if (j < 0) {
        m_lPos = 3;
        return 0;
    }
    m_lPos = j;
    return kStartValue | m_pData[j + 3];
}

uint32_t QvStartCode::Find(uint32_t dwCode) {
    for (;;) {
        const uint32_t code = Next();
        if (code == 0) return 0;
        if (code == dwCode) return code;
        Skip();
    }
}

int QvStartCode::Skip() {
    if (!m_bBackward) m_lPos += 4;
    return 1;
}

uint32_t QvStartCode::Next(unsigned char* pData, int32_t lSize, int32_t& lPos, int nWidth,
                           uint32_t dwValue, uint32_t dwMask) {
    if (nWidth < 1 || lSize < nWidth) {
        lPos = 0;
        return 0;
    }
    uint32_t w = 0;
    int32_t i = 0;
    for (; i < nWidth - 1; ++i) w = (w << 8) | pData[i];
    // Up to offset 2 the window still holds zeros above the first bytes; from offset 3 on it
    // is exactly the four bytes ending at i, which the window search handles.
    for (; i < lSize && i < 3; ++i) {
        w = (w << 8) | pData[i];
        if ((w & dwMask) == dwValue) {
            lPos = i - nWidth + 1;
            return w;
        }
    }
    if (i < lSize) {
        const int32_t from = i - 3;
        const int32_t j = qv::scan::First4(pData + from, lSize - from, dwMask, dwValue);
        if (j >= 0) {
            lPos = from + j + 4 - nWidth;
            return qv::scan::Be32(pData + from + j);
        }
    }
    lPos = lSize - nWidth + 1;
    return 0;
}

uint32_t QvStartCode::Last(unsigned char* pEnd, int32_t lSize, int32_t& lDistance, int nWidth,
                           uint32_t dwValue, uint32_t dwMask) {
    if (nWidth < 1 || lSize < nWidth) {
        lDistance = 0;
        return 0;
    }
    const unsigned char* begin = pEnd - lSize;
    uint32_t w = 0;
    for (int k = nWidth; k >= 1; --k) w = (w << 8) | pEnd[-k];
    int32_t c = lSize - nWidth;  // offset of the window's first byte from begin
    // Unless the width is 4, the first steps back keep bytes that are not the four from c
    // on; after four steps the window is exactly those, which the window search handles.
    for (int step = 0; nWidth != 4 && step < 4; ++step) {
        if ((w & dwMask) == dwValue) {
            lDistance = lSize - c;
            return w;
        }
        if (c == 0) {
            lDistance = lSize - nWidth + 1;
            return 0;
        }
        --c;
        w = (w >> 8) | (uint32_t{begin[c]} << 24);
    }
    const int32_t j = qv::scan::Last4(begin, c + 4, dwMask, dwValue);
    if (j >= 0) {
        lDistance = lSize - j;
        return qv::scan::Be32(begin + j);
    }
    lDistance = lSize - nWidth + 1;
    return 0;
}

int QvStartCode::RemoveRaceBytes(unsigned char* pInput, int32_t lLength, unsigned char* pOutput) {
    if (lLength < 4) {
        if (lLength > 0) std::memcpy(pOutput, pInput, static_cast<size_t>(lLength));
        return lLength;
    }
    int32_t src = 0;   // next input byte to copy
    int32_t from = 0;  // next window to test
    unsigned char* out = pOutput;
    while (lLength - from >= 4) {
        const int32_t j = FindRace(pInput, from, lLength, kRaceMask, kRaceValue);
        const int32_t copyTo = CopyEnd(j, from, lLength);
        qv::CopyBytes(out, pInput + src, static_cast<size_t>(copyTo - src));
        out += copyTo - src;
        src = copyTo;
        if (j < 0) {
            from = copyTo;
            continue;
        }
        *out++ = kEscapeByte;
        // The windows at j + 1 .. j + 3 hold 01 or the byte F0..FF where a 00 must be.
        from = j + 4;
    }
    qv::CopyBytes(out, pInput + src, static_cast<size_t>(lLength - src));
    out += lLength - src;
    return static_cast<int>(out - pOutput);
}

int QvStartCode::RestoreRaceBytes(unsigned char* pInput, int32_t lLength, unsigned char* pOutput) {
    if (lLength < 4) {
        if (lLength > 0 && pOutput != pInput)
            std::memmove(pOutput, pInput, static_cast<size_t>(lLength));
        return lLength;
    }
    // In place the output trails the input, so runs are moved, and not at all until the
    // first escape byte has been dropped.
    int32_t src = 0, from = 0;
    unsigned char* out = pOutput;
    while (lLength - from >= 4) {
        const int32_t j = FindRace(pInput, from, lLength, 0xFFFFFFFF, kEscaped);
        const int32_t copyTo = CopyEnd(j, from, lLength);
        if (out != pInput + src) qv::MoveBytesDown(out, pInput + src, static_cast<size_t>(copyTo - src));
        out += copyTo - src;
        src = copyTo;
        if (j < 0) {
            from = copyTo;
            continue;
        }
        // Drop the FF at j + 3. The byte after it is copied unexamined, so the window at j + 4
        // never counts, and j + 1 .. j + 3 cannot match.
        src = j + 4;
        from = j + 5;
    }
    if (src < lLength) {
        if (out != pInput + src) qv::MoveBytesDown(out, pInput + src, static_cast<size_t>(lLength - src));
        out += lLength - src;
    }
    return static_cast<int>(out - pOutput);
}

#pragma once

#include "QvBuffer.h"

// Base64 text (RFC 4648 alphabet, "=" padding, no line breaks) to and from bytes.
//
// Static forms write into memory the caller owns and sizes: Encode writes 4 * ceil(n / 3)
// characters and a NUL; Decode writes at most 3 * n / 4 bytes and a zero byte, so n + 1
// bytes always do. Both return the count written before the terminator, 0 for n < 1
// (only the terminator is written). They keep no state and may run on any thread.
//
// Decoding is lenient: every character outside the alphabet (bytes 0x80..0xFF, spaces and
// line breaks included) is skipped, "=" in the third or fourth place of a group of four
// ends the text while in the first or second place it is skipped, and the bits of an
// incomplete last byte are dropped. Malformed text is never reported.
//
// Member forms write into m_Buffer, taking (4 * n) / 3 + 6 bytes (Encode) or n + 1 bytes
// (Decode) only when its block is smaller, and leave the length to their return value;
// m_Buffer.m_lSize is not touched. GetString() is the start of the last result. A 0
// result means n was 0 (nothing changes), the allocation failed (the codec then holds no
// block and GetString() is null), or, from Decode, that the text held no whole byte.
// Negative n, and lengths whose room does not fit in 32 bits, also return 0 unchanged.
class QV_API QvBase64 {
public:
    QvBase64();
    ~QvBase64();
    // The copy takes a block of its own, or is left without one when that allocation fails.
    QvBase64(const QvBase64& other);
    QvBase64& operator=(const QvBase64& other);

    static int Encode(const char* src, int32_t n, char* dst);
    static int Decode(const char* src, int32_t n, char* dst);

    int Encode(const char* src, int32_t n);
    int Decode(const char* src, int32_t n);

    // NUL-terminated text after Encode; the bytes and a zero byte after Decode; null on a
    // new codec and after a failed allocation. Valid until the next member call.
    const char* GetString() const;

    QvBuffer m_Buffer;
};

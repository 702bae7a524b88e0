#pragma once

#include "QvBuffer.h"

struct MD5Context;

// MD5 (RFC 1321) of a message given in pieces: Init, any number of Append, Final, then
// GetBuffer (16 bytes) or GetString (32 upper-case hex digits) as often as wanted.
//
// Init allocates the object's context and a 16-byte digest block in its buffer; the object
// owns both until the next Init or its destruction. 0 from Init (out of memory) leaves it
// without a context, and without one Append and Final return 0, GetString "" and GetBuffer
// null. Append only reads the caller's bytes. Final stores the digest and wipes the
// context, so Append or Final after it (without Init) works on zeros, not on the message;
// a new Init keeps the last digest readable until the next Final.
// Copies are deep (a copy that cannot allocate has no context); moves hand everything over.
//
// Encode and Check need no object and allocate nothing: Encode writes exactly 16 bytes to
// memory the caller sizes (nOutSize >= 16); Check compares with exactly 16 expected bytes.
// Both refuse a null or empty range with 0 (so neither covers the empty message).
class QV_API QvMD5 {
public:
    static const int MD5_SIZE = 16;

    QvMD5();
    QvMD5(const QvMD5& other);
    QvMD5(QvMD5&& other) noexcept;
    QvMD5& operator=(const QvMD5& other);
    QvMD5& operator=(QvMD5&& other) noexcept;
    ~QvMD5();

    int Init();
    // A negative count is refused with 0; a count of 0 reads nothing.
    int Append(unsigned char* pData, int32_t nSize);
    int Final();
    CString GetString();
    const QvBuffer* GetBuffer();

    static int Encode(unsigned char* pData, int32_t nSize, unsigned char* pOut, int32_t nOutSize);
    static int Check(unsigned char* pData, int32_t nSize, unsigned char* pDigest,
                     int32_t nDigestSize);

private:
    void Destroy();

    MD5Context* m_pContext;
    QvBuffer m_Buffer;
};

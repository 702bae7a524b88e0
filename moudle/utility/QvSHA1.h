#pragma once

#include "QvBuffer.h"

struct SHA1Context;

// SHA-1 (FIPS 180-1) of a message given in pieces: Init, any number of Append, Final, then
// GetBuffer (20 bytes) or GetString (40 upper-case hex digits) as often as wanted.
//
// The lifecycle is QvMD5's: Init allocates the context and a 20-byte digest block and the
// object owns both; without a context (new object, failed Init) Append and Final return 0,
// GetString "" and GetBuffer null. Final wipes the context, so Append or Final after it
// (without Init) works on zeros; a new Init keeps the last digest readable until the next
// Final. Copies are deep (a copy that cannot allocate has no context); moves hand over.
class QV_API QvSHA1 {
public:
    QvSHA1();
    QvSHA1(const QvSHA1& other);
    QvSHA1(QvSHA1&& other) noexcept;
    QvSHA1& operator=(const QvSHA1& other);
    QvSHA1& operator=(QvSHA1&& other) noexcept;
    ~QvSHA1();

    int Init();
    // A negative count is refused with 0; a count of 0 reads nothing.
    int Append(unsigned char* pData, int32_t nSize);
    int Final();
    CString GetString();
    const QvBuffer* GetBuffer();

private:
    void Destroy();

    SHA1Context* m_pContext;
    QvBuffer m_Buffer;
};

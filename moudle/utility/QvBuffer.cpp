#include "QvBuffer.h"

#include "internal/QvCopy.h"

#include <cstring>
#include <new>
#include <utility>

const int QvBuffer::FLAGS_DELETE;

namespace {

// Exactly n bytes, not cleared; null for failure and for sizes no block can have.
unsigned char* NewBlock(int32_t n) {
    if (n < 0) return nullptr;
    return new (std::nothrow) unsigned char[static_cast<size_t>(n)];
}

void CopyBytes(unsigned char* dst, const unsigned char* src, int32_t n) {
    if (n > 0) qv::CopyBytes(dst, src, static_cast<size_t>(n));
}

}  // namespace

QvBuffer::QvBuffer() {
    MakeEmpty();
}

QvBuffer::QvBuffer(const QvBuffer& other) : QvData() {
    MakeEmpty();
    CopyBlockOf(other);
}

QvBuffer::QvBuffer(QvBuffer&& other) noexcept : QvData() {
    MakeEmpty();
    TakeFieldsOf(other);
}

QvBuffer& QvBuffer::operator=(const QvBuffer& other) {
    if (this != &other) {
        Free();
        CopyBlockOf(other);
    }
    return *this;
}

QvBuffer& QvBuffer::operator=(QvBuffer&& other) noexcept {
    if (this != &other) {
        Free();
        TakeFieldsOf(other);
    }
    return *this;
}

QvBuffer::~QvBuffer() {
    Free();
}

void QvBuffer::Release() {
    if (m_nFlags == FLAGS_DELETE && m_pData) delete[] m_pData;
}

void QvBuffer::MakeEmpty() {
    m_pData = nullptr;
    m_lSize = 0;
    m_nFlags = FLAGS_DELETE;
    m_lCapacity = 0;
    m_lOffset = 0;
}

// Expects an empty target. A wrapping source yields a second view of the same memory; an
// owning one a block of its own with the whole block copied, so either layout survives.
void QvBuffer::CopyBlockOf(const QvBuffer& other) {
    if (other.m_nFlags != FLAGS_DELETE || !other.m_pData) {
        m_pData = other.m_pData;
        m_lSize = other.m_lSize;
        m_nFlags = other.m_nFlags;
        m_lCapacity = other.m_lCapacity;
        m_lOffset = other.m_lOffset;
        return;
    }
    unsigned char* block = NewBlock(other.m_lCapacity);
    if (!block) return;
    CopyBytes(block, other.m_pData, other.m_lCapacity);
    m_pData = block;
    m_lSize = other.m_lSize;
    m_lCapacity = other.m_lCapacity;
    m_lOffset = other.m_lOffset;
}

void QvBuffer::TakeFieldsOf(QvBuffer& other) {
    m_pData = other.m_pData;
    m_lSize = other.m_lSize;
    m_nFlags = other.m_nFlags;
    m_lCapacity = other.m_lCapacity;
    m_lOffset = other.m_lOffset;
    other.MakeEmpty();
}

int QvBuffer::Alloc(int32_t size) {
    if (m_pData && m_lCapacity >= size) return 1;
    Release();
    MakeEmpty();
    unsigned char* block = NewBlock(size);
    if (!block) return 0;
    m_pData = block;
    m_lCapacity = size;
    return 1;
}

int QvBuffer::Realloc(int32_t size) {
    if (m_pData && m_lCapacity >= size) return 1;
    unsigned char* block = NewBlock(size);
    if (!block) return 0;
    if (m_pData) CopyBytes(block, m_pData, m_lSize);
    Release();
    m_pData = block;
    m_lCapacity = size;
    m_nFlags = FLAGS_DELETE;
    return 1;
}

int QvBuffer::CopyFrom(const char* psz) {
    return CopyFrom(reinterpret_cast<const unsigned char*>(psz),
                    psz ? static_cast<int32_t>(std::strlen(psz)) : 0);
}

int QvBuffer::CopyFrom(const QvData& data) {
    return CopyFrom(data.m_pData, data.m_lSize);
}

int QvBuffer::CopyFrom(const unsigned char* p, int32_t n) {
    // A null source has no bytes to give, whatever length comes with it.
    if (!p) n = 0;
    if (n != 0) {
        if (!Alloc(n)) return 0;
        CopyBytes(m_pData, p, n);
    }
    m_lSize = n;
    return 1;
}

int QvBuffer::AddGrowing(const unsigned char* p, int32_t n) {
    const int64_t need = static_cast<int64_t>(m_lSize) + n;
    if (need > INT32_MAX || !Realloc(static_cast<int32_t>(need))) return 0;
    CopyBytes(m_pData + m_lSize, p, n);
    m_lSize = static_cast<int32_t>(need);
    return 1;
}

int QvBuffer::ReverseAdd(const unsigned char* p, int32_t n) {
    if (!p) return 0;
    if (n <= 0) return 1;
    const int64_t need64 = static_cast<int64_t>(m_lSize) + n;
    if (need64 > INT32_MAX) return 0;
    const int32_t need = static_cast<int32_t>(need64);
    if (need > m_lCapacity) {
        unsigned char* block = NewBlock(need);
        if (!block) return 0;
        if (m_pData) CopyBytes(block + need - m_lSize, m_pData + m_lCapacity - m_lSize, m_lSize);
        Release();
        m_pData = block;
        m_lCapacity = need;
        m_nFlags = FLAGS_DELETE;
    }
    CopyBytes(m_pData + m_lCapacity - m_lSize - n, p, n);
    m_lSize = need;
    return 1;
}

unsigned char* QvBuffer::End() {
    return m_pData ? m_pData + m_lCapacity : nullptr;
}

void QvBuffer::Reset() {
    m_lSize = 0;
    m_lOffset = 0;
}

void QvBuffer::Free() {
    Release();
    MakeEmpty();
}

void QvBuffer::ClearDeleteFlag() {
    m_nFlags = 0;
}

void QvBuffer::Rewind() {
    if (m_lOffset == 0) return;
    const int32_t rest = m_lSize - m_lOffset;
    if (rest > 0) qv::MoveBytesDown(m_pData, m_pData + m_lOffset, static_cast<size_t>(rest));
    m_lSize = rest;
    m_lOffset = 0;
}

void QvBuffer::SetData(QvData& data) {
    SetData(data.m_pData, data.m_lSize);
}

void QvBuffer::SetData(unsigned char* p, int32_t n) {
    Release();
    m_pData = p;
    m_lSize = n;
    m_lCapacity = n;
    m_lOffset = 0;
    m_nFlags = 0;
}

int QvBuffer::Exchange(QvBuffer* pOther) {
    std::swap(m_pData, pOther->m_pData);
    std::swap(m_lSize, pOther->m_lSize);
    std::swap(m_nFlags, pOther->m_nFlags);
    std::swap(m_lCapacity, pOther->m_lCapacity);
    std::swap(m_lOffset, pOther->m_lOffset);
    return 1;
}

#pragma once

#include "QvData.h"

#include <cstring>

// A byte view that can own its block.
//
// Ownership: the buffer owns at most one block (m_nFlags == FLAGS_DELETE) and releases it
// with delete[]; memory handed in with SetData is wrapped, never owned or freed. Ownership
// moves with Exchange or a move, and is given up with ClearDeleteFlag. A copy of an owning
// buffer takes a block of its own (or is left empty when that allocation fails).
//
// Layouts: CopyFrom, Add, Realloc and Rewind keep the valid bytes at the front of the
// block; ReverseAdd keeps them at the back, ending at End(). No call moves bytes from one
// layout to the other.
//
// Sizes: blocks are exactly as large as asked for, never cleared, never shrunk. Every call
// that allocates reports failure as 0; nothing throws.
class QV_API QvBuffer : public QvData {
public:
    static const int FLAGS_DELETE = 1;

    QvBuffer();
    QvBuffer(const QvBuffer& other);
    QvBuffer(QvBuffer&& other) noexcept;
    QvBuffer& operator=(const QvBuffer& other);
    QvBuffer& operator=(QvBuffer&& other) noexcept;
    virtual ~QvBuffer();

    // Room for size bytes. Keeps everything when the block is large enough; otherwise the
    // old contents are dropped and a new block of exactly size bytes is taken (0 on
    // failure, leaving the buffer empty).
    int Alloc(int32_t size);
    // Room for size bytes, keeping the valid bytes and m_lOffset. 0 on failure, unchanged.
    int Realloc(int32_t size);

    // Replace the contents (front layout). 0 only when allocation fails; the buffer is then
    // empty. m_lOffset is kept unless a new block was needed.
    int CopyFrom(const char* psz);
    int CopyFrom(const QvData& data);
    int CopyFrom(const unsigned char* p, int32_t n);

    // Append (front layout). 0 on failure, buffer unchanged.
    int Add(const QvData& data) { return Add(data.m_pData, data.m_lSize); }
    int Add(const unsigned char* p, int32_t n) {
        // Appending a short piece into reserved room is the hot case: no call, just the copy.
        // Long pieces take the general path, which keeps clear of a slow path of the C
        // library's long copies (a negative n reads as huge here and goes there too).
        const int32_t size = m_lSize;
        if (m_pData && static_cast<uint32_t>(n) <= static_cast<uint32_t>(m_lCapacity - size) && n <= 1024) {
            if (n) std::memcpy(m_pData + size, p, static_cast<size_t>(n));
            m_lSize = size + n;
            return 1;
        }
        return AddGrowing(p, n);
    }

    // Prepend in front of the valid bytes (back layout). 0 for a null source or when
    // allocation fails, 1 with nothing changed for n <= 0.
    int ReverseAdd(const unsigned char* p, int32_t n);

    // One past the last byte of the block; null without a block.
    unsigned char* End();

    void Reset();
    void Free();
    void ClearDeleteFlag();
    // Drops the m_lOffset consumed bytes, moving the rest to the front of the block.
    void Rewind();
    // Wraps caller memory without owning it; an owned block is released first.
    void SetData(QvData& data);
    void SetData(unsigned char* p, int32_t n);
    // Swaps all five fields, ownership included. Always 1.
    int Exchange(QvBuffer* pOther);

    int32_t m_nFlags;
    int32_t m_lCapacity;
    int32_t m_lOffset;

private:
    int AddGrowing(const unsigned char* p, int32_t n);
    void Release();
    void MakeEmpty();
    void CopyBlockOf(const QvBuffer& other);
    void TakeFieldsOf(QvBuffer& other);
};

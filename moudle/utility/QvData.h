#pragma once

#include "QvDefs.h"

// A non-owning view of bytes: where they start and how many there are. Whoever fills it in
// keeps the bytes alive while the view is used; nothing here allocates or frees.
class QV_API QvData {
public:
    QvData() : m_pData(nullptr), m_lSize(0) {}
    QvData(const QvData&) = default;
    QvData& operator=(const QvData&) = default;

    // 1 when the view has bytes: a non-null pointer and a non-zero size.
    int IsValid() const;

    // 1 when the other view describes the same bytes. A null argument stands for an empty
    // view, and a view with a null pointer matches any view of the same size without a
    // byte being read.
    int IsSameData(const QvData* pOther) const;

    unsigned char* m_pData;
    int32_t m_lSize;
};

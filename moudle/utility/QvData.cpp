#include "QvData.h"

#include <cstring>

int QvData::IsValid() const {
    return m_pData != nullptr && m_lSize != 0;
}

int QvData::IsSameData(const QvData* pOther) const {
    if (!pOther) return !IsValid();
    if (m_lSize != pOther->m_lSize) return 0;
    if (!m_pData || !pOther->m_pData || m_lSize == 0 || m_pData == pOther->m_pData) return 1;
    // Equal negative sizes lie outside the model; they compare as different.
    if (m_lSize < 0) return 0;
    return std::memcmp(m_pData, pOther->m_pData, static_cast<size_t>(m_lSize)) == 0;
}

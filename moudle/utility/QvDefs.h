#pragma once

// Common ground for every QvUtility header: the export macro, fixed-width types and the
// two platform types the classes use (CRect, CString). With MFC on Windows those are the
// framework's own; everywhere else small stand-ins with the same spelling live here.

#include <cstdint>

#if defined(_WIN32)
#  if defined(QV_STATIC)
#    define QV_API
#  elif defined(QV_BUILDING)
#    define QV_API __declspec(dllexport)
#  else
#    define QV_API __declspec(dllimport)
#  endif
#else
#  define QV_API __attribute__((visibility("default")))
#endif

#if defined(_WIN32) && defined(_AFXDLL)
#  include <afxwin.h>
#else

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

// Integer rectangle: only the four public fields are part of the contract.
class CRect {
public:
    int32_t left, top, right, bottom;

    CRect() : left(0), top(0), right(0), bottom(0) {}
    CRect(int32_t l, int32_t t, int32_t r, int32_t b) : left(l), top(t), right(r), bottom(b) {}
    bool operator==(const CRect& o) const {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
    bool operator!=(const CRect& o) const { return !(*this == o); }
};

// Narrow string with the MFC members the library and its callers use. It never throws:
// when memory runs out an operation leaves the string empty (Format, copies) or unchanged
// (operator+=), as the library promises to report failure without exceptions.
class CString {
public:
    CString() : m_psz(nullptr), m_nLength(0) {}
    CString(const char* psz) : m_psz(nullptr), m_nLength(0) { Assign(psz, Len(psz)); }
    CString(const CString& o) : m_psz(nullptr), m_nLength(0) { Assign(o.m_psz, o.m_nLength); }
    CString(CString&& o) noexcept : m_psz(o.m_psz), m_nLength(o.m_nLength) {
        o.m_psz = nullptr;
        o.m_nLength = 0;
    }
    ~CString() { delete[] m_psz; }

    CString& operator=(const CString& o) {
        if (this != &o) {
            CString copy(o);
            Swap(copy);
        }
        return *this;
    }
    CString& operator=(CString&& o) noexcept {
        Swap(o);
        return *this;
    }
    CString& operator=(const char* psz) {
        CString copy(psz);
        Swap(copy);
        return *this;
    }

    CString& operator+=(const char* psz) {
        Append(psz, Len(psz));
        return *this;
    }
    CString& operator+=(const CString& o) {
        Append(o.m_psz, o.m_nLength);
        return *this;
    }

#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void Format(const char* fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        char small[64];
        va_list again;
        va_copy(again, ap);
        int n = vsnprintf(small, sizeof small, fmt, ap);
        va_end(ap);
        Clear();
        if (n >= 0) {
            if (n < static_cast<int>(sizeof small)) {
                Assign(small, n);
            } else if (char* p = new (std::nothrow) char[static_cast<size_t>(n) + 1]) {
                vsnprintf(p, static_cast<size_t>(n) + 1, fmt, again);
                m_psz = p;
                m_nLength = n;
            }
        }
        va_end(again);
    }

    int GetLength() const { return m_nLength; }
    bool IsEmpty() const { return m_nLength == 0; }
    void Empty() { Clear(); }
    operator const char*() const { return m_psz ? m_psz : ""; }

    bool operator==(const CString& o) const {
        return m_nLength == o.m_nLength && std::memcmp(*this, o, static_cast<size_t>(m_nLength)) == 0;
    }
    bool operator==(const char* psz) const { return std::strcmp(*this, psz ? psz : "") == 0; }
    bool operator!=(const CString& o) const { return !(*this == o); }
    bool operator!=(const char* psz) const { return !(*this == psz); }

private:
    static int Len(const char* psz) { return psz ? static_cast<int>(std::strlen(psz)) : 0; }
    void Clear() {
        delete[] m_psz;
        m_psz = nullptr;
        m_nLength = 0;
    }
    void Swap(CString& o) {
        char* p = m_psz;
        int n = m_nLength;
        m_psz = o.m_psz;
        m_nLength = o.m_nLength;
        o.m_psz = p;
        o.m_nLength = n;
    }
    void Assign(const char* src, int n) {
        Clear();
        if (n > 0) Append(src, n);
    }
    void Append(const char* src, int n) {
        if (n <= 0) return;
        char* p = new (std::nothrow) char[static_cast<size_t>(m_nLength) + n + 1];
        if (!p) return;
        if (m_nLength) std::memcpy(p, m_psz, static_cast<size_t>(m_nLength));
        std::memcpy(p + m_nLength, src, static_cast<size_t>(n));
        p[m_nLength + n] = '\0';
        delete[] m_psz;
        m_psz = p;
        m_nLength += n;
    }

    char* m_psz;  // null while empty
    int m_nLength;
};

#endif

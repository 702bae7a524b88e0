#include "QvRectF.h"

#include <cmath>

// Results here are compared bit for bit, so this file is built without fast-math and
// without contracting products into fused multiply-adds (see CMakeLists.txt). Every test
// is written with the strict comparison it needs: std::min/max/clamp and fmin/fmax differ
// on ties, signed zeros and NaN.

namespace {

// Truncation toward zero. The conversion itself is undefined outside int32_t, so those
// products saturate, and a NaN (which has no integer) becomes 0.
int32_t TruncToInt32(double v) {
    if (v != v) return 0;
    if (v <= -2147483649.0) return INT32_MIN;
    if (v >= 2147483648.0) return INT32_MAX;
    return static_cast<int32_t>(v);
}

void Clamp01(double& v) {
    if (v < 0.0) {
        v = 0.0;
    } else if (v > 1.0) {
        v = 1.0;
    }
}

// Equal edges stay where they are: 0.0 and -0.0 keep their places.
void Order(double& lo, double& hi) {
    if (hi < lo) {
        const double t = lo;
        lo = hi;
        hi = t;
    }
}

}  // namespace

int QvRectF::operator==(const QvRectF& other) {
    return m_dLeft == other.m_dLeft && m_dRight == other.m_dRight && m_dTop == other.m_dTop &&
           m_dBottom == other.m_dBottom;
}

double QvRectF::Width() {
    return m_dRight - m_dLeft;
}

double QvRectF::Height() {
    return m_dBottom - m_dTop;
}

int QvRectF::IsEmpty() {
    return m_dRight <= m_dLeft || m_dBottom <= m_dTop;
}

void QvRectF::Empty() {
    m_dLeft = m_dTop = m_dRight = m_dBottom = 0.0;
}

void QvRectF::Full() {
    m_dLeft = m_dTop = 0.0;
    m_dRight = m_dBottom = 1.0;
}

void QvRectF::Offset(double dx, double dy) {
    m_dLeft += dx;
    m_dRight += dx;
    m_dTop += dy;
    m_dBottom += dy;
}

void QvRectF::Ratio(double sx, double sy) {
    m_dLeft *= sx;
    m_dRight *= sx;
    m_dTop *= sy;
    m_dBottom *= sy;
}

void QvRectF::Swap() {
    Order(m_dLeft, m_dRight);
    Order(m_dTop, m_dBottom);
}

void QvRectF::ClipF(double& v) {
    Clamp01(v);
}

// Clamping first means an inverted rectangle reaching outside the square still ends up
// normalised and inside it.
void QvRectF::Clip() {
    Clamp01(m_dLeft);
    Clamp01(m_dRight);
    Clamp01(m_dTop);
    Clamp01(m_dBottom);
    Swap();
}

CRect QvRectF::GetRect(int32_t width, int32_t height) {
    return static_cast<const QvRectF*>(this)->GetRect(width, height);
}

CRect QvRectF::GetRect(int32_t width, int32_t height) const {
    const double w = width, h = height;
    return CRect(TruncToInt32(m_dLeft * w), TruncToInt32(m_dTop * h), TruncToInt32(m_dRight * w),
                 TruncToInt32(m_dBottom * h));
}

void QvRectF::SetRect(const CRect& rc, int32_t width, int32_t height) {
    if (width == 0 || height == 0) return;
    const double w = width, h = height;
    m_dLeft = rc.left / w;
    m_dRight = rc.right / w;
    m_dTop = rc.top / h;
    m_dBottom = rc.bottom / h;
}

int QvRectF::Fit(const QvRectF& other, double tolerance) {
    // Tested as "not less than", so that a NaN difference or tolerance fails too.
    const double d[4] = {other.m_dLeft - m_dLeft, other.m_dRight - m_dRight, other.m_dTop - m_dTop,
                         other.m_dBottom - m_dBottom};
    for (double e : d) {
        if (!(std::fabs(e) < tolerance)) return 0;
    }
    return 1;
}

int QvRectF::Intersection(const QvRectF& other, QvRectF& out) {
    // Every input is read before out is written: out may be either input.
    const double l = other.m_dLeft < m_dLeft ? m_dLeft : other.m_dLeft;
    const double r = other.m_dRight < m_dRight ? other.m_dRight : m_dRight;
    const double t = other.m_dTop < m_dTop ? m_dTop : other.m_dTop;
    const double b = other.m_dBottom < m_dBottom ? other.m_dBottom : m_dBottom;
    if (l >= r || t >= b) {
        out.Empty();
        return 0;
    }
    out.m_dLeft = l;
    out.m_dRight = r;
    out.m_dTop = t;
    out.m_dBottom = b;
    return 1;
}

double QvRectF::Match(const QvRectF& other) {
    QvRectF overlap;
    if (!Intersection(other, overlap)) return 0.0;
    const double iw = overlap.m_dRight - overlap.m_dLeft, ih = overlap.m_dBottom - overlap.m_dTop;
    const double aw = m_dRight - m_dLeft, ah = m_dBottom - m_dTop;
    const double bw = other.m_dRight - other.m_dLeft, bh = other.m_dBottom - other.m_dTop;
    const double area = iw * ih;
    double a, b;
    if (area != 0.0) {
        a = area / (ah * aw);
        b = area / (bh * bw);
    } else {
        // The overlap is so small that its area underflowed (and so may this area or the
        // other's, giving 0/0). Comparing side by side keeps the score 1.0 for containment
        // and within 0..1 otherwise; a ratio beyond the double range still underflows to 0.
        a = (iw / aw) * (ih / ah);
        b = (iw / bw) * (ih / bh);
    }
    return a > b ? a : b;
}

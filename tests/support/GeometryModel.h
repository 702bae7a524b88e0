#pragma once

// What must hold between two QvRectF and an integer area, with a small reference of the
// overlap rules, and a source of coordinates that favours what breaks such code: ties,
// signed zeros, NaN, infinities, extremes and arbitrary bit patterns. The unit tests draw
// from a seeded generator, the fuzzer from its input.

#include "QvRectF.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

namespace qvmodel {

// Bit for bit, so -0.0 and NaN count.
inline bool Same(const QvRectF& a, const QvRectF& b) { return !std::memcmp(&a, &b, sizeof a); }
inline double* Edges(QvRectF& r) { return &r.m_dLeft; }

inline std::string Describe(const QvRectF& r) {
    char s[128];
    std::snprintf(s, sizeof s, "(%a, %a, %a, %a)", r.m_dLeft, r.m_dTop, r.m_dRight, r.m_dBottom);
    return s;
}

// The reference truncation: trunc first, then saturate; NaN gives 0.
inline int32_t Trunc32(double p) {
    const double t = std::trunc(p);
    return std::isnan(p) ? 0 : t > INT32_MAX ? INT32_MAX : t < INT32_MIN ? INT32_MIN : int32_t(t);
}

inline double Coordinate(const std::function<uint32_t()>& next) {
    const double wild[] = {NAN, -NAN, INFINITY, -INFINITY, DBL_MAX, -DBL_MAX, 1e300, -1e-300,
                           std::numeric_limits<double>::denorm_min(), 2147483648.0, -2147483649.0};
    const uint32_t r = next();
    if (r % 8 == 0) return r & 8 ? -0.0 : 0.0;
    if (r % 8 == 1) return wild[(r >> 3) % (sizeof wild / sizeof *wild)];
    if (r % 8 == 2) {
        const uint64_t bits = uint64_t{next()} << 32 | next();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    if (r % 8 == 3) return ((r >> 3) % 65536 * 3.0 - 65536.0) / 65536.0;  // fine steps in -1..2
    return static_cast<int>((r >> 3) % 25) / 8.0 - 1.0;                  // coarse: many ties
}

// The overlap of t and o by the rules: the larger left and top (o's on a tie), the smaller
// right and bottom (t's on a tie), and nothing unless it has positive width and height.
inline QvRectF Overlap(const QvRectF& t, const QvRectF& o) {
    const QvRectF r(t.m_dLeft > o.m_dLeft ? t.m_dLeft : o.m_dLeft,
                    t.m_dTop > o.m_dTop ? t.m_dTop : o.m_dTop,
                    o.m_dRight < t.m_dRight ? o.m_dRight : t.m_dRight,
                    o.m_dBottom < t.m_dBottom ? o.m_dBottom : t.m_dBottom);
    return r.m_dLeft >= r.m_dRight || r.m_dTop >= r.m_dBottom ? QvRectF() : r;
}

// "" when everything holds for a and b, else what failed.
inline std::string Check(QvRectF a, QvRectF b, int32_t w, int32_t h) {
    // Tame: multiples of 2^-16 in -4..4, so no side, area or score comes near under- or
    // overflow and the score's range can be asserted.
    bool finite = true, tame = true, nan = false;
    for (int k = 0; k < 8; ++k) {
        const double v = Edges(k < 4 ? a : b)[k % 4];
        finite = finite && std::isfinite(v);
        tame = tame && std::fabs(v) <= 4 && std::ldexp(v, 16) == std::trunc(std::ldexp(v, 16));
        nan = nan || std::isnan(v);
    }
    QvRectF apart, intoThis = a, intoOther = b, self = a;
    const int n = a.Intersection(b, apart);
    const QvRectF want = Overlap(a, b);
    if (n != !Same(want, QvRectF()) || !Same(apart, want)) return "overlap " + Describe(apart);
    if (intoThis.Intersection(b, intoThis) != n || !Same(intoThis, apart)) return "into this";
    if (a.Intersection(intoOther, intoOther) != n || !Same(intoOther, apart)) return "into other";
    if (self.Intersection(self, self) != !a.IsEmpty() || !Same(self, a.IsEmpty() ? QvRectF() : a))
        return "Intersection with itself";

    const double m = a.Match(b), mSwapped = b.Match(a);
    if (finite && std::memcmp(&m, &mSwapped, sizeof m) && !(std::isnan(m) && std::isnan(mSwapped)))
        return "Match not symmetric";
    if (tame && (n ? !(m > 0.0 && m <= 1.0) : m != 0.0)) return "Match " + std::to_string(m);
    const auto contains = [](const QvRectF& o, const QvRectF& i) {
        return o.m_dLeft <= i.m_dLeft && i.m_dRight <= o.m_dRight && o.m_dTop <= i.m_dTop &&
               i.m_dBottom <= o.m_dBottom;
    };
    if (tame && n && (contains(a, b) || contains(b, a)) && m != 1.0) return "Match of nested";

    QvRectF c = a;
    c.Clip();
    if (!nan && !(0.0 <= c.m_dLeft && c.m_dLeft <= c.m_dRight && c.m_dRight <= 1.0 &&
                  0.0 <= c.m_dTop && c.m_dTop <= c.m_dBottom && c.m_dBottom <= 1.0))
        return "Clip gave " + Describe(c);

    const CRect rc(Trunc32(a.m_dLeft * w), Trunc32(a.m_dTop * h), Trunc32(a.m_dRight * w),
                   Trunc32(a.m_dBottom * h));
    const QvRectF& constA = a;
    if (!(a.GetRect(w, h) == rc) || !(constA.GetRect(w, h) == rc))
        return "GetRect(" + std::to_string(w) + ", " + std::to_string(h) + ")";
    return "";
}

// Draws a pair and an area from next() and checks them, naming the inputs on failure.
inline std::string CheckRandom(const std::function<uint32_t()>& next) {
    QvRectF a, b;
    for (int k = 0; k < 8; ++k) Edges(k < 4 ? a : b)[k % 4] = Coordinate(next);
    const uint32_t r = next();
    const int32_t side[] = {0, 1, -1, 3, 640, 1080, INT32_MAX, INT32_MIN, int32_t(r >> 4)};
    const std::string d = Check(a, b, side[r % 9], side[(r >> 4) % 9]);
    return d.empty() ? d : d + " for " + Describe(a) + " and " + Describe(b);
}

}  // namespace qvmodel

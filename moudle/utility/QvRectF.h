#pragma once

#include "QvDefs.h"

// An axis-aligned rectangle in coordinates relative to an area: 0 is the area's left (top)
// edge and 1 its right (bottom) edge, so the whole area is (0, 0, 1, 1).
//
// A plain value of four doubles, no heap, no virtual table; copies are member-wise. Nothing
// is normalised or clamped unless a call says so (Swap, Clip): inverted edges and values
// outside 0..1 are stored as given. Doubles are compared exactly everywhere but in Fit, and
// a double becomes an integer by truncation toward zero. No member fails or allocates.
class QV_API QvRectF {
  public:
    QvRectF() : m_dLeft(0.0), m_dTop(0.0), m_dRight(0.0), m_dBottom(0.0) {}
    QvRectF(double left, double top, double right, double bottom)
        : m_dLeft(left), m_dTop(top), m_dRight(right), m_dBottom(bottom) {}
    // Copying a rectangle onto itself rewrites the same bits, so the defaults keep the
    // class trivially copyable without a self-assignment test.
    QvRectF(const QvRectF&) = default;
    QvRectF& operator=(const QvRectF&) = default;
    ~QvRectF() = default;

    // 1 when all four coordinates are equal doubles: 0.0 equals -0.0, a NaN equals nothing.
    int operator==(const QvRectF& other);

    // Plain differences: negative for an inverted rectangle.
    double Width();
    double Height();
    // 1 when right <= left or bottom <= top: inverted and zero-sized rectangles are empty.
    int IsEmpty();
    void Empty();  // (0, 0, 0, 0)
    void Full();   // (0, 0, 1, 1)
    // Move by (dx, dy) / scale x by sx and y by sy (a negative factor inverts that axis).
    void Offset(double dx, double dy);
    void Ratio(double sx, double sy);
    // Exchanges left and right, then top and bottom, where they are strictly inverted.
    void Swap();
    // Clamps v into 0..1; 0.0, -0.0, 1.0 and NaN come back unchanged. The rectangle is
    // neither read nor written.
    void ClipF(double& v);
    // Clamps each coordinate as ClipF does, then Swap: the result is normalised and inside
    // the unit square unless a coordinate is NaN.
    void Clip();

    // The integer rectangle for an area of width x height: every coordinate times its side,
    // truncated toward zero (99.9 gives 99, -1.5 gives -1), not clipped or normalised.
    // Products beyond int32_t saturate to INT32_MIN / INT32_MAX and a NaN gives 0.
    CRect GetRect(int32_t width, int32_t height);
    CRect GetRect(int32_t width, int32_t height) const;
    // The reverse: every coordinate divided by its side (no truncation, signs kept). A width
    // or height of 0 leaves the whole rectangle as it was.
    void SetRect(const CRect& rc, int32_t width, int32_t height);

    // 1 when every edge of other lies strictly closer than tolerance to the same edge here;
    // a tolerance <= 0 (or NaN) never fits.
    int Fit(const QvRectF& other, double tolerance);
    // The overlap into out, which may be this rectangle or other. 1 when it has positive
    // width and height; else 0 and out is (0, 0, 0, 0). On a tie left and top come from
    // other, right and bottom from this rectangle.
    int Intersection(const QvRectF& other, QvRectF& out);
    // The overlap's area over this rectangle's area or over other's, whichever is larger
    // (not over the union): 0.0 when they do not overlap with positive area, otherwise in
    // (0, 1] and 1.0 when one contains the other; the same whichever of the two is called
    // (for finite coordinates). When the overlap's area underflows, the sides are compared
    // one by one instead, so tiny nested rectangles still score 1.0.
    double Match(const QvRectF& other);

    double m_dLeft;
    double m_dTop;
    double m_dRight;
    double m_dBottom;
};

#include "GeometryModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <random>
#include <type_traits>

namespace {

using qvmodel::Describe;
using qvmodel::Same;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

static_assert(sizeof(QvRectF) == 32 && offsetof(QvRectF, m_dRight) == 16 &&
                  std::is_trivially_copyable<QvRectF>::value,
              "a plain value of four doubles: left, top, right, bottom");

// Exact results of the calls on one rectangle, signed zeros and NaN included.
TEST(QvRectF, OneRectangleRows) {
    using Op = std::function<void(QvRectF&)>;
    const CRect rc(160, 240, 480, 480);
    const Op swap = [](QvRectF& r) { r.Swap(); }, clip = [](QvRectF& r) { r.Clip(); };
    const struct {
        QvRectF in;
        Op op;
        QvRectF out;
    } rows[] = {
        {{0.75, 0.5, 0.25, 0.25}, swap, {0.25, 0.25, 0.75, 0.5}},
        {{0.0, 0.5, -0.0, kNaN}, swap, {0.0, 0.5, -0.0, kNaN}},  // equal edges stay
        {{-0.5, 0.25, 1.5, 0.75}, clip, {0, 0.25, 1, 0.75}},
        {{-0.0, kNaN, -0.5, kInf}, clip, {-0.0, kNaN, 0.0, 1}},  // clamp, then order
        {{0.25, 0.5, 0.75, 1}, [](QvRectF& r) { r.Ratio(640, -1); }, {160, -0.5, 480, -1}},
        {{}, [&](QvRectF& r) { r.SetRect(rc, -640, 480); }, {-0.25, 0.5, -0.75, 1}},
        {{1, 2, 3, 4}, [&](QvRectF& r) { r.SetRect(rc, 0, 480); }, {1, 2, 3, 4}},
        {{1, 2, 3, 4}, [&](QvRectF& r) { r.SetRect(rc, 640, 0); }, {1, 2, 3, 4}},
    };
    for (const auto& row : rows) {
        QvRectF r = row.in;
        row.op(r);
        EXPECT_TRUE(Same(r, row.out)) << Describe(row.in) << ": " << Describe(r);
    }
    QvRectF r(-1, -1, 2, 2);
    double v[] = {-0.0, kNaN, -kInf, 1.5};
    for (double& x : v) r.ClipF(x);
    EXPECT_TRUE(std::signbit(v[0]) && std::isnan(v[1]) && v[2] == 0.0 && v[3] == 1.0);
    EXPECT_TRUE(Same(r, QvRectF(-1, -1, 2, 2)));
}

TEST(QvRectF, ExactComparisonsAndTolerance) {
    QvRectF full(0, 0, 1, 1), sum(0.1 + 0.2, 0, 1, 1), nan(kNaN, 0, 1, 1), zero(-0.0, 0, 1, 1);
    EXPECT_EQ(QvRectF(0.3, 0, 1, 1) == sum, 0);
    EXPECT_EQ(full == zero, 1);
    EXPECT_EQ(nan == nan, 0);
    EXPECT_EQ(nan.IsEmpty(), 0);
    EXPECT_EQ(QvRectF(0, 0.5, 1, 0.5).IsEmpty(), 1);
    EXPECT_EQ(QvRectF(0.75, 0.5, 0.25, 0.75).IsEmpty(), 1);
    EXPECT_EQ(full.Fit(full, 0.0), 0);
    EXPECT_EQ(full.Fit(QvRectF(1, 0, 0, 1), 1.0), 0);  // edges pair by name, not after ordering
    for (int k = 0; k < 4; ++k) {  // a difference equal to the tolerance fails, on any edge
        QvRectF moved = full;
        qvmodel::Edges(moved)[k] += k % 2 ? 0.0625 : -0.0625;
        EXPECT_EQ(full.Fit(moved, 0.0625), 0) << k;
        EXPECT_EQ(full.Fit(moved, 0.125), 1) << k;
        qvmodel::Edges(moved)[k] = kNaN;
        EXPECT_EQ(full.Fit(moved, kInf), 0) << k;
    }
}

// Rows that pin the overlap rules the model is written from, and the Match values it only
// bounds; every row also goes through the model's checks.
TEST(QvRectF, IntersectionAndMatchRows) {
    const struct {
        QvRectF a, b, out;
        double match;
    } rows[] = {
        {{0, 0, 0.5, 0.5}, {0.5, 0, 1, 0.5}, {}, 0.0},  // touching
        {{0, 0, 1, 1}, {0.5, 0.5, 1.5, 1.5}, {0.5, 0.5, 1, 1}, 0.25},
        {{0, 0, 1, 1}, {0.5, 0, 2.5, 1}, {0.5, 0, 1, 1}, 0.5},  // larger of the two fractions
        // Ties: left and top from the other rectangle, right and bottom from this one.
        {{0.0, 0.0, 1, 1}, {-0.0, -0.0, 0.5, 0.5}, {-0.0, -0.0, 0.5, 0.5}, 1.0},
        {{-1, -1, 0.0, 0.0}, {-1, -1, -0.0, -0.0}, {-1, -1, 0.0, 0.0}, 1.0},
        // A NaN loses every comparison, which decides the edge it ends up on.
        {{kNaN, 0, 1, 1}, {0, 0, 1, 1}, {0, 0, 1, 1}, 1.0},
        {{0, 0, 1, 1}, {kNaN, 0, 1, 1}, {kNaN, 0, 1, 1}, kNaN},
        // Areas underflow: nested rectangles still score 1.
        {{0, 0, 1e-200, 1e-200}, {0, 0, 2e-200, 1e-200}, {0, 0, 1e-200, 1e-200}, 1.0},
    };
    for (const auto& row : rows) {
        QvRectF a = row.a, b = row.b, out(9, 9, 9, 9);
        const std::string what = Describe(a) + " and " + Describe(b);
        EXPECT_EQ(a.Intersection(b, out), !Same(row.out, QvRectF())) << what;
        EXPECT_TRUE(Same(out, row.out)) << what << ": " << Describe(out);
        const double m = a.Match(b);
        EXPECT_TRUE(std::isnan(row.match) ? std::isnan(m) : m == row.match) << what << ": " << m;
        EXPECT_TRUE(Same(a, row.a) && Same(b, row.b)) << what;
        EXPECT_EQ(qvmodel::Check(a, b, 640, 480), "") << what;
    }
}

// GetRect is checked against the model's truncation, pinned here: toward zero, saturating
// beyond int32_t, NaN to 0.
TEST(QvRectF, InvariantsOverRandomPairs) {
    using qvmodel::Trunc32;
    EXPECT_TRUE(Trunc32(99.9) == 99 && Trunc32(-1.5) == -1 && Trunc32(2147483647.9) == INT32_MAX &&
                Trunc32(2147483648.0) == INT32_MAX && Trunc32(-2147483649.0) == INT32_MIN &&
                Trunc32(-kInf) == INT32_MIN && Trunc32(kNaN) == 0);
    std::mt19937 gen(20240607);
    const std::function<uint32_t()> next = [&] { return static_cast<uint32_t>(gen()); };
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(qvmodel::CheckRandom(next), "") << "pair " << i;
}

}  // namespace

#include "Rates.h"

#include <cmath>
#include <cstdlib>

namespace qvutil {

namespace {

int64_t Gcd(int64_t a, int64_t b) {
    while (b) {
        const int64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// x * a + b for non-negative terms, or INT64_MAX where that does not fit: past any bound.
int64_t MulAdd(int64_t x, int64_t a, int64_t b) {
    if (a && x > (INT64_MAX - b) / a) return INT64_MAX;
    return x * a + b;
}

// The full 128-bit product of two non-negative 64-bit numbers, high and low halves.
void Mul128(uint64_t a, uint64_t b, uint64_t& hi, uint64_t& lo) {
    const uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    lo = (mid << 32) | (p00 & 0xFFFFFFFFu);
    hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
}

bool ProductGreater(uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    uint64_t h1, l1, h2, l2;
    Mul128(a, b, h1, l1);
    Mul128(c, d, h2, l2);
    return h1 != h2 ? h1 > h2 : l1 > l2;
}

}  // namespace

Fraction ReduceWithin(int64_t num, int64_t den, int64_t max) {
    if (den == 0) return {};
    const bool negative = (num < 0) != (den < 0);
    num = std::llabs(num), den = std::llabs(den);
    const int64_t g = Gcd(num, den);
    if (g) num /= g, den /= g;
    Fraction a0{0, 1}, a1{1, 0};
    if (num <= max && den <= max) {
        a1 = {num, den};
        den = 0;
    }
    while (den) {
        const int64_t x = num / den;
        const int64_t next = num - den * x;
        const int64_t a2n = MulAdd(x, a1.num, a0.num), a2d = MulAdd(x, a1.den, a0.den);
        if (a2n > max || a2d > max) {
            int64_t y = x;
            if (a1.num) y = (max - a0.num) / a1.num;
            if (a1.den) y = std::min(y, (max - a0.den) / a1.den);
            // The bounded step is taken if it lies nearer than the last convergent.
            const uint64_t step = static_cast<uint64_t>(2) * static_cast<uint64_t>(y) * static_cast<uint64_t>(a1.den) +
                                  static_cast<uint64_t>(a0.den);
            if (ProductGreater(static_cast<uint64_t>(den), step, static_cast<uint64_t>(num), static_cast<uint64_t>(a1.den)))
                a1 = {y * a1.num + a0.num, y * a1.den + a0.den};
            break;
        }
        a0 = a1;
        a1 = {a2n, a2d};
        num = den;
        den = next;
    }
    return {negative ? -a1.num : a1.num, a1.den};
}

int StandardRate(int i) {
    if (i < 30 * 12) return (i + 1) * 1001;
    i -= 30 * 12;
    if (i < 30) return (i + 31) * 1001 * 12;
    i -= 30;
    if (i < 3) {
        static const int kHigh[] = {80, 120, 240};
        return kHigh[i] * 1001 * 12;
    }
    i -= 3;
    static const int kRound[] = {24, 30, 60, 12, 15, 48};
    return kRound[i] * 1000 * 12;
}

void FrameRateGuess::Add(int64_t ts) {
    if (ts == kNoTime) return;
    const int64_t last = m_last;
    m_last = ts;
    if (last == kNoTime || ts <= last) return;
    if (last < 0 && ts > INT64_MAX + last) return;  // a jump of damaged time stamps
    const int64_t duration = ts - last;
    const double dts = static_cast<double>(ts) * static_cast<double>(m_base.num) / static_cast<double>(m_base.den);
    for (int i = 0; i < kRates; ++i) {
        if (m_error[0][1][i] >= 1e10) continue;
        const double sdts = dts * StandardRate(i) / (1001 * 12);
        for (int j = 0; j < 2; ++j) {
            const double ticks = std::nearbyint(sdts + j * 0.5);
            const double error = sdts - ticks + j * 0.5;
            m_error[j][0][i] += error;
            m_error[j][1][i] += error * error;
        }
    }
    if (m_sum <= INT64_MAX - duration) {
        ++m_count;
        m_sum += duration;
    }
    if (m_count % 10 == 0) {
        const double n = static_cast<double>(m_count);
        for (int i = 0; i < kRates; ++i) {
            if (m_error[0][1][i] >= 1e10) continue;
            const double a0 = m_error[0][0][i] / n, e0 = m_error[0][1][i] / n - a0 * a0;
            const double a1 = m_error[1][0][i] / n, e1 = m_error[1][1][i] / n - a1 * a1;
            if (e0 > 0.04 && e1 > 0.04) m_error[0][1][i] = m_error[1][1][i] = 2e10;
        }
    }
    // The first steps may jitter.
    if (m_count > 3) m_gcd = Gcd(m_gcd, duration);
}

Fraction FrameRateGuess::Result(const TimeBase& tb, double infoDuration) const {
    if (tb.num <= 0 || tb.den <= 0) return {};
    const int64_t floor = std::max<int64_t>(1, tb.den / (500 * tb.num));
    if (m_count > 15 && m_gcd > floor && m_gcd < INT64_MAX / tb.num)
        return ReduceWithin(tb.den, tb.num * m_gcd, INT32_MAX);
    if (m_count <= 1) return {};
    const double base = static_cast<double>(tb.num) / static_cast<double>(tb.den);
    int best = 0;
    double bestError = 0.01;
    for (int j = 0; j < kRates; ++j) {
        const int rate = StandardRate(j);
        if (infoDuration > 0 && infoDuration < (1001 * 12.0) / rate) continue;
        if (infoDuration <= 0 && rate < 1001 * 12) continue;
        if (base * static_cast<double>(m_sum) / static_cast<double>(m_count) < (1001 * 12.0 * 0.8) / rate) continue;
        for (int k = 0; k < 2; ++k) {
            const double n = static_cast<double>(m_count);
            const double a = m_error[k][0][j] / n;
            const double error = m_error[k][1][j] / n - a * a;
            if (error < bestError && bestError > 0.000000001) {
                bestError = error;
                best = rate;
            }
        }
    }
    // Not more than 1% above the time base's own rate.
    if (best && static_cast<double>(best) / (12 * 1001) < 1.01 * (1.0 / base)) return ReduceWithin(best, 12 * 1001, INT32_MAX);
    return {};
}

}  // namespace qvutil

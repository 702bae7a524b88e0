#pragma once

// Frame rates as ffmpeg derives them from a container, so that qvutil prints the same
// fractions: its rational reduction with a bound, and its guess of the real frame rate from
// the first time stamps of a stream.

#include "Demux.h"

#include <cstdint>
#include <vector>

namespace qvutil {

struct Fraction {
    int64_t num = 0, den = 0;
};

// num/den in lowest terms, or the closest fraction whose terms are at most max (continued
// fractions), as ffmpeg's av_reduce. 0/0 for a zero denominator.
Fraction ReduceWithin(int64_t num, int64_t den, int64_t max);

// ffmpeg's "real" frame rate: the time stamps' common step where it is coarse enough, else
// the standard rate (n/12 fps, and 24, 30, 60, ... x 1000/1001) they fit best. Time stamps go
// in decoding order; those that do not increase are passed over.
class FrameRateGuess {
public:
    void Add(int64_t ts);
    // 0/0 when the time stamps do not decide. infoDuration: the seconds of stream that the
    // caller has seen decoded (0 when it guesses from an index alone).
    Fraction Result(const TimeBase& tb, double infoDuration = 0) const;
    int64_t Count() const { return m_count; }

private:
    static constexpr int kRates = 30 * 12 + 30 + 3 + 6;
    double m_error[2][2][kRates] = {};
    int64_t m_last = kNoTime;
    int64_t m_count = 0, m_sum = 0, m_gcd = 0;
    TimeBase m_base;

public:
    // The time base the stamps count in, before the first Add.
    void SetTimeBase(const TimeBase& tb) { m_base = tb; }
};

// The rate of standard index i, in 1/(12 * 1001) frames per second.
int StandardRate(int i);

}  // namespace qvutil

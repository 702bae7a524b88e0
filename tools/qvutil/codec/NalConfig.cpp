#include "NalConfig.h"

namespace qvutil {

namespace {

// Takes `count` units, each after a 16-bit length, from p[*at, n).
bool Units(const uint8_t* p, size_t n, size_t* at, size_t count, NalConfig& out, std::string& error) {
    for (size_t k = 0; k < count; ++k) {
        if (*at + 2 > n) return error = "cut off in its NAL units", false;
        const size_t len = static_cast<size_t>(p[*at]) << 8 | p[*at + 1];
        *at += 2;
        if (len > n - *at) return error = "a NAL unit runs past its end", false;
        if (len) out.units.emplace_back(p + *at, p + *at + len);
        *at += len;
    }
    return true;
}

}  // namespace

bool ParseNalConfig(const uint8_t* p, size_t n, bool hevc, NalConfig& out, std::string& error) {
    out = NalConfig();
    error.clear();
    if (!hevc) {
        if (n < 7) return error = "shorter than 7 bytes", false;
        if (p[0] != 1) return error = "configurationVersion " + std::to_string(p[0]) + ", not 1", false;
        out.lengthSize = (p[4] & 3) + 1;
        size_t at = 6;
        if (!Units(p, n, &at, p[5] & 31, out, error)) return false;
        out.spsCount = out.units.size();
        if (at >= n) return error = "cut off before its PPS", false;
        const size_t pps = p[at++];
        return Units(p, n, &at, pps, out, error);
    }
    if (n < 23) return error = "shorter than 23 bytes", false;
    // Version 0 comes from early drafts and some muxers; the layout is the same.
    if (p[0] > 1) return error = "configurationVersion " + std::to_string(p[0]) + ", not 1", false;
    out.lengthSize = (p[21] & 3) + 1;
    size_t at = 23;
    for (size_t a = 0; a < p[22]; ++a) {
        if (at + 3 > n) return error = "cut off in its arrays", false;
        const size_t count = static_cast<size_t>(p[at + 1]) << 8 | p[at + 2];
        at += 3;
        if (!Units(p, n, &at, count, out, error)) return false;
    }
    return true;
}

}  // namespace qvutil

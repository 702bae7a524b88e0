#pragma once

// A reference model of QvStartCode: the window rules written plainly, one byte at a time,
// and the comparison of the class with it that the unit tests and the fuzzer share.

#include "QvStartCode.h"
#include "internal/QvCpu.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qvmodel {
namespace sc {

using Bytes = std::vector<unsigned char>;

struct Scan {
    uint32_t window;
    int32_t at;  // position (Next) or distance (Last)
};

// The window is a number the bytes are shifted into, so below width 4 it holds earlier
// bytes too; without a match the search would resume at size - width + 1.
inline Scan Next(const unsigned char* d, int32_t size, int width, uint32_t value, uint32_t mask) {
    if (size < width) return {0, 0};
    uint32_t w = 0;
    for (int32_t i = 0; i < size; ++i) {
        w = (w << 8) | d[i];
        if (i >= width - 1 && (w & mask) == value) return {w, i - width + 1};
    }
    return {0, size - width + 1};
}

// Backward the window starts as the last width bytes; each step shifts the earlier byte in
// at the top.
inline Scan Last(const unsigned char* end, int32_t size, int width, uint32_t value, uint32_t mask) {
    if (size < width) return {0, 0};
    uint32_t w = 0;
    for (int k = width; k >= 1; --k) w = (w << 8) | end[-k];
    for (const unsigned char* c = end - width;; --c) {
        if ((w & mask) == value) return {w, static_cast<int32_t>(end - c)};
        if (c == end - size) return {0, size - width + 1};
        w = (w >> 8) + (uint32_t{c[-1]} << 24);
    }
}

// The member walk, over the same fields as the class.
struct Walk {
    const unsigned char* data;
    int32_t size, pos;
    bool backward;

    uint32_t Next() {
        if (!data || (backward ? pos : size - pos) < 4) return 0;
        const Scan s = backward ? sc::Last(data + pos, pos, 4, 0x100, 0xFFFFFF00)
                                : sc::Next(data + pos, size - pos, 4, 0x100, 0xFFFFFF00);
        pos += backward ? -s.at : s.at;
        return s.window;
    }
    void Skip() { pos += backward ? 0 : 4; }
    uint32_t Find(uint32_t code) {
        for (uint32_t c; (c = Next()) != 0; Skip())
            if (c == code) return c;
        return 0;
    }
};

// Runs walk steps ("N" Next, "S" Skip, "F1E0" Find) on the class or the model and traces
// each result and the cursor in the same notation: "N=1B3@2 S@6 F1E0=1E0@7".
template <class W, class Pos>
std::string Trace(W& w, Pos pos, const std::string& script) {
    std::string out;
    for (size_t i = 0, j = 0; i < script.size(); i = j + 1) {
        j = std::min(script.find(' ', i), script.size());
        const std::string t = script.substr(i, j - i);
        char buf[48];
        if (t[0] == 'S') {
            w.Skip();
            std::snprintf(buf, sizeof buf, "S@%d", pos());
        } else {
            const uint32_t r = t[0] == 'N' ? w.Next() : w.Find(std::strtoul(t.c_str() + 1, nullptr, 16));
            std::snprintf(buf, sizeof buf, "%s=%X@%d", t.substr(0, t.find('=')).c_str(), r, pos());
        }
        out += (out.empty() ? "" : " ") + std::string(buf);
    }
    return out;
}

// The escape byte FF follows every 00 00 01 before a byte F0..FF; the zeros the window
// starts with are no data.
inline Bytes RemoveRaceBytes(const Bytes& in) {
    Bytes out;
    uint32_t w = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        w = (w << 8) | in[i];
        if (i >= 3 && (w & 0xFFFFFFF0) == 0x1F0) out.push_back(0xFF);
        out.push_back(in[i]);
    }
    return out;
}

inline Bytes RestoreRaceBytes(const Bytes& in) {
    Bytes out;
    uint32_t w = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        w = (w << 8) | in[i];
        if (i >= 3 && w == 0x1FF && ++i == in.size()) break;  // the byte after it is copied unexamined
        out.push_back(in[i]);
    }
    return out;
}

// What a comparison runs, and what the model makes of it: the scanners with a window, and
// the walks, forward a skip, a search for the code word and steps on from there (N N S),
// backward the search and steps (N), each to the end unless there are more than 60 start
// codes.
struct Expected {
    int width;
    uint32_t value, mask;
    Scan next, last;
    std::string scripts[2], traces[2];
};

inline Expected Model(const unsigned char* d, int32_t n, int width, uint32_t value, uint32_t mask, uint32_t code) {
    char find[16];
    std::snprintf(find, sizeof find, "F%X", code);
    Expected e{width, value, mask, Next(d, n, width, value, mask), Last(d + n, n, width, value, mask),
               {"S " + std::string(find), find}, {}};
    int32_t steps = 2;  // one more than the start codes, as far as 64
    for (int32_t i = 0; i + 2 < n && steps < 64; ++i) steps += d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1;
    for (int32_t i = 0; i < steps; ++i) e.scripts[0] += " N N S", e.scripts[1] += " N";
    for (int back = 0; back < 2; ++back) {
        Walk m{d, n, back ? n : 0, back != 0};
        e.traces[back] = Trace(m, [&] { return m.pos; }, e.scripts[back]);
    }
    return e;
}

// The class on the same calls at the CPU level in force: "" or what differs.
inline std::string Check(const Expected& e, unsigned char* d, int32_t n) {
    int32_t pn = -1, pl = -1;
    if (QvStartCode::Next(d, n, pn, e.width, e.value, e.mask) != e.next.window || pn != e.next.at) return "Next";
    if (QvStartCode::Last(d + n, n, pl, e.width, e.value, e.mask) != e.last.window || pl != e.last.at) return "Last";
    for (int back = 0; back < 2; ++back) {
        QvStartCode c(d, n, back * 7);  // any non-zero flag walks backward
        if (Trace(c, [&] { return c.GetPos(); }, e.scripts[back]) != e.traces[back]) return "walk " + e.traces[back];
    }
    return "";
}

// Everything the class offers on the data, at each CPU level, against the model: both
// scanners, the walks, and both escape passes, with nothing written past what they report
// (RestoreRaceBytes also in place). "" or what differs.
inline std::string Compare(const std::vector<uint32_t>& levels, const Bytes& b, int width, uint32_t value,
                           uint32_t mask, uint32_t code) {
    const int32_t n = static_cast<int32_t>(b.size());
    const Bytes passes[2] = {RemoveRaceBytes(b), RestoreRaceBytes(b)};
    const Expected expected = Model(b.data(), n, width, value, mask, code);
    for (uint32_t level : levels) {
        qv::cpu::ScopedMask scoped(level);
        auto fail = [level](const std::string& what) { return what + " at CPU mask " + std::to_string(level); };
        Bytes c(b);  // the class's own copy: any write would show
        const std::string diff = Check(expected, c.data(), n);
        if (!diff.empty()) return fail(diff);
        if (c != b) return fail("the scanners wrote");
        for (int p = 0; p < 2; ++p) {
            Bytes out(b.size() + b.size() / 4, 0xA5);
            const int r = (p ? QvStartCode::RestoreRaceBytes : QvStartCode::RemoveRaceBytes)(c.data(), n, out.data());
            if (r != static_cast<int>(passes[p].size()) || !std::equal(passes[p].begin(), passes[p].end(), out.begin()) ||
                std::count(out.begin() + r, out.end(), 0xA5) != out.end() - out.begin() - r)
                return fail(p ? "RestoreRaceBytes" : "RemoveRaceBytes");
        }
        if (QvStartCode::RestoreRaceBytes(c.data(), n, c.data()) != static_cast<int>(passes[1].size()) ||
            !std::equal(passes[1].begin(), passes[1].end(), c.begin()))
            return fail("RestoreRaceBytes in place");
    }
    return "";
}

}  // namespace sc
}  // namespace qvmodel

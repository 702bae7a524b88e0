#pragma once

// A reference model of QvStartCode: the window rules written plainly, one byte at a time.
// The unit tests and the fuzzer compare the class with it.

#include <cstdint>
#include <vector>

namespace qvmodel {
namespace sc {

using Bytes = std::vector<unsigned char>;

struct Scan {
    uint32_t window;
    int32_t at;  // position (Next) or distance (Last)
};

inline Scan Next(const unsigned char* d, int32_t size, int width, uint32_t value, uint32_t mask) {
    if (size < width) return {0, 0};
    uint32_t w = 0;
    for (int32_t i = 0; i < size; ++i) {
        w = (w << 8) | d[i];
        if (i >= width - 1 && (w & mask) == value) return {w, i - width + 1};
    }
    return {0, size - width + 1};
}

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
        if (i >= 3 && w == 0x1FF) {
            if (++i < in.size()) out.push_back(in[i]);  // copied, never examined
        } else {
            out.push_back(in[i]);
        }
    }
    return out;
}

}  // namespace sc
}  // namespace qvmodel

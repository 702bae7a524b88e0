#pragma once

// A reference model of QvStartCode: the window rules written plainly, one byte at a time,
// with no search tricks. The unit tests and the fuzzer compare the class with it.

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
    for (int i = 0; i < width - 1; ++i) w = (w << 8) | d[i];
    for (int32_t i = width - 1; i < size; ++i) {
        w = (w << 8) | d[i];
        if ((w & mask) == value) return {w, i - width + 1};
    }
    return {0, size - width + 1};
}

inline Scan Last(const unsigned char* end, int32_t size, int width, uint32_t value, uint32_t mask) {
    if (size < width) return {0, 0};
    uint32_t w = 0;
    for (int k = width; k >= 1; --k) w = (w << 8) | end[-k];
    for (const unsigned char* c = end - width;; --c) {
        if ((w & mask) == value) return {w, static_cast<int32_t>(end - c)};
        if (c == end - size) break;
        w = (w >> 8) + (uint32_t{c[-1]} << 24);
    }
    return {0, size - width + 1};
}

// The member walk over the same fields as the class.
struct Walk {
    const unsigned char* data = nullptr;
    int32_t size = 0, pos = 0;
    bool backward = false;

    uint32_t Next() {
        if (!data) return 0;
        if (!backward) {
            if (size - pos < 4) return 0;
            const Scan s = sc::Next(data + pos, size - pos, 4, 0x100, 0xFFFFFF00);
            pos += s.at;
            return s.window;
        }
        if (pos < 4) return 0;
        const Scan s = sc::Last(data + pos, pos, 4, 0x100, 0xFFFFFF00);
        pos -= s.at;
        return s.window;
    }
    void Skip() {
        if (!backward) pos += 4;
    }
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
            continue;
        }
        out.push_back(in[i]);
    }
    return out;
}

}  // namespace sc
}  // namespace qvmodel

#pragma once

// Turns a fuzzer's input into the numbers a scenario draws; zeros once it runs dry.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>

namespace qvfuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_p(data), m_end(data + size) {}

    bool Empty() const { return m_p >= m_end; }
    size_t Left() const { return static_cast<size_t>(m_end - m_p); }
    uint8_t Byte() { return Empty() ? 0 : *m_p++; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
        return v;
    }
    // Takes up to n bytes from the input as they stand.
    const uint8_t* Take(size_t& n) {
        if (n > Left()) n = Left();
        const uint8_t* p = m_p;
        m_p += n;
        return p;
    }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
};

// A finding: say what differs and abort, so the fuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what, const char* detail = "") {
    std::fprintf(stderr, "fuzz finding: %s %s\n", what, detail);
    std::abort();
}

}  // namespace qvfuzz

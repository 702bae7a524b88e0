#pragma once

// Writes H.264/H.265/MPEG syntax bit by bit, independently of QvBitStream, so that tests can
// build parameter sets with chosen field values and hand them to the parsers.

#include <cstdint>
#include <vector>

namespace qvtest {

class SyntaxWriter {
public:
    void U(uint64_t v, int bits) {
        for (int i = bits - 1; i >= 0; --i) Bit(static_cast<int>((v >> i) & 1));
    }
    void Flag(bool b) { Bit(b ? 1 : 0); }
    void Ue(uint64_t v) {
        const uint64_t code = v + 1;
        int len = 0;
        while ((code >> (len + 1)) != 0) ++len;
        U(0, len);
        U(code, len + 1);
    }
    void Se(int64_t v) { Ue(v > 0 ? static_cast<uint64_t>(2 * v - 1) : static_cast<uint64_t>(-2 * v)); }
    // rbsp_trailing_bits
    void Trailing() {
        Bit(1);
        while (m_bits % 8) Bit(0);
    }
    void Align() {
        while (m_bits % 8) Bit(0);
    }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    uint64_t Bits() const { return m_bits; }

private:
    void Bit(int b) {
        if (m_bits % 8 == 0) m_bytes.push_back(0);
        if (b) m_bytes.back() |= static_cast<uint8_t>(0x80 >> (m_bits % 8));
        ++m_bits;
    }
    std::vector<uint8_t> m_bytes;
    uint64_t m_bits = 0;
};

// The RBSP with emulation-prevention bytes inserted, after a start code 00 00 01.
inline std::vector<uint8_t> AnnexB(const std::vector<uint8_t>& rbsp, bool fourByte = false) {
    std::vector<uint8_t> out;
    if (fourByte) out.push_back(0);
    out.insert(out.end(), {0, 0, 1});
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

}  // namespace qvtest

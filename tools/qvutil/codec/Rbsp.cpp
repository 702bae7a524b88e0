#include "Rbsp.h"

#include <cstring>

namespace qvutil {

void Unescape(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
    out.resize(n);
    size_t o = 0;
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = p[i];
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;
            continue;
        }
        out[o++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    while (o > 0 && out[o - 1] == 0) --o;
    out.resize(o);
}

std::string Missing(const char* kind, int id) {
    return std::string("refers to ") + kind + " " + std::to_string(id) + ", which is missing";
}

BitReader::BitReader(const uint8_t* p, size_t n)
    : m_bs(const_cast<uint8_t*>(p), static_cast<int32_t>(n), 0), m_data(p), m_bits(static_cast<int64_t>(n) * 8) {}

int64_t BitReader::BitPos() const {
    return static_cast<int64_t>(m_bs.m_pCur - m_bs.m_pStart) * 8 + 8 - m_bs.m_nLeft;
}

int64_t BitReader::BitsLeft() const {
    return m_bits - BitPos();
}

bool BitReader::Fail(const std::string& why) {
    if (m_error.empty()) m_error = why;
    return false;
}

bool BitReader::Have(int64_t bits, const char* name) {
    if (!Ok()) return false;
    if (bits <= BitsLeft()) return true;
    return Fail(std::string(name) + " cut off by the end of the data");
}

uint32_t BitReader::U(int bits, const char* name) {
    if (bits <= 0 || !Have(bits, name)) return 0;
    return m_bs.GetBits(bits);
}

void BitReader::Skip(int64_t bits, const char* name) {
    if (bits <= 0 || !Have(bits, name)) return;
    while (bits > 0) {
        const int32_t step = bits > (1 << 24) ? (1 << 24) : static_cast<int32_t>(bits);
        m_bs.ClearBits(step);
        bits -= step;
    }
}

void BitReader::Expect(int bits, uint32_t value, const char* name) {
    if (U(bits, name) != value && Ok()) Fail(std::string(name) + " has the wrong value");
}

namespace {

std::string OutOfRange(const char* name, int64_t v, int64_t min, int64_t max) {
    return std::string(name) + " " + std::to_string(v) + " out of range " + std::to_string(min) + ".." +
           std::to_string(max);
}

}  // namespace

// ue(v) code numbers reach 2^32 - 2 with 31 leading zeros (63 bits); a longer run is no code.
uint32_t BitReader::Ue(const char* name, uint32_t max) {
    if (!Ok()) return 0;
    if (BitsLeft() < 65) {
        // Near the end: measure the code on a copy before taking it, so that a code cut off
        // by the end is told from one that ends on the last bit.
        QvBitStream probe = m_bs;
        int64_t left = BitsLeft();
        int zeros = 0;
        for (;;) {
            if (left-- == 0) return Fail(std::string(name) + " cut off by the end of the data"), 0;
            if (probe.GetBit1()) break;
            if (++zeros > 31) return Fail(std::string(name) + " is no Exp-Golomb code"), 0;
        }
        if (zeros > left) return Fail(std::string(name) + " cut off by the end of the data"), 0;
    }
    const int64_t before = BitPos();
    const uint32_t v = m_bs.GetUE();
    if (BitPos() - before > 63) return Fail(std::string(name) + " is no Exp-Golomb code"), 0;
    if (v > max) return Fail(OutOfRange(name, v, 0, max)), 0;
    return v;
}

int32_t BitReader::Se(const char* name, int32_t min, int32_t max) {
    const uint32_t code = Ue(name, 0xFFFFFFFEu);
    if (!Ok()) return 0;
    const int64_t c = code;
    const int64_t v = (c & 1) ? (c + 1) / 2 : -(c / 2);
    if (v < min || v > max) return Fail(OutOfRange(name, v, min, max)), 0;
    return static_cast<int32_t>(v);
}

bool BitReader::MoreRbspData() const {
    if (!Ok()) return false;
    // The last 1 bit of the data is the rbsp_stop_one_bit.
    int64_t last = m_bits / 8;
    while (last > 0 && m_data[last - 1] == 0) --last;
    if (last == 0) return false;
    const uint8_t b = m_data[last - 1];
    int trailing = 0;
    while (!((b >> trailing) & 1)) ++trailing;
    const int64_t stop = (last - 1) * 8 + 7 - trailing;
    return BitPos() < stop;
}

void BitReader::TrailingBits() {
    if (!Ok()) return;
    if (BitsLeft() <= 0) {
        Fail("rbsp_trailing_bits missing");
        return;
    }
    if (!m_bs.GetBit1()) {
        Fail("data after the last syntax element");
        return;
    }
    while (BitsLeft() > 0 && !ByteAligned())
        if (m_bs.GetBit1()) {
            Fail("rbsp_trailing_bits not zero");
            return;
        }
}

}  // namespace qvutil

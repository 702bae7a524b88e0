#pragma once

// Reading the syntax of parameter sets, SEI messages and slice headers: the payload of a
// NAL unit with its emulation-prevention bytes removed (an RBSP), read field by field with
// QvBitStream, with every read checked against the end of the data and every count checked
// against the limit its standard sets.

#include "QvBitStream.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvutil {

// Copies p[0..n) to out (replacing its contents) without the emulation-prevention bytes: the
// 03 of every 00 00 03. Trailing zero bytes (the zero bytes of the next start code) are
// dropped too.
void Unescape(const uint8_t* p, size_t n, std::vector<uint8_t>& out);

// The reason given for a unit that names a parameter set that was never sent (or was broken):
// "refers to SPS 3, which is missing".
std::string Missing(const char* kind, int id);

// A cursor over an RBSP (or any byte range) that remembers the first problem it meets.
// After a failure every read returns 0, so a parser may read on and test Ok() where a value
// decides what comes next (loop counts, branches). The messages name the syntax element.
class BitReader {
public:
    BitReader(const uint8_t* p, size_t n);

    // u(n), 0 to 32 bits; fails when fewer than n bits are left.
    uint32_t U(int bits, const char* name = "field");
    bool Flag(const char* name = "flag") { return U(1, name) != 0; }
    // ue(v) and se(v), checked against [min, max] and named in the message if outside.
    uint32_t Ue(const char* name, uint32_t max);
    int32_t Se(const char* name, int32_t min, int32_t max);
    // f(n) with a fixed value (marker bits, reserved patterns).
    void Expect(int bits, uint32_t value, const char* name);
    void Skip(int64_t bits, const char* name = "field");

    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    // Keeps the first reason only; returns false so a parser can `return r.Fail(...)`.
    bool Fail(const std::string& why);

    int64_t BitsLeft() const;
    int64_t BitPos() const;
    bool ByteAligned() const { return (BitPos() & 7) == 0; }
    // more_rbsp_data(): is there anything before the rbsp_stop_one_bit?
    bool MoreRbspData() const;
    // Checks rbsp_trailing_bits(): a 1 bit and zeros to the end of the byte.
    void TrailingBits();

private:
    bool Have(int64_t bits, const char* name);

    QvBitStream m_bs;
    const uint8_t* m_data;
    int64_t m_bits;
    std::string m_error;
};

}  // namespace qvutil

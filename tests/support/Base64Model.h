#pragma once

// Reference model of Base64 as a stream of bits: encoding takes six bits at a time from
// the bytes, decoding gathers six bits per alphabet character and hands out every whole
// byte. The lenient rules of the decoder sit on top: anything outside the alphabet is
// skipped, and "=" ends the text once the group of four has two characters.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qvmodel {

inline const char* Base64Alphabet() {
    return "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

inline std::string Base64Encode(const std::vector<uint8_t>& in) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (uint8_t b : in) {
        acc = (acc << 8) | b;
        for (bits += 8; bits >= 6; bits -= 6) out += Base64Alphabet()[(acc >> (bits - 6)) & 63];
    }
    if (bits > 0) out += Base64Alphabet()[(acc << (6 - bits)) & 63];
    while (out.size() % 4) out += '=';
    return out;
}

inline std::vector<uint8_t> Base64Decode(const std::string& text) {
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    size_t chars = 0;  // alphabet characters taken
    for (unsigned char c : text) {
        const void* hit = c ? std::memchr(Base64Alphabet(), c, 64) : nullptr;
        if (!hit) {
            if (c == '=' && chars % 4 >= 2) break;
            continue;
        }
        ++chars;
        acc = (acc << 6) | static_cast<uint32_t>(static_cast<const char*>(hit) - Base64Alphabet());
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return out;
}

}  // namespace qvmodel

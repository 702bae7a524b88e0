#pragma once

// Reference models of MD5 and SHA-1 written from RFC 1321 and FIPS 180-1 as plainly as
// possible: the whole message at once, loops, MD5's constants from the sine function.
// zeroState starts from zero chaining values, as on a context that Final wiped. CheckPieces
// holds the digest objects to the models, for the unit tests and the fuzzer alike.

#include "QvMD5.h"
#include "QvSHA1.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace qvmodel {

using Bytes = std::vector<uint8_t>;

inline uint32_t Rol(uint32_t x, int s) {
    return s ? (x << s) | (x >> (32 - s)) : x;
}

// The message, 0x80, zeros up to 56 mod 64 and the 64-bit bit count, as 32-bit words.
inline std::vector<uint32_t> PaddedWords(Bytes m, bool bigEndian) {
    const uint64_t bits = m.size() * uint64_t{8};
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 0; i < 8; ++i)
        m.push_back(static_cast<uint8_t>(bits >> (bigEndian ? 56 - 8 * i : 8 * i)));
    std::vector<uint32_t> w(m.size() / 4);
    for (size_t i = 0; i < m.size(); ++i)
        w[i / 4] |= uint32_t{m[i]} << (bigEndian ? 24 - i % 4 * 8 : i % 4 * 8);
    return w;
}

inline Bytes Md5(const Bytes& msg, bool zeroState = false) {
    static const int shift[4][4] = {
        {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (uint32_t& v : h) v = zeroState ? 0 : v;
    const std::vector<uint32_t> x = PaddedWords(msg, false);
    for (size_t at = 0; at < x.size(); at += 16) {
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            const int r = i / 16;
            const uint32_t f = r == 0   ? (b & c) | (~b & d)
                               : r == 1 ? (b & d) | (c & ~d)
                               : r == 2 ? b ^ c ^ d
                                        : c ^ (b | ~d);
            const int g = (r == 0 ? i : r == 1 ? 5 * i + 1 : r == 2 ? 3 * i + 5 : 7 * i) % 16;
            const uint32_t k = static_cast<uint32_t>(std::fabs(std::sin(i + 1.0)) * 0x1p32);
            const uint32_t t = d;
            d = c, c = b, b += Rol(a + f + k + x[at + g], shift[r][i % 4]), a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d;
    }
    Bytes out;
    for (int i = 0; i < 16; ++i) out.push_back(static_cast<uint8_t>(h[i / 4] >> (i % 4 * 8)));
    return out;
}

inline Bytes Sha1(const Bytes& msg, bool zeroState = false) {
    uint32_t h[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    for (uint32_t& v : h) v = zeroState ? 0 : v;
    const std::vector<uint32_t> m = PaddedWords(msg, true);
    for (size_t at = 0; at < m.size(); at += 16) {
        uint32_t w[80];
        for (int t = 0; t < 80; ++t)
            w[t] = t < 16 ? m[at + t] : Rol(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int t = 0; t < 80; ++t) {
            static const uint32_t k[4] = {0x5a827999, 0x6ed9eba1, 0x8f1bbcdc, 0xca62c1d6};
            const uint32_t f = t < 20                ? (b & c) | (~b & d)
                               : t >= 40 && t < 60 ? (b & c) | (b & d) | (c & d)
                                                   : b ^ c ^ d;
            const uint32_t tmp = Rol(a, 5) + f + e + w[t] + k[t / 20];
            e = d, d = c, c = Rol(b, 30), b = a, a = tmp;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    Bytes out;
    for (int i = 0; i < 20; ++i) out.push_back(static_cast<uint8_t>(h[i / 4] >> (24 - i % 4 * 8)));
    return out;
}

template <class Obj>
Bytes Hash(const Bytes& msg, bool zeroState = false) {
    return std::is_same<Obj, QvMD5>::value ? Md5(msg, zeroState) : Sha1(msg, zeroState);
}

template <class Obj>
constexpr int kSize = std::is_same<Obj, QvMD5>::value ? 16 : 20;

inline std::string Hex(const Bytes& b) {
    std::string s;
    for (uint8_t c : b) s += std::string{"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
    return s;
}

// "" when Obj, given msg in pieces of 0 to 200 bytes drawn from seed, gives the model's
// digest, then the digest of msg again on the zeros Final left, and leaves msg as it was.
template <class Obj>
std::string CheckPieces(const Bytes& msg, uint32_t seed) {
    Bytes copy = msg;
    Obj o;
    if (o.Init() != 1) return "Init";
    for (size_t at = 0, n; at < copy.size(); at += n) {
        seed = seed * 1103515245u + 12345u;
        n = std::min<size_t>((seed >> 16) % 201, copy.size() - at);
        if (o.Append(copy.data() + at, static_cast<int32_t>(n)) != 1) return "Append";
    }
    for (bool wiped : {false, true}) {
        if (wiped) o.Append(copy.data(), static_cast<int32_t>(copy.size()));
        if (o.Final() != 1 || std::string(o.GetString()) != Hex(Hash<Obj>(msg, wiped)))
            return wiped ? "digest after Final" : "digest";
    }
    return copy == msg ? "" : "Append changed the caller's bytes";
}

}  // namespace qvmodel

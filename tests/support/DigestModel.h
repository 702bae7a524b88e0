#pragma once

// Reference models of MD5 and SHA-1, written from the two standards as plainly as possible
// (whole message, loops, MD5's constants from the sine function), and a scenario that
// drives two digest objects and a model of their lifecycle with random calls, copies,
// moves and allocation faults. The unit tests drive it from a seeded generator, the fuzzer
// from its input.

#include "AllocFaults.h"
#include "QvMD5.h"
#include "QvSHA1.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qvmodel {

using Bytes = std::vector<uint8_t>;

inline uint32_t Rol(uint32_t x, int s) {
    return s ? (x << s) | (x >> (32 - s)) : x;
}

// 0x80, zeros up to 56 mod 64, the bit count in 8 bytes.
inline Bytes Padded(Bytes m, bool bigEndian) {
    const uint64_t bits = static_cast<uint64_t>(m.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 0; i < 8; ++i) m.push_back(static_cast<uint8_t>(bits >> (bigEndian ? 56 - 8 * i : 8 * i)));
    return m;
}

// zeroState: start from zero chaining values (what a context wiped by Final holds).
inline Bytes Md5(const Bytes& msg, bool zeroState = false) {
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    if (zeroState) h[0] = h[1] = h[2] = h[3] = 0;
    static const int shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    const Bytes m = Padded(msg, false);
    for (size_t at = 0; at < m.size(); at += 64) {
        uint32_t x[16];
        for (int j = 0; j < 16; ++j)
            x[j] = m[at + 4 * j] | m[at + 4 * j + 1] << 8 | m[at + 4 * j + 2] << 16 |
                   static_cast<uint32_t>(m[at + 4 * j + 3]) << 24;
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            const int r = i / 16;
            const uint32_t f = r == 0   ? (b & c) | (~b & d)
                               : r == 1 ? (b & d) | (c & ~d)
                               : r == 2 ? b ^ c ^ d
                                        : c ^ (b | ~d);
            const int g = r == 0 ? i : r == 1 ? (5 * i + 1) % 16 : r == 2 ? (3 * i + 5) % 16 : 7 * i % 16;
            const uint32_t k = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
            const uint32_t t = d;
            d = c;
            c = b;
            b += Rol(a + f + k + x[g], shift[r][i % 4]);
            a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d;
    }
    Bytes out;
    for (uint32_t v : h)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> 8 * i));
    return out;
}

inline Bytes Sha1(const Bytes& msg, bool zeroState = false) {
    uint32_t h[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    if (zeroState) h[0] = h[1] = h[2] = h[3] = h[4] = 0;
    const Bytes m = Padded(msg, true);
    for (size_t at = 0; at < m.size(); at += 64) {
        uint32_t w[80];
        for (int t = 0; t < 16; ++t)
            w[t] = static_cast<uint32_t>(m[at + 4 * t]) << 24 | m[at + 4 * t + 1] << 16 |
                   m[at + 4 * t + 2] << 8 | m[at + 4 * t + 3];
        for (int t = 16; t < 80; ++t) w[t] = Rol(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int t = 0; t < 80; ++t) {
            const uint32_t f = t < 20 ? (b & c) | (~b & d)
                               : t < 40 || t >= 60 ? b ^ c ^ d
                                                   : (b & c) | (b & d) | (c & d);
            static const uint32_t k[4] = {0x5a827999, 0x6ed9eba1, 0x8f1bbcdc, 0xca62c1d6};
            const uint32_t tmp = Rol(a, 5) + f + e + w[t] + k[t / 20];
            e = d, d = c, c = Rol(b, 30), b = a, a = tmp;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    Bytes out;
    for (uint32_t v : h)
        for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> 8 * i));
    return out;
}

inline std::string Hex(const Bytes& b) {
    std::string s;
    for (uint8_t c : b) {
        s += "0123456789ABCDEF"[c >> 4];
        s += "0123456789ABCDEF"[c & 15];
    }
    return s;
}

template <class Obj>
struct Algo;
template <>
struct Algo<QvMD5> {
    static constexpr int kSize = 16;
    static Bytes Hash(const Bytes& m, bool zeroState = false) { return Md5(m, zeroState); }
};
template <>
struct Algo<QvSHA1> {
    static constexpr int kSize = 20;
    static Bytes Hash(const Bytes& m, bool zeroState = false) { return Sha1(m, zeroState); }
};

// What an object should show: its context (if any) and its digest buffer.
struct ObjectModel {
    bool context = false, wiped = false;  // wiped: Final ran since the last Init
    Bytes absorbed;                       // since Init or the last Final
    bool block = false;                   // the buffer has its digest block
    Bytes digest;                         // what Final last stored, when the size says so
};

// "" when the object agrees with the model, else what differs.
template <class Obj>
std::string Compare(Obj& o, const ObjectModel& m) {
    const QvBuffer* b = o.GetBuffer();
    if ((b != nullptr) != m.context) return "GetBuffer presence";
    const bool full = m.context && !m.digest.empty();
    if (b && b->m_lSize != (full ? Algo<Obj>::kSize : 0)) return "buffer size";
    const std::string text(o.GetString());
    if (text != (full ? Hex(m.digest) : "")) return "GetString " + text;
    return "";
}

// Two objects of one class and their models; each Step makes one random call.
template <class Obj>
class DigestScenario {
public:
    explicit DigestScenario(std::function<uint32_t()> next) : m_next(std::move(next)) {}

    std::string Step() {
        const int i = Pick(2);
        Obj& o = m_obj[i];
        ObjectModel& m = m_model[i];
        const int fault = Pick(6) == 0 ? 1 + Pick(2) : 0;  // which allocation fails
        if (fault) qvtest::FailNthAlloc(fault);
        int got = 1, want = 1;
        const int op = Pick(6);
        switch (op) {
        case 0: {  // Init: the context, then a block unless the buffer has one
            got = o.Init();
            m.context = false;
            if (fault == 1) {
                want = 0;
            } else if (!m.block && fault == 2) {
                want = 0;
                m.block = false;
                m.digest.clear();
            } else {
                if (!m.block) m.digest.clear();
                m.block = m.context = true;
                m.wiped = false;
                m.absorbed.clear();
            }
            break;
        }
        case 1:
        case 2: {
            Bytes piece(static_cast<size_t>(Pick(150)));
            for (auto& c : piece) c = static_cast<uint8_t>(m_next());
            const Bytes before = piece;
            got = o.Append(piece.empty() ? nullptr : piece.data(), static_cast<int32_t>(piece.size()));
            want = m.context;
            if (m.context) m.absorbed.insert(m.absorbed.end(), piece.begin(), piece.end());
            if (piece != before) return "Append changed the caller's bytes";
            break;
        }
        case 3:
            got = o.Final();
            want = m.context;
            if (m.context) {
                m.digest = Algo<Obj>::Hash(m.absorbed, m.wiped);
                m.wiped = true;
                m.absorbed.clear();
            }
            break;
        case 4:  // copy: a block of its own first, then the context
            if (Pick(2)) {
                m_obj[1 - i] = o;
            } else {
                Obj copy(o);
                m_obj[1 - i] = std::move(copy);
            }
            m_model[1 - i] = m;
            if (m.block && fault == 1) m_model[1 - i] = ObjectModel();
            if (m.context && fault == 2) m_model[1 - i].context = false;
            break;
        case 5: {
            Obj moved(std::move(o));
            m_obj[1 - i] = std::move(moved);
            m_model[1 - i] = m;
            m = ObjectModel();
            break;
        }
        }
        qvtest::ResetAllocFaults();
        const std::string where = "op " + std::to_string(op) + " on object " + std::to_string(i) +
                                  (fault ? " (allocation " + std::to_string(fault) + " fails)" : "");
        if (got != want) return where + ": result " + std::to_string(got);
        for (int k = 0; k < 2; ++k) {
            const std::string d = Compare(m_obj[k], m_model[k]);
            if (!d.empty()) return where + ": object " + std::to_string(k) + ": " + d;
        }
        return "";
    }

private:
    int Pick(int n) { return static_cast<int>(m_next() % static_cast<uint32_t>(n)); }

    std::function<uint32_t()> m_next;
    Obj m_obj[2];
    ObjectModel m_model[2];
};

}  // namespace qvmodel

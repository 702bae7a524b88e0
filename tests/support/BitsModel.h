#pragma once

// A bit-at-a-time model of QvBitStream, and a scenario that drives a real stream and the
// model side by side with random set-ups, moves, reads and writes: the unit tests feed it
// a seeded generator, the fuzzer its input. The model knows no unit larger than a bit.

#include "QvBitStream.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>  // no-ops unless built with AddressSanitizer
#else
#define ASAN_POISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#define ASAN_UNPOISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#endif

namespace qvmodel {

struct BitsModel {
    std::vector<uint8_t> mem;  // from the stream's first byte to the end of the caller's
    int64_t size = 0, cur = 0;
    int32_t left = 8;
    bool write = false;

    // Past the end the bits are zeros and nothing moves.
    uint32_t Bit() {
        if (cur >= size) return 0;
        const uint32_t b = (mem[static_cast<size_t>(cur)] >> --left) & 1u;
        if (left == 0) ++cur, left = 8;
        return b;
    }
    // Of a field longer than 32 bits the last 32 remain.
    uint32_t Bits(int64_t n) {
        uint32_t r = 0;
        for (; n > 0; --n) r = (r << 1) | Bit();
        return r;
    }
    // At most 32 zeros count, a 33rd ends the run; a zero that is the last bit does not.
    // In 32 bits 2^32 counts as 1.
    uint32_t UEK(int32_t k) {
        auto pow2 = [](int64_t m) { return m < 32 ? 1u << m : m == 32 ? 1u : 0u; };
        int64_t z = 0;
        k = std::max(k, 0);
        while (Bit() == 0 && cur < size && z < 32) ++z;
        return Bits(z + k) + pow2(z + k) - pow2(k);
    }
    static int32_t Signed(uint32_t code) {
        const int64_t c = static_cast<int32_t>(code);
        return static_cast<int32_t>(c % 2 != 0 ? (c + 1) / 2 : -(c / 2));
    }
    // (marker result << 32) | value; a failed first marker of the 30-bit form ends the read.
    int64_t Marked(bool wide) {
        const uint32_t v = Bits(wide ? 15 : 7);
        if (!wide) return int64_t{Bit()} << 32 | v;
        if (!Bit()) return v;
        const uint32_t w = v << 15 | Bits(15);
        return int64_t{Bit()} << 32 | w;
    }
    // After NextByte (left 8) the current byte takes nothing.
    uint32_t Put(uint32_t v, int64_t n) {
        if (left == 8) ++cur, left = 0;
        for (int64_t i = n - 1; i >= 0; --i) {
            mem[static_cast<size_t>(cur)] |= static_cast<uint8_t>((i < 32 ? (v >> i) & 1u : 0u) << (7 - left));
            if (++left == 8) ++cur, left = 0;
        }
        return static_cast<uint32_t>(left);
    }
    void ResetLeft() { left = write ? 0 : 8; }
};

// The caller's memory: up to 7 bytes before the stream's start (so that the start falls
// anywhere in a machine word), the stream, sometimes 8 bytes of slack that writes may run
// into (the bound is the caller's), and a guard, poisoned so that even a touch shows.
class BitsScenario {
public:
    explicit BitsScenario(std::function<uint32_t()> next) : m_next(std::move(next)) { Setup(); }
    ~BitsScenario() { ASAN_UNPOISON_MEMORY_REGION(m_mem.data(), m_mem.size()); }

    // One random call, then result, cursor, queries and memory against the model: "" or
    // what differs.
    std::string Step() {
        int64_t got = 0, want = 0;
        std::string op = "Init";
        if (Pick(24) == 0) Setup();
        else op = Pick(8) == 0 ? Move() : m_m.write ? Write(got, want) : Read(got, want);
        const uint8_t* start = m_mem.data() + m_pre;
        const int64_t c = m_m.cur, l = m_m.left;
        const Row g = {got, m_s.m_pCur - start, m_s.m_nLeft, m_s.m_pStart - start, m_s.m_pEnd - start,
                       m_s.BytesPos(), m_s.CheckByteAlign(), m_s.Pos(), m_s.EOS()},
                  w = {want, c, l, 0, m_m.size, c, l & 7, c * 8 + 8 - l, c >= m_m.size - 1};
        if (g != w) return op + ": result, cursor, start, end, queries " + Join(g) + "expected " + Join(w);
        if (!std::equal(m_prefix.begin(), m_prefix.end(), m_mem.begin()) ||
            !std::equal(m_m.mem.begin(), m_m.mem.end() - kGuard, start))
            return op + ": memory";
        return "";
    }

private:
    static constexpr int kGuard = 8;
    using Row = std::array<int64_t, 9>;

    int32_t Pick(uint32_t n) { return static_cast<int32_t>(m_next() % n); }
    static std::string Join(const Row& v) {
        std::string s;
        for (int64_t x : v) s += std::to_string(x) + " ";
        return s;
    }

    // Mostly short memory, so that calls meet its end often; zero bytes from none to all,
    // so that zero runs reach the Exp-Golomb limits with dense bits after them.
    void Setup() {
        const int32_t n = Pick(4) == 0 ? Pick(80) : Pick(12);
        const uint32_t zeros = static_cast<uint32_t>(Pick(9));  // in eighths
        uint32_t x = m_next() | 1;  // xorshift32 fills the bytes: the draws go to the calls
        auto rnd = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
        ASAN_UNPOISON_MEMORY_REGION(m_mem.data(), m_mem.size());
        m_pre = Pick(8), m_slack = Pick(2) * 8;
        m_mem.assign(static_cast<size_t>(m_pre + n + m_slack + kGuard), 0);
        for (auto& b : m_mem) b = rnd() % 8 < zeros ? 0 : static_cast<uint8_t>(rnd() >> 8);
        m_prefix.assign(m_mem.begin(), m_mem.begin() + m_pre);
        m_m.mem.assign(m_mem.begin() + m_pre, m_mem.end());
        m_m.size = n, m_m.cur = 0, m_m.write = Pick(3) == 0;
        if (m_m.write) std::fill(m_m.mem.begin(), m_m.mem.begin() + n, 0);
        m_m.ResetLeft();
        m_s.Init(m_mem.data() + m_pre, n, m_m.write ? 1 + Pick(100) : 0);
        ASAN_POISON_MEMORY_REGION(m_mem.data() + m_mem.size() - kGuard, kGuard);
    }

    // NewBytesPos (mostly near the end), Skip, ResetLeft or NextByte, kept inside the memory
    // as the caller must.
    std::string Move() {
        const int32_t kind = Pick(4), n = static_cast<int32_t>(m_m.size), cur = static_cast<int32_t>(m_m.cur);
        const int32_t to = kind == 0 ? (Pick(4) ? n - Pick(10) : Pick(n + 1)) : kind == 1 ? cur + Pick(7) - 3 : cur + (kind == 3);
        if (to < 0 || to > n) return "no move";
        switch (kind) {
        case 0: m_s.NewBytesPos(to); break;
        case 1: m_s.Skip(to - cur); break;
        case 2: m_s.ResetLeft(); break;
        default: m_s.NextByte();
        }
        m_m.cur = to, m_m.ResetLeft();
        if (kind == 3) m_m.left = 8;
        return "move " + std::to_string(kind) + " to " + std::to_string(to);
    }

    // Widths 0 to 32 mostly, some negative and some past 32.
    int32_t Width() {
        const int32_t r = Pick(40);
        return r < 33 ? r : Pick(8) == 0 ? -Pick(4) : 33 + Pick(40);
    }

    std::string Read(int64_t& got, int64_t& want) {
        const int32_t n = Width(), k = Pick(8) ? Pick(8) : Pick(48) - 8;  // orders outside 0..31 too
        const int32_t which = Pick(10);
        if (which < 3) {
            want = m_m.Bits(n), got = m_s.GetBits(n);
        } else if (which == 3) {
            want = m_m.Bit(), got = m_s.GetBit1();
        } else if (which == 4) {
            const int32_t c = Pick(3) ? n : Pick(2000);
            m_m.Bits(c), m_s.ClearBits(c);
            return "ClearBits(" + std::to_string(c) + ")";
        } else if (which < 8) {
            const bool sign = Pick(2);
            const uint32_t code = m_m.UEK(which == 5 ? 0 : k);
            want = sign ? BitsModel::Signed(code) : int64_t{code};
            got = which == 5 ? (sign ? m_s.GetSE() : int64_t{m_s.GetUE()}) : (sign ? m_s.GetSEK(k) : int64_t{m_s.GetUEK(k)});
        } else {  // both overloads, on values they must overwrite
            const bool wide = Pick(2), sign = Pick(2);
            uint32_t u = 0xBEEF;
            int32_t i = 0x5EED;
            want = m_m.Marked(wide);
            got = sign ? (wide ? m_s.GetMarkedInt30(i) : m_s.GetMarkedInt7(i)) : (wide ? m_s.GetMarkedInt30(u) : m_s.GetMarkedInt7(u));
            got = got << 32 | (sign ? static_cast<uint32_t>(i) : u);
        }
        return "read " + std::to_string(which) + " of " + std::to_string(n) + " bits, order " + std::to_string(k);
    }

    // Only calls whose bits fit before the guard: the caller sizes the memory.
    std::string Write(int64_t& got, int64_t& want) {
        const int64_t room = (m_m.size + m_slack - m_m.cur) * 8 - m_m.left;
        const uint32_t v = Pick(4) ? m_next() : m_next() >> Pick(32);
        const int32_t which = Pick(6);
        if (which == 0 && room >= 8) {
            m_m.Put(v & 0x7F, 7), m_m.Put(1, 1), m_s.PutMarkedInt7(static_cast<int32_t>(v & 0x7F));
            return "PutMarkedInt7";
        }
        if (which == 1 && room >= 32) {
            m_m.Put(v >> 15 & 0x7FFF, 15), m_m.Put(1, 1), m_m.Put(v & 0x7FFF, 15), m_m.Put(1, 1);
            m_s.PutMarkedInt30(static_cast<int32_t>(v));
            return "PutMarkedInt30";
        }
        const int32_t n = Width();
        if (which < 2 || n > room) return "no write";
        // Now and then value bits above the field: they must be ignored.
        const uint32_t val = Pick(3) == 0 || n >= 32 ? v : v & ((1u << std::max(n, 0)) - 1);
        want = m_m.Put(val, n), got = m_s.PutBits(val, n);
        return "PutBits(" + std::to_string(val) + ", " + std::to_string(n) + ")";
    }

    std::function<uint32_t()> m_next;
    std::vector<uint8_t> m_mem, m_prefix;
    int32_t m_pre = 0, m_slack = 0;
    QvBitStream m_s;
    BitsModel m_m;
};

}  // namespace qvmodel

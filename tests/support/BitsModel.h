#pragma once

// A bit-at-a-time model of QvBitStream, and a scenario that drives a real stream and the
// model side by side with random set-ups, moves, reads and writes. The unit tests drive it
// from a seeded generator, the fuzzer from its input. The model knows no unit larger than
// a bit: every field, code and marker is taken or put a bit at a time.

#include "QvBitStream.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define QVTEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QVTEST_ASAN 1
#endif
#endif
#if defined(QVTEST_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace qvmodel {

struct BitsModel {
    std::vector<uint8_t> mem;  // from the stream's first byte to the end of the caller's
    int64_t size = 0, cur = 0;
    int32_t left = 8;
    bool write = false;

    bool AtEnd() const { return cur >= size; }
    uint32_t Bit() {
        if (AtEnd()) return 0;
        const uint32_t b = (mem[static_cast<size_t>(cur)] >> --left) & 1u;
        if (left == 0) ++cur, left = 8;
        return b;
    }
    // Past the end the bits are zeros; of a field longer than 32 bits the last 32 remain.
    uint32_t Bits(int64_t n) {
        uint32_t r = 0;
        for (int64_t i = 0; i < n; ++i) r = (r << 1) | Bit();
        return r;
    }
    static uint32_t Pow2(int64_t m) { return m < 32 ? 1u << m : m == 32 ? 1u : 0u; }
    uint32_t UEK(int32_t k) {
        if (k < 0) k = 0;
        int64_t z = 0;
        while (!AtEnd() && Bit() == 0 && !AtEnd() && z < 32) ++z;
        return Bits(z + k) + Pow2(z + k) - Pow2(k);
    }
    static int32_t Signed(uint32_t code) {
        const int64_t c = static_cast<int32_t>(code);
        return static_cast<int32_t>(c % 2 != 0 ? (c + 1) / 2 : -(c / 2));
    }
    int Marked7(uint32_t& v) {
        v = Bits(7);
        return AtEnd() ? 0 : static_cast<int>(Bit());
    }
    int Marked30(uint32_t& v) {
        v = Bits(15);
        if (AtEnd() || Bit() == 0) return 0;
        v = v * 32768u + Bits(15);
        return AtEnd() ? 0 : static_cast<int>(Bit());
    }
    uint32_t Put(uint32_t v, int64_t n) {
        if (left == 8) ++cur, left = 0;  // after NextByte the byte takes nothing
        for (int64_t i = n - 1; i >= 0; --i) {
            mem[static_cast<size_t>(cur)] |= static_cast<uint8_t>((i < 32 ? (v >> i) & 1u : 0u) << (7 - left));
            if (++left == 8) ++cur, left = 0;
        }
        return static_cast<uint32_t>(left);
    }
    void ResetLeft() { left = write ? 0 : 8; }
};

// The caller's memory: up to 7 bytes before the stream's start (so that the start falls
// anywhere in a machine word), the stream's bytes, sometimes 8 bytes of slack that writes
// may run into (the bound is the caller's), and a guard, poisoned under AddressSanitizer
// so that even a touch that changes nothing shows.
class BitsScenario {
public:
    explicit BitsScenario(std::function<uint32_t()> next) : m_next(std::move(next)) { Setup(); }
    ~BitsScenario() { Poison(false); }
    BitsScenario(const BitsScenario&) = delete;
    BitsScenario& operator=(const BitsScenario&) = delete;

    // One random call, then result, cursor, queries and memory against the model: "" or
    // what differs.
    std::string Step() {
        int64_t got = 0, want = 0;
        std::string op = "Init";
        if (Pick(24) == 0) Setup();
        else op = Pick(8) == 0 ? Move() : m_m.write ? Write(got, want) : Read(got, want);
        op += " at " + std::to_string(m_m.cur) + "/" + std::to_string(m_m.size);
        if (got != want) return op + ": result " + std::to_string(got) + ", expected " + std::to_string(want);
        const uint8_t* start = m_mem.data() + m_pre;
        if (m_s.m_pCur - start != m_m.cur || m_s.m_nLeft != m_m.left)
            return op + ": cursor " + std::to_string(m_s.m_pCur - start) + "/" + std::to_string(m_s.m_nLeft) +
                   ", expected " + std::to_string(m_m.cur) + "/" + std::to_string(m_m.left);
        if (m_s.m_pStart != start || m_s.m_pEnd - start != m_m.size || m_s.BytesPos() != m_m.cur ||
            m_s.CheckByteAlign() != (m_m.left & 7) || m_s.Pos() != m_m.cur * 8 + 8 - m_m.left ||
            m_s.EOS() != (m_m.cur >= m_m.size - 1 ? 1 : 0))
            return op + ": bounds or queries";
        for (size_t i = 0; i < m_mem.size() - kGuard; ++i)
            if (m_mem[i] != (i < static_cast<size_t>(m_pre) ? m_prefix[i] : m_m.mem[i - static_cast<size_t>(m_pre)]))
                return op + ": memory byte " + std::to_string(i);
        return "";
    }

private:
    static constexpr int kGuard = 8;

    int32_t Pick(uint32_t n) { return static_cast<int32_t>(m_next() % n); }

    // Mostly short memory, so that calls meet its end often; zero bytes from none to all,
    // so that zero runs reach the Exp-Golomb limits with dense bits after them.
    void Setup() {
        const int32_t n = Pick(4) == 0 ? Pick(80) : Pick(12);
        const uint32_t zeros = static_cast<uint32_t>(Pick(9));  // in eighths
        uint32_t x = m_next() | 1;  // xorshift32 fills the bytes: the draws go to the calls
        auto rnd = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
        Poison(false);
        m_pre = Pick(8);
        m_slack = Pick(2) * 8;
        m_mem.assign(static_cast<size_t>(m_pre + n + m_slack + kGuard), 0);
        for (auto& b : m_mem) b = rnd() % 8 < zeros ? 0 : static_cast<uint8_t>(rnd() >> 8);
        m_prefix.assign(m_mem.begin(), m_mem.begin() + m_pre);
        m_m.mem.assign(m_mem.begin() + m_pre, m_mem.end());
        m_m.size = n, m_m.cur = 0, m_m.write = Pick(3) == 0;
        if (m_m.write) std::fill(m_m.mem.begin(), m_m.mem.begin() + n, 0);
        m_m.ResetLeft();
        m_s.Init(m_mem.data() + m_pre, n, m_m.write ? 1 + Pick(100) : 0);
        Poison(true);
    }

    void Poison(bool on) {
#if defined(QVTEST_ASAN)
        if (on) ASAN_POISON_MEMORY_REGION(m_mem.data() + m_mem.size() - kGuard, kGuard);
        else if (!m_mem.empty()) ASAN_UNPOISON_MEMORY_REGION(m_mem.data() + m_mem.size() - kGuard, kGuard);
#else
        (void)on;
#endif
    }

    std::string Move() {
        const int64_t n = m_m.size;
        switch (Pick(4)) {
        case 0: {  // mostly near the end
            const int64_t to = Pick(4) ? n - Pick(10) : Pick(static_cast<uint32_t>(n) + 1);
            if (to < 0) return "no move";
            m_m.cur = to, m_m.ResetLeft(), m_s.NewBytesPos(static_cast<int32_t>(to));
            return "NewBytesPos(" + std::to_string(to) + ")";
        }
        case 1: {
            const int32_t by = Pick(7) - 3;
            if (m_m.cur + by < 0 || m_m.cur + by > n) return "no move";
            m_m.cur += by, m_m.ResetLeft(), m_s.Skip(by);
            return "Skip(" + std::to_string(by) + ")";
        }
        case 2:
            m_m.ResetLeft(), m_s.ResetLeft();
            return "ResetLeft";
        default:
            if (m_m.cur >= n) return "no move";
            ++m_m.cur, m_m.left = 8, m_s.NextByte();
            return "NextByte";
        }
    }

    // Widths 0 to 32 mostly, some negative and some past 32.
    int32_t Width() {
        const int32_t r = Pick(40);
        return r < 33 ? r : Pick(8) == 0 ? -Pick(4) : 33 + Pick(40);
    }

    std::string Read(int64_t& got, int64_t& want) {
        const int32_t n = Width(), k = Pick(8) ? Pick(8) : Pick(48) - 8;  // orders outside 0..31 too
        const int which = Pick(10);
        if (which < 3) {
            want = m_m.Bits(n < 1 ? 0 : n), got = m_s.GetBits(n);
            return "GetBits(" + std::to_string(n) + ")";
        }
        if (which == 3) {
            want = m_m.Bit(), got = m_s.GetBit1();
            return "GetBit1";
        }
        if (which == 4) {
            const int32_t c = Pick(3) ? n : Pick(2000);
            for (int32_t i = 0; i < c && !m_m.AtEnd(); ++i) m_m.Bit();
            m_s.ClearBits(c);
            return "ClearBits(" + std::to_string(c) + ")";
        }
        if (which < 8) {
            const bool order0 = which == 5, sign = Pick(2);
            const uint32_t code = m_m.UEK(order0 ? 0 : k);
            want = sign ? BitsModel::Signed(code) : int64_t{code};
            got = order0 ? (sign ? m_s.GetSE() : int64_t{m_s.GetUE()}) : (sign ? m_s.GetSEK(k) : int64_t{m_s.GetUEK(k)});
            return std::string(sign ? "GetSE" : "GetUE") + (order0 ? "" : "K(" + std::to_string(k) + ")");
        }
        // Marked integers: the value is folded into the result, for both overloads.
        const bool wide = Pick(2), asSigned = Pick(2);
        uint32_t mv = 0, u = 0xBEEF;
        int32_t i = 0x5EED;
        want = (wide ? m_m.Marked30(mv) : m_m.Marked7(mv)) * (int64_t{1} << 32) + mv;
        got = asSigned ? (wide ? m_s.GetMarkedInt30(i) : m_s.GetMarkedInt7(i)) : (wide ? m_s.GetMarkedInt30(u) : m_s.GetMarkedInt7(u));
        got = got * (int64_t{1} << 32) + (asSigned ? static_cast<uint32_t>(i) : u);
        return std::string("GetMarkedInt") + (wide ? "30" : "7") + (asSigned ? "(int)" : "(uint)");
    }

    std::string Write(int64_t& got, int64_t& want) {
        // The caller sizes the memory: only calls whose bits fit before the guard.
        const int64_t room = (m_m.size + m_slack - m_m.cur) * 8 - m_m.left;
        const uint32_t v = Pick(4) ? m_next() : m_next() >> Pick(32);
        const int which = Pick(6);
        if (which == 0 && room >= 8) {
            m_m.Put(v & 0x7F, 7), m_m.Put(1, 1), m_s.PutMarkedInt7(static_cast<int32_t>(v & 0x7F));
            return "PutMarkedInt7";
        }
        if (which == 1 && room >= 32) {
            m_m.Put((v >> 15) & 0x7FFF, 15), m_m.Put(1, 1), m_m.Put(v & 0x7FFF, 15), m_m.Put(1, 1);
            m_s.PutMarkedInt30(static_cast<int32_t>(v));
            return "PutMarkedInt30";
        }
        const int32_t n = Width();
        if (which < 2 || n > room) return "no write";
        // Values with bits above the field now and then: they must be ignored.
        const uint32_t val = Pick(3) == 0 || n >= 32 ? v : v & ((1u << (n < 1 ? 0 : n)) - 1);
        want = m_m.Put(val, n < 0 ? 0 : n), got = m_s.PutBits(val, n);
        return "PutBits(" + std::to_string(val) + ", " + std::to_string(n) + ")";
    }

    std::function<uint32_t()> m_next;
    std::vector<uint8_t> m_mem, m_prefix;
    int32_t m_pre = 0, m_slack = 0;
    QvBitStream m_s;
    BitsModel m_m;
};

}  // namespace qvmodel

#pragma once

// A bit-at-a-time reference model of QvBitStream, and a scenario that drives a real stream
// and the model side by side with random set-ups, moves, reads and writes. The unit tests
// drive it from a seeded generator, the fuzzer from its input.
//
// The model knows nothing of bytes beyond one bit: every field, code and marker is taken or
// put a bit at a time, in the order the bits lie in memory.

#include "QvBitStream.h"

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

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qvmodel {

struct BitsModel {
    std::vector<uint8_t> mem;  // the whole of the caller's bytes, stream and beyond
    int64_t size = 0;          // bytes the stream was set up over
    int64_t cur = 0;           // index of the current byte
    int32_t left = 8;
    bool write = false;

    bool AtEnd() const { return cur >= size; }

    // --- reading: one bit, then everything built from bits ---------------------------
    uint32_t Bit() {
        if (AtEnd()) return 0;
        --left;
        const uint32_t b = (mem[static_cast<size_t>(cur)] >> left) & 1u;
        if (left == 0) ++cur, left = 8;
        return b;
    }
    // Past the end the bits are zeros; a field longer than 32 bits keeps its last 32.
    uint32_t Bits(int64_t n) {
        uint32_t r = 0;
        for (int64_t i = 0; i < n; ++i) r = (r << 1) | Bit();
        return r;
    }
    void Clear(int64_t n) {
        for (int64_t i = 0; i < n && !AtEnd(); ++i) Bit();
    }
    static uint32_t Pow2(int64_t m) { return m < 32 ? 1u << m : m == 32 ? 1u : 0u; }
    uint32_t UEK(int32_t k) {
        if (k < 0) k = 0;
        int64_t z = 0;
        while (!AtEnd()) {
            if (Bit() == 1 || AtEnd() || z >= 32) break;
            ++z;
        }
        return Bits(z + k) + Pow2(z + k) - Pow2(k);
    }
    static int32_t Signed(uint32_t code) {
        const int64_t c = static_cast<int32_t>(code);
        return static_cast<int32_t>(c % 2 != 0 ? (c + 1) / 2 : -(c / 2));
    }
    int Marked7(uint32_t& v) {
        v = Bits(7);
        if (AtEnd()) return 0;
        return static_cast<int>(Bit());
    }
    int Marked30(uint32_t& v) {
        v = Bits(15);
        if (AtEnd() || Bit() == 0) return 0;
        v = v * 32768u + Bits(15);
        if (AtEnd()) return 0;
        return static_cast<int>(Bit());
    }

    // --- writing ---------------------------------------------------------------------
    uint32_t Put(uint32_t v, int64_t n) {
        if (left == 8) ++cur, left = 0;  // after NextByte the byte takes nothing
        for (int64_t i = n - 1; i >= 0; --i) {
            const uint32_t b = i < 32 ? (v >> i) & 1u : 0u;
            mem[static_cast<size_t>(cur)] |= static_cast<uint8_t>(b << (7 - left));
            if (++left == 8) ++cur, left = 0;
        }
        return static_cast<uint32_t>(left);
    }

    // --- set-up and cursor -----------------------------------------------------------
    void Init(int64_t n, bool w) {
        size = n;
        cur = 0;
        write = w;
        if (w)
            for (int64_t i = 0; i < n; ++i) mem[static_cast<size_t>(i)] = 0;
        left = w ? 0 : 8;
    }
    void ResetLeft() { left = write ? 0 : 8; }
};

// A stream over caller memory laid out as: a few bytes before the stream's start (so that
// the start falls anywhere within a machine word), the stream's bytes, sometimes slack that
// writes may run into (the contract leaves the bound to the caller), and a guard. Under
// AddressSanitizer the guard is poisoned, so that even a touch that changes nothing shows.
class BitsScenario {
public:
    static constexpr int kGuard = 8;

    explicit BitsScenario(std::function<uint32_t()> next) : m_next(std::move(next)) { Setup(); }
    ~BitsScenario() { Poison(false); }
    BitsScenario(const BitsScenario&) = delete;
    BitsScenario& operator=(const BitsScenario&) = delete;

    // One random call, then the result, cursor and every byte of the memory against the
    // model. Returns "" or a description of the first difference.
    std::string Step() {
        std::string op;
        int64_t got = 0, want = 0;
        if (Pick(24) == 0) {
            op = "Init";
            Setup();
        } else if (Pick(8) == 0) {
            op = Move();
        } else if (m_m.write) {
            op = Write(got, want);
        } else {
            op = Read(got, want);
        }
        op += " at byte " + std::to_string(m_m.cur) + "/" + std::to_string(m_m.size);
        if (got != want) return op + ": result " + std::to_string(got) + ", expected " + std::to_string(want);
        return Compare(op);
    }

private:
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
        m_m.mem.assign(m_mem.begin() + m_pre, m_mem.end());
        const bool write = Pick(3) == 0;
        m_m.Init(n, write);
        m_s.Init(m_mem.data() + m_pre, n, write ? 1 + Pick(100) : 0);
        for (int i = 0; i < m_pre; ++i) m_prefix[i] = m_mem[static_cast<size_t>(i)];
        Poison(true);
    }

    void Poison(bool on) {
#if defined(QVTEST_ASAN)
        if (m_mem.empty()) return;
        uint8_t* guard = m_mem.data() + m_mem.size() - kGuard;
        if (on) ASAN_POISON_MEMORY_REGION(guard, kGuard);
        else ASAN_UNPOISON_MEMORY_REGION(guard, kGuard);
#else
        (void)on;
#endif
    }

    std::string Move() {
        const int32_t n = static_cast<int32_t>(m_m.size);
        switch (Pick(4)) {
        case 0: {
            const int32_t to = Pick(4) ? n - Pick(10) : Pick(static_cast<uint32_t>(n) + 1);
            if (to < 0) return "no move";
            m_m.cur = to, m_m.ResetLeft();
            m_s.NewBytesPos(to);
            return "NewBytesPos(" + std::to_string(to) + ")";
        }
        case 1: {
            const int32_t by = Pick(7) - 3;
            if (m_m.cur + by < 0 || m_m.cur + by > n) return "no move";
            m_m.cur += by, m_m.ResetLeft();
            m_s.Skip(by);
            return "Skip(" + std::to_string(by) + ")";
        }
        case 2:
            m_m.ResetLeft();
            m_s.ResetLeft();
            return "ResetLeft";
        default:
            if (m_m.cur >= n) return "no move";
            ++m_m.cur, m_m.left = 8;
            m_s.NextByte();
            return "NextByte";
        }
    }

    int32_t Width() {
        const int32_t r = Pick(40);
        return r < 33 ? r : Pick(8) == 0 ? -Pick(4) : 33 + Pick(40);
    }

    std::string Read(int64_t& got, int64_t& want) {
        const int32_t n = Width();
        switch (Pick(10)) {
        case 0:
        case 1:
        case 2:
            want = m_m.Bits(n < 1 ? 0 : n), got = m_s.GetBits(n);
            return "GetBits(" + std::to_string(n) + ")";
        case 3:
            want = m_m.Bit(), got = m_s.GetBit1();
            return "GetBit1";
        case 4: {
            const int32_t c = Pick(3) ? n : Pick(2000);
            m_m.Clear(c), m_s.ClearBits(c);
            return "ClearBits(" + std::to_string(c) + ")";
        }
        case 5:
            if (Pick(2)) {
                want = m_m.UEK(0), got = m_s.GetUE();
                return "GetUE";
            }
            want = BitsModel::Signed(m_m.UEK(0)), got = m_s.GetSE();
            return "GetSE";
        case 6:
        case 7: {
            const int32_t k = Pick(8) ? Pick(8) : Pick(48) - 8;  // orders outside 0..31 too
            if (Pick(2)) {
                want = m_m.UEK(k), got = m_s.GetUEK(k);
                return "GetUEK(" + std::to_string(k) + ")";
            }
            want = BitsModel::Signed(m_m.UEK(k)), got = m_s.GetSEK(k);
            return "GetSEK(" + std::to_string(k) + ")";
        }
        default: {
            const bool wide = Pick(2), asSigned = Pick(2);
            uint32_t mv = 0xDEAD, u = 0xBEEF;
            int32_t i = 0x5EED;
            want = wide ? m_m.Marked30(mv) : m_m.Marked7(mv);
            if (asSigned) {
                got = wide ? m_s.GetMarkedInt30(i) : m_s.GetMarkedInt7(i);
                u = static_cast<uint32_t>(i);
            } else {
                got = wide ? m_s.GetMarkedInt30(u) : m_s.GetMarkedInt7(u);
            }
            // Fold the value into the result so that one comparison covers both.
            want = want << 32 | mv, got = got << 32 | u;
            return std::string("GetMarkedInt") + (wide ? "30" : "7") + (asSigned ? "(int)" : "(uint)");
        }
        }
    }

    std::string Write(int64_t& got, int64_t& want) {
        // The caller sizes the memory: only calls whose bits fit before the guard.
        const int64_t room = (m_m.size + m_slack - m_m.cur) * 8 - m_m.left;
        const uint32_t v = Pick(4) ? m_next() : m_next() >> Pick(32);
        switch (Pick(6)) {
        case 0: {
            if (room < 8) return "no write";
            m_m.Put(v & 0x7F, 7), m_m.Put(1, 1);
            m_s.PutMarkedInt7(static_cast<int32_t>(v & 0x7F));
            return "PutMarkedInt7";
        }
        case 1: {
            if (room < 32) return "no write";
            m_m.Put((v >> 15) & 0x7FFF, 15), m_m.Put(1, 1), m_m.Put(v & 0x7FFF, 15), m_m.Put(1, 1);
            m_s.PutMarkedInt30(static_cast<int32_t>(v));
            return "PutMarkedInt30";
        }
        default: {
            const int32_t n = Width();
            if (n > room) return "no write";
            // Values above the field are ignored; give some.
            const uint32_t val = Pick(3) == 0 || n >= 32 ? v : v & ((1u << (n < 1 ? 0 : n)) - 1);
            want = m_m.Put(val, n < 0 ? 0 : n), got = m_s.PutBits(val, n);
            return "PutBits(" + std::to_string(val) + ", " + std::to_string(n) + ")";
        }
        }
    }

    std::string Compare(const std::string& op) const {
        const uint8_t* start = m_mem.data() + m_pre;
        const int64_t cur = m_s.m_pCur - start;
        if (cur != m_m.cur || m_s.m_nLeft != m_m.left)
            return op + ": cursor " + std::to_string(cur) + "/" + std::to_string(m_s.m_nLeft) + ", expected " +
                   std::to_string(m_m.cur) + "/" + std::to_string(m_m.left);
        if (m_s.m_pStart != start || m_s.m_pEnd - start != m_m.size) return op + ": bounds moved";
        if (m_s.BytesPos() != m_m.cur || m_s.CheckByteAlign() != (m_m.left & 7) ||
            m_s.Pos() != m_m.cur * 8 + 8 - m_m.left || m_s.EOS() != (m_m.cur >= m_m.size - 1 ? 1 : 0))
            return op + ": queries";
        for (size_t i = 0; i < m_m.mem.size() - kGuard; ++i)
            if (start[i] != m_m.mem[i]) return op + ": memory byte " + std::to_string(i);
        for (int i = 0; i < m_pre; ++i)
            if (m_mem[static_cast<size_t>(i)] != m_prefix[i]) return op + ": wrote before the start";
        return "";
    }

    std::function<uint32_t()> m_next;
    std::vector<uint8_t> m_mem;
    int32_t m_pre = 0, m_slack = 0;
    uint8_t m_prefix[8] = {};
    QvBitStream m_s;
    BitsModel m_m;
};

}  // namespace qvmodel

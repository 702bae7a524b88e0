#pragma once

// A reference model of QvBuffer and a scenario that drives two real buffers and the model
// side by side with random operations, allocation faults included. The unit tests drive it
// from a seeded generator, the fuzzer from its input.
//
// The model keeps a vector per block (-1 for bytes never written) plus the layout rules.
// Blocks that several buffers may see (wrapped caller memory, blocks given up with
// ClearDeleteFlag) share one content vector, so a write through one view shows in the
// model of every other.

#include "AllocFaults.h"
#include "QvBuffer.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qvmodel {

using Bytes = std::vector<int>;

struct BufferModel {
    std::shared_ptr<Bytes> block;  // null: no block
    unsigned char* ptr = nullptr;  // expected m_pData; null with a block: not known yet
    int32_t size = 0, flags = QvBuffer::FLAGS_DELETE, cap = 0, offset = 0;

    void Empty() { *this = BufferModel(); }
    void NewBlock(int32_t n) {
        block = std::make_shared<Bytes>(static_cast<size_t>(n), -1);
        ptr = nullptr;
        cap = n;
    }
    void Write(int32_t at, const std::vector<unsigned char>& src) {
        for (size_t i = 0; i < src.size(); ++i) (*block)[at + i] = src[i];
    }
};

struct Expect {
    int result;
    int allocs;  // nothrow allocations the call makes
};

inline Expect ModelAlloc(BufferModel& m, int32_t n, bool fail) {
    if (m.block && m.cap >= n) return {1, 0};
    m.Empty();
    if (fail) return {0, 1};
    m.NewBlock(n);
    return {1, 1};
}

inline Expect ModelRealloc(BufferModel& m, int32_t n, bool fail) {
    if (m.block && m.cap >= n) return {1, 0};
    if (fail) return {0, 1};
    auto old = m.block;
    m.NewBlock(n);
    for (int32_t i = 0; old && i < m.size; ++i) (*m.block)[i] = (*old)[i];
    m.flags = QvBuffer::FLAGS_DELETE;
    return {1, 1};
}

inline Expect ModelCopyFrom(BufferModel& m, const std::vector<unsigned char>& src, bool fail) {
    const int32_t n = static_cast<int32_t>(src.size());
    Expect e{1, 0};
    if (n != 0) {
        e = ModelAlloc(m, n, fail);
        if (!e.result) return e;
        m.Write(0, src);
    }
    m.size = n;
    return e;
}

inline Expect ModelAdd(BufferModel& m, const std::vector<unsigned char>& src, bool fail) {
    Expect e = ModelRealloc(m, m.size + static_cast<int32_t>(src.size()), fail);
    if (!e.result) return e;
    m.Write(m.size, src);
    m.size += static_cast<int32_t>(src.size());
    return e;
}

inline Expect ModelReverseAdd(BufferModel& m, const std::vector<unsigned char>& src, bool fail) {
    const int32_t n = static_cast<int32_t>(src.size());
    if (n <= 0) return {1, 0};
    const int32_t need = m.size + n;
    Expect e{1, 0};
    if (need > m.cap) {
        if (fail) return {0, 1};
        auto old = m.block;
        const int32_t oldCap = m.cap;
        m.NewBlock(need);
        for (int32_t i = 0; i < m.size; ++i)
            (*m.block)[need - m.size + i] = (*old)[oldCap - m.size + i];
        m.flags = QvBuffer::FLAGS_DELETE;
        e.allocs = 1;
    }
    m.Write(m.cap - m.size - n, src);
    m.size = need;
    return e;
}

inline void ModelRewind(BufferModel& m) {
    if (m.offset == 0) return;
    for (int32_t i = 0; i < m.size - m.offset; ++i) (*m.block)[i] = (*m.block)[m.offset + i];
    m.size -= m.offset;
    m.offset = 0;
}

// A copy of an owning buffer takes a block of its own; anything else is a second view.
inline Expect ModelCopy(BufferModel& dst, const BufferModel& src, bool fail) {
    if (src.flags != QvBuffer::FLAGS_DELETE || !src.block) {
        dst = src;
        return {1, 0};
    }
    dst.Empty();
    if (fail) return {0, 1};
    dst = src;
    dst.block = std::make_shared<Bytes>(*src.block);
    dst.ptr = nullptr;
    return {1, 1};
}

// "" when the buffer matches the model, else what differs. Learns where a new block landed.
inline std::string Compare(const QvBuffer& b, BufferModel& m) {
    if ((b.m_pData != nullptr) != static_cast<bool>(m.block)) return "block presence";
    if (m.block) {
        if (!m.ptr) m.ptr = b.m_pData;
        if (b.m_pData != m.ptr) return "m_pData moved";
    }
    if (b.m_lSize != m.size) return "m_lSize " + std::to_string(b.m_lSize) + " != " + std::to_string(m.size);
    if (b.m_nFlags != m.flags) return "m_nFlags " + std::to_string(b.m_nFlags);
    if (b.m_lCapacity != m.cap) return "m_lCapacity " + std::to_string(b.m_lCapacity) + " != " + std::to_string(m.cap);
    if (b.m_lOffset != m.offset) return "m_lOffset " + std::to_string(b.m_lOffset) + " != " + std::to_string(m.offset);
    for (int32_t i = 0; m.block && i < m.cap; ++i)
        if ((*m.block)[i] >= 0 && b.m_pData[i] != (*m.block)[i]) return "byte " + std::to_string(i);
    return "";
}

// Two buffers, two pieces of caller memory they may wrap, and the model of all of it.
class BufferScenario {
public:
    // next() supplies the randomness: any source of 32-bit numbers.
    explicit BufferScenario(std::function<uint32_t()> next) : m_next(std::move(next)) {
        for (int32_t n : {8, 40}) {
            Region r;
            r.mem.assign(static_cast<size_t>(n) + kGuard, kGuardByte);
            r.model = std::make_shared<Bytes>(static_cast<size_t>(n));
            for (int32_t i = 0; i < n; ++i)
                (*r.model)[i] = r.mem[i] = static_cast<unsigned char>(m_next());
            m_regions.push_back(std::move(r));
        }
    }
    ~BufferScenario() {
        m_buf[0].Free();
        m_buf[1].Free();
        for (unsigned char* p : m_orphans) delete[] p;
    }
    BufferScenario(const BufferScenario&) = delete;
    BufferScenario& operator=(const BufferScenario&) = delete;

    // Runs one random operation, then compares both buffers with the model and checks the
    // guards behind the caller memory. Returns "" or a description of the first mismatch.
    std::string Step() {
        const int i = Pick(2);
        QvBuffer& b = m_buf[i];
        BufferModel& m = m_model[i];
        const bool fail = Pick(8) == 0;
        const long before = qvtest::AllocCount();
        if (fail) qvtest::FailNthAlloc(1);
        Expect e{1, 0};
        int got = 1;
        std::string op, extra;
        switch (Pick(15)) {
        case 0: {
            const int32_t n = Pick(48);
            op = "Alloc(" + std::to_string(n) + ")";
            e = ModelAlloc(m, n, fail);
            got = b.Alloc(n);
            break;
        }
        case 1: {
            const int32_t n = Pick(64);
            op = "Realloc(" + std::to_string(n) + ")";
            e = ModelRealloc(m, n, fail);
            got = b.Realloc(n);
            break;
        }
        case 2: {  // the three forms: bytes, view, string (which holds no NUL)
            auto src = RandomBytes(40);
            const int form = Pick(3);
            for (auto& c : src) c |= form == 2;
            const std::string s(src.begin(), src.end());
            QvData v = View(src);
            op = "CopyFrom(" + std::to_string(src.size()) + ", form " + std::to_string(form) + ")";
            e = ModelCopyFrom(m, src, fail);
            got = form == 0 ? b.CopyFrom(src.data(), v.m_lSize) : form == 1 ? b.CopyFrom(v) : b.CopyFrom(s.c_str());
            break;
        }
        case 3:
        case 4: {
            auto src = RandomBytes(24);
            op = "Add(" + std::to_string(src.size()) + ")";
            e = ModelAdd(m, src, fail);
            got = Pick(2) ? b.Add(src.data(), static_cast<int32_t>(src.size())) : b.Add(View(src));
            break;
        }
        case 5:
        case 6: {
            auto src = RandomBytes(24);
            const bool nullSource = Pick(10) == 0;
            static const unsigned char nothing = 0;  // a non-null source for 0 bytes
            op = "ReverseAdd(" + std::to_string(src.size()) + (nullSource ? ", null)" : ")");
            e = nullSource ? Expect{0, 0} : ModelReverseAdd(m, src, fail);
            got = b.ReverseAdd(nullSource ? nullptr : src.empty() ? &nothing : src.data(),
                               static_cast<int32_t>(src.size()));
            break;
        }
        case 7:
            op = "Reset";
            m.size = m.offset = 0;
            b.Reset();
            break;
        case 8:  // a reader advances, and maybe drops what it read; or the buffer is freed
            op = Pick(4) ? Pick(2) ? "advance" : "advance+Rewind" : "Free";
            if (op == "Free") m.Empty(), b.Free();
            else m.offset = b.m_lOffset = m.size ? Pick(m.size + 1) : 0;
            if (op == "advance+Rewind") ModelRewind(m), b.Rewind();
            break;
        case 9:
            op = "ClearDeleteFlag";
            if (m.block && m.flags == QvBuffer::FLAGS_DELETE) m_orphans.push_back(b.m_pData);
            m.flags = 0;
            b.ClearDeleteFlag();
            break;
        case 10: {  // wrap a prefix of one of the caller's regions
            Region& r = m_regions[static_cast<size_t>(Pick(2))];
            QvData v;
            v.m_pData = r.mem.data();
            v.m_lSize = Pick(r.Size() + 1);
            op = "SetData(" + std::to_string(v.m_lSize) + ")";
            m.Empty();
            m.block = r.model;
            m.ptr = r.mem.data();
            m.size = m.cap = v.m_lSize;
            m.flags = 0;
            Pick(2) ? b.SetData(v.m_pData, v.m_lSize) : b.SetData(v);
            break;
        }
        case 11:
            if (Pick(4)) {
                op = "Exchange";
                std::swap(m_model[0], m_model[1]);
                got = m_buf[0].Exchange(&m_buf[1]);
            } else {
                op = "Exchange with itself";
                got = b.Exchange(&b);
            }
            break;
        case 12:
            op = "copy-assign";
            e = ModelCopy(m_model[1 - i], m, fail);
            m_buf[1 - i] = b;
            got = e.result;  // copies report nothing: the state comparison decides
            break;
        case 13: {
            op = "copy-construct+move-assign";
            BufferModel tmp, none;
            e = ModelCopy(tmp, m, fail);
            QvBuffer copy(b);
            got = e.result;
            extra = Compare(copy, tmp);
            m_model[1 - i] = tmp;
            m_buf[1 - i] = std::move(copy);
            if (extra.empty()) extra = Compare(copy, none);
            break;
        }
        case 14: {
            op = "move-construct";
            BufferModel none;
            QvBuffer moved(std::move(b));
            extra = Compare(b, none);
            b = std::move(moved);
            break;
        }
        }
        qvtest::ResetAllocFaults();
        const std::string where = op + " on buffer " + std::to_string(i) + (fail ? " (alloc fails)" : "");
        if (got != e.result) return where + ": result " + std::to_string(got);
        if (qvtest::AllocCount() - before != e.allocs) return where + ": allocation count";
        if (!extra.empty()) return where + ": copy/move: " + extra;
        for (int k = 0; k < 2; ++k) {
            const std::string d = Compare(m_buf[k], m_model[k]);
            if (!d.empty()) return where + ": buffer " + std::to_string(k) + ": " + d;
        }
        for (const Region& r : m_regions)
            for (size_t k = static_cast<size_t>(r.Size()); k < r.mem.size(); ++k)
                if (r.mem[k] != kGuardByte) return where + ": wrote past caller memory";
        return "";
    }

private:
    static constexpr int kGuard = 16;
    static constexpr unsigned char kGuardByte = 0xEE;

    struct Region {
        std::vector<unsigned char> mem;  // the caller's bytes, then the guard
        std::shared_ptr<Bytes> model;
        int32_t Size() const { return static_cast<int32_t>(mem.size()) - kGuard; }
    };

    int Pick(int n) { return static_cast<int>(m_next() % static_cast<uint32_t>(n)); }
    std::vector<unsigned char> RandomBytes(int maxLen) {
        std::vector<unsigned char> v(static_cast<size_t>(Pick(maxLen + 1)));
        for (auto& c : v) c = static_cast<unsigned char>(m_next());
        return v;
    }
    static QvData View(std::vector<unsigned char>& v) {
        QvData d;
        d.m_pData = v.data();
        d.m_lSize = static_cast<int32_t>(v.size());
        return d;
    }

    std::function<uint32_t()> m_next;
    QvBuffer m_buf[2];
    BufferModel m_model[2];
    std::vector<Region> m_regions;
    std::vector<unsigned char*> m_orphans;  // blocks given up with ClearDeleteFlag
};

}  // namespace qvmodel

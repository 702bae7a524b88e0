#include "QvBuffer.h"
#include "QvTestSupport.h"

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------
// QvData

struct SameDataRow {
    const char* what;
    const char* a;  // null: null pointer
    int32_t aSize;
    const char* b;  // null: null pointer
    int32_t bSize;
    bool nullArg;
    int expected;
};

TEST(QvData, IsSameDataTable) {
    const SameDataRow rows[] = {
        {"default view vs null argument", nullptr, 0, nullptr, 0, true, 1},
        {"3 bytes vs null argument", "abc", 3, nullptr, 0, true, 0},
        {"null pointer, size 2 vs null argument", nullptr, 2, nullptr, 0, true, 1},
        {"sizes 4 and 5", "abcd", 4, "abcde", 5, false, 0},
        {"7 equal bytes", "abcdefg", 7, "abcdefg", 7, false, 1},
        {"7 bytes, last differs", "abcdefg", 7, "abcdefh", 7, false, 0},
        {"first byte differs", "xbcdefg", 7, "abcdefg", 7, false, 0},
        {"null pointer size 5 vs 5 bytes", nullptr, 5, "abcde", 5, false, 1},
        {"null pointer size 5 vs 6 bytes", nullptr, 5, "abcdef", 6, false, 0},
        {"5 bytes vs null pointer size 5", "abcde", 5, nullptr, 5, false, 1},
        {"two sizes 0", "abc", 0, "xyz", 0, false, 1},
    };
    for (const auto& r : rows) {
        // Copies so that equal contents never share an address.
        std::string sa = r.a ? r.a : "", sb = r.b ? r.b : "";
        QvData a, b;
        a.m_pData = r.a ? reinterpret_cast<unsigned char*>(&sa[0]) : nullptr;
        a.m_lSize = r.aSize;
        b.m_pData = r.b ? reinterpret_cast<unsigned char*>(&sb[0]) : nullptr;
        b.m_lSize = r.bSize;
        EXPECT_EQ(a.IsSameData(r.nullArg ? nullptr : &b), r.expected) << r.what;
        if (!r.nullArg) {
            EXPECT_EQ(b.IsSameData(&a), r.expected) << r.what << " (swapped)";
        }
    }
}

TEST(QvData, SameViewIsNotRead) {
    // A view compared with itself gives 1 without touching its bytes: the pointer here
    // cannot be dereferenced.
    QvData v;
    v.m_pData = reinterpret_cast<unsigned char*>(uintptr_t{16});
    v.m_lSize = 100;
    EXPECT_EQ(v.IsSameData(&v), 1);
}

TEST(QvData, IsValidTable) {
    unsigned char byte = 0;
    const struct {
        unsigned char* p;
        int32_t n;
        int expected;
    } rows[] = {{nullptr, 0, 0}, {nullptr, 5, 0}, {&byte, 0, 0}, {&byte, 1, 1}};
    for (const auto& r : rows) {
        QvData v;
        v.m_pData = r.p;
        v.m_lSize = r.n;
        EXPECT_EQ(v.IsValid(), r.expected) << (r.p ? "ptr" : "null") << " size " << r.n;
    }
}

// ---------------------------------------------------------------------------------------
// QvBuffer against a model: a vector per block (-1 for bytes never written) plus the
// layout rules. Blocks that several buffers may see (wrapped caller memory, blocks given
// up with ClearDeleteFlag) share one content vector, so a write through one view shows in
// the model of every other.

using Bytes = std::vector<int>;

struct Model {
    std::shared_ptr<Bytes> block;  // null: no block
    unsigned char* ptr = nullptr;  // expected m_pData; null with a block: not known yet
    int32_t size = 0, flags = QvBuffer::FLAGS_DELETE, cap = 0, offset = 0;

    void Empty() { *this = Model(); }
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
    int allocs;  // nothrow allocations the call makes when none fails
};

Expect ModelAlloc(Model& m, int32_t n, bool fail) {
    if (m.block && m.cap >= n) return {1, 0};
    m.Empty();
    if (fail) return {0, 1};
    m.NewBlock(n);
    return {1, 1};
}

Expect ModelRealloc(Model& m, int32_t n, bool fail) {
    if (m.block && m.cap >= n) return {1, 0};
    if (fail) return {0, 1};
    auto old = m.block;
    m.NewBlock(n);
    for (int32_t i = 0; old && i < m.size; ++i) (*m.block)[i] = (*old)[i];
    m.flags = QvBuffer::FLAGS_DELETE;
    return {1, 1};
}

Expect ModelCopyFrom(Model& m, const std::vector<unsigned char>& src, bool fail) {
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

Expect ModelAdd(Model& m, const std::vector<unsigned char>& src, bool fail) {
    Expect e = ModelRealloc(m, m.size + static_cast<int32_t>(src.size()), fail);
    if (!e.result) return e;
    m.Write(m.size, src);
    m.size += static_cast<int32_t>(src.size());
    return e;
}

Expect ModelReverseAdd(Model& m, const std::vector<unsigned char>& src, bool fail) {
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

void ModelRewind(Model& m) {
    if (m.offset == 0) return;
    for (int32_t i = 0; i < m.size - m.offset; ++i) (*m.block)[i] = (*m.block)[m.offset + i];
    m.size -= m.offset;
    m.offset = 0;
}

// A copy of an owning buffer takes a block of its own; anything else is a second view.
Expect ModelCopy(Model& dst, const Model& src, bool fail) {
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

// Caller memory that a buffer may wrap, with a guard behind it that must never change.
struct CallerMemory {
    static constexpr int kGuard = 16;
    std::vector<unsigned char> mem;
    std::shared_ptr<Bytes> model;
    explicit CallerMemory(int32_t n, std::mt19937& rng) : mem(static_cast<size_t>(n) + kGuard, 0xEE) {
        model = std::make_shared<Bytes>(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) (*model)[i] = mem[i] = static_cast<unsigned char>(rng());
    }
    int32_t Size() const { return static_cast<int32_t>(mem.size()) - kGuard; }
    bool GuardIntact() const {
        for (size_t i = static_cast<size_t>(Size()); i < mem.size(); ++i)
            if (mem[i] != 0xEE) return false;
        return true;
    }
};

class BufferModelTest : public ::testing::TestWithParam<uint32_t> {
protected:
    void Check(const QvBuffer& b, Model& m, const std::string& where) {
        ASSERT_EQ(b.m_pData != nullptr, static_cast<bool>(m.block)) << where;
        if (m.block) {
            if (!m.ptr) m.ptr = b.m_pData;  // a new block: remember where it landed
            ASSERT_EQ(b.m_pData, m.ptr) << where;
        }
        ASSERT_EQ(b.m_lSize, m.size) << where;
        ASSERT_EQ(b.m_nFlags, m.flags) << where;
        ASSERT_EQ(b.m_lCapacity, m.cap) << where;
        ASSERT_EQ(b.m_lOffset, m.offset) << where;
        for (int32_t i = 0; m.block && i < m.cap; ++i)
            if ((*m.block)[i] >= 0) {
                ASSERT_EQ(b.m_pData[i], (*m.block)[i]) << where << " byte " << i;
            }
    }
};

TEST_P(BufferModelTest, RandomOperationSequences) {
    std::mt19937 rng(GetParam());
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto bytes = [&](int maxLen) {
        std::vector<unsigned char> v(static_cast<size_t>(pick(maxLen + 1)));
        for (auto& c : v) c = static_cast<unsigned char>(rng());
        return v;
    };

    std::vector<std::unique_ptr<CallerMemory>> regions;
    regions.emplace_back(new CallerMemory(8, rng));
    regions.emplace_back(new CallerMemory(40, rng));
    std::vector<unsigned char*> orphans;  // blocks given up with ClearDeleteFlag

    {
        QvBuffer buf[2];
        Model model[2];
        for (int step = 0; step < 20000; ++step) {
            const int i = pick(2);
            QvBuffer& b = buf[i];
            Model& m = model[i];
            const bool fail = pick(8) == 0;
            const long before = qvtest::AllocCount();
            if (fail) qvtest::FailNthAlloc(1);
            Expect e{1, 0};
            int got = 1;
            std::string op;
            switch (pick(15)) {
            case 0: {
                const int32_t n = pick(48);
                op = "Alloc(" + std::to_string(n) + ")";
                e = ModelAlloc(m, n, fail);
                got = b.Alloc(n);
                break;
            }
            case 1: {
                const int32_t n = pick(64);
                op = "Realloc(" + std::to_string(n) + ")";
                e = ModelRealloc(m, n, fail);
                got = b.Realloc(n);
                break;
            }
            case 2: {
                auto src = bytes(40);
                const int form = pick(3);
                if (form == 2)
                    for (auto& c : src) c |= 1;  // a string holds no NUL
                op = "CopyFrom(" + std::to_string(src.size()) + " bytes, form " + std::to_string(form) + ")";
                e = ModelCopyFrom(m, src, fail);
                if (form == 0) {
                    got = b.CopyFrom(src.data(), static_cast<int32_t>(src.size()));
                } else if (form == 1) {
                    QvData v;
                    v.m_pData = src.data();
                    v.m_lSize = static_cast<int32_t>(src.size());
                    got = b.CopyFrom(v);
                } else {
                    std::string s(src.begin(), src.end());
                    got = b.CopyFrom(s.c_str());
                }
                break;
            }
            case 3:
            case 4: {
                auto src = bytes(24);
                op = "Add(" + std::to_string(src.size()) + ")";
                e = ModelAdd(m, src, fail);
                if (pick(2)) {
                    got = b.Add(src.data(), static_cast<int32_t>(src.size()));
                } else {
                    QvData v;
                    v.m_pData = src.data();
                    v.m_lSize = static_cast<int32_t>(src.size());
                    got = b.Add(v);
                }
                break;
            }
            case 5:
            case 6: {
                auto src = bytes(24);
                const bool nullSource = pick(10) == 0;
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
            case 8:
                op = pick(4) ? "advance+Rewind" : "Free";
                if (op == "Free") {
                    m.Empty();
                    b.Free();
                } else {
                    m.offset = b.m_lOffset = m.size ? pick(m.size + 1) : 0;
                    if (pick(2)) {
                        ModelRewind(m);
                        b.Rewind();
                    }
                }
                break;
            case 9: {
                op = "ClearDeleteFlag";
                if (m.block && m.flags == QvBuffer::FLAGS_DELETE) orphans.push_back(b.m_pData);
                m.flags = 0;
                b.ClearDeleteFlag();
                break;
            }
            case 10: {
                CallerMemory& r = *regions[static_cast<size_t>(pick(2))];
                const int32_t n = pick(r.Size() + 1);  // wrap a prefix of it
                op = "SetData(" + std::to_string(n) + ")";
                m.Empty();
                m.block = r.model;
                m.ptr = r.mem.data();
                m.size = m.cap = n;
                m.flags = 0;
                if (pick(2)) {
                    b.SetData(r.mem.data(), n);
                } else {
                    QvData v;
                    v.m_pData = r.mem.data();
                    v.m_lSize = n;
                    b.SetData(v);
                }
                break;
            }
            case 11:
                if (pick(4)) {
                    op = "Exchange";
                    std::swap(model[0], model[1]);
                    got = buf[0].Exchange(&buf[1]);
                } else {
                    op = "Exchange with itself";
                    got = b.Exchange(&b);
                }
                break;
            case 12:
                op = "copy-assign";
                e = ModelCopy(model[1 - i], m, fail);
                buf[1 - i] = b;
                got = e.result;  // copies report nothing: the state checks below decide
                break;
            case 13: {
                op = "copy-construct+move-assign";
                Model tmp;
                e = ModelCopy(tmp, m, fail);
                QvBuffer copy(b);
                got = e.result;
                Check(copy, tmp, "copy");
                model[1 - i] = tmp;
                buf[1 - i] = std::move(copy);
                Model none;
                Check(copy, none, "moved-from");
                break;
            }
            case 14: {
                op = "move-construct";
                QvBuffer moved(std::move(b));
                Model none;
                Check(b, none, "moved-from");
                b = std::move(moved);
                break;
            }
            }
            qvtest::ResetAllocFaults();
            const std::string where = "step " + std::to_string(step) + ": " + op + " on buffer " +
                                      std::to_string(i) + (fail ? " (alloc fails)" : "");
            ASSERT_EQ(got, e.result) << where;
            ASSERT_EQ(qvtest::AllocCount() - before, e.allocs) << where;
            Check(buf[0], model[0], where + " / buffer 0");
            Check(buf[1], model[1], where + " / buffer 1");
            for (const auto& r : regions) ASSERT_TRUE(r->GuardIntact()) << where;
            if (HasFatalFailure()) return;
        }
    }
    for (unsigned char* p : orphans) delete[] p;
}

INSTANTIATE_TEST_SUITE_P(Seeds, BufferModelTest, ::testing::Values(1u, 2u, 3u, 20260u, 777u));

// ---------------------------------------------------------------------------------------
// The design's worked examples, as rows of (setup, call, expected state).

std::vector<unsigned char> Str(const char* s) {
    return std::vector<unsigned char>(s, s + std::strlen(s));
}

std::string Valid(const QvBuffer& b, bool back = false) {
    const unsigned char* p = back ? b.m_pData + b.m_lCapacity - b.m_lSize : b.m_pData;
    return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(b.m_lSize));
}

TEST(QvBuffer, NewBufferIsEmpty) {
    QvBuffer b;
    EXPECT_EQ(b.m_pData, nullptr);
    EXPECT_EQ(b.m_lSize, 0);
    EXPECT_EQ(b.m_nFlags, 1);
    EXPECT_EQ(b.m_lCapacity, 0);
    EXPECT_EQ(b.m_lOffset, 0);
    EXPECT_EQ(b.End(), nullptr);
}

TEST(QvBuffer, AllocKeepsOrReplaces) {
    QvBuffer b;
    ASSERT_EQ(b.Realloc(16), 1);
    ASSERT_EQ(b.Add(Str("abcd").data(), 4), 1);
    b.m_lOffset = 2;
    unsigned char* block = b.m_pData;
    EXPECT_EQ(b.Alloc(10), 1);
    EXPECT_EQ(b.m_pData, block);
    EXPECT_EQ(Valid(b), "abcd");
    EXPECT_EQ(b.m_lOffset, 2);
    EXPECT_EQ(b.Alloc(20), 1);
    EXPECT_EQ(b.m_lCapacity, 20);
    EXPECT_EQ(b.m_lSize, 0);
    EXPECT_EQ(b.m_lOffset, 0);

    QvBuffer zero;
    EXPECT_EQ(zero.Alloc(0), 1);
    EXPECT_NE(zero.m_pData, nullptr);
    EXPECT_EQ(zero.m_lCapacity, 0);
}

TEST(QvBuffer, ReallocKeepsBytesAndOffset) {
    QvBuffer b;
    ASSERT_EQ(b.CopyFrom("wxyz"), 1);
    b.m_lOffset = 2;
    EXPECT_EQ(b.Realloc(20), 1);
    EXPECT_EQ(b.m_lCapacity, 20);
    EXPECT_EQ(Valid(b), "wxyz");
    EXPECT_EQ(b.m_lOffset, 2);
}

TEST(QvBuffer, CopyFromStringReusesBlock) {
    QvBuffer b;
    EXPECT_EQ(b.CopyFrom("hello"), 1);
    EXPECT_EQ(b.m_lCapacity, 5);  // no terminator
    unsigned char* block = b.m_pData;
    EXPECT_EQ(b.CopyFrom("hi"), 1);
    EXPECT_EQ(b.m_pData, block);
    EXPECT_EQ(b.m_lCapacity, 5);
    EXPECT_EQ(Valid(b), "hi");
    // Nothing to copy: no allocation, the block stays.
    const long before = qvtest::AllocCount();
    EXPECT_EQ(b.CopyFrom(static_cast<const char*>(nullptr)), 1);
    EXPECT_EQ(b.CopyFrom(""), 1);
    EXPECT_EQ(qvtest::AllocCount(), before);
    EXPECT_EQ(b.m_pData, block);
    EXPECT_EQ(b.m_lSize, 0);
}

TEST(QvBuffer, AddGrowsExactly) {
    QvBuffer b;
    ASSERT_EQ(b.CopyFrom("abcde"), 1);
    EXPECT_EQ(b.Add(Str("fgh").data(), 3), 1);
    EXPECT_EQ(b.m_lCapacity, 8);
    EXPECT_EQ(Valid(b), "abcdefgh");

    QvBuffer empty;
    EXPECT_EQ(empty.Add(nullptr, 0), 1);
    EXPECT_NE(empty.m_pData, nullptr);
    EXPECT_EQ(empty.m_lCapacity, 0);
}

TEST(QvBuffer, ReverseAddBackLayout) {
    QvBuffer fresh;
    EXPECT_EQ(fresh.ReverseAdd(Str("abc").data(), 3), 1);
    EXPECT_EQ(fresh.ReverseAdd(Str("xy").data(), 2), 1);
    EXPECT_EQ(fresh.m_lCapacity, 5);
    EXPECT_EQ(Valid(fresh, true), "xyabc");

    QvBuffer reserved;
    ASSERT_EQ(reserved.Alloc(8), 1);
    unsigned char* block = reserved.m_pData;
    EXPECT_EQ(reserved.ReverseAdd(Str("abc").data(), 3), 1);
    EXPECT_EQ(reserved.ReverseAdd(Str("xy").data(), 2), 1);
    EXPECT_EQ(reserved.m_pData, block);
    EXPECT_EQ(reserved.End() - 5, block + 3);
    EXPECT_EQ(Valid(reserved, true), "xyabc");

    // Refusals change nothing.
    EXPECT_EQ(reserved.ReverseAdd(nullptr, 3), 0);
    EXPECT_EQ(reserved.ReverseAdd(Str("q").data(), 0), 1);
    EXPECT_EQ(reserved.ReverseAdd(Str("q").data(), -1), 1);
    EXPECT_EQ(reserved.m_lSize, 5);
    EXPECT_EQ(Valid(reserved, true), "xyabc");
}

TEST(QvBuffer, WrappedMemoryIsWrittenInPlaceThenLeftAlone) {
    unsigned char mem[10 + 4];
    std::memset(mem, '.', sizeof mem);
    QvBuffer b;
    b.SetData(mem, 10);
    EXPECT_EQ(b.m_nFlags, 0);
    EXPECT_EQ(b.CopyFrom(Str("123456").data(), 6), 1);
    EXPECT_EQ(b.m_pData, mem);
    EXPECT_EQ(b.m_nFlags, 0);
    EXPECT_EQ(b.Add(Str("789AB").data(), 5), 1);
    EXPECT_NE(b.m_pData, mem);
    EXPECT_EQ(b.m_nFlags, 1);
    EXPECT_EQ(b.m_lCapacity, 11);
    EXPECT_EQ(Valid(b), "123456789AB");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mem), sizeof mem), "123456........");

    unsigned char four[4] = {'a', 'b', 'c', 'd'};
    QvBuffer w;
    w.SetData(four, 4);
    EXPECT_EQ(w.ReverseAdd(Str("xy").data(), 2), 1);
    EXPECT_EQ(w.m_lCapacity, 6);
    EXPECT_EQ(w.m_nFlags, 1);
    EXPECT_EQ(Valid(w, true), "xyabcd");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(four), 4), "abcd");
}

TEST(QvBuffer, ClearDeleteFlagHandsTheBlockOver) {
    QvBuffer b;
    ASSERT_EQ(b.Alloc(4), 1);
    std::unique_ptr<unsigned char[]> taken(b.m_pData);
    b.ClearDeleteFlag();
    b.Free();  // must not release what the caller now owns
    EXPECT_EQ(b.m_pData, nullptr);
    EXPECT_EQ(b.m_nFlags, 1);
}

TEST(QvBuffer, RewindTable) {
    const struct {
        int32_t offset;
        const char* left;
    } rows[] = {{3, "3456789"}, {0, "0123456789"}, {10, ""}};
    for (const auto& r : rows) {
        QvBuffer b;
        ASSERT_EQ(b.CopyFrom("0123456789"), 1);
        b.m_lOffset = r.offset;
        b.Rewind();
        EXPECT_EQ(Valid(b), r.left) << "offset " << r.offset;
        EXPECT_EQ(b.m_lOffset, 0);
        EXPECT_EQ(b.m_lCapacity, 10);
    }
}

TEST(QvBuffer, ExchangeOwningAndWrapping) {
    unsigned char mem[3] = {1, 2, 3};
    QvBuffer owner, wrapper;
    ASSERT_EQ(owner.CopyFrom("abc"), 1);
    wrapper.SetData(mem, 3);
    unsigned char* block = owner.m_pData;
    EXPECT_EQ(owner.Exchange(&wrapper), 1);
    EXPECT_EQ(owner.m_pData, mem);
    EXPECT_EQ(owner.m_nFlags, 0);
    EXPECT_EQ(wrapper.m_pData, block);
    EXPECT_EQ(wrapper.m_nFlags, 1);
    // Both destructors run at scope end: the block is released once, mem never.
}

// Every allocating call under a failed allocation, with the state the design names.
TEST(QvBuffer, AllocationFailureStates) {
    auto owning = [] {
        QvBuffer b;
        b.CopyFrom("abcd");
        b.m_lOffset = 1;
        return b;
    };
    const unsigned char more[] = "0123456789";
    const struct {
        const char* call;
        int (*run)(QvBuffer&, const unsigned char*);
        bool leavesEmpty;  // else: unchanged
    } rows[] = {
        {"Alloc", [](QvBuffer& b, const unsigned char*) { return b.Alloc(10); }, true},
        {"CopyFrom", [](QvBuffer& b, const unsigned char* p) { return b.CopyFrom(p, 10); }, true},
        {"Realloc", [](QvBuffer& b, const unsigned char*) { return b.Realloc(10); }, false},
        {"Add", [](QvBuffer& b, const unsigned char* p) { return b.Add(p, 10); }, false},
        {"ReverseAdd", [](QvBuffer& b, const unsigned char* p) { return b.ReverseAdd(p, 10); }, false},
    };
    for (const auto& r : rows) {
        QvBuffer b = owning();
        const QvBuffer before = b;
        unsigned char* block = b.m_pData;
        int got;
        {
            qvtest::AllocFault fault(1);
            got = r.run(b, more);
        }
        EXPECT_EQ(got, 0) << r.call;
        if (r.leavesEmpty) {
            EXPECT_EQ(b.m_pData, nullptr) << r.call;
            EXPECT_EQ(b.m_lSize + b.m_lCapacity + b.m_lOffset, 0) << r.call;
            EXPECT_EQ(b.m_nFlags, 1) << r.call;
        } else {
            EXPECT_EQ(b.m_pData, block) << r.call;
            EXPECT_EQ(b.m_lSize, 4) << r.call;
            EXPECT_EQ(b.m_lCapacity, 4) << r.call;
            EXPECT_EQ(b.m_lOffset, 1) << r.call;
            EXPECT_EQ(b.IsSameData(&before), 1) << r.call;
        }
    }

    QvBuffer src = owning();
    qvtest::AllocFault fault(1);
    QvBuffer copy(src);
    EXPECT_EQ(copy.m_pData, nullptr);
    EXPECT_EQ(copy.m_lSize, 0);
    EXPECT_EQ(copy.m_nFlags, 1);
}

TEST(QvBuffer, CopiesNeverShareAnOwnedBlock) {
    QvBuffer a;
    ASSERT_EQ(a.Alloc(8), 1);
    ASSERT_EQ(a.ReverseAdd(Str("xyz").data(), 3), 1);  // back layout survives a copy
    a.m_lOffset = 1;
    QvBuffer b(a);
    EXPECT_NE(b.m_pData, a.m_pData);
    EXPECT_EQ(b.m_lCapacity, 8);
    EXPECT_EQ(b.m_lOffset, 1);
    EXPECT_EQ(Valid(b, true), "xyz");

    b = b;  // self-assignment changes nothing
    EXPECT_EQ(Valid(b, true), "xyz");

    unsigned char mem[2] = {7, 8};
    QvBuffer w;
    w.SetData(mem, 2);
    QvBuffer view(w);  // a wrapping source gives a second view
    EXPECT_EQ(view.m_pData, mem);
    EXPECT_EQ(view.m_nFlags, 0);
}

}  // namespace

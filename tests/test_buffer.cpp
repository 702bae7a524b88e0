#include "BufferModel.h"
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
// QvBuffer against the model, over long random operation sequences with allocation faults.

class BufferModelTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(BufferModelTest, RandomOperationSequences) {
    std::mt19937 rng(GetParam());
    qvmodel::BufferScenario scenario([&] { return static_cast<uint32_t>(rng()); });
    for (int step = 0; step < 20000; ++step) {
        const std::string diff = scenario.Step();
        ASSERT_EQ(diff, "") << "step " << step;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, BufferModelTest, ::testing::Values(1u, 2u, 3u, 20260u, 777u));

// ---------------------------------------------------------------------------------------
// Worked examples of the buffer's rules: setup, call, expected state.

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

// Every allocating call under a failed allocation, and the state it must leave.
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

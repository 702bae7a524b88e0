#include "BufferModel.h"
#include "QvBuffer.h"
#include "QvTestSupport.h"

#include <cstring>
#include <random>
#include <string>

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
// Worked examples of the buffer's rules, which also pin the model's reading of them: a
// script of calls, the last call's result, and the state it leaves.

const unsigned char* U(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

struct Example {
    const char* what;
    int (*run)(QvBuffer& b, unsigned char* caller);  // caller: 10 bytes "..........", +4 guard
    int result;
    const char* valid;  // the valid bytes, front layout (back layout when `back`)
    bool back;
    int32_t cap, flags, offset;
    const char* caller;  // the caller's memory afterwards
};

TEST(QvBuffer, WorkedExamples) {
    const Example rows[] = {
        {"new buffer", [](QvBuffer& b, unsigned char*) { return int(b.End() == nullptr); },
         1, "", false, 0, 1, 0, ".........."},
        {"Alloc keeps a block that is large enough",
         [](QvBuffer& b, unsigned char*) { b.Realloc(16), b.Add(U("abcd"), 4), b.m_lOffset = 2; return b.Alloc(10); },
         1, "abcd", false, 16, 1, 2, ".........."},
        {"Alloc replaces a small one", [](QvBuffer& b, unsigned char*) { b.CopyFrom("abcd"), b.m_lOffset = 1; return b.Alloc(20); },
         1, "", false, 20, 1, 0, ".........."},
        {"Alloc(0) takes a block of 0", [](QvBuffer& b, unsigned char*) { return int(b.Alloc(0) && b.m_pData); },
         1, "", false, 0, 1, 0, ".........."},
        {"Realloc keeps bytes and offset", [](QvBuffer& b, unsigned char*) { b.CopyFrom("wxyz"), b.m_lOffset = 2; return b.Realloc(20); },
         1, "wxyz", false, 20, 1, 2, ".........."},
        {"CopyFrom reuses the block, no terminator", [](QvBuffer& b, unsigned char*) { b.CopyFrom("hello"); return b.CopyFrom("hi"); },
         1, "hi", false, 5, 1, 0, ".........."},
        {"CopyFrom of nothing keeps the block", [](QvBuffer& b, unsigned char*) { b.CopyFrom("hello"); return b.CopyFrom(""); },
         1, "", false, 5, 1, 0, ".........."},
        {"Add grows exactly", [](QvBuffer& b, unsigned char*) { b.CopyFrom("abcde"); return b.Add(U("fgh"), 3); },
         1, "abcdefgh", false, 8, 1, 0, ".........."},
        {"Add of 0 bytes to an empty buffer", [](QvBuffer& b, unsigned char*) { return int(b.Add(nullptr, 0) && b.m_pData); },
         1, "", false, 0, 1, 0, ".........."},
        {"ReverseAdd takes exact blocks", [](QvBuffer& b, unsigned char*) { b.ReverseAdd(U("abc"), 3); return b.ReverseAdd(U("xy"), 2); },
         1, "xyabc", true, 5, 1, 0, ".........."},
        {"ReverseAdd into room reserved by Alloc", [](QvBuffer& b, unsigned char*) { b.Alloc(8), b.ReverseAdd(U("abc"), 3); return b.ReverseAdd(U("xy"), 2); },
         1, "xyabc", true, 8, 1, 0, ".........."},
        {"ReverseAdd from null", [](QvBuffer& b, unsigned char*) { b.ReverseAdd(U("abc"), 3); return b.ReverseAdd(nullptr, 3); },
         0, "abc", true, 3, 1, 0, ".........."},
        {"ReverseAdd of -1 bytes", [](QvBuffer& b, unsigned char*) { b.ReverseAdd(U("abc"), 3); return b.ReverseAdd(U("q"), -1); },
         1, "abc", true, 3, 1, 0, ".........."},
        {"wrapped memory is written in place", [](QvBuffer& b, unsigned char* m) { b.SetData(m, 10); return b.CopyFrom(U("123456"), 6); },
         1, "123456", false, 10, 0, 0, "123456...."},
        {"growing out of wrapped memory copies", [](QvBuffer& b, unsigned char* m) { b.SetData(m, 10), b.CopyFrom(U("123456"), 6); return b.Add(U("789AB"), 5); },
         1, "123456789AB", false, 11, 1, 0, "123456...."},
        {"prepending to wrapped memory copies", [](QvBuffer& b, unsigned char* m) { b.SetData(m, 4); return b.ReverseAdd(U("xy"), 2); },
         1, "xy....", true, 6, 1, 0, ".........."},
        {"ClearDeleteFlag, then Free", [](QvBuffer& b, unsigned char* m) { b.SetData(m, 10), b.ClearDeleteFlag(), b.Free(); return 1; },
         1, "", false, 0, 1, 0, ".........."},
        {"Rewind by 3", [](QvBuffer& b, unsigned char*) { b.CopyFrom("0123456789"), b.m_lOffset = 3, b.Rewind(); return 1; },
         1, "3456789", false, 10, 1, 0, ".........."},
        {"Rewind by all", [](QvBuffer& b, unsigned char*) { b.CopyFrom("0123456789"), b.m_lOffset = 10, b.Rewind(); return 1; },
         1, "", false, 10, 1, 0, ".........."},
    };
    for (const Example& r : rows) {
        unsigned char caller[14];
        std::memcpy(caller, "..........####", 14);
        QvBuffer b;
        EXPECT_EQ(r.run(b, caller), r.result) << r.what;
        const unsigned char* p = r.back ? b.m_pData + b.m_lCapacity - b.m_lSize : b.m_pData;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(b.m_lSize)), r.valid) << r.what;
        EXPECT_EQ(b.m_lCapacity, r.cap) << r.what;
        EXPECT_EQ(b.m_nFlags, r.flags) << r.what;
        EXPECT_EQ(b.m_lOffset, r.offset) << r.what;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(caller), 14), std::string(r.caller) + "####") << r.what;
    }
}

}  // namespace

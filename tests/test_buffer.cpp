#include "BufferModel.h"
#include "QvBuffer.h"
#include "QvTestSupport.h"
#include "internal/QvCopy.h"

#include <algorithm>
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

// The copy under every call below, at each distance around the window it copies in pieces
// (the destination 1 to 15 bytes past the source modulo 4096): copies between two blocks,
// with the bytes on either side untouched, and moves down within one block, which overlap.
TEST(QvBuffer, CopiesAroundPageAliasing) {
    std::vector<unsigned char> src(70000 + 8192), dst(70000 + 8192);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
    for (size_t n : {size_t{1984}, size_t{1985}, size_t{3969}, size_t{70000}})
        for (int d = -4; d <= 20; ++d) {
            const std::string at = "n " + std::to_string(n) + " distance " + std::to_string(d);
            const unsigned char* in = src.data();
            unsigned char* out = dst.data() + 1 + ((reinterpret_cast<uintptr_t>(in) + d - reinterpret_cast<uintptr_t>(dst.data() + 1)) & 4095);
            std::fill(dst.begin(), dst.end(), 0xEE);
            qv::CopyBytes(out, in, n);
            EXPECT_TRUE(std::equal(in, in + n, out) && out[-1] == 0xEE && out[n] == 0xEE) << at;
            const size_t k = 4096 - static_cast<size_t>(d & 4095);  // out - in = -k = d modulo 4096
            std::vector<unsigned char> block(src.begin(), src.begin() + static_cast<std::ptrdiff_t>(n + k));
            qv::MoveBytesDown(block.data(), block.data() + k, n);
            EXPECT_TRUE(std::equal(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n), src.begin() + static_cast<std::ptrdiff_t>(k))) << at;
        }
}

// Every call that copies, with the source at every offset of a cache line, around the piece
// size and the longest piece Add copies inline, against the bytes expected.
TEST(QvBuffer, LongCopiesAtEverySkew) {
    std::vector<unsigned char> src(70000 + 128);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
    auto bytes = [](const unsigned char* p, int32_t n) { return std::vector<unsigned char>(p, p + n); };
    for (int32_t n : {1024, 1025, 1983, 1984, 1985, 3969, 70000})
        for (int32_t skew = 0; skew < 64; ++skew) {
            const unsigned char* p = src.data() + skew;
            std::vector<unsigned char> headThenP = bytes(src.data(), skew), pThenHead = bytes(p, n);
            headThenP.insert(headThenP.end(), p, p + n);
            pThenHead.insert(pThenHead.end(), src.data(), src.data() + skew);
            QvBuffer copied, room, grown, rewound, prepended;
            ASSERT_TRUE(copied.CopyFrom(p, n));
            ASSERT_TRUE(room.Realloc(n + 64) && room.CopyFrom(src.data(), skew) && room.Add(p, n));
            ASSERT_TRUE(grown.CopyFrom(src.data(), skew) && grown.Add(p, n));
            ASSERT_TRUE(rewound.CopyFrom(src.data(), n + skew + 1));
            rewound.m_lOffset = skew + 1;
            rewound.Rewind();
            ASSERT_TRUE(prepended.ReverseAdd(src.data(), skew) && prepended.ReverseAdd(p, n));
            const std::string at = "n " + std::to_string(n) + " skew " + std::to_string(skew);
            EXPECT_EQ(bytes(copied.m_pData, copied.m_lSize), bytes(p, n)) << at;
            EXPECT_EQ(bytes(room.m_pData, room.m_lSize), headThenP) << at;
            EXPECT_EQ(bytes(grown.m_pData, grown.m_lSize), headThenP) << at;
            EXPECT_EQ(bytes(rewound.m_pData, rewound.m_lSize), bytes(src.data() + skew + 1, n)) << at;
            EXPECT_EQ(bytes(prepended.End() - prepended.m_lSize, prepended.m_lSize), pThenHead) << at;
        }
}

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

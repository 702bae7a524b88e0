#include "QvDefs.h"
#include "QvTestSupport.h"
#include "internal/QvCpu.h"

#include <cstdlib>
#include <cstring>

namespace {

TEST(CString, FormatAppendCompare) {
    CString s;
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_STREQ(s, "");
    for (int b : {0x0A, 0xFF, 0x00}) {
        CString part;
        part.Format("%02X", b);
        s += part;
    }
    EXPECT_EQ(s.GetLength(), 6);
    EXPECT_TRUE(s == "0AFF00");
    CString copy(s), assigned;
    assigned = copy;
    EXPECT_TRUE(assigned == s);
    CString big;
    big.Format("%0100d", 7);  // longer than the on-stack scratch
    EXPECT_EQ(big.GetLength(), 100);
    EXPECT_EQ(static_cast<const char*>(big)[99], '7');
}

TEST(CString, OutOfMemoryLeavesItEmptyOrUnchanged) {
    CString s("ab");
    {
        qvtest::AllocFault fault(0);
        s += "cd";
        EXPECT_TRUE(s == "ab");
        CString f;
        f.Format("%d", 12345);
        EXPECT_TRUE(f.IsEmpty());
    }
    s += "cd";
    EXPECT_TRUE(s == "abcd");
}

TEST(Cpu, MaskLimitsFeaturesInForce) {
    using namespace qv::cpu;
    EXPECT_TRUE(Detected() & kWord);
    {
        ScopedMask scalar(kLevelScalar);
        EXPECT_EQ(Features(), 0u);
        EXPECT_FALSE(Has(kWord));
    }
    EXPECT_EQ(Features(), Detected() & EnvMask());
    const char* env = std::getenv("QV_CPU");
    if (env && std::strcmp(env, "scalar") == 0) {
        EXPECT_EQ(Features(), 0u);
    }
    for (const auto& level : qvtest::CpuLevels()) {
        ScopedMask m(level.mask);
        EXPECT_EQ(Features() & ~level.mask, 0u) << level.name;
    }
}

}  // namespace

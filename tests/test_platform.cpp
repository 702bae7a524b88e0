#include "QvDefs.h"
#include "QvTestSupport.h"
#include "internal/QvCpu.h"

namespace {

// The CString stand-in: formatting past its on-stack scratch, appending, and running out
// of memory (which leaves a formatted string empty and an appended-to one unchanged).
TEST(CString, FormatAppendAndOutOfMemory) {
    CString s("ab"), big, lost;
    big.Format("%0100d", 7);
    EXPECT_EQ(big.GetLength(), 100);
    EXPECT_EQ(static_cast<const char*>(big)[99], '7');
    {
        qvtest::AllocFault fault(0);
        s += "cd";
        lost.Format("%02X", 0x0A);
    }
    EXPECT_TRUE(s == "ab");
    EXPECT_TRUE(lost.IsEmpty());
    s += big;
    CString copy(s);
    EXPECT_EQ(copy.GetLength(), 102);
    EXPECT_TRUE(copy == s);
}

TEST(Cpu, MaskLimitsFeaturesInForce) {
    using namespace qv::cpu;
    EXPECT_TRUE(Detected() & kWord);
    for (const auto& level : qvtest::CpuLevels()) {
        ScopedMask m(level.mask);
        EXPECT_EQ(Features() & ~level.mask, 0u) << level.name;
        EXPECT_EQ(Features(), Detected() & EnvMask() & level.mask) << level.name;
    }
    EXPECT_EQ(Features(), Detected() & EnvMask());
}

}  // namespace

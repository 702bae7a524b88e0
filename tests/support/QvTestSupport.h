#pragma once

// Shared helpers of the test binary: allocation-failure injection, the shared data folder
// and the CPU levels every fast path is run at.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

// --- Allocation faults -------------------------------------------------------------------
// The test binary replaces the nothrow forms of operator new and new[], which is how the
// library allocates. Counts and faults are per thread.

// Make the nth nothrow allocation from now fail (1 = the next one); 0 stops injecting.
void FailNthAlloc(long n);
// Make every nothrow allocation fail until ResetAllocFaults().
void FailAllAllocs();
void ResetAllocFaults();
// Nothrow allocations attempted on this thread so far (failed ones included).
long AllocCount();
// Size asked for by the latest nothrow allocation on this thread.
size_t LastAllocSize();

// Scope in which the nth allocation fails (n <= 0: all of them).
class AllocFault {
public:
    explicit AllocFault(long n) {
        if (n > 0) FailNthAlloc(n);
        else FailAllAllocs();
    }
    ~AllocFault() { ResetAllocFaults(); }
    AllocFault(const AllocFault&) = delete;
    AllocFault& operator=(const AllocFault&) = delete;
};

// --- Shared data -------------------------------------------------------------------------

// The shared data folder (vectors/, samples/, streams/).
std::string DataDir();
// True when a missing data file must fail the test rather than skip it (CI).
bool DataRequired();
// Reads DataDir()/rel whole; false when it cannot be read.
bool ReadDataFile(const std::string& rel, std::vector<uint8_t>& out);

// Loads a shared data file into vec, or skips (fails under CI) the current test.
#define QVTEST_LOAD_DATA(rel, vec)                                                         \
    do {                                                                                   \
        if (!::qvtest::ReadDataFile((rel), (vec))) {                                       \
            if (::qvtest::DataRequired()) FAIL() << "missing test data: " << (rel);        \
            GTEST_SKIP() << "shared test data not found: " << (rel);                       \
        }                                                                                  \
    } while (0)

// --- CPU levels --------------------------------------------------------------------------

struct CpuLevel {
    uint32_t mask;
    const char* name;
};

// The dispatch levels this machine can run, portable first. Under QV_CPU=scalar the
// higher ones still appear but all run the portable code.
std::vector<CpuLevel> CpuLevels();

}  // namespace qvtest

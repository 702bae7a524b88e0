#pragma once

// Shared helpers of the test binary: allocation-failure injection (AllocFaults.h), the
// shared data folder and the CPU levels every fast path is run at.

#include "AllocFaults.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

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

#pragma once

// Allocation-fault injection for the test and fuzz binaries, which replace the nothrow
// forms of operator new and new[] (the library's only way of allocating). Counts and
// faults are per thread.

#include <cstddef>

namespace qvtest {

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

}  // namespace qvtest

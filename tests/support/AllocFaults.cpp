#include "AllocFaults.h"

#include <new>

// Replacements for the nothrow allocation functions. They forward to the ordinary
// operator new / new[] so that sanitizers still pair each block with its delete.

namespace {

thread_local long t_count = 0;
thread_local long t_failAt = 0;  // absolute count at which to fail; 0: none
thread_local bool t_failAll = false;
thread_local size_t t_lastSize = 0;

bool ShouldFail(size_t size) {
    ++t_count;
    t_lastSize = size;
    return t_failAll || (t_failAt != 0 && t_count == t_failAt);
}

}  // namespace

namespace qvtest {

void FailNthAlloc(long n) {
    t_failAll = false;
    t_failAt = n > 0 ? t_count + n : 0;
}

void FailAllAllocs() {
    t_failAll = true;
}

void ResetAllocFaults() {
    t_failAll = false;
    t_failAt = 0;
}

long AllocCount() {
    return t_count;
}

size_t LastAllocSize() {
    return t_lastSize;
}

}  // namespace qvtest

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    if (ShouldFail(size)) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    if (ShouldFail(size)) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

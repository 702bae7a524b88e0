// QvRectF invariants over rectangle pairs and integer areas drawn from the input.
// The class has a single code path, so there are no CPU levels to compare.

#include "FuzzInput.h"
#include "GeometryModel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::FuzzInput in(data, size);
    const std::function<uint32_t()> next = [&] { return in.U32(); };
    while (!in.Empty()) {
        const std::string diff = qvmodel::CheckRandom(next);
        if (!diff.empty()) qvfuzz::Fail("QvRectF:", diff.c_str());
    }
    return 0;
}

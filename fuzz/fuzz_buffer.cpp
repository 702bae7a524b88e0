// QvBuffer operation sequences against the model, with allocation faults.

#include "BufferModel.h"
#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::FuzzInput in(data, size);
    qvmodel::BufferScenario scenario([&] { return in.U32(); });
    while (!in.Empty()) {
        const std::string diff = scenario.Step();
        if (!diff.empty()) qvfuzz::Fail("QvBuffer differs from the model:", diff.c_str());
    }
    return 0;
}

// QvBitStream calls against the bit-at-a-time model, on the portable path and on the wide
// one: the same input drives both, and each must agree with the model after every call.

#include "BitsModel.h"
#include "FuzzInput.h"
#include "internal/QvCpu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (uint32_t level : {qv::cpu::kLevelScalar, uint32_t{qv::cpu::kAll}}) {
        qv::cpu::ScopedMask mask(level);
        qvfuzz::FuzzInput in(data, size);
        qvmodel::BitsScenario scenario([&] { return in.U32(); });
        for (std::string diff; !in.Empty();)
            if (!(diff = scenario.Step()).empty()) qvfuzz::Fail(level ? "QvBitStream (wide) differs from the model:" : "QvBitStream differs from the model:", diff.c_str());
    }
    return 0;
}

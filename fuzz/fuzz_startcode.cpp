// QvStartCode against the byte-by-byte model at every CPU level: the window scanners with the
// width, mask and value the input picks, a search for the code and walks both ways, and both
// escape passes. Input: width, mask (4 bytes), value (4 bytes, kept inside the mask), a code
// byte, the data.

#include "FuzzInput.h"
#include "StartCodeModel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace model = qvmodel::sc;
    using namespace qv::cpu;
    qvfuzz::FuzzInput in(data, size);
    const int width = 1 + in.Byte() % 6;
    const uint32_t mask = in.U32();
    const uint32_t value = in.U32() & mask, code = 0x100u + in.Byte();
    size_t len = in.Left();
    const uint8_t* p = in.Take(len);
    const model::Bytes b(p, p + len);
    if (model::RestoreRaceBytes(model::RemoveRaceBytes(b)) != b) qvfuzz::Fail("model round trip");
    const std::string diff = model::Compare({kLevelScalar, kLevelWord, kLevelAVX2, kAll}, b, width, value, mask, code);
    if (!diff.empty()) qvfuzz::Fail("QvStartCode differs from the model:", diff.c_str());
    return 0;
}

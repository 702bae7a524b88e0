// QvMD5 and QvSHA1 against the reference models: a message cut into pieces on the portable
// and the fast paths, the same message again on the context Final wiped, and the one-shot
// MD5 members.

#include "DigestModel.h"
#include "FuzzInput.h"
#include "internal/QvCpu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::FuzzInput in(data, size);
    const uint32_t seed = in.U32();
    size_t n = in.Left();
    const uint8_t* p = in.Take(n);
    qvmodel::Bytes msg(p, p + n);
    for (uint32_t level : {qv::cpu::kLevelScalar, uint32_t{qv::cpu::kAll}}) {
        qv::cpu::ScopedMask mask(level);
        for (const std::string& diff :
             {qvmodel::CheckPieces<QvMD5>(msg, seed), qvmodel::CheckPieces<QvSHA1>(msg, seed)})
            if (!diff.empty()) qvfuzz::Fail("QvMD5 / QvSHA1:", diff.c_str());
    }
    unsigned char out[QvMD5::MD5_SIZE + 1] = {};
    const int32_t len = static_cast<int32_t>(msg.size());
    if (QvMD5::Encode(msg.data(), len, out, 16) != (len > 0)) qvfuzz::Fail("Encode result");
    if (len > 0 && (qvmodel::Bytes(out, out + 16) != qvmodel::Md5(msg) || out[16] != 0))
        qvfuzz::Fail("Encode bytes");
    if (QvMD5::Check(msg.data(), len, out, 16) != (len > 0)) qvfuzz::Fail("Check of a match");
    out[seed % 16] ^= static_cast<uint8_t>(1u << (seed >> 4) % 8);
    if (QvMD5::Check(msg.data(), len, out, 16) != 0) qvfuzz::Fail("Check of a mismatch");
    return 0;
}

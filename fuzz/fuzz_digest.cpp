// QvMD5 and QvSHA1 against the reference models: a message cut into pieces on the portable
// and the fast paths, the same message again on the context Final wiped, and the one-shot
// MD5 members.

#include "DigestModel.h"
#include "FuzzInput.h"
#include "internal/QvCpu.h"

#include <algorithm>

namespace {

template <class Obj>
void InPieces(const qvmodel::Bytes& msg, uint32_t seed) {
    Obj o;
    o.Init();
    qvmodel::Bytes copy = msg;
    for (size_t at = 0, n; at < copy.size(); at += n) {
        seed = seed * 1103515245u + 12345u;
        n = std::min<size_t>((seed >> 16) % 201, copy.size() - at);
        o.Append(copy.data() + at, static_cast<int32_t>(n));
    }
    o.Final();
    const unsigned char* d = o.GetBuffer()->m_pData;
    const qvmodel::Bytes model = qvmodel::Hash<Obj>(msg), wiped = qvmodel::Hash<Obj>(msg, true);
    if (qvmodel::Bytes(d, d + model.size()) != model) qvfuzz::Fail("digest differs from the model");
    o.Append(copy.data(), static_cast<int32_t>(copy.size()));
    o.Final();
    if (qvmodel::Bytes(d, d + wiped.size()) != wiped) qvfuzz::Fail("digest after Final differs");
    if (copy != msg) qvfuzz::Fail("Append changed the caller's bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::FuzzInput in(data, size);
    const uint32_t seed = in.U32();
    size_t n = in.Left();
    const uint8_t* p = in.Take(n);
    qvmodel::Bytes msg(p, p + n);
    for (uint32_t level : {qv::cpu::kLevelScalar, uint32_t{qv::cpu::kAll}}) {
        qv::cpu::ScopedMask mask(level);
        InPieces<QvMD5>(msg, seed);
        InPieces<QvSHA1>(msg, seed);
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

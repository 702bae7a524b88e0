// QvMD5 and QvSHA1 against the reference models: a message cut into pieces on the portable
// and the fast paths, the one-shot MD5 members, and call sequences with copies, moves and
// allocation faults.

#include "DigestModel.h"
#include "FuzzInput.h"
#include "internal/QvCpu.h"

#include <algorithm>

namespace {

template <class Obj>
qvmodel::Bytes InPieces(const qvmodel::Bytes& msg, uint32_t seed) {
    Obj o;
    o.Init();
    qvmodel::Bytes copy = msg;
    for (size_t at = 0; at < copy.size();) {
        seed = seed * 1103515245u + 12345u;
        const size_t n = std::min<size_t>((seed >> 16) % 201, copy.size() - at);
        o.Append(copy.data() + at, static_cast<int32_t>(n));
        at += n;
    }
    o.Final();
    if (copy != msg) qvfuzz::Fail("Append changed the caller's bytes");
    const QvBuffer* b = o.GetBuffer();
    return qvmodel::Bytes(b->m_pData, b->m_pData + b->m_lSize);
}

template <class Obj>
void Scenario(qvfuzz::FuzzInput& in) {
    qvmodel::DigestScenario<Obj> scenario([&] { return in.U32(); });
    while (!in.Empty()) {
        const std::string diff = scenario.Step();
        if (!diff.empty()) qvfuzz::Fail("digest object differs from the model:", diff.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::FuzzInput in(data, size);
    const int mode = in.Byte() % 3;
    if (mode == 1) {
        Scenario<QvMD5>(in);
    } else if (mode == 2) {
        Scenario<QvSHA1>(in);
    } else {
        const uint32_t seed = in.U32();
        size_t n = in.Left();
        const uint8_t* p = in.Take(n);
        qvmodel::Bytes msg(p, p + n);
        const qvmodel::Bytes md5 = qvmodel::Md5(msg), sha1 = qvmodel::Sha1(msg);
        for (uint32_t level : {qv::cpu::kLevelScalar, uint32_t{qv::cpu::kAll}}) {
            qv::cpu::ScopedMask mask(level);
            if (InPieces<QvMD5>(msg, seed) != md5) qvfuzz::Fail("MD5 differs from the model");
            if (InPieces<QvSHA1>(msg, seed) != sha1) qvfuzz::Fail("SHA-1 differs from the model");
        }
        unsigned char out[QvMD5::MD5_SIZE + 1] = {};
        const int32_t len = static_cast<int32_t>(msg.size());
        if (QvMD5::Encode(msg.data(), len, out, QvMD5::MD5_SIZE) != (len > 0)) qvfuzz::Fail("Encode result");
        if (len > 0 && (qvmodel::Bytes(out, out + 16) != md5 || out[16] != 0)) qvfuzz::Fail("Encode bytes");
        if (QvMD5::Check(msg.data(), len, out, QvMD5::MD5_SIZE) != (len > 0)) qvfuzz::Fail("Check of a match");
        out[seed % 16] ^= static_cast<uint8_t>(1u << (seed >> 4) % 8);
        if (QvMD5::Check(msg.data(), len, out, QvMD5::MD5_SIZE) != 0) qvfuzz::Fail("Check of a mismatch");
    }
    return 0;
}

#include "QvMD5.h"

#include "internal/QvDigestBlocks.h"
#include "internal/QvDigestObject.h"

const int QvMD5::MD5_SIZE;
static_assert(QvMD5::MD5_SIZE == qv::digest::kMD5Size, "one digest length");

QV_DEFINE_DIGEST_MEMBERS(QvMD5, qv::digest::MD5Traits)

// One-shot: a context on the stack, the same steps as an object's.
int QvMD5::Encode(unsigned char* pData, int32_t nSize, unsigned char* pOut, int32_t nOutSize) {
    if (!pData || nSize <= 0 || !pOut || nOutSize < MD5_SIZE) return 0;
    MD5Context ctx;
    qv::digest::StartMD5Context(&ctx);
    qv::digest::UpdateMD5Context(&ctx, pData, static_cast<uint32_t>(nSize));
    qv::digest::FinishMD5Context(&ctx, pOut);
    return 1;
}

int QvMD5::Check(unsigned char* pData, int32_t nSize, unsigned char* pDigest,
                 int32_t nDigestSize) {
    if (nDigestSize != MD5_SIZE || !pData || nSize <= 0 || !pDigest) return 0;
    unsigned char digest[MD5_SIZE];
    Encode(pData, nSize, digest, MD5_SIZE);
    // Every byte is compared, wherever the first difference lies.
    unsigned diff = 0;
    for (int i = 0; i < MD5_SIZE; ++i) diff |= static_cast<unsigned>(digest[i] ^ pDigest[i]);
    qv::digest::Wipe(digest, sizeof digest);
    return diff == 0;
}

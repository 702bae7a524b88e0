#include "QvSHA1.h"

#include "internal/QvDigestObject.h"

QV_DEFINE_DIGEST_MEMBERS(QvSHA1, qv::digest::SHA1Traits)

// MD5 and SHA-1 of 1 MiB and of 64-byte messages beside OpenSSL's EVP digests.
//
// Ours: a QvMD5/QvSHA1 object doing Init, Append, Final for every message (its context is
// allocated anew each time, as callers use it), QvMD5::Encode on a stack context, and the
// portable SHA-1 path forced with the CPU mask. OpenSSL: one EVP_MD fetched up front and one
// EVP_MD_CTX reused for every message, its fastest way through the EVP interface (an
// EVP_md5()/EVP_sha1() handle would look the provider up on every init).

#include "QvMD5.h"
#include "QvSHA1.h"
#include "bench_util.h"
#include "internal/QvCpu.h"

#include <string>

#if defined(QV_BENCH_OPENSSL)
#include <openssl/evp.h>
#endif

namespace {

template <class Obj>
void Object(benchmark::State& state, size_t n, uint32_t mask) {
    auto data = qvbench::RandomBytes(n);
    qv::cpu::ScopedMask limit(mask);
    Obj o;
    for (auto _ : state) {
        o.Init();
        o.Append(data.data(), static_cast<int32_t>(n));
        o.Final();
        benchmark::DoNotOptimize(o.GetBuffer()->m_pData[0]);
    }
    qvbench::SetBytes(state, n);
}

void Encode(benchmark::State& state, size_t n) {
    auto data = qvbench::RandomBytes(n);
    unsigned char out[QvMD5::MD5_SIZE];
    for (auto _ : state) {
        QvMD5::Encode(data.data(), static_cast<int32_t>(n), out, sizeof out);
        benchmark::DoNotOptimize(out[0]);
    }
    qvbench::SetBytes(state, n);
}

#if defined(QV_BENCH_OPENSSL)
void Evp(benchmark::State& state, const char* algorithm, size_t n) {
    auto data = qvbench::RandomBytes(n);
    EVP_MD* md = EVP_MD_fetch(nullptr, algorithm, nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), n);
        EVP_DigestFinal_ex(ctx, out, &len);
        benchmark::DoNotOptimize(out[0]);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    qvbench::SetBytes(state, n);
}
#endif

const bool registered = [] {
    for (size_t n : {size_t{1} << 20, size_t{64}}) {
        const std::string size = n == 64 ? "/64B/" : "/1MiB/";
        const uint32_t all = qv::cpu::kAll, scalar = qv::cpu::kLevelScalar;
        benchmark::RegisterBenchmark(("md5" + size + "qv").c_str(), Object<QvMD5>, n, all);
        benchmark::RegisterBenchmark(("md5" + size + "qv-encode").c_str(), Encode, n);
        benchmark::RegisterBenchmark(("sha1" + size + "qv").c_str(), Object<QvSHA1>, n, all);
        benchmark::RegisterBenchmark(("sha1" + size + "qv-scalar").c_str(), Object<QvSHA1>, n,
                                     scalar);
#if defined(QV_BENCH_OPENSSL)
        benchmark::RegisterBenchmark(("md5" + size + "openssl").c_str(), Evp, "MD5", n);
        benchmark::RegisterBenchmark(("sha1" + size + "openssl").c_str(), Evp, "SHA1", n);
#endif
    }
    return true;
}();

}  // namespace

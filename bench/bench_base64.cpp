// QvBase64 static Encode and Decode beside OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock, on
// 1 MiB and on the short pieces that headers and keys come in (48 bytes, 64 characters).
// Our portable paths run too ("qv-word", "qv-scalar"), forced through the dispatch mask.
// EVP_DecodeBlock is strict, so every text here is clean, unbroken Base64.

#include "QvBase64.h"
#include "bench_util.h"
#include "internal/QvCpu.h"

#include <string>
#include <vector>

#if defined(QV_BENCH_OPENSSL)
#include <openssl/evp.h>
#endif

namespace {

struct Impl {
    const char* name;
    uint32_t mask;  // dispatch limit
    uint32_t need;  // features the machine must have for the name to mean anything
};
const Impl kImpls[] = {{"qv", qv::cpu::kAll, 0},
                       {"qv-avx2", qv::cpu::kLevelAVX2, qv::cpu::kAVX2},
                       {"qv-word", qv::cpu::kLevelWord, 0},
                       {"qv-scalar", qv::cpu::kLevelScalar, 0}};

// Input bytes and their text, so both directions see the same data.
struct Data {
    std::vector<uint8_t> bytes;
    std::vector<char> text, out;
    explicit Data(size_t n) : bytes(qvbench::RandomBytes(n)), text((n + 2) / 3 * 4 + 1), out(n + 1) {
        QvBase64::Encode(reinterpret_cast<const char*>(bytes.data()), static_cast<int32_t>(n), text.data());
        text.pop_back();
    }
};

void EncodeQv(benchmark::State& state, size_t n, uint32_t mask) {
    Data d(n);
    qv::cpu::ScopedMask scoped(mask);
    for (auto _ : state) {
        benchmark::DoNotOptimize(QvBase64::Encode(reinterpret_cast<const char*>(d.bytes.data()),
                                                  static_cast<int32_t>(n), d.text.data()));
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, n);
}

void DecodeQv(benchmark::State& state, size_t n, uint32_t mask) {
    Data d(n);
    qv::cpu::ScopedMask scoped(mask);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            QvBase64::Decode(d.text.data(), static_cast<int32_t>(d.text.size()), d.out.data()));
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, d.text.size());
}

#if defined(QV_BENCH_OPENSSL)
void EncodeOpenSSL(benchmark::State& state, size_t n) {
    Data d(n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(d.text.data()),
                                                 d.bytes.data(), static_cast<int>(n)));
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, n);
}

void DecodeOpenSSL(benchmark::State& state, size_t n) {
    Data d(n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_DecodeBlock(reinterpret_cast<unsigned char*>(d.out.data()),
                                                 reinterpret_cast<const unsigned char*>(d.text.data()),
                                                 static_cast<int>(d.text.size())));
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, d.text.size());
}
#endif

// Decode sizes count the bytes behind the text: 786432 bytes are 1 MiB of text, 48 are 64.
const bool kRegistered = [] {
    using Fn = void (*)(benchmark::State&, size_t, uint32_t);
    const struct {
        const char* op;
        Fn qv;
        size_t bytes;
    } ops[] = {{"base64/encode-1MiB", EncodeQv, 1u << 20}, {"base64/decode-1MiB", DecodeQv, 786432},
               {"base64/encode-48", EncodeQv, 48}, {"base64/decode-64", DecodeQv, 48}};
    for (const auto& op : ops) {
        for (const Impl& impl : kImpls)
            if ((qv::cpu::Detected() & impl.need) == impl.need)
                benchmark::RegisterBenchmark((std::string(op.op) + "/" + impl.name).c_str(), op.qv,
                                             op.bytes, impl.mask);
#if defined(QV_BENCH_OPENSSL)
        benchmark::RegisterBenchmark((std::string(op.op) + "/openssl").c_str(),
                                     op.qv == EncodeQv ? EncodeOpenSSL : DecodeOpenSSL, op.bytes);
#endif
    }
    return true;
}();

}  // namespace

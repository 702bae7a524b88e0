// QvBase64 static Encode and Decode beside OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock, on
// 1 MiB and on the short pieces that headers and keys come in (48 bytes, 64 characters),
// and on 1 MiB of text in MIME lines beside OpenSSL's streaming decoder.
// Our portable paths run too ("qv-word", "qv-scalar"), forced through the dispatch mask.
// EVP_DecodeBlock is strict, so its texts are clean, unbroken Base64.

#include "QvBase64.h"
#include "bench_util.h"
#include "internal/QvCpu.h"

#include <algorithm>
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

enum Op { kEncode, kDecode, kDecodeLines, kDecodeNoisy };

// Input bytes and their text, so both directions see the same data. Lines break the text as
// MIME does (76 characters and CR LF); noise breaks it after every 5 characters.
struct Data {
    std::vector<uint8_t> bytes;
    std::string text;
    std::vector<char> encoded, out;  // room for the outputs
    Data(size_t n, Op op)
        : bytes(qvbench::RandomBytes(n)), encoded((n + 2) / 3 * 4 + 1), out(n + 1) {
        const int len = QvBase64::Encode(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<int32_t>(n), encoded.data());
        const int width = op == kDecodeLines ? 76 : op == kDecodeNoisy ? 5 : len;
        for (int i = 0; i < len; i += width) {
            text.append(encoded.data() + i, std::min(len - i, width));
            if (width != len) text += "\r\n";
        }
    }
    const unsigned char* Text() const { return reinterpret_cast<const unsigned char*>(text.data()); }
    int TextSize() const { return static_cast<int>(text.size()); }
};

void RunQv(benchmark::State& state, Op op, size_t n, uint32_t mask) {
    Data d(n, op);
    qv::cpu::ScopedMask scoped(mask);
    const char* bytes = reinterpret_cast<const char*>(d.bytes.data());
    for (auto _ : state) {
        if (op == kEncode)
            benchmark::DoNotOptimize(QvBase64::Encode(bytes, static_cast<int32_t>(n), d.encoded.data()));
        else
            benchmark::DoNotOptimize(QvBase64::Decode(d.text.data(), d.TextSize(), d.out.data()));
        benchmark::ClobberMemory();
    }
    qvbench::SetBytes(state, op == kEncode ? n : d.text.size());
}

#if defined(QV_BENCH_OPENSSL)
// EVP_DecodeBlock takes only unbroken text; line breaks need the streaming decoder.
void RunOpenSSL(benchmark::State& state, Op op, size_t n) {
    Data d(n, op);
    unsigned char* out = reinterpret_cast<unsigned char*>(d.out.data());
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    for (auto _ : state) {
        if (op == kEncode) {
            benchmark::DoNotOptimize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(d.encoded.data()),
                                                     d.bytes.data(), static_cast<int>(n)));
        } else if (op == kDecode) {
            benchmark::DoNotOptimize(EVP_DecodeBlock(out, d.Text(), d.TextSize()));
        } else {
            int len = 0, last = 0;
            EVP_DecodeInit(ctx);
            EVP_DecodeUpdate(ctx, out, &len, d.Text(), d.TextSize());
            EVP_DecodeFinal(ctx, out + len, &last);
            benchmark::DoNotOptimize(len + last);
        }
        benchmark::ClobberMemory();
    }
    EVP_ENCODE_CTX_free(ctx);
    qvbench::SetBytes(state, op == kEncode ? n : d.text.size());
}
#endif

// Decode sizes count the bytes behind the text: 786432 bytes are 1 MiB of text, 48 are 64.
const bool kRegistered = [] {
    const struct {
        const char* name;
        Op op;
        size_t bytes;
    } ops[] = {{"base64/encode-1MiB", kEncode, 1u << 20},
               {"base64/decode-1MiB", kDecode, 786432},
               {"base64/encode-48", kEncode, 48},
               {"base64/decode-64", kDecode, 48},
               {"base64/decode-lines-1MiB", kDecodeLines, 786432},
               {"base64/decode-noisy-1MiB", kDecodeNoisy, 786432}};
    for (const auto& op : ops) {
        for (const Impl& impl : kImpls)
            if ((qv::cpu::Detected() & impl.need) == impl.need)
                benchmark::RegisterBenchmark((std::string(op.name) + "/" + impl.name).c_str(),
                                             RunQv, op.op, op.bytes, impl.mask);
#if defined(QV_BENCH_OPENSSL)
        benchmark::RegisterBenchmark((std::string(op.name) + "/openssl").c_str(), RunOpenSSL,
                                     op.op, op.bytes);
#endif
    }
    return true;
}();

}  // namespace

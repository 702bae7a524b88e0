// QvBase64 against the bit-stream model at every dispatch level, and the member forms with
// allocation faults. The first byte picks what the rest is: text as it stands, bytes whose
// clean encoding is decoded (long runs for the wide paths), or that encoding with one
// character put in at every k-th place.

#include "AllocFaults.h"
#include "Base64Model.h"
#include "FuzzInput.h"
#include "QvBase64.h"
#include "internal/QvCpu.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void CheckAtEveryLevel(const std::string& text, const Bytes& bytes) {
    const Bytes decoded = qvmodel::Base64Decode(text);
    const std::string encoded = qvmodel::Base64Encode(bytes);
    const struct {
        uint32_t mask;
        const char* name;
    } levels[] = {{qv::cpu::kLevelScalar, "scalar"},
                  {qv::cpu::kLevelWord, "word"},
                  {qv::cpu::kLevelAVX2, "avx2"},
                  {qv::cpu::kLevelAVX512, "avx512"}};
    for (const auto& level : levels) {
        qv::cpu::ScopedMask mask(level.mask);
        // Exactly the documented room, and input blocks of exactly their length.
        std::unique_ptr<char[]> in(new char[text.size()]), out(new char[text.size() * 3 / 4 + 1]);
        std::copy(text.begin(), text.end(), in.get());
        const int n = QvBase64::Decode(in.get(), static_cast<int32_t>(text.size()), out.get());
        if (n != static_cast<int>(decoded.size()) || out[n] != 0 ||
            !std::equal(decoded.begin(), decoded.end(), reinterpret_cast<uint8_t*>(out.get())))
            qvfuzz::Fail("Decode differs from the model at level", level.name);

        std::unique_ptr<char[]> raw(new char[bytes.size()]), txt(new char[encoded.size() + 1]);
        std::copy(bytes.begin(), bytes.end(), raw.get());
        const int m = QvBase64::Encode(raw.get(), static_cast<int32_t>(bytes.size()), txt.get());
        if (std::string(txt.get()) != encoded || m != static_cast<int>(encoded.size()))
            qvfuzz::Fail("Encode differs from the model at level", level.name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::FuzzInput input(data, size);
    const uint8_t mode = input.Byte() % 3, every = input.Byte(), put = input.Byte();
    size_t n = input.Left();
    const uint8_t* rest = input.Take(n);
    const Bytes bytes(rest, rest + n);
    std::string text(bytes.begin(), bytes.end());
    if (mode != 0) text = qvmodel::Base64Encode(bytes);
    if (mode == 2 && every > 0) {
        std::string noisy;
        for (size_t i = 0; i < text.size(); ++i) {
            if (i % every == 0) noisy += static_cast<char>(put);
            noisy += text[i];
        }
        text = noisy;
    }
    CheckAtEveryLevel(text, bytes);

    // Member forms: the same results, or 0 and no block when the allocation fails.
    QvBase64 codec;
    const bool fail = every & 1;
    if (fail) qvtest::FailNthAlloc(1);
    const int got = codec.Decode(text.data(), static_cast<int32_t>(text.size()));
    qvtest::ResetAllocFaults();
    const Bytes decoded = qvmodel::Base64Decode(text);
    if (fail && !text.empty()) {
        if (got != 0 || codec.GetString()) qvfuzz::Fail("failed allocation left a result");
    } else if (got != static_cast<int>(decoded.size()) ||
               (got && Bytes(codec.GetString(), codec.GetString() + got) != decoded)) {
        qvfuzz::Fail("member Decode differs from the model");
    }
    return 0;
}

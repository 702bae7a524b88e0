// QvBase64 against the bit-stream model at every dispatch level, and the member form with
// an allocation fault. The first byte picks what the rest is: text as it stands, bytes whose
// clean encoding is decoded (long runs for the wide paths), or that encoding with one
// character put in at every k-th place.

#include "AllocFaults.h"
#include "Base64Model.h"
#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::FuzzInput input(data, size);
    const uint8_t mode = input.Byte() % 3, every = input.Byte(), put = input.Byte();
    size_t n = input.Left();
    const uint8_t* rest = input.Take(n);
    const std::string bytes(rest, rest + n), plain = mode ? qvmodel::Base64Encode(bytes) : bytes;
    std::string text;
    for (size_t i = 0; i < plain.size(); ++i) {
        if (mode == 2 && every > 0 && i % every == 0) text += static_cast<char>(put);
        text += plain[i];
    }
    const std::string diff = qvmodel::CheckBase64(text, bytes);
    if (!diff.empty()) qvfuzz::Fail("QvBase64:", diff.c_str());

    // The member form whose allocation fails: 0 and no block.
    QvBase64 codec;
    qvtest::FailNthAlloc(1);
    const int got = codec.Decode(text.data(), static_cast<int32_t>(text.size()));
    qvtest::ResetAllocFaults();
    if (!text.empty() && (got != 0 || codec.GetString()))
        qvfuzz::Fail("failed allocation left a result");
    return 0;
}

#pragma once

// Reference model of Base64 as a stream of bits: encoding takes six bits at a time from
// the bytes, decoding gathers six bits per alphabet character and hands out every whole
// byte. The lenient rules of the decoder sit on top: anything outside the alphabet is
// skipped, and "=" ends the text once the group of four has two characters.
// CheckBase64 holds QvBase64 to the model on every dispatch level, for the unit tests and
// the fuzzer alike.

#include "QvBase64.h"
#include "internal/QvCpu.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qvmodel {

inline constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline std::string Base64Encode(const std::string& in) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (unsigned char b : in) {
        acc = (acc << 8) | b;
        for (bits += 8; bits >= 6; bits -= 6) out += kBase64Alphabet[(acc >> (bits - 6)) & 63];
    }
    if (bits > 0) out += kBase64Alphabet[(acc << (6 - bits)) & 63];
    while (out.size() % 4) out += '=';
    return out;
}

inline std::string Base64Decode(const std::string& text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    size_t chars = 0;  // alphabet characters taken
    for (unsigned char c : text) {
        const char* hit = c ? std::strchr(kBase64Alphabet, c) : nullptr;
        if (!hit && c == '=' && chars % 4 >= 2) break;
        if (!hit) continue;
        ++chars;
        acc = (acc << 6) | static_cast<uint32_t>(hit - kBase64Alphabet);
        if ((bits += 6) >= 8) out += static_cast<char>(acc >> (bits -= 8));
    }
    return out;
}

// True when fn gives want from in, with the input in a heap block of exactly its length and
// the output in one of exactly the documented room (so the sanitizers see any access beyond
// either), and nothing written after the terminator.
inline bool StaticGives(int (*fn)(const char*, int32_t, char*), const std::string& in,
                        const std::string& want, size_t room) {
    std::unique_ptr<char[]> src(new char[in.size()]), dst(new char[room]);
    std::memcpy(src.get(), in.data(), in.size());
    std::memset(dst.get(), 0x5A, room);
    const int n = fn(src.get(), static_cast<int32_t>(in.size()), dst.get());
    if (n != static_cast<int>(want.size()) || std::memcmp(dst.get(), want.data(), n) || dst[n])
        return false;
    for (size_t i = n + 1; i < room; ++i)
        if (dst[i] != 0x5A) return false;
    return true;
}

// "" when Decode(text) (static and member form) and Encode(bytes) give the model's result on
// every level, else what differs. A level that this CPU runs as an earlier one is skipped.
inline std::string CheckBase64(const std::string& text, const std::string& bytes) {
    const std::string decoded = Base64Decode(text), encoded = Base64Encode(bytes);
    std::vector<uint32_t> done;
    for (uint32_t level : {qv::cpu::kLevelScalar, qv::cpu::kLevelWord, qv::cpu::kLevelAVX2,
                           qv::cpu::kLevelAVX512, qv::cpu::kLevelNEON}) {
        const uint32_t runs = qv::cpu::Detected() & level;
        if (std::find(done.begin(), done.end(), runs) != done.end()) continue;
        done.push_back(runs);
        qv::cpu::ScopedMask mask(level);
        const std::string at = " at level mask " + std::to_string(level);
        if (!StaticGives(QvBase64::Decode, text, decoded, text.size() * 3 / 4 + 1))
            return "Decode" + at;
        if (!StaticGives(QvBase64::Encode, bytes, encoded, encoded.size() + 1))
            return "Encode" + at;
        QvBase64 codec;
        const int n = codec.Decode(text.data(), static_cast<int32_t>(text.size()));
        if (std::string(n ? codec.GetString() : "", n) != decoded) return "member Decode" + at;
    }
    return "";
}

}  // namespace qvmodel

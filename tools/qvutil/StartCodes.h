#pragma once

// Start codes of a whole input, found with QvStartCode piece by piece, and what they mean
// in the codec the stream looks like.

#include "Input.h"

#include <cstdint>
#include <functional>
#include <string>

namespace qvutil {

struct Hit {
    int64_t offset;       // of the first 00 byte
    uint32_t code;        // 0x100 + code byte
    const uint8_t* data;  // the start code's bytes as read, valid during the call
    size_t avail;         // how many bytes from data on are at hand (at least 4)

    // The byte after the code byte, or -1 when it is not at hand.
    int Next() const { return avail > 4 ? data[4] : -1; }
};

using HitFn = std::function<void(const Hit&)>;
// Sees every byte of the input once, in order (for digests taken on the same pass).
using BytesFn = std::function<void(const uint8_t*, size_t)>;

// Walks the input from its first byte, as one QvStartCode walk (Next, Skip) over the whole
// of it would, reading it in pieces; with find != 0 only start codes with that code word.
bool WalkForward(Input& in, uint32_t find, const HitFn& onHit, const BytesFn& onBytes, Progress* progress);

// The backward walk (a seekable input only): start codes from the last to the first.
bool WalkBackward(Input& in, uint32_t find, const HitFn& onHit, Progress* progress);

// Vp9 and Av1 come only framed by a container: they have no start codes.
enum class Codec { Unknown, H264, H265, Mpeg12, Vp9, Av1 };

const char* CodecName(Codec c);

// Decides the codec from the first sequence-level start code: an MPEG sequence header
// (0x1b3), an H.264 SPS, or an H.265 VPS or SPS.
class CodecDetector {
public:
    explicit CodecDetector(Codec known = Codec::Unknown) : m_codec(known) {}
    // True once decided.
    bool Feed(const Hit& h);
    Codec Get() const { return m_codec; }

private:
    Codec m_codec;
};

// The codec of a seekable input, from its first start codes (read forward from the start,
// a few pieces at most): what a backward walk names its start codes by.
Codec DetectCodec(Input& in);

// The type a start code counts under (the NAL unit type, or the MPEG code byte with all
// slices as 0x01), and its name.
int CodeType(Codec c, uint32_t code);
std::string TypeName(Codec c, int type);

}  // namespace qvutil

#pragma once

// The codec layer: one parser per codec takes the units of an elementary stream (what lies
// between two start codes) in order, keeps its parameter sets, fills the sequence facts of a
// StreamModel and reports each picture with its access unit's offset and size.

#include "Sei.h"
#include "StreamModel.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace qvutil {

struct Unit {
    int64_t offset = 0;     // of the start code's first 00
    bool zeroBefore = false;  // a zero byte stands right before it (the 4-byte form 00 00 00 01)
    uint32_t code = 0;      // 0x100 + code byte
    const uint8_t* data = nullptr;  // from the start code on: the whole unit, or its first `have` bytes
    size_t have = 0;
    int64_t size = 0;       // the whole unit, up to the next start code
    bool auStart = false;   // the container says an access unit begins here (its sample's first unit)
    bool Capped() const { return static_cast<int64_t>(have) < size; }
};

class PictureSink {
public:
    virtual ~PictureSink() = default;
    virtual void OnPicture(const Picture& p) = 0;
};

class CodecParser {
public:
    CodecParser(StreamModel& model, PictureSink& sink) : m_model(model), m_sink(sink) {}
    virtual ~CodecParser() = default;
    // How many bytes of a unit with this code word (from its start code on) the parser needs.
    virtual size_t Want(uint32_t code) const = 0;
    virtual void OnUnit(const Unit& u) = 0;
    // The stream ends at byte `end`: report the last picture.
    virtual void Finish(int64_t end) = 0;

protected:
    // "invalid <what> at offset <offset>: <why>", among the model's problems.
    void Invalid(const char* what, const Unit& u, const std::string& why);
    // The picture being received is reported once the next one begins (its size is then
    // known): EndPicture reports it as ending at `end`, BeginPicture ends it where the new
    // one begins.
    void EndPicture(int64_t end);
    void BeginPicture(const Picture& p);
    // The HDR facts of the first picture that carries them; clears the SEI facts.
    void TakeSei(SeiFacts& sei);
    // Counts a later parameter set that changes the picture format.
    void CompareSequence(int width, int height, int chromaFormat, int bitDepth);

    StreamModel& m_model;
    PictureSink& m_sink;
    Picture m_pic;
    bool m_havePicture = false;
};

std::unique_ptr<CodecParser> MakeCodecParser(Codec codec, StreamModel& model, PictureSink& sink);

// One frame of a codec that its container frames (VP9, AV1): no start codes, one container
// sample (a VP9 superframe, an AV1 temporal unit) at a time.
struct Frame {
    int64_t offset = 0;  // in the stream: its frames one after another
    const uint8_t* data = nullptr;  // the frame's first `have` bytes
    size_t have = 0;
    int64_t size = 0;    // the whole frame
    bool key = false;    // the container marks it a sync sample

    // The bytes there are to read: what was given of the frame, at most 2^31 - 1.
    size_t Readable() const {
        return size < 0 ? 0 : std::min(have, static_cast<size_t>(std::min<int64_t>(size, INT32_MAX)));
    }
    bool Whole() const { return static_cast<int64_t>(Readable()) == size; }
};

class FrameParser {
public:
    FrameParser(StreamModel& model, PictureSink& sink) : m_model(model), m_sink(sink) {}
    virtual ~FrameParser() = default;
    // The codec configuration record the container carries (vpcC, av1C, Matroska's
    // CodecPrivate), once, before the first frame; n may be 0.
    virtual void OnConfig(const uint8_t* p, size_t n) = 0;
    // How many of each frame's first bytes the parser needs.
    virtual size_t Want() const = 0;
    // Reports one Picture per frame (offset and size those of the frame).
    virtual void OnFrame(const Frame& f) = 0;
    virtual void Finish() = 0;

protected:
    StreamModel& m_model;
    PictureSink& m_sink;
};

// Null for codecs with start codes.
std::unique_ptr<FrameParser> MakeFrameParser(Codec codec, StreamModel& model, PictureSink& sink);

// The largest unit a parser asks to see whole: parameter sets and SEI longer than this are
// reported as too long instead of being copied.
constexpr size_t kMaxHeaderUnit = 64 * 1024;

}  // namespace qvutil

#pragma once

// AV1: the configuration record of MP4 and Matroska (av1C), OBU headers and their leb128
// sizes, the sequence header OBU, and each frame header as far as its type, visibility,
// reference updates and size.
//
// ffprobe (through libdav1d) takes every fact from the sequence header of the frames; av1C's
// own fields are not read, its sequence header counts only while no frame has come.

#include "CodecParser.h"

#include <string>

namespace qvutil {

struct Av1Config {
    int version = -1;  // -1: the bytes were bare OBUs, without the four-byte record
    int profile = 0, level = 0, tier = 0, bitDepth = 8;
    bool monochrome = false;
    int subsamplingX = 1, subsamplingY = 1, chromaPosition = 0;
    int presentationDelay = -1;  // initial_presentation_delay_minus_one + 1; -1 absent
    size_t obuOffset = 0;        // where the configOBUs begin
};

// p: av1C from its marker byte on, or (as some files and IVF-derived extradata carry) bare OBUs.
bool ParseAv1C(const uint8_t* p, size_t n, Av1Config& c, std::string& error);

struct Av1Obu {
    int type = 0;
    bool extension = false;
    int temporalId = 0, spatialId = 0;
    size_t headerSize = 0;  // the header with its extension and size field
    uint64_t size = 0;      // of the payload
};

// p[0..n): what is at hand from the OBU on; `left`: the bytes of the sample from the OBU on (an
// OBU without a size field fills the rest of the sample). The size is bounded by both.
bool ParseAv1ObuHeader(const uint8_t* p, size_t n, uint64_t left, Av1Obu& obu, std::string& error);

enum Av1FrameType { kAv1KeyFrame = 0, kAv1InterFrame = 1, kAv1IntraOnlyFrame = 2, kAv1SwitchFrame = 3 };

struct Av1SequenceHeader {
    int profile = 0;
    bool stillPicture = false, reducedStill = false;
    bool timingInfo = false, equalPictureInterval = false;
    uint32_t unitsInDisplayTick = 0, timeScale = 0;
    bool decoderModelInfo = false;
    int bufferRemovalTimeLength = 0, presentationTimeLength = 0;
    int operatingPoints = 1;
    int opIdc[32] = {}, level[32] = {}, tier[32] = {};
    bool decoderModelPresent[32] = {};
    int frameWidthBits = 1, frameHeightBits = 1;
    int maxWidth = 0, maxHeight = 0;
    bool frameIdNumbers = false;
    int frameIdLength = 0, deltaFrameIdLength = 0;
    bool enableOrderHint = false;
    int orderHintBits = 0;
    int screenContentTools = 2, integerMv = 2;  // 2: chosen per frame
    bool enableSuperres = false;
    int bitDepth = 8;
    bool monochrome = false;
    int subsamplingX = 1, subsamplingY = 1;
    int chromaPosition = 0;  // 0 unknown, 1 vertical, 2 colocated
    bool colourDescription = false;
    int primaries = 2, transfer = 2, matrix = 2;
    bool fullRange = false;
    bool filmGrain = false;
};

// p[0..n): the OBU's payload.
bool ParseAv1SequenceHeader(const uint8_t* p, size_t n, Av1SequenceHeader& s, std::string& error);

// What a decoder keeps of the frame in each of the eight reference slots.
struct Av1RefSlot {
    int frameType = -1;  // -1: empty
    int orderHint = 0;
    int upscaledWidth = 0, height = 0, renderWidth = 0, renderHeight = 0;
};

struct Av1FrameHeader {
    bool showExisting = false;
    int showIndex = 0;  // frame_to_show_map_idx
    int frameType = kAv1KeyFrame;  // for a shown existing frame, that of the frame it shows (-1: none)
    bool show = true, showable = false, errorResilient = false;
    int orderHint = 0;
    int refreshFlags = 0;
    int refIdx[7] = {0, 0, 0, 0, 0, 0, 0};  // inter and switch frames: ref_frame_idx, LAST to ALTREF
    int sizeFromRef = -1;  // which refIdx entry gave the size (found_ref), -1 none
    // ref_order_hint of error-resilient frames: the order hints the slots are to hold.
    bool refOrderHints = false;
    int refOrderHint[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    // The frame's size, 0 where it comes from a slot that holds no size.
    int width = 0, upscaledWidth = 0, height = 0, renderWidth = 0, renderHeight = 0;
};

// p[0..n): the payload of a frame header or frame OBU, read up to the frame's size; refs: the
// slots as the frames before it left them.
bool ParseAv1FrameHeader(const uint8_t* p, size_t n, const Av1SequenceHeader& seq, const Av1Obu& obu,
                         const Av1RefSlot refs[8], Av1FrameHeader& h, std::string& error);

// ffprobe's name ("Main", "High", "Professional"), or the number as text.
std::string Av1ProfileName(int profile);
// "4.1 (Main tier)", "2.0", "unconstrained" from seq_level_idx and seq_tier.
std::string Av1LevelText(int levelIdx, int tier);

// One temporal unit at a time, each reported as one Picture at the sample's offset and size
// with the type and key flag of the frame it shows ('S' for a switch frame, ffmpeg's SP), and
// output false when it shows none. Want() asks for whole samples up to 1 MiB, since the frame
// a unit shows may follow a hidden one and all its tiles; of a longer unit whose frames read
// are all hidden, the rest is taken to show one inter frame.
// The sequence facts are the first decoded frame's, the coded size the last shown one's (after
// Finish). ffmpeg lets the sequence header's colour override a container's, except a chroma
// location the header leaves unknown.
class Av1Parser : public FrameParser {
public:
    Av1Parser(StreamModel& model, PictureSink& sink) : FrameParser(model, sink) {}
    void OnConfig(const uint8_t* p, size_t n) override;
    size_t Want() const override;
    void OnFrame(const Frame& f) override;
    void Finish() override;

private:
    struct Shown {
        bool output = false;
        char type = '?';
        bool key = false;
        const char* kind = "";
        int count = 0;  // frames shown in the temporal unit, of its spatial layer
    };
    // Walks the OBUs of p[0..n) (`left` bytes of the sample from p on); frames go to OnFrameHeader.
    void Walk(const uint8_t* p, size_t n, uint64_t left, int64_t offset, bool config, Shown& shown, bool& hidden);
    void OnSequenceHeader(const uint8_t* p, size_t n, int64_t offset, bool config);
    void OnFrameHeader(const Av1FrameHeader& h, int64_t offset, Shown& shown, bool& hidden);
    void Track(int width, int height, int chroma, int depth);
    void Activate(const Av1SequenceHeader& s, int width, int height, int renderWidth, int renderHeight);
    void CompareConfig(const Av1SequenceHeader& s);
    void Invalid(const char* what, int64_t offset, const std::string& why);

    Av1Config m_config;
    bool m_haveConfig = false, m_configCompared = false;
    Av1SequenceHeader m_configSeq;
    bool m_haveConfigSeq = false;
    Av1SequenceHeader m_seq;  // the one in force
    bool m_haveSeq = false;
    Av1RefSlot m_refs[8];
    bool m_keySeen = false;
    int m_width = 0, m_height = 0, m_chroma = 1, m_depth = 8;  // of the last frame decoded
};

}  // namespace qvutil

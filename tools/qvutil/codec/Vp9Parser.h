#pragma once

// VP9: the configuration record of MP4 (vpcC) and of Matroska (the codec feature list in
// CodecPrivate), the superframe index, and each frame's uncompressed header as far as its
// type, visibility, reference updates, size and format.
//
// ffprobe takes the profile, size, pixel format, colour space and range from the frames and
// the primaries and transfer from vpcC (the frames carry none); it shows no level.

#include "CodecParser.h"

#include <string>

namespace qvutil {

struct Vp9Config {
    int version = -1;  // vpcC version; -1 for Matroska's feature list
    int profile = -1, level = -1, bitDepth = -1;  // -1: not given
    int chromaSubsampling = -1;  // 0 4:2:0 vertical, 1 4:2:0 colocated, 2 4:2:2, 3 4:4:4
    int fullRange = -1;
    bool colour = false;  // vpcC version 1: the code points below are its own
    int primaries = 2, transfer = 2, matrix = 2;
};

// p: the vpcC payload from its version byte on.
bool ParseVpcC(const uint8_t* p, size_t n, Vp9Config& c, std::string& error);
// Matroska's CodecPrivate for V_VP9: (id, length, value) items.
bool ParseVp9CodecPrivate(const uint8_t* p, size_t n, Vp9Config& c, std::string& error);

// The frames of one sample: a superframe's from its index, or the whole sample as one frame.
struct Vp9Superframe {
    int count = 0;
    uint32_t sizes[8] = {};
    size_t indexSize = 0;  // 0: no index
};

// p[0..n): the whole sample. A broken index is refused with the reason, and `s` then holds the
// sample as one frame, as ffmpeg decodes it.
bool ParseVp9Superframe(const uint8_t* p, size_t n, Vp9Superframe& s, std::string& error);

struct Vp9FrameHeader {
    int profile = 0;
    bool showExisting = false;
    int showIndex = 0;  // frame_to_show_map_idx
    bool key = false, show = false, errorResilient = false, intraOnly = false;
    // The format key and intra-only frames state; inter frames keep the one in force.
    int bitDepth = 8;
    int colourSpace = 0;  // VP9's color_space: 0 unknown ... 7 RGB
    bool fullRange = false;
    int subsamplingX = 1, subsamplingY = 1;
    int width = 0, height = 0;  // 0 for an inter frame that takes its size from a reference
    int sizeFromRef = -1;       // inter frames: which refIdx entry gives the size, -1 none
    int renderWidth = 0, renderHeight = 0;  // 0: those of the frame
    int refIdx[3] = {0, 0, 0};
    int refreshFlags = 0;
};

// p[0..n): one frame (its uncompressed header is all that is read). Refuses what ffmpeg's
// decoder refuses: a wrong marker or sync code, reserved bits, profile 4, RGB in profiles 0
// and 2, 4:2:0 in profiles 1 and 3.
bool ParseVp9FrameHeader(const uint8_t* p, size_t n, Vp9FrameHeader& h, std::string& error);

// ffprobe's name: "Profile 0" ... "Profile 3".
std::string Vp9ProfileName(int profile);

// One sample at a time, each reported as one Picture at the sample's offset and size with
// the type and key flag of the frame it shows (ffprobe's pict_type and key_frame), and output
// false when it shows none: hidden frames only, or frames a decoder cannot decode yet. Want()
// asks for whole samples up to 1 MiB, since a superframe's index is at its end; of a longer
// sample whose first frame is hidden, the rest is taken to show one inter frame.
// The sequence facts are the first decoded frame's, the coded size the last one's (after
// Finish); 4:4:0 is chroma format 4. Primaries and transfer come from vpcC alone: a
// container's own colour (colr, Matroska's Colour) is to be applied over them after Finish.
class Vp9Parser : public FrameParser {
public:
    Vp9Parser(StreamModel& model, PictureSink& sink) : FrameParser(model, sink) {}
    void OnConfig(const uint8_t* p, size_t n) override;
    size_t Want() const override;
    void OnFrame(const Frame& f) override;
    void Finish() override;

private:
    // What one reference slot holds, as a decoder shows it again (show_existing_frame).
    struct Slot {
        bool valid = false;
        char type = '?';
        bool key = false;
        int width = 0, height = 0;
    };
    struct Shown {
        bool output = false;
        char type = '?';
        bool key = false;
        const char* kind = "";
    };
    void Decode(const uint8_t* p, size_t n, bool whole, int64_t offset, Shown& shown);
    void Activate(const Vp9FrameHeader& h, int width, int height);
    void Track(int width, int height, int chroma, int depth);
    void Invalid(const char* what, int64_t offset, const std::string& why);

    Vp9Config m_config;
    bool m_haveConfig = false;
    Slot m_slots[8];
    bool m_keySeen = false;
    // The format in force: that of the last key or intra-only frame.
    Vp9FrameHeader m_format;
    int m_width = 0, m_height = 0, m_chroma = 1, m_depth = 8;  // of the last frame decoded
    int m_profile = -1;  // of the last frame header read
};

}  // namespace qvutil

#pragma once

// What qvutil knows about one video elementary stream: the facts of its sequence header
// (filled by the codec parsers), its pictures, frames and GOPs (counted by the analyser) and
// what went wrong on the way. The text page and the JSON writer both print this model, with
// ffprobe's names and spellings wherever ffprobe reports the same fact.

#include "StartCodes.h"
#include "container/Demux.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qvutil {

struct AudioModel;

struct Rational {
    int64_t num = 0, den = 0;  // den 0: unknown
    bool Known() const { return num > 0 && den > 0; }
};

// Reduces num/den (both positive) by their greatest common divisor.
Rational Reduce(int64_t num, int64_t den);

// The frame rate a stream's timing states, unless its time stamps belie it (a tick of 1 says
// a million frames a second): then the stamps', as ffmpeg takes it.
Rational PlausibleRate(Rational stated, Rational stamps);

// ffmpeg's names of the colour code points; "" where it has none.
std::string PrimariesName(int code);
std::string TransferName(int code);
std::string MatrixName(int code);

// ffmpeg's long name of a codec it names so ("aac": "AAC (Advanced Audio Coding)"); "" for
// names it does not know.
std::string CodecLongName(const std::string& codecName);

// Mastering display colour volume: chromaticities in units of 0.00002 in G, B, R order as
// coded, luminances in units of 0.0001 cd/m2.
struct MasteringDisplay {
    bool present = false;
    uint16_t x[3] = {}, y[3] = {};
    uint16_t whiteX = 0, whiteY = 0;
    uint32_t maxLuminance = 0, minLuminance = 0;
};

struct ContentLight {
    bool present = false;
    uint16_t maxContent = 0, maxAverage = 0;
};

// The sequence-level facts, as the active parameter sets give them.
struct SequenceFacts {
    bool present = false;
    bool mpeg2 = false;  // MPEG-1/2 only: a sequence extension follows the sequence header
    std::string profile;  // ffprobe's name, empty when ffprobe has none
    std::string profileText;  // for people: "High (100)", "Main 10 (2)", "4:2:2 (escape 0x85)"
    int profileIdc = -1;
    int level = -99;      // ffprobe's number
    std::string levelText;  // "4.1", "5.1 (High tier)", "Main"
    int width = 0, height = 0, codedWidth = 0, codedHeight = 0;
    int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    int chromaFormat = 1;  // 0 4:0:0, 1 4:2:0, 2 4:2:2, 3 4:4:4
    bool separateColourPlanes = false;
    int bitDepthLuma = 8, bitDepthChroma = 8;
    bool interlacedCoding = false;  // fields or MBAFF possible (H.264 frame_mbs_only_flag 0, MPEG-2 non-progressive)
    bool mbaff = false;
    Rational frameRate;  // frames per second, from VUI timing or the MPEG frame rate code
    bool fixedFrameRate = false;
    Rational sar;        // sample aspect ratio; unknown when absent
    int aspectRatioIdc = -1;  // as coded (MPEG: aspect_ratio_information)
    int videoFormat = -1;
    int colourRange = -1;  // -1 unknown, 0 limited (tv), 1 full (pc)
    int colourPrimaries = 2, transfer = 2, matrix = 2;  // 2: unspecified
    int chromaLocation = 0;  // ffmpeg's AVChromaLocation: 0 unspecified, 1 left ... 6 bottom
    int refs = 0;
    int hasBFrames = -1;  // reorder depth; -1: left to what the pictures show
    int maxDecFrameBuffering = -1;
    int displayWidth = 0, displayHeight = 0;  // MPEG-2 sequence display extension
    int64_t bitRate = 0;  // HRD / sequence header bit rate, bits per second; 0 unknown
    int64_t headerBitRate = 0;  // MPEG-1/2: the sequence header's field as it stands (0x3FFFF: variable)
    int64_t bufferSize = 0;  // CPB/VBV size in bits
    bool picStructPresent = false;
    bool fieldSeq = false;  // H.265 field_seq_flag
    bool lowDelay = false;
};

// One picture (a frame, or one field) in decoding order.
struct Picture {
    int64_t offset = 0;  // first byte of its access unit in the stream
    int64_t size = 0;    // bytes up to the next access unit (filled by the analyser)
    int64_t pos = -1;    // in the file, where a framed container gives its sample's place
    int64_t pts = kNoTime, dts = kNoTime;  // from the container, in its time base
    char type = '?';     // 'I', 'P', 'B' (or 'D' for MPEG-1 D pictures), '?' unknown
    bool key = false;    // decoding can start here: IDR, IRAP, recovery point, MPEG I picture
    const char* kind = "";  // "IDR", "CRA", "BLA", "RASL", ... or "" (a plain picture)
    int structure = 3;   // 3 frame, 1 top field, 2 bottom field
    bool secondField = false;  // completes the frame its predecessor began
    bool output = true;  // false: a decoder starting here drops it (RASL after a first CRA)
    bool discard = false;  // the container's edits leave it out of what is shown
    bool closedGop = true;  // for key pictures: no picture after it refers to one before it
};

struct GopStats {
    int64_t count = 0;  // GOPs begun by a key picture
    int64_t minFrames = 0, maxFrames = 0, totalFrames = 0;  // lengths of complete GOPs
    int64_t complete = 0;
    int64_t lastFrames = 0;  // the last GOP's, cut by the stream's end, where others came before
    int64_t open = 0;   // begun by a key picture that leading pictures may still refer past
    int64_t maxBRun = 0;  // most B pictures in a row
};

struct StreamModel {
    Codec codec = Codec::Unknown;
    int id = -1;           // PID or stream_id when a container names the stream
    int program = 0;
    SequenceFacts seq;
    int sequenceChanges = 0;  // later sequence headers that change size or format

    std::string fieldOrder;  // "progressive", "tt", "bb", "tb", "bt", or "" unknown
    MasteringDisplay mastering;
    ContentLight contentLight;
    int alternativeTransfer = -1;  // preferred_transfer_characteristics SEI

    int64_t pictures = 0;   // frames plus fields, in coding order
    int64_t frames = 0;     // field pairs counted once
    int64_t fields = 0;     // field pictures
    int64_t outputFrames = 0;  // frames a decoder that starts at the beginning would output
    int64_t typeCount[4] = {};  // I, P, B, other
    int64_t keyFrames = 0, idrFrames = 0;
    GopStats gop;
    bool bFrames = false;

    int64_t leadingUnits = 0;  // pictures or slices before the first parameter sets, not decodable

    std::array<uint64_t, 256> codeCounts{};  // start codes by code byte
    uint64_t startCodes = 0;
    int64_t bytes = 0;

    std::vector<std::string> diagnostics;
    int64_t diagnosticsDropped = 0;
    void Diagnose(std::string text);

    // Derived in ffprobe's spelling; empty when unknown.
    std::string CodecName() const;      // "h264", "hevc", "mpeg2video", "mpeg1video"
    std::string CodecLongName() const;
    std::string PixFmt() const;         // "yuv420p", "yuv422p10le", "yuvj420p", "gray", "gbrp" ...
    std::string ColourRange() const;    // "tv", "pc"
    std::string ColourSpace() const;
    std::string ColourTransfer() const;
    std::string ColourPrimaries() const;
    std::string ChromaLocation() const;
    Rational DisplayAspect() const;
    int HasBFrames() const;
    // Seconds, from the frame count and rate; negative when there is no frame rate.
    double Duration() const;
    int64_t BitRate() const;  // bits per second over the duration; 0 when unknown
};

// What a framed container's samples of one stream add up to.
struct SampleStats {
    int64_t count = 0, bytes = 0, keys = 0;
    int64_t hidden = 0;  // wholly before the edit's start
    int64_t firstPts = kNoTime, minPts = kNoTime, maxEnd = kNoTime, firstDts = kNoTime;
};

struct FormatInfo {
    std::string filename;
    std::string formatName;      // ffprobe's format_name: "h264", "hevc", "mpegvideo", "mpegts", "mpeg", ...
    std::string formatLongName;
    std::string container;       // for the text page
    int64_t size = 0;
    std::string md5, sha1;       // lower-case hex, empty when not computed
    std::vector<Tag> tags;       // the container's, in ffprobe's order
    int64_t startUs = kNoTime, durationUs = kNoTime;  // where the container states them
};

// One stream of a file: what its container says and, for video this tool reads, what its
// pictures show.
struct StreamReport {
    StreamInfo info;
    int shownId = 0;                     // the id as ffprobe prints it
    const StreamModel* video = nullptr;  // null where the codec is not read
    const AudioModel* audio = nullptr;   // audio whose headers were read
    Rational stampRate;                  // a byte stream's video: the rate its PES stamps show
    SampleStats samples;
};

// Everything inspect reports: the text page and the JSON writer print this and nothing else.
struct MediaModel {
    FormatInfo format;
    Container container = Container::kElementary;
    std::vector<StreamReport> streams;  // ffprobe's order
};

}  // namespace qvutil

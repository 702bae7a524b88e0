#pragma once

// MPEG-1 video (ISO/IEC 11172-2) and MPEG-2 video (ITU-T H.262 | ISO/IEC 13818-2): the
// sequence header and its extensions (sequence, sequence display, picture coding), the GOP
// header and the picture header.

#include "CodecParser.h"

#include <string>

namespace qvutil {

struct Mpeg2Sequence {
    int width = 0, height = 0;  // with the sequence extension's high bits once it is seen
    int aspect = 0, frameRateCode = 0;
    int64_t bitRate = 0;  // units of 400 bit/s, with the extension's high bits
    int vbvSize = 0;      // units of 16 kbit
    bool constrained = false;
    // Sequence extension
    bool extension = false;
    int profileLevel = 0;
    bool progressive = true, lowDelay = false;
    int chromaFormat = 1, frameRateN = 0, frameRateD = 0;
    // Sequence display extension
    bool display = false;
    int videoFormat = -1, primaries = 2, transfer = 2, matrix = 2;
    int displayWidth = 0, displayHeight = 0;
};

struct Mpeg2Picture {
    int temporalReference = 0, codingType = 0;
    // Picture coding extension (MPEG-2); MPEG-1 pictures are progressive frames.
    bool codingExtension = false;
    int structure = 3;
    bool topFieldFirst = false, repeatFirstField = false, progressiveFrame = true;
};

struct Mpeg2Gop {
    bool dropFrame = false, closed = false, brokenLink = false;
    int hours = 0, minutes = 0, seconds = 0, pictures = 0;
};

// Each takes the bytes after the 4-byte start code and returns false with the reason.
bool ParseMpegSequenceHeader(const uint8_t* p, size_t n, Mpeg2Sequence& s, std::string& error);
// extension_start_code_identifier 1 (sequence) and 2 (sequence display) into s, 8 (picture
// coding) into pic; others are skipped. `id` receives the identifier.
bool ParseMpegExtension(const uint8_t* p, size_t n, Mpeg2Sequence& s, Mpeg2Picture& pic, int& id, std::string& error);
bool ParseMpegGop(const uint8_t* p, size_t n, Mpeg2Gop& g, std::string& error);
bool ParseMpegPictureHeader(const uint8_t* p, size_t n, bool mpeg2, Mpeg2Picture& pic, std::string& error);

// ffprobe's profile name for profile_and_level_indication ("Main", "4:2:2"), empty for
// reserved values; and the level's name ("Main", "High 1440").
std::string Mpeg2ProfileName(int profileLevel);
std::string Mpeg2LevelName(int profileLevel);

class Mpeg2Parser : public CodecParser {
public:
    Mpeg2Parser(StreamModel& model, PictureSink& sink);
    size_t Want(uint32_t code) const override;
    void OnUnit(const Unit& u) override;
    void Finish(int64_t end) override;

private:
    void Activate();

    Mpeg2Sequence m_seq;      // the last sequence header and its extensions
    int64_t m_seqOffset = 0;
    bool m_haveSeq = false;
    Mpeg2Sequence m_usable;   // the last one a picture could be decoded with
    bool m_activated = false;
    bool m_afterPicture = false;  // extensions now belong to the picture
    Mpeg2Gop m_gop;
    bool m_gopPending = false;
    int64_t m_auStart = -1;
    Mpeg2Picture m_header;
    bool m_fieldPending = false;
    int m_firstFieldParity = 0;
    bool m_fieldOrderKnown = false;
};

}  // namespace qvutil

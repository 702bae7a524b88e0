#include "Mpeg2Parser.h"

#include "Rbsp.h"

#include <cstdio>

namespace qvutil {

namespace {

// Frame rates of frame_rate_code, with the codes 9 to 13 that some encoders write and
// ffmpeg reads (15, 5, 10, 12, 15 fps).
const Rational kFrameRates[16] = {{0, 0},  {24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1},
                                  {50, 1}, {60000, 1001}, {60, 1}, {15, 1}, {5, 1},         {10, 1},
                                  {12, 1}, {15, 1},       {0, 0},  {0, 0}};

// MPEG-1 pel aspect ratios (height / width of a sample) as the nearest fractions with terms up
// to 255 of their inverse: the sample aspect ratios ffprobe prints.
const Rational kMpeg1Aspect[16] = {{0, 0},    {1, 1},     {49, 33},   {64, 45},   {239, 182},
                                   {36, 29},  {32, 27},   {169, 151}, {178, 163}, {54, 53},
                                   {196, 201}, {187, 200}, {200, 219}, {127, 147}, {134, 161},
                                   {0, 0}};

// MPEG-2 display aspect ratios of aspect_ratio_information 2 to 4 (1 means square samples).
const Rational kMpeg2Aspect[5] = {{0, 0}, {1, 1}, {4, 3}, {16, 9}, {221, 100}};

}  // namespace

std::string Mpeg2ProfileName(int pl) {
    if (pl & 0x80) {
        switch (pl) {
        case 0x82: case 0x85: return "4:2:2";
        case 0x8A: case 0x8B: case 0x8D: case 0x8E: return "Multiview";
        default: return "";
        }
    }
    switch ((pl >> 4) & 7) {
    case 1: return "High";
    case 2: return "Spatially Scalable";
    case 3: return "SNR Scalable";
    case 4: return "Main";
    case 5: return "Simple";
    default: return "";
    }
}

std::string Mpeg2LevelName(int pl) {
    if (pl & 0x80) {
        switch (pl) {
        case 0x82: case 0x8A: return "High";
        case 0x8B: return "High 1440";
        case 0x85: case 0x8D: return "Main";
        case 0x8E: return "Low";
        default: return "";
        }
    }
    switch (pl & 15) {
    case 4: return "High";
    case 6: return "High 1440";
    case 8: return "Main";
    case 10: return "Low";
    default: return "";
    }
}

bool ParseMpegSequenceHeader(const uint8_t* p, size_t n, Mpeg2Sequence& s, std::string& error) {
    s = Mpeg2Sequence();
    BitReader r(p, n);
    s.width = static_cast<int>(r.U(12, "horizontal_size_value"));
    s.height = static_cast<int>(r.U(12, "vertical_size_value"));
    s.aspect = static_cast<int>(r.U(4, "aspect_ratio_information"));
    s.frameRateCode = static_cast<int>(r.U(4, "frame_rate_code"));
    s.bitRate = r.U(18, "bit_rate_value");
    r.Expect(1, 1, "marker_bit");
    s.vbvSize = static_cast<int>(r.U(10, "vbv_buffer_size_value"));
    s.constrained = r.Flag();
    if (r.Flag()) r.Skip(64 * 8, "intra_quantiser_matrix");
    if (r.Flag()) r.Skip(64 * 8, "non_intra_quantiser_matrix");
    if (!r.Ok()) return error = r.Error(), false;
    // A size of 0 here may be 4096 or more once the sequence extension adds its high bits:
    // it is judged when the sequence is used.
    if (s.aspect == 0) return error = "aspect_ratio_information 0 is forbidden", false;
    if (s.frameRateCode == 0 || s.frameRateCode > 13)
        return error = "frame_rate_code " + std::to_string(s.frameRateCode) + " is reserved", false;
    return true;
}

bool ParseMpegExtension(const uint8_t* p, size_t n, Mpeg2Sequence& s, Mpeg2Picture& pic, int& id, std::string& error) {
    BitReader r(p, n);
    id = static_cast<int>(r.U(4, "extension_start_code_identifier"));
    switch (id) {
    case 1: {  // sequence extension
        s.profileLevel = static_cast<int>(r.U(8, "profile_and_level_indication"));
        s.progressive = r.Flag();
        s.chromaFormat = static_cast<int>(r.U(2, "chroma_format"));
        s.width = (s.width & 0xFFF) | static_cast<int>(r.U(2, "horizontal_size_extension") << 12);
        s.height = (s.height & 0xFFF) | static_cast<int>(r.U(2, "vertical_size_extension") << 12);
        s.bitRate = (s.bitRate & 0x3FFFF) | (int64_t{r.U(12, "bit_rate_extension")} << 18);
        r.Expect(1, 1, "marker_bit");
        s.vbvSize = (s.vbvSize & 0x3FF) | static_cast<int>(r.U(8, "vbv_buffer_size_extension") << 10);
        s.lowDelay = r.Flag();
        s.frameRateN = static_cast<int>(r.U(2, "frame_rate_extension_n"));
        s.frameRateD = static_cast<int>(r.U(5, "frame_rate_extension_d"));
        if (r.Ok() && s.chromaFormat == 0) r.Fail("chroma_format 0 is reserved");
        if (r.Ok()) s.extension = true;
        break;
    }
    case 2: {  // sequence display extension
        s.videoFormat = static_cast<int>(r.U(3, "video_format"));
        if (r.Flag()) {
            s.primaries = static_cast<int>(r.U(8, "colour_primaries"));
            s.transfer = static_cast<int>(r.U(8, "transfer_characteristics"));
            s.matrix = static_cast<int>(r.U(8, "matrix_coefficients"));
        }
        s.displayWidth = static_cast<int>(r.U(14, "display_horizontal_size"));
        r.Expect(1, 1, "marker_bit");
        s.displayHeight = static_cast<int>(r.U(14, "display_vertical_size"));
        if (r.Ok()) s.display = true;
        break;
    }
    case 8: {  // picture coding extension
        r.U(16, "f_code");
        r.U(2, "intra_dc_precision");
        pic.structure = static_cast<int>(r.U(2, "picture_structure"));
        pic.topFieldFirst = r.Flag();
        r.U(5, "coding flags");
        pic.repeatFirstField = r.Flag();
        r.Flag();  // chroma_420_type
        pic.progressiveFrame = r.Flag();
        if (r.Ok() && pic.structure == 0) r.Fail("picture_structure 0 is reserved");
        if (r.Ok()) pic.codingExtension = true;
        break;
    }
    default:
        break;
    }
    if (!r.Ok()) return error = r.Error(), false;
    return true;
}

bool ParseMpegGop(const uint8_t* p, size_t n, Mpeg2Gop& g, std::string& error) {
    g = Mpeg2Gop();
    BitReader r(p, n);
    g.dropFrame = r.Flag();
    g.hours = static_cast<int>(r.U(5, "time_code_hours"));
    g.minutes = static_cast<int>(r.U(6, "time_code_minutes"));
    r.Expect(1, 1, "marker_bit");
    g.seconds = static_cast<int>(r.U(6, "time_code_seconds"));
    g.pictures = static_cast<int>(r.U(6, "time_code_pictures"));
    g.closed = r.Flag();
    g.brokenLink = r.Flag();
    if (!r.Ok()) return error = r.Error(), false;
    return true;
}

bool ParseMpegPictureHeader(const uint8_t* p, size_t n, bool mpeg2, Mpeg2Picture& pic, std::string& error) {
    pic = Mpeg2Picture();
    BitReader r(p, n);
    pic.temporalReference = static_cast<int>(r.U(10, "temporal_reference"));
    pic.codingType = static_cast<int>(r.U(3, "picture_coding_type"));
    r.U(16, "vbv_delay");
    if (pic.codingType == 2 || pic.codingType == 3) r.U(4, "forward_f_code");
    if (pic.codingType == 3) r.U(4, "backward_f_code");
    if (!r.Ok()) return error = r.Error(), false;
    if (pic.codingType == 0 || pic.codingType > 4 || (mpeg2 && pic.codingType == 4))
        return error = "picture_coding_type " + std::to_string(pic.codingType) + " is forbidden", false;
    return true;
}

// --- The stream ----------------------------------------------------------------------

Mpeg2Parser::Mpeg2Parser(StreamModel& model, PictureSink& sink) : CodecParser(model, sink) {}

size_t Mpeg2Parser::Want(uint32_t code) const {
    switch (code & 0xFF) {
    case 0xB3: return 4 + 140;  // with both quantiser matrices
    case 0xB5: return 4 + 16;
    case 0xB8: return 4 + 4;
    case 0x00: return 4 + 5;
    default: return 4;
    }
}

void Mpeg2Parser::OnUnit(const Unit& u) {
    if (u.have < 4) return;
    const int code = static_cast<int>(u.code & 0xFF);
    const uint8_t* p = u.data + 4;
    const size_t n = u.have - 4;
    std::string why;
    if (code == 0xB3 || code == 0xB8 || code == 0x00)
        if (m_auStart < 0) m_auStart = u.offset;
    switch (code) {
    case 0xB3: {
        Mpeg2Sequence s;
        if (!ParseMpegSequenceHeader(p, n, s, why)) return Invalid("sequence header", u, why);
        m_seq = s;
        m_seqOffset = u.offset;
        m_haveSeq = true;
        m_afterPicture = false;
        return;
    }
    case 0xB5: {
        int id = 0;
        if (!m_afterPicture && !m_haveSeq) return;  // nothing it could extend yet
        Mpeg2Sequence& s = m_seq;
        if (!ParseMpegExtension(p, n, s, m_header, id, why)) return Invalid("extension", u, why);
        if (id == 8 && m_havePicture && m_afterPicture) {
            m_pic.structure = m_header.structure;
            if (m_header.structure != 3) {
                m_pic.secondField = m_fieldPending && m_firstFieldParity != m_header.structure;
                m_fieldPending = !m_pic.secondField;
                m_firstFieldParity = m_header.structure;
            } else {
                m_fieldPending = false;
            }
            if (!m_fieldOrderKnown) {
                m_fieldOrderKnown = true;
                if (m_header.structure != 3) m_model.fieldOrder = m_header.structure == 1 ? "tt" : "bb";
                else if (!m_seq.progressive && !m_header.progressiveFrame)
                    m_model.fieldOrder = m_header.topFieldFirst ? "tt" : "bb";
                else m_model.fieldOrder = "progressive";
            }
        }
        return;
    }
    case 0xB8:
        if (!ParseMpegGop(p, n, m_gop, why)) return Invalid("GOP header", u, why);
        m_gopPending = true;
        return;
    case 0x00: {
        EndPicture(m_auStart);
        if (!m_haveSeq) {
            // Before the first sequence header: nothing to decode the picture with.
            ++m_model.leadingUnits;
            m_auStart = -1;
            return;
        }
        if (m_seq.width == 0 || m_seq.height == 0) {
            // A size of 0 with no extension to add to it. Mid-stream the picture still counts,
            // decoded with the last sequence that had a size; before any, nothing could decode it.
            Unit header = u;
            header.offset = m_seqOffset;
            Invalid("sequence header", header, "picture size of 0");
            if (!m_activated) {
                m_haveSeq = false;
                ++m_model.leadingUnits;
                m_auStart = -1;
                return;
            }
            m_seq = m_usable;
        }
        m_usable = m_seq;
        if (!m_activated && m_haveSeq) Activate();
        Mpeg2Picture header;
        const bool ok = ParseMpegPictureHeader(p, n, m_seq.extension, header, why);
        m_header = header;
        m_afterPicture = true;
        Picture pic;
        pic.offset = m_auStart;
            m_auStart = -1;
        if (!ok) {
            Invalid("picture header", u, why);
        } else {
            static const char kTypes[] = {'?', 'I', 'P', 'B', 'D'};
            pic.type = kTypes[header.codingType];
            pic.key = header.codingType == 1;
            pic.closedGop = m_gopPending && (m_gop.closed || m_gop.brokenLink);
        }
        m_gopPending = false;
        BeginPicture(pic);
        return;
    }
    default:
        return;
    }
}

void Mpeg2Parser::Finish(int64_t end) {
    EndPicture(end);
    if (!m_activated && m_haveSeq) Activate();
}

void Mpeg2Parser::Activate() {
    m_activated = true;
    const Mpeg2Sequence& s = m_seq;
    SequenceFacts& f = m_model.seq;
    f = SequenceFacts();
    f.present = true;
    f.mpeg2 = s.extension;
    f.width = f.codedWidth = s.width;
    f.height = f.codedHeight = s.height;
    f.chromaFormat = s.extension ? s.chromaFormat : 1;
    f.frameRate = kFrameRates[s.frameRateCode];
    if (s.extension) f.frameRate = Reduce(f.frameRate.num * (s.frameRateN + 1), f.frameRate.den * (s.frameRateD + 1));
    f.aspectRatioIdc = s.aspect;
    if (!s.extension) {
        f.sar = kMpeg1Aspect[s.aspect];
    } else if (s.aspect == 1) {
        f.sar = {1, 1};
    } else if (s.aspect <= 4) {
        // The aspect code gives the display aspect ratio of the display size when there is
        // one, else of the picture; ffmpeg keeps to the picture size unless that yields 4:3
        // or 16:9, and so does this.
        const Rational a = kMpeg2Aspect[s.aspect];
        Rational sar = Reduce(a.num * s.height, a.den * s.width);
        if (s.displayWidth > 0 && s.displayHeight > 0) {
            const Rational dar = Reduce(a.num * s.displayHeight * s.width, a.den * s.displayWidth * s.height);
            if ((dar.num == 4 && dar.den == 3) || (dar.num == 16 && dar.den == 9))
                sar = Reduce(a.num * s.displayHeight, a.den * s.displayWidth);
        }
        f.sar = sar;
    }
    f.colourRange = 0;
    f.videoFormat = s.videoFormat;
    f.colourPrimaries = s.primaries;
    f.transfer = s.transfer;
    f.matrix = s.matrix;
    if (!s.extension) f.chromaLocation = 2;  // center
    else f.chromaLocation = s.chromaFormat == 1 ? 1 : 3;  // left, top left
    f.refs = 1;
    f.hasBFrames = s.lowDelay ? 0 : 1;
    f.lowDelay = s.lowDelay;
    f.interlacedCoding = s.extension && !s.progressive;
    f.displayWidth = s.displayWidth;
    f.displayHeight = s.displayHeight;
    if (s.bitRate != 0x3FFFF || s.extension) f.bitRate = s.bitRate * 400;
    f.headerBitRate = s.bitRate * 400;
    f.bufferSize = int64_t{s.vbvSize} * 16 * 1024;
    if (s.extension) {
        f.profileIdc = s.profileLevel;
        f.profile = Mpeg2ProfileName(s.profileLevel);
        f.level = s.profileLevel & 15;  // ffmpeg's number, for escape codes too
        f.levelText = Mpeg2LevelName(s.profileLevel);
        char buf[64];
        if (s.profileLevel & 0x80) {
            std::snprintf(buf, sizeof buf, "%s (escape 0x%02x)", f.profile.empty() ? "reserved" : f.profile.c_str(),
                          s.profileLevel);
            f.profileText = buf;
        } else {
            f.profileText = f.profile.empty() ? "reserved" : f.profile;
        }
        if (f.levelText.empty()) f.levelText = "reserved (" + std::to_string(s.profileLevel & 15) + ")";
    } else {
        f.profileText = "MPEG-1";
        f.levelText = "-";
        f.hasBFrames = 1;
    }
}

}  // namespace qvutil

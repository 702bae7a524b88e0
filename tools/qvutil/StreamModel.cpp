#include "StreamModel.h"

namespace qvutil {

Rational Reduce(int64_t num, int64_t den) {
    if (num <= 0 || den <= 0) return {};
    int64_t a = num, b = den;
    while (b) {
        const int64_t t = a % b;
        a = b;
        b = t;
    }
    return {num / a, den / a};
}

std::string CodecLongName(const std::string& name) {
    static const char* const kNames[][2] = {
        {"aac", "AAC (Advanced Audio Coding)"}, {"aac_latm", "AAC LATM (Advanced Audio Coding LATM syntax)"},
        {"ac3", "ATSC A/52A (AC-3)"}, {"eac3", "ATSC A/52B (AC-3, E-AC-3)"}, {"mp1", "MP1 (MPEG audio layer 1)"},
        {"mp2", "MP2 (MPEG audio layer 2)"}, {"mp3", "MP3 (MPEG audio layer 3)"},
        {"opus", "Opus (Opus Interactive Audio Codec)"}, {"flac", "FLAC (Free Lossless Audio Codec)"},
        {"vorbis", "Vorbis"}, {"alac", "ALAC (Apple Lossless Audio Codec)"}, {"dts", "DCA (DTS Coherent Acoustics)"},
        {"truehd", "TrueHD"}, {"mlp", "MLP (Meridian Lossless Packing)"}, {"amr_nb", "AMR-NB (Adaptive Multi-Rate NarrowBand)"},
        {"amr_wb", "AMR-WB (Adaptive Multi-Rate WideBand)"}, {"pcm_s16le", "PCM signed 16-bit little-endian"},
        {"pcm_s16be", "PCM signed 16-bit big-endian"}, {"pcm_s24le", "PCM signed 24-bit little-endian"},
        {"pcm_s24be", "PCM signed 24-bit big-endian"}, {"pcm_s32le", "PCM signed 32-bit little-endian"},
        {"pcm_s32be", "PCM signed 32-bit big-endian"}, {"pcm_f32le", "PCM 32-bit floating point little-endian"},
        {"pcm_f32be", "PCM 32-bit floating point big-endian"}, {"pcm_f64le", "PCM 64-bit floating point little-endian"},
        {"pcm_f64be", "PCM 64-bit floating point big-endian"}, {"pcm_u8", "PCM unsigned 8-bit"},
        {"pcm_s8", "PCM signed 8-bit"}, {"pcm_mulaw", "PCM mu-law / G.711 mu-law"}, {"pcm_alaw", "PCM A-law / G.711 A-law"},
        {"pcm_bluray", "PCM signed 16|20|24-bit big-endian for Blu-ray media"},
        {"pcm_dvd", "PCM signed 20|24-bit big-endian"}, {"mov_text", "MOV text"}, {"subrip", "SubRip subtitle"},
        {"ass", "ASS (Advanced SSA) subtitle"}, {"webvtt", "WebVTT subtitle"}, {"text", "raw UTF-8 text"},
        {"ttml", "Timed Text Markup Language"}, {"eia_608", "EIA-608 closed captions"},
        {"dvd_subtitle", "DVD subtitles"}, {"dvb_subtitle", "DVB subtitles"},
        {"hdmv_pgs_subtitle", "HDMV Presentation Graphic Stream subtitles"}, {"hdmv_text_subtitle", "HDMV Text subtitle"},
        {"dvb_teletext", "DVB teletext"}, {"mpeg4", "MPEG-4 part 2"}, {"vp8", "On2 VP8"}, {"vp9", "Google VP9"},
        {"av1", "Alliance for Open Media AV1"}, {"mjpeg", "Motion JPEG"}, {"prores", "Apple ProRes (iCodec Pro)"},
        {"h263", "H.263 / H.263-1996, H.263+ / H.263-1998 / H.263 version 2"}, {"vvc", "H.266 / VVC (Versatile Video Coding)"},
        {"theora", "Theora"}, {"ffv1", "FFmpeg video codec #1"}, {"rawvideo", "raw video"}, {"png", "PNG (Portable Network Graphics) image"},
        {"dnxhd", "VC3/DNxHD"}, {"dvvideo", "DV (Digital Video)"}, {"vc1", "SMPTE VC-1"}, {"cavs", "Chinese AVS (Audio Video Standard) (AVS1-P2, JiZhun profile)"},
        {"dirac", "Dirac"}, {"jpeg2000", "JPEG 2000"}, {"ttf", "TrueType font"}, {"otf", "OpenType font"},
        {"h264", "H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10"}, {"hevc", "H.265 / HEVC (High Efficiency Video Coding)"},
        {"mpeg2video", "MPEG-2 video"}, {"mpeg1video", "MPEG-1 video"}, {"tta", "TTA (True Audio)"}, {"wavpack", "WavPack"},
        {"qcelp", "QCELP / PureVoice"}, {"adpcm_ima_qt", "ADPCM IMA QuickTime"}, {"arib_caption", "ARIB STD-B24 caption"},
        {"dvd_nav_packet", "DVD Nav packet"},
    };
    for (const auto& n : kNames)
        if (name == n[0]) return n[1];
    return std::string();
}

Rational PlausibleRate(Rational stated, Rational stamps) {
    if (!stated.Known()) return stated;
    if (!stamps.Known()) return stated;
    const double ratio = static_cast<double>(stated.num) * static_cast<double>(stamps.den) /
                         (static_cast<double>(stated.den) * static_cast<double>(stamps.num));
    // Fields against frames make a factor of 2; more is no reading of the same pictures.
    return ratio > 3 || ratio < 1.0 / 3 ? stamps : stated;
}

void StreamModel::Diagnose(std::string text) {
    if (diagnostics.size() < 100) diagnostics.push_back(std::move(text));
    else ++diagnosticsDropped;
}

std::string StreamModel::CodecName() const {
    switch (codec) {
    case Codec::H264: return "h264";
    case Codec::H265: return "hevc";
    case Codec::Mpeg12: return seq.present && !seq.mpeg2 ? "mpeg1video" : "mpeg2video";
    case Codec::Vp9: return "vp9";
    case Codec::Av1: return "av1";
    default: return "";
    }
}

std::string StreamModel::CodecLongName() const {
    switch (codec) {
    case Codec::H264: return "H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10";
    case Codec::H265: return "H.265 / HEVC (High Efficiency Video Coding)";
    case Codec::Mpeg12: return seq.present && !seq.mpeg2 ? "MPEG-1 video" : "MPEG-2 video";
    case Codec::Vp9: return "Google VP9";
    case Codec::Av1: return "Alliance for Open Media AV1";
    default: return "";
    }
}

namespace {

// ffmpeg's names of the colour code points; the gaps (and anything past the end) have none.
const char* const kPrimaries[] = {"reserved", "bt709", nullptr, "reserved", "bt470m", "bt470bg", "smpte170m",
                                  "smpte240m", "film", "bt2020", "smpte428", "smpte431", "smpte432", nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "ebu3213"};
const char* const kTransfer[] = {"reserved", "bt709", nullptr, "reserved", "bt470m", "bt470bg", "smpte170m",
                                 "smpte240m", "linear", "log100", "log316", "iec61966-2-4", "bt1361e",
                                 "iec61966-2-1", "bt2020-10", "bt2020-12", "smpte2084", "smpte428",
                                 "arib-std-b67"};
const char* const kMatrix[] = {"gbr", "bt709", nullptr, "reserved", "fcc", "bt470bg", "smpte170m", "smpte240m",
                               "ycgco", "bt2020nc", "bt2020c", "smpte2085", "chroma-derived-nc",
                               "chroma-derived-c", "ictcp"};

template <size_t N>
std::string Named(const char* const (&table)[N], int v) {
    return v >= 0 && static_cast<size_t>(v) < N && table[v] ? table[v] : "";
}

}  // namespace

std::string PrimariesName(int code) { return Named(kPrimaries, code); }
std::string TransferName(int code) { return Named(kTransfer, code); }
std::string MatrixName(int code) { return Named(kMatrix, code); }

std::string StreamModel::ColourPrimaries() const {
    return Named(kPrimaries, seq.colourPrimaries);
}

std::string StreamModel::ColourTransfer() const {
    // ffmpeg prefers the transfer an alternative transfer characteristics SEI names.
    if (codec != Codec::Mpeg12 && alternativeTransfer >= 0 && !Named(kTransfer, alternativeTransfer).empty())
        return Named(kTransfer, alternativeTransfer);
    return Named(kTransfer, seq.transfer);
}

std::string StreamModel::ColourSpace() const {
    return Named(kMatrix, seq.matrix);
}

std::string StreamModel::ColourRange() const {
    return seq.colourRange < 0 ? "" : seq.colourRange ? "pc" : "tv";
}

std::string StreamModel::ChromaLocation() const {
    static const char* const kNames[] = {"", "left", "center", "topleft", "top", "bottomleft", "bottom"};
    return seq.chromaLocation >= 0 && seq.chromaLocation <= 6 ? kNames[seq.chromaLocation] : "";
}

std::string StreamModel::PixFmt() const {
    if (!seq.present) return "";
    const int depth = seq.bitDepthLuma;
    const bool rgb = seq.matrix == 0 && seq.chromaFormat == 3;
    const bool full = seq.colourRange == 1;
    const std::string bits = depth == 8 ? "" : std::to_string(depth) + "le";
    switch (codec) {
    case Codec::Mpeg12:
        return seq.chromaFormat == 3 ? "yuv444p" : seq.chromaFormat == 2 ? "yuv422p" : "yuv420p";
    case Codec::H264:
        // 4:0:0 comes out of ffmpeg as 4:2:0 with flat chroma.
        if (depth != 8 && depth != 9 && depth != 10 && depth != 12 && depth != 14) return "";
        if (seq.chromaFormat == 3) return rgb ? "gbrp" + bits : std::string(full && depth == 8 ? "yuvj444p" : "yuv444p") + bits;
        if (seq.chromaFormat == 2) return std::string(full && depth == 8 ? "yuvj422p" : "yuv422p") + bits;
        return std::string(full && depth == 8 ? "yuvj420p" : "yuv420p") + bits;
    case Codec::H265:
        if ((depth != 8 && depth != 9 && depth != 10 && depth != 12) || seq.bitDepthChroma != depth) return "";
        if (seq.chromaFormat == 0) return depth == 8 ? "gray" : "gray" + bits;
        if (seq.chromaFormat == 3) return (rgb ? "gbrp" : "yuv444p") + bits;
        if (seq.chromaFormat == 2) return "yuv422p" + bits;
        return std::string(full && depth == 8 ? "yuvj420p" : "yuv420p") + bits;
    case Codec::Vp9:
        // Full range keeps the plain formats; 4:4:0 is chroma format 4.
        if (depth != 8 && depth != 10 && depth != 12) return "";
        if (seq.matrix == 0) return "gbrp" + bits;
        if (seq.chromaFormat == 4) return "yuv440p" + bits;
        return (seq.chromaFormat == 3 ? "yuv444p" : seq.chromaFormat == 2 ? "yuv422p" : "yuv420p") + bits;
    case Codec::Av1:
        // dav1d's RGB needs all of sRGB: BT.709 primaries, the sRGB transfer, identity matrix.
        if (depth != 8 && depth != 10 && depth != 12) return "";
        if (seq.chromaFormat == 0) return "gray" + bits;
        if (rgb && seq.colourPrimaries == 1 && seq.transfer == 13) return "gbrp" + bits;
        return (seq.chromaFormat == 3 ? "yuv444p" : seq.chromaFormat == 2 ? "yuv422p" : "yuv420p") + bits;
    default:
        return "";
    }
}

Rational StreamModel::DisplayAspect() const {
    if (!seq.sar.Known() || seq.width <= 0 || seq.height <= 0) return {};
    return Reduce(seq.width * seq.sar.num, seq.height * seq.sar.den);
}

int StreamModel::HasBFrames() const {
    if (seq.hasBFrames >= 0) return seq.hasBFrames;
    return bFrames ? 1 : 0;
}

double StreamModel::Duration() const {
    if (!seq.frameRate.Known() || outputFrames <= 0) return -1;
    return static_cast<double>(outputFrames) * static_cast<double>(seq.frameRate.den) /
           static_cast<double>(seq.frameRate.num);
}

int64_t StreamModel::BitRate() const {
    const double d = Duration();
    return d > 0 ? ToInt64(static_cast<double>(bytes) * 8 / d) : 0;
}

}  // namespace qvutil

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

void StreamModel::Diagnose(std::string text) {
    if (diagnostics.size() < 100) diagnostics.push_back(std::move(text));
    else ++diagnosticsDropped;
}

std::string StreamModel::CodecName() const {
    switch (codec) {
    case Codec::H264: return "h264";
    case Codec::H265: return "hevc";
    case Codec::Mpeg12: return seq.present && !seq.mpeg2 ? "mpeg1video" : "mpeg2video";
    default: return "";
    }
}

std::string StreamModel::CodecLongName() const {
    switch (codec) {
    case Codec::H264: return "H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10";
    case Codec::H265: return "H.265 / HEVC (High Efficiency Video Coding)";
    case Codec::Mpeg12: return seq.present && !seq.mpeg2 ? "MPEG-1 video" : "MPEG-2 video";
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
    return d > 0 ? static_cast<int64_t>(static_cast<double>(bytes) * 8 / d) : 0;
}

}  // namespace qvutil

#include "Report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <map>

namespace qvutil {

namespace {

std::string Format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string Ratio(const Rational& r, char sep) {
    return Format("%" PRId64 "%c%" PRId64, r.num, sep, r.den);
}

std::string RateText(const Rational& r) {
    if (r.den == 1) return Format("%" PRId64, r.num);
    return Format("%.3f (%" PRId64 "/%" PRId64 ")", static_cast<double>(r.num) / static_cast<double>(r.den), r.num,
                  r.den);
}

const char* ChromaName(int idc) {
    static const char* const kNames[] = {"4:0:0", "4:2:0", "4:2:2", "4:4:4"};
    return idc >= 0 && idc <= 3 ? kNames[idc] : "?";
}

// Start codes counted by type: NAL unit types by number, MPEG start codes by code byte.
std::map<int, uint64_t> CountsByType(const StreamModel& m) {
    std::map<int, uint64_t> byType;
    for (int c = 0; c < 256; ++c)
        if (m.codeCounts[static_cast<size_t>(c)])
            byType[CodeType(m.codec, 0x100u + static_cast<unsigned>(c))] += m.codeCounts[static_cast<size_t>(c)];
    return byType;
}

std::string TypeLabel(Codec codec, int type) {
    const bool byCodeByte = codec == Codec::Mpeg12 || codec == Codec::Unknown;
    return byCodeByte ? Format("0x%02x", type) : Format("%d", type);
}

std::string Fraction(uint32_t v, uint32_t den) {
    return Format("%" PRIu32 "/%" PRIu32, v, den);
}

void Line(std::string& out, const char* label, const std::string& value) {
    out += Format("  %-12s %s\n", label, value.c_str());
}

void SequenceText(std::string& out, const StreamModel& m) {
    const SequenceFacts& s = m.seq;
    out += "Sequence\n";
    if (!s.present) {
        out += "  no sequence header decoded\n";
        return;
    }
    Line(out, "profile", s.profileText);
    Line(out, "level", s.levelText);
    std::string picture = Format("%dx%d", s.width, s.height);
    if (s.cropLeft || s.cropRight || s.cropTop || s.cropBottom)
        picture += Format(" (coded %dx%d, cropped left %d right %d top %d bottom %d)", s.codedWidth, s.codedHeight,
                          s.cropLeft, s.cropRight, s.cropTop, s.cropBottom);
    else if (s.codedWidth != s.width || s.codedHeight != s.height)
        picture += Format(" (coded %dx%d)", s.codedWidth, s.codedHeight);
    if (s.displayWidth > 0) picture += Format(", display %dx%d", s.displayWidth, s.displayHeight);
    Line(out, "picture", picture);
    std::string chroma = ChromaName(s.chromaFormat);
    chroma += s.bitDepthChroma != s.bitDepthLuma ? Format(", %d bits luma, %d bits chroma", s.bitDepthLuma, s.bitDepthChroma)
                                                  : Format(", %d bits", s.bitDepthLuma);
    if (s.separateColourPlanes) chroma += ", separate colour planes";
    const std::string pix = m.PixFmt();
    if (!pix.empty()) chroma += " (" + pix + ")";
    Line(out, "chroma", chroma);
    std::string scan = m.fieldOrder == "progressive" ? "progressive"
                       : m.fieldOrder == "tt"        ? "interlaced, top field first"
                       : m.fieldOrder == "bb"        ? "interlaced, bottom field first"
                                                     : "unknown";
    if (s.mbaff) scan += " (MBAFF)";
    if (m.fields) scan += Format(", %" PRId64 " field pictures", m.fields);
    Line(out, "scan", scan);
    if (s.frameRate.Known()) Line(out, "frame rate", RateText(s.frameRate) + (s.fixedFrameRate ? ", fixed" : ""));
    else Line(out, "frame rate", "not signalled");
    if (s.sar.Known()) {
        const Rational dar = m.DisplayAspect();
        Line(out, "aspect", "SAR " + Ratio(s.sar, ':') + ", DAR " + Ratio(dar, ':'));
    }
    std::string colour;
    auto add = [&colour](const char* what, const std::string& v) {
        if (v.empty()) return;
        if (!colour.empty()) colour += ", ";
        colour += std::string(what) + " " + v;
    };
    add("range", m.ColourRange());
    add("primaries", m.ColourPrimaries());
    add("transfer", m.ColourTransfer());
    add("matrix", m.ColourSpace());
    add("chroma location", m.ChromaLocation());
    if (!colour.empty()) Line(out, "colour", colour);
    if (m.mastering.present) {
        const MasteringDisplay& d = m.mastering;
        // G, B, R as coded; printed R, G, B.
        Line(out, "mastering", Format("R(%.4f,%.4f) G(%.4f,%.4f) B(%.4f,%.4f) WP(%.4f,%.4f), %.4f to %.4f cd/m2",
                                      d.x[2] / 50000.0, d.y[2] / 50000.0, d.x[0] / 50000.0, d.y[0] / 50000.0,
                                      d.x[1] / 50000.0, d.y[1] / 50000.0, d.whiteX / 50000.0, d.whiteY / 50000.0,
                                      d.minLuminance / 10000.0, d.maxLuminance / 10000.0));
    }
    if (m.contentLight.present)
        Line(out, "light level", Format("MaxCLL %u cd/m2, MaxFALL %u cd/m2", m.contentLight.maxContent,
                                        m.contentLight.maxAverage));
    if (s.bitRate > 0 || s.bufferSize > 0)
        Line(out, "buffer", Format("%" PRId64 " bit/s, %" PRId64 " bits", s.bitRate, s.bufferSize));
    Line(out, "reordering", Format("has_b_frames %d, refs %d", m.HasBFrames(), s.refs));
    if (m.sequenceChanges) Line(out, "changes", Format("%d later sequence headers change the format", m.sequenceChanges));
}

void PicturesText(std::string& out, const StreamModel& m) {
    out += "Pictures\n";
    std::string frames = Format("%" PRId64 " (I %" PRId64 ", P %" PRId64 ", B %" PRId64, m.frames, m.typeCount[0],
                                m.typeCount[1], m.typeCount[2]);
    if (m.typeCount[3]) frames += Format(", other %" PRId64, m.typeCount[3]);
    frames += Format("), %" PRId64 " key", m.keyFrames);
    if (m.codec != Codec::Mpeg12) frames += Format(", %" PRId64 " IDR", m.idrFrames);
    Line(out, "frames", frames);
    if (m.outputFrames != m.frames) Line(out, "output", Format("%" PRId64 " frames a decoder shows", m.outputFrames));
    if (m.leadingUnits)
        Line(out, "skipped", Format("%" PRId64 " %s before the first %s, not counted", m.leadingUnits,
                                    m.codec == Codec::Mpeg12 ? "pictures" : "slices",
                                    m.codec == Codec::Mpeg12 ? "sequence header" : "parameter sets"));
    const GopStats& g = m.gop;
    if (g.count) {
        std::string gop = Format("%" PRId64 " GOP%s", g.count, g.count == 1 ? "" : "s");
        if (g.complete) {
            const double average = static_cast<double>(g.totalFrames) / static_cast<double>(g.complete);
            gop += g.minFrames == g.maxFrames ? Format(" of %" PRId64 " frames", g.minFrames)
                                              : Format(" of %" PRId64 " to %" PRId64 " frames (average %.1f)",
                                                       g.minFrames, g.maxFrames, average);
        } else {
            gop += Format(" of %" PRId64 " frames", g.totalFrames);
        }
        gop += g.open ? Format(", %" PRId64 " open", g.open) : ", closed";
        Line(out, "GOP", gop);
    }
    Line(out, "B-frames", m.bFrames ? Format("yes, up to %" PRId64 " in a row", g.maxBRun) : "no");
    const double d = m.Duration();
    if (d >= 0) {
        Line(out, "duration", Format("%.3f s", d));
        Line(out, "bit rate", Format("%" PRId64 " bit/s", m.BitRate()));
    }
}

}  // namespace

void SetElementaryFormat(FormatInfo& f, Codec codec) {
    f.container = "none (elementary stream)";
    switch (codec) {
    case Codec::H264: f.formatName = "h264", f.formatLongName = "raw H.264 video"; break;
    case Codec::H265: f.formatName = "hevc", f.formatLongName = "raw HEVC video"; break;
    case Codec::Mpeg12: f.formatName = "mpegvideo", f.formatLongName = "raw MPEG video"; break;
    default: f.formatName = "", f.formatLongName = ""; break;
    }
}

void SetContainerFormat(FormatInfo& f, Container c) {
    switch (c) {
    case Container::kMpegTs: case Container::kM2ts:
        f.formatName = "mpegts", f.formatLongName = "MPEG-TS (MPEG-2 Transport Stream)";
        f.container = c == Container::kM2ts ? "MPEG-TS, 192-byte packets (M2TS)" : "MPEG-TS";
        break;
    case Container::kMpegPs:
        f.formatName = "mpeg", f.formatLongName = "MPEG-PS (MPEG-2 Program Stream)";
        f.container = "MPEG-PS";
        break;
    default:
        break;
    }
}

std::string TextReport(const FormatInfo& f, const std::vector<const StreamModel*>& streams) {
    std::string out;
    out += Format("File         %s\n", f.filename.c_str());
    out += Format("Size         %" PRId64 " bytes\n", f.size);
    if (!f.md5.empty()) out += "MD5          " + f.md5 + "\n";
    if (!f.sha1.empty()) out += "SHA-1        " + f.sha1 + "\n";
    out += "Container    " + f.container;
    if (f.nbStreams >= 0) out += Format(", %d stream%s", f.nbStreams, f.nbStreams == 1 ? "" : "s");
    out += "\n";
    if (streams.empty()) out += "Codec        none (no start codes)\n";
    for (size_t i = 0; i < streams.size(); ++i) {
        const StreamModel& m = *streams[i];
        if (m.id >= 0)
            out += Format("Stream #%u   id 0x%x%s\n", static_cast<unsigned>(i), static_cast<unsigned>(m.id),
                          m.program ? Format(", program %d", m.program).c_str() : "");
        out += Format("Codec        %s\n", m.startCodes ? CodecName(m.codec) : "none (no start codes)");
        out += Format("Start codes  %" PRIu64 "\n", m.startCodes);
        for (const auto& t : CountsByType(m))
            out += Format("  %8" PRIu64 "  %-5s %s\n", t.second, TypeLabel(m.codec, t.first).c_str(),
                          TypeName(m.codec, t.first).c_str());
        if (m.codec == Codec::Unknown) continue;
        SequenceText(out, m);
        PicturesText(out, m);
        if (!m.diagnostics.empty()) {
            out += "Problems\n";
            for (const std::string& d : m.diagnostics) out += "  " + d + "\n";
            if (m.diagnosticsDropped) out += Format("  ... and %" PRId64 " more\n", m.diagnosticsDropped);
        }
    }
    return out;
}

namespace {

using Json = nlohmann::ordered_json;

Json StreamJson(const StreamModel& m, size_t index) {
    const SequenceFacts& s = m.seq;
    Json j;
    j["index"] = index;
    j["codec_name"] = m.CodecName();
    j["codec_long_name"] = m.CodecLongName();
    if (!s.profile.empty()) j["profile"] = s.profile;
    j["codec_type"] = "video";
    if (s.present) {
        j["width"] = s.width;
        j["height"] = s.height;
        j["coded_width"] = s.codedWidth;
        j["coded_height"] = s.codedHeight;
        j["has_b_frames"] = m.HasBFrames();
        if (s.sar.Known()) {
            j["sample_aspect_ratio"] = Ratio(s.sar, ':');
            j["display_aspect_ratio"] = Ratio(m.DisplayAspect(), ':');
        }
        const std::string pix = m.PixFmt();
        if (!pix.empty()) j["pix_fmt"] = pix;
    }
    j["level"] = s.level;
    auto opt = [&j](const char* key, const std::string& v) {
        if (!v.empty()) j[key] = v;
    };
    opt("color_range", m.ColourRange());
    opt("color_space", m.ColourSpace());
    opt("color_transfer", m.ColourTransfer());
    opt("color_primaries", m.ColourPrimaries());
    opt("chroma_location", m.ChromaLocation());
    opt("field_order", m.fieldOrder);
    if (s.present) j["refs"] = s.refs;
    if (m.id >= 0) j["id"] = Format("0x%x", static_cast<unsigned>(m.id));
    const std::string rate = s.frameRate.Known() ? Ratio(s.frameRate, '/') : "0/0";
    j["r_frame_rate"] = rate;
    j["avg_frame_rate"] = rate;
    const double d = m.Duration();
    if (d >= 0) {
        j["duration"] = Format("%f", d);
        j["bit_rate"] = std::to_string(m.BitRate());
    }
    if (s.present) j["bits_per_raw_sample"] = std::to_string(s.bitDepthLuma);
    j["nb_frames"] = std::to_string(m.outputFrames);
    if (m.mastering.present || m.contentLight.present) {
        Json list = Json::array();
        if (m.mastering.present) {
            const MasteringDisplay& md = m.mastering;
            Json e;
            e["side_data_type"] = "Mastering display metadata";
            static const char* const kAxes[3][2] = {{"green_x", "green_y"}, {"blue_x", "blue_y"}, {"red_x", "red_y"}};
            for (int c : {2, 0, 1}) {
                e[kAxes[c][0]] = Fraction(md.x[c], 50000);
                e[kAxes[c][1]] = Fraction(md.y[c], 50000);
            }
            e["white_point_x"] = Fraction(md.whiteX, 50000);
            e["white_point_y"] = Fraction(md.whiteY, 50000);
            e["min_luminance"] = Fraction(md.minLuminance, 10000);
            e["max_luminance"] = Fraction(md.maxLuminance, 10000);
            list.push_back(e);
        }
        if (m.contentLight.present) {
            Json e;
            e["side_data_type"] = "Content light level metadata";
            e["max_content"] = m.contentLight.maxContent;
            e["max_average"] = m.contentLight.maxAverage;
            list.push_back(e);
        }
        j["side_data_list"] = list;
    }

    // qvutil's own facts.
    if (s.present) {
        j["profile_name"] = s.profileText;
        j["level_name"] = s.levelText;
        j["chroma_format"] = ChromaName(s.chromaFormat);
        j["bit_depth_luma"] = s.bitDepthLuma;
        j["bit_depth_chroma"] = s.bitDepthChroma;
        j["crop"] = {{"left", s.cropLeft}, {"right", s.cropRight}, {"top", s.cropTop}, {"bottom", s.cropBottom}};
        if (s.bitRate > 0) j["hrd_bit_rate"] = s.bitRate;
        if (s.bufferSize > 0) j["buffer_size"] = s.bufferSize;
    }
    j["pictures"] = m.pictures;
    j["frames"] = m.frames;
    j["field_pictures"] = m.fields;
    j["frame_types"] = {{"I", m.typeCount[0]}, {"P", m.typeCount[1]}, {"B", m.typeCount[2]}, {"other", m.typeCount[3]}};
    j["key_frames"] = m.keyFrames;
    if (m.leadingUnits) j["skipped_before_parameter_sets"] = m.leadingUnits;
    if (m.codec != Codec::Mpeg12) j["idr_frames"] = m.idrFrames;
    const GopStats& g = m.gop;
    Json gop;
    gop["count"] = g.count;
    if (g.count) {
        gop["min_frames"] = g.minFrames;
        gop["max_frames"] = g.maxFrames;
        gop["average_frames"] = g.complete ? static_cast<double>(g.totalFrames) / static_cast<double>(g.complete)
                                           : static_cast<double>(g.totalFrames);
        gop["open"] = g.open;
    }
    gop["b_frames"] = m.bFrames;
    gop["max_consecutive_b_frames"] = g.maxBRun;
    j["gop"] = gop;
    Json codes = Json::array();
    for (const auto& t : CountsByType(m))
        codes.push_back({{"type", t.first}, {"name", TypeName(m.codec, t.first)}, {"count", t.second}});
    j["start_codes"] = codes;
    j["sequence_changes"] = m.sequenceChanges;
    Json problems = Json::array();
    for (const std::string& d : m.diagnostics) problems.push_back(d);
    j["diagnostics"] = problems;
    return j;
}

}  // namespace

std::string JsonReport(const FormatInfo& f, const std::vector<const StreamModel*>& streams) {
    Json root;
    Json list = Json::array();
    double duration = -1;
    for (size_t i = 0; i < streams.size(); ++i) {
        list.push_back(StreamJson(*streams[i], i));
        duration = std::max(duration, streams[i]->Duration());
    }
    root["streams"] = list;
    Json fmt;
    fmt["filename"] = f.filename;
    // Every stream of a container, as ffprobe counts them, not only the video ones listed.
    fmt["nb_streams"] = f.nbStreams >= 0 ? static_cast<size_t>(f.nbStreams) : streams.size();
    if (!f.formatName.empty()) {
        fmt["format_name"] = f.formatName;
        fmt["format_long_name"] = f.formatLongName;
    }
    if (duration > 0) fmt["duration"] = Format("%f", duration);
    fmt["size"] = std::to_string(f.size);
    if (duration > 0) fmt["bit_rate"] = std::to_string(static_cast<int64_t>(static_cast<double>(f.size) * 8 / duration));
    if (!f.md5.empty()) fmt["md5"] = f.md5;
    if (!f.sha1.empty()) fmt["sha1"] = f.sha1;
    root["format"] = fmt;
    return root.dump(4, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string FrameHeader(bool withStream) {
    return std::string(withStream ? "stream " : "") + "offset size type key structure kind pts\n";
}

std::string FrameLine(const Picture& p, int streamId) {
    std::string line = streamId >= 0 ? Format("0x%x ", static_cast<unsigned>(streamId)) : "";
    const char* structure = p.structure == 3 ? "frame" : p.structure == 1 ? "top" : "bottom";
    line += Format("%" PRId64 " %" PRId64 " %c %s %s %s", p.offset, p.size, p.type, p.key ? "key" : "-", structure,
                   *p.kind ? p.kind : "-");
    line += p.pts >= 0 ? Format(" %" PRId64 "\n", p.pts) : " -\n";
    return line;
}

}  // namespace qvutil

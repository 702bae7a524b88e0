#include "Report.h"

#include "Commands.h"
#include "codec/AudioAnalyser.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>

namespace qvutil {

std::string Format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

namespace {

using Json = nlohmann::ordered_json;

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

// The duration and bit rate of the pictures themselves, where no container times them.
void PicturesText(std::string& out, const StreamModel& m, bool timed) {
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
            // The sizes of the GOPs another key picture ended; the last, which the stream's
            // end cut, apart.
            const double average = static_cast<double>(g.totalFrames) / static_cast<double>(g.complete);
            if (g.lastFrames) gop += Format(": %" PRId64, g.complete);
            gop += g.minFrames == g.maxFrames ? Format(" of %" PRId64 " frames", g.minFrames)
                                              : Format(" of %" PRId64 " to %" PRId64 " frames (average %.1f)",
                                                       g.minFrames, g.maxFrames, average);
            if (g.lastFrames) gop += Format(" and a last of %" PRId64, g.lastFrames);
        } else {
            gop += Format(" of %" PRId64 " frames", g.totalFrames);
        }
        gop += g.open ? Format(", %" PRId64 " open", g.open) : ", closed";
        Line(out, "GOP", gop);
    }
    Line(out, "B-frames", m.bFrames ? Format("yes, up to %" PRId64 " in a row", g.maxBRun) : "no");
    const double d = m.Duration();
    if (!timed && d >= 0) {
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

void SetElementaryAudioFormat(FormatInfo& f, const std::string& codec) {
    // ffmpeg's raw demuxers of each.
    static const struct {
        const char* codec;
        const char* name;
        const char* longName;
    } kRaw[] = {
        {"aac", "aac", "raw ADTS AAC (Advanced Audio Coding)"}, {"aac_latm", "loas", "LOAS AudioSyncStream"},
        {"mp1", "mp3", "MP2/3 (MPEG audio layer 2/3)"}, {"mp2", "mp3", "MP2/3 (MPEG audio layer 2/3)"},
        {"mp3", "mp3", "MP2/3 (MPEG audio layer 2/3)"}, {"ac3", "ac3", "raw AC-3"}, {"eac3", "eac3", "raw E-AC-3"},
        {"dts", "dts", "raw DTS"}, {"truehd", "truehd", "raw TrueHD"}, {"mlp", "mlp", "raw MLP"},
    };
    for (const auto& r : kRaw)
        if (codec == r.codec) f.formatName = r.name, f.formatLongName = r.longName;
}

void SetContainerFormat(FormatInfo& f, Container c) {
    f.formatName = FormatName(c);
    switch (c) {
    case Container::kMpegTs: case Container::kM2ts:
        f.formatLongName = "MPEG-TS (MPEG-2 Transport Stream)";
        f.container = c == Container::kM2ts ? "MPEG-TS, 192-byte packets (M2TS)" : "MPEG-TS";
        break;
    case Container::kMpegPs:
        f.formatLongName = "MPEG-PS (MPEG-2 Program Stream)";
        f.container = "MPEG-PS";
        break;
    case Container::kMp4:
        f.formatLongName = "QuickTime / MOV";
        f.container = "MP4 (ISO base media / QuickTime)";
        break;
    case Container::kMatroska:
        f.formatLongName = "Matroska / WebM";
        f.container = "Matroska";
        break;
    default:
        break;
    }
}

MediaModel ElementaryModel(const FormatInfo& format, const StreamModel& stream) {
    MediaModel m;
    m.format = format;
    StreamReport r;
    r.info.id = -1;
    r.info.kind = StreamKind::kVideo;
    r.shownId = stream.id;
    r.video = &stream;
    m.streams.push_back(r);
    return m;
}

namespace {

bool Framed(Container c) {
    return c == Container::kMp4 || c == Container::kMatroska;
}

std::string Seconds(int64_t t, const TimeBase& tb) {
    return Format("%f", static_cast<double>(t) * static_cast<double>(tb.num) / static_cast<double>(tb.den));
}

// The facts ffprobe shows of a stream that come from its container (time base, start,
// duration, rates), by the rules of ffmpeg's demuxer for that container; from the
// pictures where the container has none.
struct Timing {
    bool timeBase = false;
    int64_t startPts = kNoTime, durationTs = kNoTime;
    double durationSeconds = -1;
    int64_t bitRate = 0, frames = -1;
    Rational rate, avgRate;
};

// The bit rate ffmpeg takes from an MPEG-1/2 sequence header where the container has none:
// its parser's, as it stands for MPEG-1; MPEG-2's decoder then drops the variable-rate mark.
int64_t ParserBitRate(const StreamModel& m) {
    const SequenceFacts& s = m.seq;
    if (!s.present) return 0;
    return s.mpeg2 && s.headerBitRate == int64_t{0x3FFFF} * 400 ? 0 : s.headerBitRate;
}

// What ffmpeg prints as bits_per_sample: the sample width of PCM codecs, 0 for the rest.
int BitsPerSample(const std::string& codec) {
    if (codec.compare(0, 4, "pcm_") != 0) return 0;
    if (codec == "pcm_alaw" || codec == "pcm_mulaw" || codec == "pcm_s8" || codec == "pcm_u8") return 8;
    for (int bits : {16, 24, 32, 64})
        if (codec.find(std::to_string(bits)) != std::string::npos) return bits;
    return 0;
}

// The sample format ffmpeg's decoder of a codec outputs, where it does not depend on the
// stream (PCM's is its codec's).
std::string DecoderSampleFmt(const std::string& codec) {
    static const char* const kFloat[] = {"aac", "aac_latm", "ac3", "eac3", "mp3", "dts", "opus", "vorbis"};
    for (const char* c : kFloat)
        if (codec == c) return "fltp";
    if (codec == "mp1" || codec == "mp2") return "s16p";
    if (codec.compare(0, 4, "pcm_") != 0) return std::string();
    if (codec == "pcm_u8" || codec == "pcm_s8") return "u8";
    if (codec == "pcm_alaw" || codec == "pcm_mulaw") return "s16";
    if (codec.compare(0, 5, "pcm_f") == 0) return codec.find("64") != std::string::npos ? "dbl" : "flt";
    if (codec.find("16") != std::string::npos) return "s16";
    if (codec.find("64") != std::string::npos) return "s64";
    return "s32";
}

// The frames ffmpeg's decoder outputs: every packet of a framed container but those wholly
// before an MP4 edit and Vorbis's first; each frame of a byte stream; PCM's packets
// (MOV's PCM samples go out 1024 at a time).
int64_t AudioFramesRead(const MediaModel& model, const StreamReport& r) {
    const std::string& c = r.info.codecName;
    const bool pcm = c.compare(0, 4, "pcm_") == 0;
    if (!Framed(model.container)) return pcm ? r.audio->units : r.audio->frames;
    int64_t n = r.samples.count;
    // Vorbis's first packet primes the decoder: it is the one an edit hides, if any is.
    n -= c == "vorbis" ? std::max<int64_t>(r.samples.hidden, n > 0) : r.samples.hidden;
    if (pcm && model.container == Container::kMp4) n = (n + 1023) / 1024;
    return n;
}

// A layout where the codec has none: MOV's PCM takes the usual one for its channel count.
std::string ContainerLayout(const MediaModel& model, const StreamInfo& s) {
    if (!s.channelLayout.empty() || model.container != Container::kMp4 || s.codecName.compare(0, 4, "pcm_") != 0)
        return s.channelLayout;
    static const char* const kDefault[9] = {"", "mono", "stereo", "2.1", "4.0", "5.0", "5.1", "6.1", "7.1"};
    return s.channels > 0 && s.channels <= 8 ? kDefault[s.channels] : std::string();
}

// The audio facts a stream's own headers give, where they were read.
const AudioFacts* AudioOf(const StreamReport& r) {
    return r.audio && r.audio->facts.present ? &r.audio->facts : nullptr;
}

Timing StreamTiming(const MediaModel& model, const StreamReport& r) {
    Timing t;
    const StreamInfo& s = r.info;
    const StreamModel* v = r.video;
    const Rational codecRate = v && v->seq.frameRate.Known() ? v->seq.frameRate : Rational();
    const AudioFacts* a = AudioOf(r);
    // ffmpeg's parsers of these set the frame header's rate over the container's.
    const bool parsedRate = a && (s.codecName == "ac3" || s.codecName == "eac3" || s.codecName == "dts");
    if (model.container == Container::kMp4) {
        t.timeBase = true;
        t.startPts = s.startTime;
        t.durationTs = s.duration;
        if (s.duration != kNoTime && s.duration > 0)
            t.durationSeconds = static_cast<double>(s.duration) * static_cast<double>(s.timeBase.num) /
                                static_cast<double>(s.timeBase.den);
        t.bitRate = s.bitRate;
        t.frames = s.frames;
        t.rate = Reduce(s.frameRateNum, s.frameRateDen);
        t.avgRate = Reduce(s.avgRateNum, s.avgRateDen);
        if (!t.rate.Known()) t.rate = codecRate.Known() ? codecRate : t.avgRate;
        // ffmpeg parses MPEG-1 video in MP4, and its parser's rate is the sequence header's.
        if (v && v->codec == Codec::Mpeg12 && !v->seq.mpeg2 && v->seq.present) t.bitRate = ParserBitRate(*v);
        if (parsedRate) t.bitRate = a->bitRate;
        return t;
    }
    if (model.container == Container::kMatroska) {
        t.timeBase = true;
        t.startPts = s.startTime;
        if (a && (parsedRate || s.codecName == "mp2" || s.codecName == "mp3" || s.codecName == "mp1"))
            t.bitRate = r.audio->bitRate;
        // PCM's rate is its sample rate, channels and width.
        if (BitsPerSample(s.codecName) > 0 && s.sampleRate > 0)
            t.bitRate = int64_t{s.sampleRate} * s.channels * BitsPerSample(s.codecName);
        if (s.kind == StreamKind::kAttachment) {
            t.durationTs = s.duration;
            if (s.duration != kNoTime) t.durationSeconds = static_cast<double>(s.duration) / 90000;
        }
        t.avgRate = Reduce(s.avgRateNum, s.avgRateDen);
        t.rate = Reduce(s.frameRateNum, s.frameRateDen);
        if (!t.rate.Known()) t.rate = codecRate.Known() ? codecRate : t.avgRate;
        if (!t.avgRate.Known()) t.avgRate = t.rate;
        // Matroska has no bit rates; ffmpeg's MPEG video parser gives the sequence header's.
        if (v && v->codec == Codec::Mpeg12) t.bitRate = ParserBitRate(*v);
        return t;
    }
    t.rate = t.avgRate = PlausibleRate(codecRate, r.stampRate);
    if (model.container == Container::kElementary) {
        if (v) {
            t.durationSeconds = v->Duration();
            if (t.durationSeconds >= 0) t.bitRate = v->BitRate();
        }
        return t;
    }
    // MPEG-TS and MPEG-PS: the PES time stamps, in 90 kHz.
    if (s.startTime != kNoTime) {
        t.timeBase = true;
        t.startPts = s.startTime;
        t.durationTs = s.duration;
        if (s.duration != kNoTime) t.durationSeconds = static_cast<double>(s.duration) / 90000;
    }
    if (v && v->codec == Codec::Mpeg12) t.bitRate = ParserBitRate(*v);
    if (r.audio) t.bitRate = r.audio->bitRate;
    return t;
}

std::string TagText(uint32_t tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const unsigned c = tag >> (8 * i) & 0xFF;
        if (c >= 32 && c < 127) s += static_cast<char>(c);
        else s += Format("[%u]", c);
    }
    return s;
}


// The audio block: what the frames' headers say beyond the stream's line.
void AudioText(std::string& out, const AudioModel& m, int64_t frames) {
    const AudioFacts& a = m.facts;
    std::string line;
    if (a.present) {
        line = Format("%" PRId64 " frames", frames);
        if (a.frameSamples > 0) line += Format(" of %d samples", a.frameSamples);
        if (m.bitRate > 0) line += Format(", %" PRId64 " kbit/s", m.bitRate / 1000);
        else if (a.bitRate > 0) line += Format(", %s%" PRId64 " kbit/s", a.codecName == "truehd" || a.codecName == "mlp" ? "peak " : "", a.bitRate / 1000);
        if (!a.sampleFmt.empty()) line += ", decodes to " + a.sampleFmt;
        if (!a.detail.empty()) line += ", " + a.detail;
        if (a.initialPadding) line += Format(", %d samples of padding", a.initialPadding);
        if (a.totalSamples > 0) line += Format(", %" PRId64 " samples in all", a.totalSamples);
    }
    if (m.changes) line += Format("%s%d header change%s", line.empty() ? "" : ", ", m.changes, m.changes == 1 ? "" : "s");
    if (m.skipped) line += Format("%s%" PRId64 " bytes outside frames", line.empty() ? "" : ", ", m.skipped);
    if (!line.empty()) out += "Audio        " + line + "\n";
    if (!m.diagnostics.empty()) {
        out += "Problems\n";
        for (const std::string& d : m.diagnostics) out += "  " + d + "\n";
        if (m.diagnosticsDropped) out += Format("  ... and %" PRId64 " more\n", m.diagnosticsDropped);
    }
}

void VideoText(std::string& out, const StreamModel& m, bool framed, bool timed) {
    // VP9 and AV1 have no start codes; a framed H.264 or H.265 stream has its NAL units
    // counted the same way, though no start code stands before them.
    if (m.codec != Codec::Vp9 && m.codec != Codec::Av1) {
        out += Format("%s  %" PRIu64 "\n", framed && m.codec != Codec::Mpeg12 ? "NAL units  " : "Start codes", m.startCodes);
        for (const auto& t : CountsByType(m))
            out += Format("  %8" PRIu64 "  %-5s %s\n", t.second, TypeLabel(m.codec, t.first).c_str(),
                          TypeName(m.codec, t.first).c_str());
    }
    if (m.codec == Codec::Unknown) return;
    SequenceText(out, m);
    PicturesText(out, m, timed);
    if (!m.diagnostics.empty()) {
        out += "Problems\n";
        for (const std::string& d : m.diagnostics) out += "  " + d + "\n";
        if (m.diagnosticsDropped) out += Format("  ... and %" PRId64 " more\n", m.diagnosticsDropped);
    }
}

std::string TagValue(const std::vector<Tag>& tags, const char* key) {
    for (const Tag& t : tags)
        if (t.key == key) return t.value;
    return std::string();
}

}  // namespace

std::string TextReport(const MediaModel& model) {
    const FormatInfo& f = model.format;
    std::string out;
    out += "File         " + ShownName(f.filename) + "\n";
    out += Format("Size         %" PRId64 " bytes\n", f.size);
    if (!f.md5.empty()) out += "MD5          " + f.md5 + "\n";
    if (!f.sha1.empty()) out += "SHA-1        " + f.sha1 + "\n";
    const bool container = model.container != Container::kElementary;
    out += "Container    " + f.container;
    if (container) out += Format(", %zu stream%s", model.streams.size(), model.streams.size() == 1 ? "" : "s");
    out += "\n";
    if (f.durationUs != kNoTime && f.durationUs > 0) out += Format("Duration     %.3f s\n", static_cast<double>(f.durationUs) / 1e6);
    for (const Tag& t : f.tags) out += Format("  %-11s %s\n", t.key.c_str(), t.value.c_str());
    const bool bareAudio = !container && !model.streams.empty() && AudioOf(model.streams[0]) &&
                           !(model.streams[0].video && model.streams[0].video->codec != Codec::Unknown);
    if (bareAudio) {
        const StreamReport& r = model.streams[0];
        const AudioFacts& a = *AudioOf(r);
        out += "Codec        " + a.codecName + (a.profile.empty() ? "" : " " + a.profile) +
               Format(", %d Hz, ", a.sampleRate) + a.Layout() + "\n";
        AudioText(out, *r.audio, r.audio->frames);
        return out;
    }
    if (model.streams.empty() || (!container && !model.streams[0].video)) out += "Codec        none (no start codes)\n";
    for (size_t i = 0; i < model.streams.size(); ++i) {
        const StreamReport& r = model.streams[i];
        const StreamInfo& s = r.info;
        const StreamModel* v = r.video;
        if (container) {
            std::string head = Format("Stream #%zu   ", i);
            if (s.kind == StreamKind::kAttachment) head += "attachment";
            else if (Framed(model.container)) head += Format("track %d", r.shownId);
            else head += Format("id 0x%x", static_cast<unsigned>(r.shownId));
            if (s.program) head += Format(", program %d", s.program);
            if (!v || v->codec == Codec::Unknown) {
                head += std::string(", ") + KindName(s.kind);
                std::string name = s.codecName.empty() ? std::string("codec not named") : s.codecName;
                const AudioFacts* a = s.kind == StreamKind::kAudio ? AudioOf(r) : nullptr;
                if (a && !a->profile.empty()) name += " " + a->profile;
                if (s.codecTag && Framed(model.container)) name += " (" + TagText(s.codecTag) + ")";
                head += ": " + name;
                if (s.kind == StreamKind::kAudio) {
                    const int rate = a && a->sampleRate ? a->sampleRate : s.sampleRate;
                    const int channels = a && a->channels ? a->channels : s.channels;
                    const std::string layout = a && a->channels ? a->Layout() : ContainerLayout(model, s);
                    if (rate) head += Format(", %d Hz", rate);
                    if (!layout.empty()) head += ", " + layout;
                    else if (channels) head += Format(", %d channel%s", channels, channels == 1 ? "" : "s");
                    const int bits = a && a->bitsPerRawSample ? a->bitsPerRawSample : BitsPerSample(s.codecName);
                    if (bits) head += Format(", %d bits", bits);
                }
                if (s.kind == StreamKind::kVideo && s.width > 0) head += Format(", %dx%d", s.width, s.height);
            }
            const std::string lang = TagValue(s.tags, "language");
            if (!lang.empty()) head += ", language " + lang;
            const std::string title = TagValue(s.tags, "title");
            if (!title.empty()) head += ", '" + title + "'";
            if (s.kind == StreamKind::kAttachment) head += ", " + TagValue(s.tags, "filename");
            out += head + "\n";
        }
        const bool framed = Framed(model.container);
        const Timing t = StreamTiming(model, r);
        const bool timed = container && t.durationSeconds >= 0;
        if (container && s.kind != StreamKind::kAttachment) {
            // As ffprobe times the stream; a video stream's own pictures may say otherwise.
            std::string line;
            // Streams qvutil does not analyse are not read, only counted where the index says.
            if (framed && r.samples.count > 0) {
                line = Format("%" PRId64 " samples, %" PRId64 " bytes", r.samples.count, r.samples.bytes);
                if (s.kind == StreamKind::kVideo && t.avgRate.Known()) line += ", " + RateText(t.avgRate) + " fps";
            }
            auto add = [&line](const std::string& what) { line += (line.empty() ? "" : ", ") + what; };
            if (line.empty() && t.frames >= 0) add(Format("%" PRId64 " samples", t.frames));
            if (t.timeBase && t.startPts != kNoTime)
                add(Format("start %.3f s", static_cast<double>(t.startPts) * static_cast<double>(s.timeBase.num) /
                                               static_cast<double>(s.timeBase.den)));
            if (t.durationSeconds >= 0) add(Format("duration %.3f s", t.durationSeconds));
            if (t.bitRate > 0) add(Format("%" PRId64 " bit/s", t.bitRate));
            if (!line.empty()) out += "Container    " + line + "\n";
        }
        if (r.audio) AudioText(out, *r.audio, framed ? r.samples.count : r.audio->frames);
        if (!v) continue;
        out += Format("Codec        %s\n", v->startCodes || (framed && v->codec != Codec::Unknown) ? CodecName(v->codec)
                                                                                           : "none (no start codes)");
        VideoText(out, *v, framed, timed);
    }
    return out;
}

namespace {

// Colour the container states counts where the stream leaves it unspecified.
std::string Colour(const std::string& stream, int streamCode, int container, std::string (*name)(int)) {
    if ((streamCode == 2 || stream.empty()) && container >= 0 && container != 2) {
        const std::string c = name(container);
        if (!c.empty()) return c;
    }
    return stream;
}

void VideoJson(Json& j, const StreamModel& m, const StreamInfo& info, bool framed) {
    const SequenceFacts& s = m.seq;
    if (s.present) {
        j["width"] = s.width;
        j["height"] = s.height;
        j["coded_width"] = s.codedWidth;
        j["coded_height"] = s.codedHeight;
        j["has_b_frames"] = m.HasBFrames();
        // ffmpeg prefers the container's pixel aspect to the stream's.
        Rational sar = s.sar;
        if (info.sarNum > 0 && info.sarDen > 0) sar = Reduce(info.sarNum, info.sarDen);
        if (sar.Known()) {
            j["sample_aspect_ratio"] = Ratio(sar, ':');
            const Rational dar = s.width > 0 && s.height > 0 ? Reduce(s.width * sar.num, s.height * sar.den) : Rational();
            j["display_aspect_ratio"] = Ratio(dar, ':');
        }
        const std::string pix = m.PixFmt();
        if (!pix.empty()) j["pix_fmt"] = pix;
    }
    j["level"] = s.level;
    auto opt = [&j](const char* key, const std::string& v) {
        if (!v.empty()) j[key] = v;
    };
    std::string range = m.ColourRange();
    if (range.empty() && info.colourRange >= 0) range = info.colourRange ? "pc" : "tv";
    opt("color_range", range);
    opt("color_space", Colour(m.ColourSpace(), s.matrix, info.matrix, MatrixName));
    opt("color_transfer", Colour(m.ColourTransfer(), s.transfer, info.transfer, TransferName));
    opt("color_primaries", Colour(m.ColourPrimaries(), s.colourPrimaries, info.colourPrimaries, PrimariesName));
    opt("chroma_location", m.ChromaLocation());
    // A field order the container states wins.
    opt("field_order", info.fieldOrder.empty() ? m.fieldOrder : info.fieldOrder);
    if (s.present) j["refs"] = s.refs;
    if (m.codec == Codec::H264) {
        const bool avc = framed && info.nalLengthSize;
        j["is_avc"] = avc ? "true" : "false";
        j["nal_length_size"] = std::to_string(avc ? info.nalLengthSize : 0);
    }
}

void VideoOwnJson(Json& j, const StreamModel& m) {
    const SequenceFacts& s = m.seq;
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
        // min, max and average are those of the GOPs a key picture ended, where the last
        // one the stream's end cut is apart.
        if (g.lastFrames) gop["last_frames"] = g.lastFrames;
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
}

// Side data: the container's transform first, then what the decoder adds (an MPEG-2 stream's
// buffer), then the HDR facts of the first pictures.
Json SideData(const StreamModel* v, const StreamInfo& s) {
    Json list = Json::array();
    if (s.displayMatrix) {
        const int32_t* m = s.matrix3x3;
        std::string text = "\n";
        for (int row = 0; row < 3; ++row)
            text += Format("%08x:  %11d %11d %11d\n", row, m[row * 3], m[row * 3 + 1], m[row * 3 + 2]);
        Json e;
        e["side_data_type"] = "Display Matrix";
        e["displaymatrix"] = text;
        // ffmpeg's angle, counterclockwise, truncated as ffprobe prints it.
        const double x0 = m[0] / 65536.0, x3 = m[3] / 65536.0, x1 = m[1] / 65536.0, x4 = m[4] / 65536.0;
        const double s0 = std::hypot(x0, x3), s1 = std::hypot(x1, x4);
        const double angle = s0 == 0 || s1 == 0 ? NAN : -std::atan2(x1 / s1, x0 / s0) * 180 / 3.14159265358979323846;
        e["rotation"] = std::isnan(angle) ? INT64_MIN : static_cast<int64_t>(angle);
        list.push_back(e);
    }
    if (!v) return list;
    const StreamModel& m = *v;
    if (m.codec == Codec::Mpeg12 && m.seq.present && m.seq.mpeg2) {
        Json e;
        e["side_data_type"] = "CPB properties";
        e["max_bitrate"] = m.seq.headerBitRate == int64_t{0x3FFFF} * 400 ? 0 : m.seq.headerBitRate;
        e["min_bitrate"] = 0;
        e["avg_bitrate"] = 0;
        e["buffer_size"] = m.seq.bufferSize;
        e["vbv_delay"] = -1;
        list.push_back(e);
    }
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
    return list;
}

// What ffmpeg keeps of the container's decoder configuration as extradata: all of it, but
// for VP9's (vpcC, or Matroska's feature list: read into fields) and the fLaC marker and
// block header before FLAC's STREAMINFO in Matroska.
int64_t ExtradataSize(Container c, const StreamInfo& s) {
    const int64_t n = static_cast<int64_t>(s.config.size());
    if (!Framed(c) || n == 0 || s.codecName == "vp9") return 0;
    if (c == Container::kMatroska && s.codecName == "flac") return n >= 8 ? n - 8 : 0;
    return n;
}

Json StreamJson(const MediaModel& model, const StreamReport& r, size_t index) {
    const StreamInfo& s = r.info;
    const StreamModel* v = r.video && r.video->codec != Codec::Unknown ? r.video : nullptr;
    const bool framed = Framed(model.container);
    Json j;
    j["index"] = index;
    const std::string name = v ? v->CodecName() : s.codecName;
    if (!name.empty()) {
        j["codec_name"] = name;
        const std::string longName = v ? v->CodecLongName() : CodecLongName(name);
        if (!longName.empty()) j["codec_long_name"] = longName;
    }
    const AudioFacts* a = AudioOf(r);
    if (v && !v->seq.profile.empty()) j["profile"] = v->seq.profile;
    else if (a && !a->profile.empty()) j["profile"] = a->profile;
    j["codec_type"] = KindName(s.kind);
    // A transport stream's tag is its stream type or registered format; 0 where the container
    // has none.
    j["codec_tag_string"] = TagText(s.codecTag);
    j["codec_tag"] = Format("0x%04x", s.codecTag);
    if (v) VideoJson(j, *v, s, framed);
    else if (s.kind == StreamKind::kVideo && s.width > 0) {
        j["width"] = s.width;
        j["height"] = s.height;
    }
    if (s.kind == StreamKind::kAudio) {
        const std::string fmt = a && !a->sampleFmt.empty() ? a->sampleFmt : DecoderSampleFmt(name);
        if (!fmt.empty()) j["sample_fmt"] = fmt;
        const int rate = a && a->sampleRate ? a->sampleRate : s.sampleRate;
        j["sample_rate"] = std::to_string(rate);
        j["channels"] = a && a->channels ? a->channels : s.channels;
        const std::string layout = a && a->channels ? a->Layout() : ContainerLayout(model, s);
        if (!layout.empty()) j["channel_layout"] = layout;
        j["bits_per_sample"] = BitsPerSample(name);
    }
    if (s.kind != StreamKind::kAttachment && r.shownId >= 0 && model.container != Container::kMatroska &&
        model.container != Container::kElementary)
        j["id"] = Format("0x%x", static_cast<unsigned>(r.shownId));
    const Timing t = StreamTiming(model, r);
    if (s.kind == StreamKind::kVideo || v) {
        j["r_frame_rate"] = t.rate.Known() ? Ratio(t.rate, '/') : "0/0";
        j["avg_frame_rate"] = t.avgRate.Known() ? Ratio(t.avgRate, '/') : "0/0";
    } else if (framed) {
        // A timecode track's rate, as its sample entry gives it (unreduced, as ffmpeg prints it).
        j["r_frame_rate"] = "0/0";
        j["avg_frame_rate"] = s.avgRateDen > 0 ? Format("%" PRId64 "/%" PRId64, s.avgRateNum, s.avgRateDen) : "0/0";
    }
    if (t.timeBase) j["time_base"] = Format("%" PRId64 "/%" PRId64, s.timeBase.num, s.timeBase.den);
    if (t.startPts != kNoTime) {
        j["start_pts"] = t.startPts;
        j["start_time"] = Seconds(t.startPts, s.timeBase);
    }
    if (t.durationTs != kNoTime) j["duration_ts"] = t.durationTs;
    if (t.durationSeconds >= 0) j["duration"] = Format("%f", t.durationSeconds);
    if (t.bitRate > 0) j["bit_rate"] = std::to_string(t.bitRate);
    // ffmpeg's H.264 decoder alone gives it.
    if (v && v->seq.present && v->codec == Codec::H264) j["bits_per_raw_sample"] = std::to_string(v->seq.bitDepthLuma);
    if (a && a->bitsPerRawSample) j["bits_per_raw_sample"] = std::to_string(a->bitsPerRawSample);
    // 24-bit PCM's decoder states its width.
    else if (s.kind == StreamKind::kAudio && BitsPerSample(name) == 24) j["bits_per_raw_sample"] = "24";
    if (t.frames >= 0) j["nb_frames"] = std::to_string(t.frames);
    if (v) j["nb_read_frames"] = std::to_string(v->outputFrames);
    // Audio frames as a decoder is given them: the container's samples where it frames them.
    else if (r.audio && (a || AudioFramesRead(model, r) > 0)) j["nb_read_frames"] = std::to_string(AudioFramesRead(model, r));
    const int64_t extra = ExtradataSize(model.container, s);
    if (extra > 0) j["extradata_size"] = extra;
    Json disposition = Json::object();
    for (size_t k = 0; k < sizeof kDisposition / sizeof kDisposition[0]; ++k)
        disposition[kDisposition[k]] = s.disposition >> k & 1;
    j["disposition"] = disposition;
    if (!s.tags.empty()) {
        Json tags = Json::object();
        for (const Tag& tag : s.tags) tags[tag.key] = tag.value;
        j["tags"] = tags;
    }
    const Json side = SideData(v, s);
    if (!side.empty()) j["side_data_list"] = side;
    if (v) VideoOwnJson(j, *v);
    if (r.audio && !r.audio->diagnostics.empty()) {
        Json d = Json::array();
        for (const std::string& text : r.audio->diagnostics) d.push_back(text);
        if (r.audio->diagnosticsDropped) d.push_back(Format("... and %" PRId64 " more", r.audio->diagnosticsDropped));
        j["diagnostics"] = d;
    }
    return j;
}

}  // namespace

std::string JsonReport(const MediaModel& model) {
    const FormatInfo& f = model.format;
    Json root;
    Json list = Json::array();
    double duration = -1;
    for (size_t i = 0; i < model.streams.size(); ++i) {
        list.push_back(StreamJson(model, model.streams[i], i));
        // A bare stream lasts as long as its pictures; containers say how long they last.
        if (model.streams[i].video && model.container == Container::kElementary)
            duration = std::max(duration, model.streams[i].video->Duration());
    }
    if (f.durationUs != kNoTime && f.durationUs > 0) duration = static_cast<double>(f.durationUs) / 1e6;
    root["streams"] = list;
    Json fmt;
    fmt["filename"] = f.filename;
    fmt["nb_streams"] = model.streams.size();
    if (!f.formatName.empty()) {
        fmt["format_name"] = f.formatName;
        fmt["format_long_name"] = f.formatLongName;
    }
    if (f.startUs != kNoTime) fmt["start_time"] = Format("%f", static_cast<double>(f.startUs) / 1e6);
    if (duration > 0) fmt["duration"] = Format("%f", duration);
    fmt["size"] = std::to_string(f.size);
    if (duration > 0) fmt["bit_rate"] = std::to_string(ToInt64(static_cast<double>(f.size) * 8 / duration));
    if (!f.tags.empty()) {
        Json tags = Json::object();
        for (const Tag& tag : f.tags) tags[tag.key] = tag.value;
        fmt["tags"] = tags;
    }
    if (!f.md5.empty()) fmt["md5"] = f.md5;
    if (!f.sha1.empty()) fmt["sha1"] = f.sha1;
    root["format"] = fmt;
    return root.dump(4, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string FrameHeader(bool withStream) {
    return std::string(withStream ? "stream " : "") + "offset size type key structure kind pts dts\n";
}

std::string FrameLine(const Picture& p, int streamId) {
    std::string line = streamId >= 0 ? Format("0x%x ", static_cast<unsigned>(streamId)) : "";
    const char* structure = p.structure == 3 ? "frame" : p.structure == 1 ? "top" : "bottom";
    // A framed container's pictures are where its samples lie in the file.
    line += Format("%" PRId64 " %" PRId64 " %c %s %s %s", p.pos >= 0 ? p.pos : p.offset, p.size, p.type,
                   p.key ? "key" : "-", structure, *p.kind ? p.kind : "-");
    line += p.pts != kNoTime ? Format(" %" PRId64, p.pts) : " -";
    line += p.dts != kNoTime ? Format(" %" PRId64 "\n", p.dts) : " -\n";
    return line;
}

}  // namespace qvutil

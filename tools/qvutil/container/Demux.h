#pragma once

// Containers around elementary streams. Every demuxer meets one contract: it says which
// bytes of the file it wants next (Next) and takes them (Feed). Those that stream (MPEG-TS,
// MPEG-PS, Matroska) want the bytes in order, cut anywhere, and Matroska skips forward past
// payloads nobody reads; MP4 reads at offsets (its index, then each sample's first bytes).
// A pipe serves every demuxer that never looks back. Each stream's bytes go to a sink: a byte
// stream for MPEG-TS/PS (the codec layer sees what it would read from a bare stream), whole
// samples with their time stamps for MP4 and Matroska. Memory stays bounded by the
// container's own index plus a constant, whatever the file's size.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qvutil {

class Input;

enum class Container {
    kElementary,  // no container recognised: a bare stream (or unknown bytes)
    kMpegTs,      // 188-byte transport packets
    kM2ts,        // 192-byte packets: a 4-byte time code before each transport packet
    kMpegPs,      // MPEG-1/2 program stream (.mpg, .vob)
    kMp4,         // ISO base media file format: MP4, MOV, 3GP, M4V, M4A
    kMatroska,    // Matroska and WebM
};

enum class StreamKind { kVideo, kAudio, kSubtitle, kData, kAttachment };

// kUnknown: the container does not say (a program stream without a stream map); a video
// stream's codec is then to be told from its bytes, as for a bare stream.
// kOther: a codec this tool does not read; codecName names it where the container does.
enum class EsCodec { kUnknown, kMpeg1Video, kMpeg2Video, kH264, kH265, kVp9, kAv1, kOther };

// A program stream's private stream 1 sub-streams have ids of their own: this, or'd with the
// sub-stream's number (0x80 for the first AC-3 stream).
constexpr int kPrivateSubstream = 0x10000;
// A Blu-ray TrueHD stream's AC-3 core has the stream's PID or'd with this.
constexpr int kCoreSubstream = 0x20000;

// ffprobe's disposition flags, one bit each in this order.
constexpr const char* kDisposition[] = {"default", "dub", "original", "comment", "lyrics", "karaoke", "forced",
                                        "hearing_impaired", "visual_impaired", "clean_effects", "attached_pic",
                                        "timed_thumbnails", "captions", "descriptions", "metadata", "dependent",
                                        "still_image"};
enum DispositionBit : unsigned {
    kDefaultTrack = 1u << 0, kDub = 1u << 1, kOriginal = 1u << 2, kComment = 1u << 3, kForced = 1u << 6,
    kHearingImpaired = 1u << 7, kVisualImpaired = 1u << 8, kCleanEffects = 1u << 9, kDescriptions = 1u << 13,
};

// No time stamp.
constexpr int64_t kNoTime = std::numeric_limits<int64_t>::min();

// A time or rate computed in doubles, back to an integer. A damaged header can ask for any
// value: it saturates at +-2^60 (sums and differences of a few stay representable) and NaN
// gives 0, where a plain conversion would be undefined.
inline int64_t ToInt64(double v) {
    constexpr double kLimit = 1152921504606846976.0;
    if (!(v == v)) return 0;
    if (v >= kLimit) return static_cast<int64_t>(kLimit);
    if (v <= -kLimit) return -static_cast<int64_t>(kLimit);
    return static_cast<int64_t>(v);
}

// Rounded half away from zero, as llround does.
inline int64_t RoundTime(double v) { return ToInt64(std::round(v)); }

struct TimeBase {
    int64_t num = 1, den = 90000;
};

struct Tag {
    std::string key, value;
};

// What a container says about one stream. Facts it does not state stay at their defaults.
struct StreamInfo {
    int id = 0;              // PID, stream_id (0xE0...), MP4 track_ID, Matroska TrackNumber
    StreamKind kind = StreamKind::kData;
    EsCodec codec = EsCodec::kUnknown;
    std::string codecName;   // ffprobe's codec_name where the container tells it, else ""
    uint32_t codecTag = 0;   // the sample entry's four characters, first in the low byte
    uint8_t streamType = 0;  // the PMT's (or program stream map's) stream_type, else 0
    int program = 0;         // program_number from the PAT, 0 when there is none

    // Samples of framed containers: length-prefixed NAL units (1, 2 or 4 bytes of length)
    // or, with 0, the codec's own framing (start codes, VP9 and AV1 frames).
    int nalLengthSize = 0;
    std::vector<uint8_t> config;  // avcC, hvcC, vpcC, av1C payload, or Matroska's CodecPrivate

    TimeBase timeBase;               // of every time stamp of the stream
    int64_t startTime = kNoTime;     // the first presentation time, edits applied
    int64_t duration = kNoTime;      // in timeBase
    int64_t frames = -1;             // samples the index lists; -1 when it has none
    int64_t bitRate = 0;             // bits per second the container states or implies
    int64_t frameRateNum = 0, frameRateDen = 0;   // r_frame_rate where the container decides it
    int64_t avgRateNum = 0, avgRateDen = 0;       // avg_frame_rate likewise

    // Video, as the container describes it.
    int width = 0, height = 0;
    int64_t sarNum = 0, sarDen = 0;  // from the container (pasp, DisplayWidth); 0: none
    std::string fieldOrder;          // "progressive", "tt", "bb", "tb", "bt" where the container says
    bool displayMatrix = false;      // a transform other than the identity: rotation, flips
    int32_t matrix3x3[9] = {};       // 16.16 fixed point, the last column 2.30
    int colourRange = -1, colourPrimaries = -1, transfer = -1, matrix = -1;  // -1: not stated

    // Audio.
    int sampleRate = 0, channels = 0, bitsPerSample = 0;
    std::string channelLayout;  // ffmpeg's name, where the container's configuration gives one

    std::vector<Tag> tags;  // in ffprobe's order: language, handler_name, ...
    unsigned disposition = 0;  // kDisposition bits

    bool IsVideo() const { return kind == StreamKind::kVideo; }
};

// What a container says about the whole file.
struct ContainerFacts {
    std::vector<StreamInfo> streams;  // ffprobe's order
    std::vector<Tag> tags;
    int64_t startUs = kNoTime, durationUs = kNoTime;  // microseconds, as ffprobe rounds them
};

// One sample (access unit) of a framed container.
struct Sample {
    int64_t pos = -1;   // file offset of its first byte
    int64_t size = 0;
    int64_t pts = kNoTime, dts = kNoTime, duration = 0;  // in the stream's time base
    bool key = false;   // the container marks it a sync sample
    bool discard = false;  // before its track's edit starts: decoded, never shown
};

class EsSink {
public:
    virtual ~EsSink() = default;
    // Once for each stream, before its first bytes. True when the sink reads the stream:
    // framed containers then hand it the stream's samples, and may spare the others.
    virtual bool OnStream(const StreamInfo& info) = 0;
    // Byte streams (MPEG-TS, MPEG-PS): the stream's payload bytes in order, cut anywhere;
    // n > 0. p points into the piece given to Feed (or the demuxer's own few carried bytes)
    // and is valid during the call only. pts, dts: the 90 kHz time stamps of the PES packet
    // whose payload begins with these bytes (dts is pts where the packet has only that), -2
    // where a packet without time stamps begins, -1 where none begins here.
    virtual void OnData(int id, const uint8_t* p, size_t n, int64_t pts, int64_t dts) = 0;
    // Framed containers: a sample begins. True when the sink wants its bytes: they follow
    // through OnSampleData until the bytes given and skipped make up the sample's size.
    virtual bool OnSample(int /*id*/, const Sample& /*s*/) { return false; }
    // The next bytes of the sample OnSample began (n > 0). Returns how many of the sample's
    // bytes right after these the sink has no use for: the demuxer passes over them without
    // reading and gives the ones after.
    virtual int64_t OnSampleData(int /*id*/, const uint8_t* /*p*/, size_t n) {
        return std::numeric_limits<int64_t>::max() - static_cast<int64_t>(n);
    }
};

// Which bytes a demuxer wants next: from offset on, at most size of them (kAny: as many as
// there are). size 0: it wants nothing more.
struct Want {
    static constexpr size_t kAny = std::numeric_limits<size_t>::max();
    int64_t offset = 0;
    size_t size = kAny;
};

class Demuxer {
public:
    virtual ~Demuxer() = default;
    // The bytes wanted next. A streaming demuxer wants the byte after the last one fed.
    virtual Want Next() const = 0;
    // Bytes from the offset Next gave, at least one and at most the size it gave; fewer when
    // the caller had fewer at hand (it then asks Next again).
    virtual void Feed(const uint8_t* p, size_t n) = 0;
    // The file's size, where the reader knows it (a regular file), before the first bytes.
    virtual void SetSize(int64_t /*size*/) {}
    // The file ends at size, at or before the offset Next gave. A demuxer may then want
    // other bytes (samples its index, found at the end, points back to); one that wants the
    // same or later ones again is done.
    virtual void End(int64_t /*size*/) {}
    // The end of the file, or of what the demuxer wanted: flushes what is pending.
    virtual void Finish() = 0;
    // Problems met (lost sync, bad headers), as one line each; empty when none. A few
    // dozen lines at most, however damaged the file.
    virtual std::string Warnings() const = 0;
    // The container's facts about the file and each stream, final after Finish.
    virtual const ContainerFacts& Facts() const = 0;
    // How it reads the file: every byte in order, in order but passing over what it needs
    // not read, or at offsets (an index, then its samples) that may go back.
    enum class Access { kEveryByte, kSkipsForward, kAtOffsets };
    virtual Access Reads() const { return Access::kEveryByte; }
};

// How much of a file's start DetectContainer wants to see.
constexpr size_t kProbeBytes = 64 * 1024;

// Decides the container from the first bytes of a file (up to kProbeBytes are enough;
// fewer at the end of a short file). For formats this tool does not read (AVI, FLV, images,
// ...) returns kElementary and sets *refusal to the message to print: the format's name and
// how to get an elementary stream out of it, with IN and OUT standing for the file names.
Container DetectContainer(const uint8_t* head, size_t n, std::string* refusal);

// The refusal with IN and OUT replaced by the file's name and that name without its
// extension, where the name can stand on a command line as it is.
std::string FillRefusal(const std::string& refusal, const std::string& path);

// Reads the first kProbeBytes of in (fewer when it ends sooner) into head and decides the
// container; head's bytes are the first to feed. False on a read error (reported).
bool ProbeInput(Input& in, std::vector<uint8_t>& head, Container* c, std::string* refusal);
// ProbeInput, with a refusal printed as an error: false then too.
bool ProbeReadable(Input& in, std::vector<uint8_t>& head, Container* c);
// Prints each of the demuxer's warnings as an error line about the file name.
void ReportWarnings(const Demuxer& demux, const std::string& name);

// "MPEG-TS", "M2TS", "MPEG-PS", "MP4", "Matroska", "elementary stream".
const char* ContainerName(Container c);
// ffprobe's format_name: "mpegts" (also for M2TS), "mpeg", "mov,mp4,m4a,3gp,3g2,mj2",
// "matroska,webm"; empty for kElementary.
const char* FormatName(Container c);

std::unique_ptr<Demuxer> MakeDemuxer(Container c, EsSink& sink);
// Each container's own, as MakeDemuxer picks them.
std::unique_ptr<Demuxer> MakeTsDemux(EsSink& sink, size_t packetSize);
std::unique_ptr<Demuxer> MakePsDemux(EsSink& sink);
std::unique_ptr<Demuxer> MakeMp4Demux(EsSink& sink);
std::unique_ptr<Demuxer> MakeMkvDemux(EsSink& sink);

// ffprobe's codec_type: "video", "audio", "subtitle", "data", "attachment".
const char* KindName(StreamKind k);

}  // namespace qvutil

#pragma once

// Containers around elementary video streams. A demuxer takes the file in pieces of any
// size and hands each elementary stream's bytes, in order, to a sink; the codec layer
// above sees the same bytes it would read from a bare stream. Memory stays bounded
// whatever the file's size: nothing is kept but the partial packets at a piece's end.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qvutil {

class Input;

enum class Container {
    kElementary,  // no container recognised: a bare stream (or unknown bytes)
    kMpegTs,      // 188-byte transport packets
    kM2ts,        // 192-byte packets: a 4-byte time code before each transport packet
    kMpegPs,      // MPEG-1/2 program stream (.mpg, .vob)
};

// kUnknown: the container does not say (a program stream without a stream map); a video
// stream's codec is then to be told from its bytes, as for a bare stream.
// kOther: a codec this tool does not read (audio, subtitles, MPEG-4 Part 2, VC-1, ...).
enum class EsCodec { kUnknown, kMpeg1Video, kMpeg2Video, kH264, kH265, kOther };

struct EsInfo {
    int id = 0;              // the PID in a transport stream, the stream_id (0xE0...) in a program stream
    EsCodec codec = EsCodec::kUnknown;
    uint8_t streamType = 0;  // the PMT's (or program stream map's) stream_type, else 0
    int program = 0;         // program_number from the PAT, 0 when there is none
    bool video = false;      // a video stream, whether or not this tool reads its codec
};

class EsSink {
public:
    virtual ~EsSink() = default;
    // Once for each stream, before its first bytes.
    virtual void OnStream(const EsInfo& info) = 0;
    // The stream's payload bytes in order, cut anywhere; n > 0. p points into the piece
    // given to Feed (or the demuxer's own few carried bytes) and is valid during the call
    // only. pts: the 90 kHz time stamp of the PES packet whose payload begins with these
    // bytes, -1 when none begins here.
    virtual void OnData(int id, const uint8_t* p, size_t n, int64_t pts) = 0;
};

class Demuxer {
public:
    virtual ~Demuxer() = default;
    // The next bytes of the file, in order, cut anywhere.
    virtual void Feed(const uint8_t* p, size_t n) = 0;
    // The end of the file: flushes what is pending.
    virtual void Finish() = 0;
    // Problems met (lost sync, bad headers), as one line each; empty when none. A few
    // dozen lines at most, however damaged the file.
    virtual std::string Warnings() const = 0;
};

// How much of a file's start DetectContainer wants to see.
constexpr size_t kProbeBytes = 64 * 1024;

// Decides the container from the first bytes of a file (up to kProbeBytes are enough;
// fewer at the end of a short file). For formats this tool does not read (MP4/MOV,
// Matroska, WebM, AVI, images, ...) returns kElementary and sets *refusal to the message
// to print: the format's name and how to get an elementary stream out of it, with IN and
// OUT standing for the file names.
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

// "MPEG-TS", "M2TS", "MPEG-PS", "elementary stream".
const char* ContainerName(Container c);
// ffprobe's format_name: "mpegts" (also for M2TS), "mpeg"; empty for kElementary.
const char* FormatName(Container c);

std::unique_ptr<Demuxer> MakeDemuxer(Container c, EsSink& sink);

}  // namespace qvutil

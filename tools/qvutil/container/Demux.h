#pragma once

// Containers around elementary video streams. A demuxer takes the file in pieces of any
// size and hands each elementary stream's bytes, in order, to a sink; the codec layer
// above sees the same bytes it would read from a bare stream. Memory stays bounded
// whatever the file's size: nothing is kept but the partial packets at a piece's end.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qvutil {

enum class Container {
    kElementary,  // no container recognised: a bare stream (or unknown bytes)
    kMpegTs,      // 188-byte transport packets
    kM2ts,        // 192-byte packets: a 4-byte time code before each transport packet
    kMpegPs,      // MPEG-1/2 program stream (.mpg, .vob)
};

enum class EsCodec { kUnknown, kMpeg1Video, kMpeg2Video, kH264, kH265, kOther };

struct EsInfo {
    int id = 0;              // the PID in a transport stream, the stream_id (0xE0...) in a program stream
    EsCodec codec = EsCodec::kUnknown;
    uint8_t streamType = 0;  // the PMT's stream_type (transport streams), else 0
    int program = 0;         // program_number from the PAT, 0 when there is none
};

class EsSink {
public:
    virtual ~EsSink() = default;
    // Once for each stream, before its first bytes.
    virtual void OnStream(const EsInfo& info) = 0;
    // The stream's payload bytes in order, cut anywhere. pts: the 90 kHz time stamp of the
    // PES packet whose payload begins with these bytes, -1 when none begins here.
    virtual void OnData(int id, const uint8_t* p, size_t n, int64_t pts) = 0;
};

class Demuxer {
public:
    virtual ~Demuxer() = default;
    // The next bytes of the file, in order, cut anywhere.
    virtual void Feed(const uint8_t* p, size_t n) = 0;
    // The end of the file: flushes what is pending.
    virtual void Finish() = 0;
    // Problems met (lost sync, bad headers), as one line each; empty when none.
    virtual std::string Warnings() const = 0;
};

// Decides the container from the first bytes of a file (up to 64 KiB are enough; fewer
// at the end of a short file). For formats this tool does not read (MP4/MOV, Matroska,
// WebM, AVI, images, ...) returns kElementary and sets *refusal to the message to print:
// the format's name and how to get an elementary stream out of it.
Container DetectContainer(const uint8_t* head, size_t n, std::string* refusal);

std::unique_ptr<Demuxer> MakeDemuxer(Container c, EsSink& sink);

}  // namespace qvutil

#pragma once

// What the transport and program stream demuxers share: the PES packet, and the log of
// problems met on the way.

#include "Demux.h"

#include <cstdarg>

namespace qvutil {

// The longest PES header: 9 bytes and up to 255 more (MPEG-1 headers are shorter).
constexpr size_t kMaxPesHeader = 9 + 255;

struct PesHeader {
    size_t size = 0;     // the header's bytes, payload after them
    unsigned length = 0; // PES_packet_length: the bytes after the first 6; 0 for "unbounded"
    int64_t pts = -1, dts = -1;  // dts is pts where the header has only that
    int streamIdExtension = -1;  // from the PES extension, where it has one
};

// The PES header at the start of h (MPEG-2 syntax, MPEG-1 syntax, or the 6 bytes of the
// stream ids without one). The header's size when h holds it whole, 0 when it needs more
// bytes, -1 when h does not start a valid one.
int ParsePesHeader(const uint8_t* h, size_t n, PesHeader* out);

// One PES packet at a time, given in pieces: the header collected (it may be cut anywhere),
// the payload handed to the sink in place, bounded by the packet's length when it has one.
class PesAssembler {
public:
    enum Event : unsigned { kBadHeader = 1, kPastLength = 2 };

    // A new PES packet begins with the next bytes.
    void Start() { m_state = kHeader, m_have = 0, m_pts = m_dts = -1, m_past = false; }
    // Forgets the packet: bytes are dropped until the next Start.
    void Stop() { m_state = kIdle; }
    // Inside a packet that has not got its whole header, or all the bytes its length says.
    bool Incomplete() const { return m_state == kHeader || (m_state == kPayload && m_left > 0); }
    // A packet begun, none of its bytes taken yet.
    bool Fresh() const { return m_state == kHeader && m_have == 0; }

    // Bytes of the current packet. Returns the events met (each at most once a packet).
    unsigned Take(const uint8_t* p, size_t n, int id, EsSink& sink);
    // Packets whose stream_id_extension is 0x76 (the AC-3 core of a Blu-ray TrueHD stream)
    // go to this id instead.
    void SetCoreId(int id) { m_coreId = id; }

private:
    enum State : uint8_t { kIdle, kHeader, kPayload };
    State m_state = kIdle;
    bool m_past = false;
    size_t m_have = 0;
    int64_t m_left = 0;  // payload bytes still to come; -1 for an unbounded packet
    int64_t m_pts = -1, m_dts = -1;
    int m_coreId = -1;
    bool m_core = false;  // this packet goes to m_coreId
    uint8_t m_header[kMaxPesHeader];
};

// The problems a demuxer reports: the first few lines as they come, then only a count, so
// a damaged file cannot grow the report without bound.
class Problems {
public:
    // False once the lines are full: the caller may skip building its message.
    bool Room() const { return m_lines.size() < kMaxLines; }
    void Add(const char* fmt, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // Lines the owner adds at the end (counters), kept apart from the capped ones.
    static void Append(std::string& out, const char* fmt, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    std::string Text() const;

private:
    static constexpr size_t kMaxLines = 20;
    std::vector<std::string> m_lines;
    uint64_t m_more = 0;
};

// CRC-32 of MPEG-2 tables (polynomial 0x04C11DB7, MSB first, no final XOR): 0 over a whole
// section with its CRC.
uint32_t Crc32(const uint8_t* p, size_t n);

// a + b as the machine wraps it: time stamps in a damaged file may sit anywhere in 64 bits.
inline int64_t WrapAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// The file's start as ffmpeg takes it from its streams' starts, in microseconds: the
// earliest, where subtitle and data streams count only within a second of the audio and
// video. kNoTime when no stream has a start.
int64_t FormatStartUs(const std::vector<StreamInfo>& streams);

// A time in microseconds since 1970 as ffmpeg prints creation_time
// ("2021-02-03T04:05:06.000000Z"); empty outside years 1970 to 9999.
std::string UtcText(int64_t unixMicros);

// The sample rate and channel count an AAC AudioSpecificConfig states, as a decoder
// outputs them (explicit SBR: the extension's rate; parametric stereo: two channels), and
// its channel layout's name where the configuration has one. False when it is not one.
bool ReadAacConfig(const uint8_t* p, size_t n, int* rate, int* channels, std::string* layout);

// Codec and kind of a PMT's or program stream map's stream_type.
void DescribeStreamType(uint8_t type, StreamInfo& info);


}  // namespace qvutil

#pragma once

// One audio stream turned into its facts: a byte stream (MPEG-TS, MPEG-PS) is cut into the
// codec's sync frames by their own lengths, each frame's header read where it differs from
// the last, the bodies skipped, never copied; a framed stream (MP4, Matroska) gives its
// configuration and the first bytes of each sample. The facts are those of the first valid
// header; later changes, lost sync and cut frames are counted and reported with offsets.

#include "codec/AudioHeaders.h"
#include "container/Demux.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qvutil {

struct AudioModel {
    AudioFacts facts;           // the first valid header's
    int64_t frames = 0;         // frames a decoder would be given
    int64_t units = 0;          // container packets (PES)
    int64_t lastUnitBytes = 0;  // in the last of them with a time stamp
    int64_t samples = 0;        // their samples, at each frame's rate
    int64_t bytes = 0;          // in frames
    int64_t bitRate = 0;        // as ffmpeg's parser leaves it (a running average for AAC)
    int changes = 0;            // later headers that change rate, channels or codec
    int64_t skipped = 0;        // bytes outside any frame
    std::vector<std::string> diagnostics;
    int64_t diagnosticsDropped = 0;
    void Diagnose(std::string text);
};

class AudioAnalyser {
  public:
    // codecName: what the container names ("aac", "ac3", "mp2", "pcm_dvd", ...), "" to find
    // out from the bytes (MPEG audio of unknown layer counts as found by its frames).
    explicit AudioAnalyser(std::string codecName);

    // Byte streams: the stream's next bytes, in order, cut anywhere; unitStart where a
    // container packet (PES) begins with them, stamped where it has a time stamp.
    void Feed(const uint8_t* p, size_t n, bool unitStart = false, bool stamped = false);
    void Finish();

    // Byte streams whose frames carry no description (Opus in MPEG-TS): the container's.
    void Describe(const StreamInfo& info);

    // Framed streams: the container's configuration, then the first bytes of a few samples
    // (as many as the container has at hand). Their frames are counted by the container.
    void Configure(const StreamInfo& info);
    void SampleHead(const uint8_t* p, size_t n);

    // Whether the next sample's first bytes are still of use.
    // every: a container whose samples are read in order anyway (Matroska), where MPEG
    // audio's rate is its frames' average.
    bool WantsHead(bool every = false) const { return m_heads < 4 || (every && m_kind == Kind::kMpeg); }

    const AudioModel& Model() const { return m_model; }
    const std::string& CodecName() const { return m_codec; }

  private:
    enum class Kind { kNone, kAdts, kLoas, kMpeg, kAc3, kDts, kMlp, kOpusTs, kRaw };
    int64_t Parse(const uint8_t* p, size_t n, AudioFacts* f);
    void Accept(const AudioFacts& f, int64_t size, int64_t offset);
    size_t Need() const;
    void Lost(int64_t offset, const char* why, bool search = true);
    bool Header(const AudioFacts& f, int64_t len);
    // One piece at base. False when a tentative frame proved false and the search must go
    // back before base (m_next), to bytes kept in m_history.
    bool ScanPiece(const uint8_t* p, size_t n, int64_t base);
    // The bytes from base (m_offset - base of them) with any kept before them, going back
    // where a tentative frame proves false.
    void Scan(const uint8_t* p, size_t n, int64_t base);
    // Whether the bytes from m_next to base are still kept; if not, m_next moves to base.
    bool Back(int64_t base);
    void Rate(const AudioFacts& f);

    std::string m_codec;
    Kind m_kind = Kind::kNone;
    AudioModel m_model;
    AudioFacts m_last;  // the latest header's facts
    bool m_haveConfig = false;
    bool m_afterCore = false;   // the last frame was a DTS core
    int64_t m_lastSamples = 0;  // the last frame's
    int64_t m_heads = 0;

    // Byte stream state, in stream offsets.
    int64_t m_offset = 0;      // of the next byte fed
    int64_t m_next = 0;        // where the next header is due
    bool m_synced = false;     // following frame lengths (else searching)
    bool m_tentative = false;  // the first frame after a search, until the next confirms it
    int64_t m_lostAt = -1;
    uint8_t m_carry[160 + 4];  // a header's bytes, at most Need() + 4
    size_t m_carried = 0;
    size_t m_rawHead = sizeof m_carry;  // LPCM header bytes of a first packet in m_carry
    AudioFacts m_pending;  // the tentative frame's
    int64_t m_pendingLen = 0, m_pendingAt = 0;
    bool m_havePending = false;
    // The stream's bytes from m_historyAt, while a frame is tentative.
    std::vector<uint8_t> m_history;
    int64_t m_historyAt = 0;
    int64_t m_quietUntil = -1;  // free-format MPEG audio: searching for the next header is no loss
    int64_t m_rateFrames = 0;  // averaged into the bit rate
    int64_t m_unitBytes = 0;
    bool m_unitStamped = false;
    int m_headerCount = 0;
    uint32_t m_headerKey = 0;
};

}  // namespace qvutil

#pragma once

// The headers audio codecs carry about themselves: the sync frames of byte streams (ADTS,
// LOAS/LATM, MPEG audio, AC-3 and E-AC-3, DTS, MLP/TrueHD, DVD and Blu-ray LPCM) and the
// configurations containers keep (AudioSpecificConfig, OpusHead, FLAC STREAMINFO, the ALAC
// cookie, Vorbis identification). Each is read into AudioFacts, in ffprobe's names and
// spellings, as ffmpeg's decoders would set them up.

#include <cstddef>
#include <cstdint>
#include <string>

namespace qvutil {

struct AudioFacts {
    bool present = false;
    std::string codecName;  // ffmpeg's: "aac", "mp2", "eac3", "dts", "truehd", ...
    std::string profile;    // ffprobe's: "LC", "HE-AAC", "HE-AACv2", "DTS-HD MA", ...; "" none
    std::string sampleFmt;  // the decoder's output: "fltp", "s16p", "s32", ...
    int sampleRate = 0;
    int channels = 0;
    uint64_t layout = 0;   // ffmpeg's channel mask; 0 where the order is unknown
    int64_t bitRate = 0;   // nominal, bits per second; 0 where the header states none
    int frameSamples = 0;  // per frame, at sampleRate; 0 where frames vary
    int bitsPerRawSample = 0;
    int bitsPerCoded = 0;       // PCM sample width as stored
    int64_t totalSamples = -1;  // where the header states the stream's length (FLAC)
    int initialPadding = 0;     // samples the decoder drops at the start (Opus pre-skip)
    // E-AC-3: a dependent substream (its channels add to the independent one's), or an
    // independent substream after the first; DTS: an extension substream.
    bool dependent = false;
    int substream = 0;
    // Codec details for people: AC-3 bsid, dialogue normalisation, DTS extensions, ...
    std::string detail;

    std::string Layout() const;  // the name ffprobe prints
};

// ffmpeg's name of a channel mask: "stereo", "5.1(side)", or "3 channels (FL+FR+LFE)";
// with a zero mask, "N channels" (or "" for none).
std::string LayoutName(uint64_t mask, int channels);

// Channel masks of ffmpeg's named layouts used below.
namespace ch {
constexpr uint64_t FL = 0x1, FR = 0x2, FC = 0x4, LFE = 0x8, BL = 0x10, BR = 0x20, FLC = 0x40,
                   FRC = 0x80, BC = 0x100, SL = 0x200, SR = 0x400;
constexpr uint64_t kMono = FC, kStereo = FL | FR, kSurround = kStereo | FC,
                   k5Point0 = kSurround | SL | SR, k5Point1 = k5Point0 | LFE,
                   k5Point0Back = kSurround | BL | BR, k5Point1Back = k5Point0Back | LFE;
}  // namespace ch

// Frame parsers of byte streams. Each looks at one frame's header at p (n bytes at hand) and
// returns the frame's length in bytes, with *f filled; 0 when no valid header starts at p,
// and -1 when more bytes are needed to tell.
constexpr int kAudioHeaderMax =
    32;  // enough bytes of any header below but LATM's and DTS's extensions

int64_t ParseAdts(const uint8_t* p, size_t n, AudioFacts* f);
int64_t ParseMpegAudio(const uint8_t* p, size_t n, AudioFacts* f);
int64_t ParseAc3(const uint8_t* p, size_t n, AudioFacts* f);
// DTS core, or a lone extension substream (DTS Express, DTS-HD without a core).
int64_t ParseDts(const uint8_t* p, size_t n, AudioFacts* f);
// A DTS-HD extension substream header at p: its length; the profile it implies goes to *f.
int64_t ParseDtsSubstream(const uint8_t* p, size_t n, AudioFacts* f);
// An MLP/TrueHD access unit: its length; facts only where it has a major sync.
int64_t ParseMlp(const uint8_t* p, size_t n, AudioFacts* f, bool* majorSync);
// An Opus access unit of MPEG-TS: its control header and the packet after it.
int64_t ParseOpusTs(const uint8_t* p, size_t n);
// FLAC metadata blocks after "fLaC": the channel mask a WAVEFORMATEXTENSIBLE_CHANNEL_MASK
// comment states, 0 where none does.
uint64_t FlacChannelMask(const uint8_t* p, size_t n);
// LOAS (AudioSyncStream): the length of one AudioMuxElement with its 3-byte header. Facts
// where it carries a StreamMuxConfig.
int64_t ParseLoas(const uint8_t* p, size_t n, AudioFacts* f, bool* config);

// Configurations, from containers. False when the bytes are not one.
bool ParseAudioSpecificConfig(const uint8_t* p, size_t n, AudioFacts* f);
bool ParseOpusHead(const uint8_t* p, size_t n, AudioFacts* f);  // "OpusHead..." or MP4's dOps
bool ParseOpusConfigBox(const uint8_t* p, size_t n, AudioFacts* f);
bool ParseFlacStreamInfo(const uint8_t* p, size_t n, AudioFacts* f);  // the 34-byte block
bool ParseAlacCookie(const uint8_t* p, size_t n,
                     AudioFacts* f);  // 24 bytes, or 36 with its atom header
bool ParseVorbisId(const uint8_t* p, size_t n, AudioFacts* f);  // "\x01vorbis..."
// MP4's dac3 and dec3 boxes' payloads.
bool ParseDac3(const uint8_t* p, size_t n, AudioFacts* f);
bool ParseDec3(const uint8_t* p, size_t n, AudioFacts* f);

// The LPCM header of a DVD's private stream 1 sub-stream (the 3 bytes after its 4-byte
// sub-stream header), and of a Blu-ray's LPCM PES payload (its first 4 bytes).
bool ParseDvdLpcm(const uint8_t* p, size_t n, AudioFacts* f);
bool ParseBlurayLpcm(const uint8_t* p, size_t n, AudioFacts* f);

// An Opus packet's length in 48 kHz samples, from its TOC byte and frame count; 0 when it
// is no valid packet.
int OpusPacketSamples(const uint8_t* p, size_t n);

// The first AAC ADTS header for an AudioSpecificConfig's object type, rate and channel
// configuration: the 7 bytes ffmpeg's ADTS muxer writes before a frame of payload bytes.
bool AdtsHeaderFor(const uint8_t* asc, size_t ascSize, size_t payload, uint8_t out[7]);

}  // namespace qvutil

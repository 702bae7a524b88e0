// The audio header parsers and the audio framer. Input: a selector byte, then the stream.
// The selector's low 4 bits pick the codec; bit 4 makes the stream arrive in container
// packets (PES) whose sizes the stream's second half draws; bits 5 to 7 set how finely the
// stream is cut (and, for Opus, the channels the container describes).
//
// Whatever the bytes: no parser reads past what it is given (each gets a copy of exactly
// that size), an answer a frame parser gives from a prefix stands with more bytes, the
// framer reaches the same model whether the stream comes whole or in pieces, and the facts
// it keeps agree with themselves.

#include "FuzzInput.h"
#include "codec/AudioAnalyser.h"
#include "codec/AudioHeaders.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace qvutil;
using qvfuzz::Fail;

const char* const kCodecs[16] = {"aac",        "aac_latm", "mp1",    "mp2",   "mp3",  "ac3",
                                 "eac3",       "dts",      "truehd", "mlp",   "opus", "pcm_dvd",
                                 "pcm_bluray", "flac",     "alac",   "vorbis"};

// The bytes in a buffer of their own, so that ASan sees a read one past them.
struct Exact {
    std::unique_ptr<uint8_t[]> bytes;
    Exact(const uint8_t* p, size_t n) : bytes(new uint8_t[n]) {
        if (n) std::memcpy(bytes.get(), p, n);
    }
    const uint8_t* get() const { return bytes.get(); }
};

int Popcount(uint64_t m) {
    int n = 0;
    for (; m; m &= m - 1)
        ++n;
    return n;
}

// What any parser says must hang together: a channel mask names as many channels as it
// counts, and no count or rate is negative (a field read as unsigned and kept in an int).
void CheckFacts(const AudioFacts& f, const char* who) {
    if (!f.present) return;
    if (f.layout && Popcount(f.layout) != f.channels)
        Fail("channels differ from the layout's:", who);
    if (f.channels < 0 || f.sampleRate < 0 || f.frameSamples < 0 || f.bitRate < 0)
        Fail("a negative fact:", who);
    (void)f.Layout();
}

// The lengths a parser is tried with: every short prefix (where headers get cut), then
// growing steps to the whole.
template <class Try> void Prefixes(size_t n, Try attempt) {
    for (size_t m = 0; m < n; m += m < 48 ? 1 : m / 4)
        attempt(m);
    attempt(n);
}

// A frame parser answers -1 until it has the bytes to tell; any other answer (a length, or
// no header) must stand when more bytes follow: a sample's head and the stream's last bytes
// are all a caller may ever have.
template <class Parse> void FrameParser(const char* name, const uint8_t* p, size_t n, Parse parse) {
    const Exact whole(p, n);
    AudioFacts f;
    const int64_t full = parse(whole.get(), n, &f);
    if (full > 0) CheckFacts(f, name);
    Prefixes(n, [&](size_t m) {
        const Exact part(p, m);
        AudioFacts g;
        const int64_t r = parse(part.get(), m, &g);
        if (r != -1 && r != full) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "%s: %" PRId64 " from %zu bytes, %" PRId64 " from %zu",
                          name, r, m, full, n);
            Fail("a frame parser changes its answer with more bytes:", buf);
        }
    });
}

void ConfigParsers(const uint8_t* p, size_t n) {
    Prefixes(n, [&](size_t m) {
        const Exact c(p, m);
        const uint8_t* q = c.get();
        struct {
            const char* name;
            bool (*parse)(const uint8_t*, size_t, AudioFacts*);
        } const kConfigs[] = {{"AudioSpecificConfig", ParseAudioSpecificConfig},
                              {"OpusHead", ParseOpusHead},
                              {"dOps", ParseOpusConfigBox},
                              {"STREAMINFO", ParseFlacStreamInfo},
                              {"ALAC cookie", ParseAlacCookie},
                              {"Vorbis identification", ParseVorbisId},
                              {"dac3", ParseDac3},
                              {"dec3", ParseDec3},
                              {"DVD LPCM", ParseDvdLpcm},
                              {"Blu-ray LPCM", ParseBlurayLpcm}};
        for (const auto& k : kConfigs) {
            AudioFacts f;
            if (k.parse(q, m, &f)) CheckFacts(f, k.name);
        }
        const uint64_t mask = FlacChannelMask(q, m);
        (void)LayoutName(mask, Popcount(mask));
        OpusPacketSamples(q, m);
        // The ADTS header written for a configuration reads back as that configuration.
        uint8_t adts[7];
        AudioFacts asc;
        if (AdtsHeaderFor(q, m, m, adts) && ParseAudioSpecificConfig(q, m, &asc)) {
            AudioFacts back;
            const int64_t len = ParseAdts(adts, sizeof adts, &back);
            if (len != static_cast<int64_t>(m) + 7)
                Fail("the ADTS header written does not give the frame's length");
            if (asc.profile == "LC" || asc.profile == "Main" || asc.profile == "SSR" ||
                asc.profile == "LTP") {
                if (back.sampleRate != asc.sampleRate || back.profile != asc.profile)
                    Fail("the ADTS header written names another rate or profile");
                if (asc.layout && back.layout != asc.layout)
                    Fail("the ADTS header written names other channels");
            }
        }
    });
}

void HeaderParsers(const uint8_t* p, size_t n) {
    FrameParser("ADTS", p, n, ParseAdts);
    FrameParser("MPEG audio", p, n, ParseMpegAudio);
    FrameParser("AC-3", p, n, ParseAc3);
    FrameParser("DTS", p, n, ParseDts);
    FrameParser("DTS substream", p, n, ParseDtsSubstream);
    FrameParser("MLP", p, n, [](const uint8_t* q, size_t m, AudioFacts* f) {
        bool major = false;
        return ParseMlp(q, m, f, &major);
    });
    FrameParser("LOAS", p, n, [](const uint8_t* q, size_t m, AudioFacts* f) {
        bool config = false;
        return ParseLoas(q, m, f, &config);
    });
    FrameParser("Opus in TS", p, n,
                [](const uint8_t* q, size_t m, AudioFacts*) { return ParseOpusTs(q, m); });
    ConfigParsers(p, n);
}

// Everything the model says, in one line, so that two runs compare at once and a finding
// shows what differs.
std::string Describe(const AudioModel& m) {
    const AudioFacts& f = m.facts;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "frames %" PRId64 " units %" PRId64 " last unit %" PRId64 " samples %" PRId64
                  " bytes %" PRId64 " rate %" PRId64 " changes %d skipped %" PRId64
                  " | %d %s '%s' %s %d Hz %d ch %#" PRIx64 " %" PRId64
                  " b/s %d/frame %d %d %" PRId64 " %d %d %d",
                  m.frames, m.units, m.lastUnitBytes, m.samples, m.bytes, m.bitRate, m.changes,
                  m.skipped, f.present, f.codecName.c_str(), f.profile.c_str(), f.sampleFmt.c_str(),
                  f.sampleRate, f.channels, f.layout, f.bitRate, f.frameSamples, f.bitsPerRawSample,
                  f.bitsPerCoded, f.totalSamples, f.initialPadding, f.dependent, f.substream);
    std::string s = buf;
    s += " " + f.detail + " |";
    for (const std::string& d : m.diagnostics)
        s += " " + d + ";";
    return s + " +" + std::to_string(m.diagnosticsDropped);
}

struct Piece {
    size_t at, n;
    bool unitStart, stamped;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!size) return 0;
    const uint8_t sel = data[0];
    const char* codec = kCodecs[sel & 15];
    const bool units = sel & 0x10;
    const int shift = sel >> 5;
    const uint8_t* s = data + 1;
    const size_t n = size - 1;

    HeaderParsers(s, n);

    // Container packets: their sizes from the second half of the stream, the same in both
    // runs; without them the stream is one run of bytes.
    std::vector<Piece> packets;
    if (units) {
        qvfuzz::FuzzInput draw(s + n / 2, n - n / 2);
        for (size_t at = 0; at < n;) {
            const uint8_t b = draw.Byte();
            const size_t len = std::min(n - at, size_t{8} + size_t{b} * 4);
            packets.push_back({at, len, true, (b & 1) != 0});
            at += len;
        }
    } else if (n) {
        packets.push_back({0, n, false, false});
    }
    // The pieces: each packet cut again, in sizes the stream's own bytes draw (1 to 256,
    // or smaller as the selector asks), the packet's flags on its first piece only.
    std::vector<Piece> pieces;
    qvfuzz::FuzzInput draw(s, n);
    for (const Piece& u : packets)
        for (size_t at = 0; at < u.n;) {
            const size_t len =
                std::min(u.n - at, draw.Empty() ? u.n : 1 + (size_t{draw.Byte()} >> shift));
            pieces.push_back({u.at + at, len, at == 0 && u.unitStart, at == 0 && u.stamped});
            at += len;
        }

    StreamInfo described;
    described.codecName = codec;
    described.channels = shift;
    auto run = [&](const std::vector<Piece>& cuts) {
        AudioAnalyser a(codec);
        a.Describe(described);
        for (const Piece& c : cuts) {
            const Exact bytes(s + c.at, c.n);
            a.Feed(bytes.get(), c.n, c.unitStart, c.stamped);
        }
        a.Finish();
        const AudioModel& m = a.Model();
        CheckFacts(m.facts, "the framer's model");
        if (m.frames < 0 || m.samples < 0 || m.bytes < 0 || m.skipped < 0 || m.changes < 0)
            Fail("a negative count:", Describe(m).c_str());
        // Frames and skipped bytes lie within the stream, apart from each other.
        if (m.bytes + m.skipped > static_cast<int64_t>(n))
            Fail("more bytes than the stream holds:", Describe(m).c_str());
        return Describe(m);
    };
    const std::string whole = run(packets);
    const std::string cut = run(pieces);
    if (whole != cut)
        Fail("the framer depends on the cuts:",
             ("\n whole:  " + whole + "\n pieces: " + cut).c_str());

    // The framed path: the stream as the container's configuration, then the first bytes
    // of a few samples from where the pieces begin, in growing lengths.
    StreamInfo info;
    info.codecName = codec;
    info.config.assign(s, s + n);
    AudioAnalyser framed(codec);
    framed.Configure(info);
    CheckFacts(framed.Model().facts, "the configuration");
    for (size_t i = 0; i < pieces.size() && i < 12 && framed.WantsHead(); ++i) {
        const size_t at = pieces[i].at, len = std::min(n - at, size_t{16} << (i % 6));
        const Exact head(s + at, len);
        framed.SampleHead(head.get(), len);
    }
    if (framed.WantsHead() && !pieces.empty()) {
        const Exact head(s, n);
        framed.SampleHead(head.get(), n);
    }
    CheckFacts(framed.Model().facts, "the sample heads");
    return 0;
}

#include "AudioAnalyser.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace qvutil {

namespace {

std::string FactsText(const AudioFacts& f) {
    std::string s = f.codecName;
    if (!f.profile.empty()) s += " " + f.profile;
    char buf[64];
    std::snprintf(buf, sizeof buf, ", %d Hz, ", f.sampleRate);
    return s + buf + f.Layout();
}

bool SameFacts(const AudioFacts& a, const AudioFacts& b) {
    return a.codecName == b.codecName && a.sampleRate == b.sampleRate && a.channels == b.channels &&
           a.layout == b.layout && a.profile == b.profile;
}

std::string At(int64_t offset) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "at offset %" PRId64, offset);
    return buf;
}

const char* HeaderName(const std::string& codec) {
    if (codec == "aac") return "ADTS";
    if (codec == "aac_latm") return "LOAS";
    if (codec == "ac3" || codec == "eac3") return "AC-3";
    if (codec == "dts") return "DTS";
    if (codec == "truehd" || codec == "mlp") return "MLP";
    if (codec == "opus") return "Opus access unit";
    return "MPEG audio";
}

}  // namespace

void AudioModel::Diagnose(std::string text) {
    if (diagnostics.size() < 20)
        diagnostics.push_back(std::move(text));
    else
        ++diagnosticsDropped;
}

AudioAnalyser::AudioAnalyser(std::string codecName) : m_codec(std::move(codecName)) {
    const std::string& c = m_codec;
    if (c == "aac")
        m_kind = Kind::kAdts;
    else if (c == "aac_latm")
        m_kind = Kind::kLoas;
    else if (c == "mp1" || c == "mp2" || c == "mp3")
        m_kind = Kind::kMpeg;
    else if (c == "ac3" || c == "eac3")
        m_kind = Kind::kAc3;
    else if (c == "dts")
        m_kind = Kind::kDts;
    else if (c == "truehd" || c == "mlp")
        m_kind = Kind::kMlp;
    else if (c == "pcm_dvd" || c == "pcm_bluray")
        m_kind = Kind::kRaw;
    else if (c == "opus")
        m_kind = Kind::kOpusTs;
}

void AudioAnalyser::Describe(const StreamInfo& info) {
    if (m_kind != Kind::kOpusTs || info.channels <= 0) return;
    // The channels of mapping family 0 or 1, as OpusHead would give them.
    uint8_t head[19] = {'O', 'p', 'u', 's', 'H',
                        'e', 'a', 'd', 1,   static_cast<uint8_t>(info.channels)};
    head[18] = info.channels > 2 ? 1 : 0;
    AudioFacts f;
    if (ParseOpusHead(head, sizeof head, &f)) m_model.facts = m_last = f;
}

// An Opus access unit in MPEG-TS: its control header (0x7FE0 and flags, the size in bytes
// of 255 and the rest, trims, an extension) and the packet.
int64_t ParseOpusTs(const uint8_t* p, size_t n) {
    if (n < 3) return -1;
    if (p[0] != 0x7F || (p[1] & 0xE0) != 0xE0) return 0;
    size_t at = 2;
    int64_t size = 0;
    for (;;) {
        if (at >= n) return -1;
        size += p[at];
        if (p[at++] != 0xFF) break;
    }
    if (p[1] & 0x10) at += 2;
    if (p[1] & 0x08) at += 2;
    if (p[1] & 0x04) {
        if (at >= n) return -1;
        at += 1 + p[at];
    }
    return size > 0 ? static_cast<int64_t>(at) + size : 0;
}

size_t AudioAnalyser::Need() const {
    switch (m_kind) {
    case Kind::kAdts:
        return 7;
    case Kind::kMpeg:
        return 4;
    case Kind::kAc3:
        return 16;
    case Kind::kDts:
        return 160;
    case Kind::kMlp:
        return 28;
    case Kind::kLoas:
        return 64;
    case Kind::kOpusTs:
        return 16;
    default:
        return 0;
    }
}

int64_t AudioAnalyser::Parse(const uint8_t* p, size_t n, AudioFacts* f) {
    *f = AudioFacts();  // nothing of an earlier header's
    switch (m_kind) {
    case Kind::kAdts:
        return ParseAdts(p, n, f);
    case Kind::kMpeg: {
        const int64_t len = ParseMpegAudio(p, n, f);
        // ffmpeg opens the decoder the container names: the floating-point MP3 one where
        // it says MPEG audio layer 3, the fixed-point one for layers 1 and 2.
        if (len != 0 && len != -1)
            f->sampleFmt = m_codec == "mp3" || f->codecName == "mp3" ? "fltp" : "s16p";
        return len;
    }
    case Kind::kAc3:
        return ParseAc3(p, n, f);
    case Kind::kDts:
        // The core's length is known from 16 bytes; an extension substream is looked into
        // as far as the bytes at hand go.
        if (n < 16) return -1;
        return ParseDts(p, n, f);
    case Kind::kMlp: {
        bool major = false;
        const int64_t len = ParseMlp(p, n, f, &major);
        // Sync is found, or found again, at a major sync only.
        if (len > 0 && !major && !m_synced) return 0;
        if (len > 0 && !major) f->present = false;
        return len;
    }
    case Kind::kOpusTs: {
        const int64_t len = ParseOpusTs(p, n);
        if (len > 0) *f = m_model.facts, f->present = m_model.facts.present;
        return len;
    }
    case Kind::kLoas: {
        bool config = false;
        const int64_t len = ParseLoas(p, n, f, &config);
        if (len > 0 && !config) f->present = false;
        return len;
    }
    default:
        return 0;
    }
}

void AudioAnalyser::Lost(int64_t offset, const char* why, bool search) {
    m_synced = false;
    m_tentative = false;
    if (m_lostAt >= 0) return;  // one message for each run of bytes without frames
    m_lostAt = offset;
    m_model.Diagnose(std::string(why) + " " + At(offset) +
                     (search ? std::string(": looking for the next ") + HeaderName(m_codec) + " header" : std::string()));
}

void AudioAnalyser::Accept(const AudioFacts& f, int64_t size, int64_t offset) {
    if (m_lostAt >= 0) {
        m_model.skipped += std::max<int64_t>(offset - m_lostAt, 0);
        m_lostAt = -1;
    }
    // E-AC-3's dependent and further substreams, and a DTS-HD extension after a core, belong
    // to the frame before them.
    const bool part =
        m_model.frames > 0 && ((f.codecName == "eac3" && (f.dependent || f.substream != 0)) ||
                               (f.codecName == "dts" && f.dependent && m_afterCore));
    m_model.bytes += size;
    if (part) {
        if (m_model.frames == 1 && f.present) {
            // The first frame's facts are those of the whole it makes.
            if (f.codecName == "eac3" && f.dependent) {
                m_model.facts.layout |= f.layout;
                int n = 0;
                for (uint64_t m = m_model.facts.layout; m; m &= m - 1)
                    ++n;
                m_model.facts.channels = n;
                m_model.facts.bitRate += f.bitRate;
            } else if (f.codecName == "dts") {
                m_model.facts.profile = f.profile;
            }
        }
        return;
    }
    ++m_model.frames;
    m_afterCore = f.codecName == "dts" && !f.dependent;
    // A frame that refers to an earlier configuration (LATM) or carries none (an MLP access
    // unit between major syncs) lasts as long as the last that did.
    const AudioFacts& known = f.present ? f : m_last;
    m_model.samples += known.frameSamples;
    m_lastSamples = known.frameSamples;
    if (!f.present) return;
    if (!m_model.facts.present) {
        m_model.facts = f;
        m_last = f;
    } else if (!SameFacts(f, m_last)) {
        ++m_model.changes;
        m_model.Diagnose(At(offset) + ": " + FactsText(m_last) + " becomes " + FactsText(f));
        m_last = f;
    }
    Rate(f);
}

void AudioAnalyser::Rate(const AudioFacts& f) {
    // As ffmpeg's parser leaves the rate once every frame has been through it (as they
    // have when ffprobe counts frames or packets).
    ++m_rateFrames;
    if (m_kind == Kind::kAdts) {
        // AAC: a running average of every frame's rate.
        m_model.bitRate += (f.bitRate - m_model.bitRate) / m_rateFrames;
    } else if (m_kind == Kind::kMpeg) {
        // MPEG audio: a running average over a run of like headers, begun again when the
        // rate, layer or version changes (the first few count once trusted), one header
        // later where the container named another layer.
        const uint32_t key = static_cast<uint32_t>(f.sampleRate) * 8 +
                             static_cast<uint32_t>(f.frameSamples / 384) * 2 +
                             (f.codecName == "mp3");
        if (m_headerKey != 0 && key != m_headerKey) m_headerCount = -3;
        ++m_headerCount;
        m_headerKey = key;
        const int threshold = f.codecName != m_codec ? 1 : 0;
        if (m_headerCount > threshold)
            m_model.bitRate += (f.bitRate - m_model.bitRate) / (m_headerCount - threshold);
    } else if (m_kind != Kind::kMlp && m_kind != Kind::kLoas && m_kind != Kind::kOpusTs) {
        // ffmpeg's parsers of TrueHD, LATM and Opus set no rate.
        m_model.bitRate = f.bitRate;
    }
}

bool AudioAnalyser::Header(const AudioFacts& f, int64_t len) {
    if (len > 0) {
        // A header found by searching may be a false sync inside a payload: it counts once
        // the next header stands where its length says.
        if (m_tentative) {
            m_pending = f, m_pendingLen = len, m_pendingAt = m_next;
            m_tentative = false;
            m_havePending = true;
        } else {
            if (m_havePending) Accept(m_pending, m_pendingLen, m_pendingAt);
            m_havePending = false;
            Accept(f, len, m_next);
        }
        m_next += len;
        return true;
    }
    // The search goes on from the byte after the false header (those bytes that are still
    // at hand), or after this one.
    if (m_havePending) {
        m_havePending = false;
        Lost(m_pendingAt, "a false header");
        m_next = m_pendingAt + 1;
    } else {
        Lost(m_next, "no valid header");
        m_next += 1;
    }
    return false;
}

void AudioAnalyser::Feed(const uint8_t* p, size_t n, bool unitStart, bool stamped) {
    if (unitStart) {
        ++m_model.units;
        if (m_unitStamped) m_model.lastUnitBytes = m_unitBytes;
        m_unitBytes = 0;
        m_unitStamped = stamped;
    }
    m_unitBytes += static_cast<int64_t>(n);
    int64_t base = m_offset;
    m_offset += static_cast<int64_t>(n);
    if (m_kind == Kind::kRaw) {
        // LPCM's header starts each packet: the first packet's whole header is read.
        if (unitStart) m_rawHead = m_model.facts.present ? sizeof m_carry : 0;
        const size_t want = m_codec == "pcm_dvd" ? 3 : 4;
        if (m_rawHead < want) {
            const size_t take = std::min(n, want - m_rawHead);
            std::memcpy(m_carry + m_rawHead, p, take);
            m_rawHead += take;
            AudioFacts f;
            if (m_rawHead == want &&
                (m_codec == "pcm_dvd" ? ParseDvdLpcm(m_carry, want, &f) : ParseBlurayLpcm(m_carry, want, &f))) {
                m_model.facts = f;
                m_model.bitRate = f.bitRate;
            }
        }
        m_model.bytes += static_cast<int64_t>(n);
        return;
    }
    if (m_kind == Kind::kNone) return;
    Scan(p, n, base);
}

void AudioAnalyser::Scan(const uint8_t* p, size_t n, int64_t base) {
    std::vector<uint8_t> owned;
    if (m_carried) {
        // The bytes kept from the last piece (a header it cut, or a tail a header may begin
        // in) are read again together with this piece.
        owned.assign(m_carry, m_carry + m_carried);
        owned.insert(owned.end(), p, p + n);
        base -= static_cast<int64_t>(m_carried);
        m_carried = 0;
        p = owned.data(), n = owned.size();
    }
    for (;;) {
        if (ScanPiece(p, n, base)) {
            // Bytes since a tentative frame's header, in case it proves false.
            if (m_havePending) {
                const int64_t from =
                    std::max(base, m_historyAt + static_cast<int64_t>(m_history.size()));
                if (from < m_offset) m_history.insert(m_history.end(), p + (from - base), p + n);
            }
            return;
        }
        // A tentative frame was false: its bytes are searched again, from the one after its
        // header, with this piece after them.
        const int64_t from = m_next;
        std::vector<uint8_t> again(m_history.begin() + (from - m_historyAt),
                                   m_history.begin() + (base - m_historyAt));
        again.insert(again.end(), p, p + n);
        owned.swap(again);
        m_history.clear();
        m_carried = 0;
        p = owned.data(), n = owned.size(), base = from;
    }
}

bool AudioAnalyser::ScanPiece(const uint8_t* p, size_t n, int64_t base) {
    // Every header is read from exactly Need() bytes (fewer only at the end of the stream), so
    // that how the stream is cut changes nothing.
    const size_t need = Need();
    AudioFacts f;
    for (;;) {
        if (m_next >= m_offset) return true;
        size_t at = static_cast<size_t>(m_next - base);
        if (!m_synced) {
            // Look for the codec's sync byte, then a header that parses.
            const uint8_t first = m_kind == Kind::kAc3      ? 0x0B
                                  : m_kind == Kind::kLoas   ? 0x56
                                  : m_kind == Kind::kOpusTs ? 0x7F
                                                            : 0xFF;
            size_t i = at, nearEnd = n;
            for (; i < n; ++i) {
                size_t h = i;
                if (m_kind == Kind::kDts) {
                    if (p[i] != 0x7F && p[i] != 0x64) continue;
                } else if (m_kind == Kind::kMlp) {
                    // The major sync stands 4 bytes into its access unit.
                    if (p[i] != 0xF8 || i < at + 4) continue;
                    h = i - 4;
                } else {
                    const void* hit = std::memchr(p + i, first, n - i);
                    if (!hit) {
                        i = n;
                        break;
                    }
                    i = h = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
                }
                // Too near the end to tell: the next piece decides.
                if (n - h < need) {
                    i = n, nearEnd = h;
                    break;
                }
                if (Parse(p + h, need, &f) != 0) {
                    i = h;
                    break;
                }
            }
            // A header may begin in the last few bytes: they are read again with the next
            // piece, and count as skipped only then.
            const size_t keep = i < n ? 0 : nearEnd < n ? n - nearEnd : std::min(n - at, need + 4);
            if (m_lostAt < 0 && std::min(i, n - keep) > at && m_quietUntil < 0)
                Lost(base + static_cast<int64_t>(at), "no valid header");
            if (i >= n) {
                std::memcpy(m_carry, p + n - keep, keep);
                m_carried = keep;
                m_next = m_offset - static_cast<int64_t>(keep);
                return true;
            }
            m_next = base + static_cast<int64_t>(i);
            at = i;
            m_synced = true;
            m_tentative = m_quietUntil < 0;
            m_quietUntil = -1;
        }
        const size_t avail = n - at;
        if (avail < need) {
            std::memcpy(m_carry, p + at, avail);
            m_carried = avail;
            return true;
        }
        const int64_t len = Parse(p + at, need, &f);
        if (len == -2) {
            // MPEG audio in free format: its length is where the next header is.
            if (m_havePending) Accept(m_pending, m_pendingLen, m_pendingAt);
            m_havePending = m_tentative = false;
            Accept(f, 0, m_next);
            m_synced = false;
            m_lostAt = -1;
            m_quietUntil = m_next + 4;
            m_next += 4;
            continue;
        }
        const bool pendingBefore = m_havePending;
        Header(f, len < 0 ? 0 : len);
        if (m_havePending && !pendingBefore) {
            m_history.clear();
            m_historyAt = m_next - m_pendingLen;
        }
        if (m_next < base && Back(base)) return false;
    }
}

bool AudioAnalyser::Back(int64_t base) {
    if (m_next >= m_historyAt && m_next - m_historyAt <= static_cast<int64_t>(m_history.size()))
        return true;
    m_next = base;  // those bytes are gone
    return false;
}

void AudioAnalyser::Finish() {
    if (m_unitStamped) m_model.lastUnitBytes = m_unitBytes;
    if (m_kind == Kind::kNone || m_kind == Kind::kRaw) return;
    // A tentative frame that runs past the end was a false header: the bytes after it are
    // searched again.
    while (m_havePending && m_pendingAt + m_pendingLen > m_offset && m_pendingAt >= m_historyAt &&
           m_offset - m_historyAt == static_cast<int64_t>(m_history.size())) {
        m_havePending = false;
        Lost(m_pendingAt, "a false header");
        const int64_t from = m_pendingAt + 1;
        std::vector<uint8_t> again(m_history.begin() + (from - m_historyAt), m_history.end());
        m_history.clear();
        m_carried = 0;
        m_synced = false;
        m_next = from;
        Scan(again.data(), again.size(), from);
    }
    // A tentative frame that ends within the stream stands: no header can follow it.
    if (m_havePending && m_pendingAt + m_pendingLen <= m_offset) {
        Accept(m_pending, m_pendingLen, m_pendingAt);
        m_havePending = false;
    }
    if (m_carried) {
        // The last bytes: a header the stream cuts, or a tail searched in vain.
        AudioFacts f;
        const int64_t len = m_synced ? Parse(m_carry, m_carried, &f) : 0;
        if (len > 0) {
            Header(f, len);
        } else if (m_synced) {
            Lost(m_next, "the stream ends inside a frame header", false);
        } else if (m_lostAt < 0 && m_quietUntil < 0) {
            // (A free-format frame's end is no loss.)
            Lost(m_next, "no valid header");
        }
        m_carried = 0;
    }
    const bool cut = m_next > m_offset;
    if (m_havePending && !cut) Accept(m_pending, m_pendingLen, m_pendingAt);
    // The last frame runs past the end of the stream: a decoder gets less than a frame.
    if (cut && (m_model.frames > 0 || m_havePending)) {
        m_model.Diagnose(At(m_offset) + ": the last frame is cut short by " +
                         std::to_string(m_next - m_offset) + " bytes");
        if (!m_havePending) {
            --m_model.frames;
            m_model.samples -= m_lastSamples;
            m_model.bytes -= m_next - m_offset;
        }
    }
    m_havePending = false;
    if (m_lostAt >= 0) m_model.skipped += m_offset - m_lostAt;
    if (!m_model.facts.present && m_offset > 0 && m_model.diagnostics.empty())
        m_model.Diagnose(std::string("no ") + HeaderName(m_codec) + " header in " +
                         std::to_string(m_offset) + " bytes");
}

void AudioAnalyser::Configure(const StreamInfo& info) {
    const std::vector<uint8_t>& c = info.config;
    AudioFacts f;
    bool ok = false;
    const uint8_t* p = c.data();
    const size_t n = c.size();
    if (m_codec == "aac")
        ok = ParseAudioSpecificConfig(p, n, &f);

    else if (m_codec == "opus")
        ok = ParseOpusHead(p, n, &f) || ParseOpusConfigBox(p, n, &f);
    else if (m_codec == "flac") {
        // Matroska keeps "fLaC" and the block header; MP4's dfLa a full box header and the block
        // header.
        if (n >= 42 && std::memcmp(p, "fLaC", 4) == 0) {
            ok = ParseFlacStreamInfo(p + 8, n - 8, &f);
            // A comment may name the channels where FLAC's own order does not fit them.
            const uint64_t mask = FlacChannelMask(p, n);
            int count = 0;
            for (uint64_t m = mask; m; m &= m - 1)
                ++count;
            if (ok && mask && count == f.channels) f.layout = mask;
        } else {
            ok = ParseFlacStreamInfo(p, n, &f);
        }
    } else if (m_codec == "alac")
        ok = ParseAlacCookie(p, n, &f);
    else if (m_codec == "vorbis") {
        // Matroska's three headers, Xiph-laced: the first is the identification header.
        if (n > 3 && p[0] == 2) {
            size_t at = 1;
            while (at < n && p[at] == 255)
                ++at;
            ++at;
            while (at < n && p[at] == 255)
                ++at;
            ++at;
            if (at < n) ok = ParseVorbisId(p + at, n - at, &f);
        } else {
            ok = ParseVorbisId(p, n, &f);
        }
    } else if (m_codec == "ac3")
        ok = ParseDac3(p, n, &f);
    else if (m_codec == "eac3")
        ok = ParseDec3(p, n, &f);
    if (ok) {
        m_model.facts = f;
        m_last = f;
        m_haveConfig = true;
    }
}

void AudioAnalyser::SampleHead(const uint8_t* p, size_t n) {
    const bool first = m_heads++ == 0;
    if (m_kind == Kind::kNone || m_kind == Kind::kRaw || m_kind == Kind::kLoas) return;
    AudioFacts f;
    int64_t len = Parse(p, n, &f);
    if (len <= 0 && len != -2) return;
    if (!f.present) return;
    // The frame's own header decides over the container's configuration box (as ffmpeg's
    // parsers and decoders do), and an AAC sample is a raw frame, never ADTS.
    if (m_kind == Kind::kAdts) return;
    // E-AC-3: the independent frame and its dependents make one sample.
    if (f.codecName == "eac3" && len > 0 && static_cast<size_t>(len) + 8 <= n) {
        AudioFacts dep;
        if (ParseAc3(p + len, n - static_cast<size_t>(len), &dep) > 0 && dep.dependent) {
            f.layout |= dep.layout;
            int c = 0;
            for (uint64_t m = f.layout; m; m &= m - 1)
                ++c;
            f.channels = c;
            f.bitRate += dep.bitRate;
        }
    }
    if (m_kind == Kind::kMpeg)
        Rate(f);
    else
        m_model.bitRate = f.bitRate;
    if (!m_model.facts.present || (m_haveConfig && first)) {
        m_model.facts = f;
        m_last = f;
    } else if (!SameFacts(f, m_last)) {
        ++m_model.changes;
        m_last = f;
    }
}

}  // namespace qvutil

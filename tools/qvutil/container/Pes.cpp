#include "Pes.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qvutil {

namespace {

int64_t Timestamp(const uint8_t* b) {
    return (int64_t{b[0]} >> 1 & 7) << 30 | int64_t{b[1]} << 22 | int64_t{b[2]} >> 1 << 15 |
           int64_t{b[3]} << 7 | b[4] >> 1;
}

// Stream ids whose packets have no header past the length (H.222.0 Table 2-22).
bool BareStreamId(uint8_t id) {
    return id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xF2 || id == 0xF8 ||
           id == 0xFF;
}

void Format(std::string& out, const char* fmt, va_list ap) {
    char line[256];
    const int n = std::vsnprintf(line, sizeof line, fmt, ap);
    if (n > 0) out.append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

}  // namespace

uint32_t Crc32(const uint8_t* p, size_t n) {
    static const struct Table {
        uint32_t t[256];
        Table() {
            for (uint32_t i = 0; i < 256; ++i) {
                uint32_t c = i << 24;
                for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? c << 1 ^ 0x04C11DB7u : c << 1;
                t[i] = c;
            }
        }
    } table;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) crc = crc << 8 ^ table.t[(crc >> 24 ^ p[i]) & 0xFF];
    return crc;
}

int64_t FormatStartUs(const std::vector<StreamInfo>& streams) {
    int64_t av = INT64_MAX, other = INT64_MAX;
    for (const StreamInfo& s : streams) {
        if (s.startTime == kNoTime || s.timeBase.den <= 0) continue;
        const double us = static_cast<double>(s.startTime) * 1e6 * static_cast<double>(s.timeBase.num) /
                          static_cast<double>(s.timeBase.den);
        const int64_t start = RoundTime(us);
        int64_t& to = s.kind == StreamKind::kVideo || s.kind == StreamKind::kAudio ? av : other;
        to = std::min(to, start);
    }
    int64_t start = av;
    if (other != INT64_MAX && (av == INT64_MAX || other > av - 1000000)) start = std::min(start, other);
    return start == INT64_MAX ? kNoTime : start;
}

std::string UtcText(int64_t unixMicros) {
    if (unixMicros < 0 || unixMicros > int64_t{253402300799} * 1000000) return std::string();
    const int64_t secs = unixMicros / 1000000, rem = secs % 86400;
    // The civil date of a day count (Howard Hinnant's days_from_civil, inverted).
    const int64_t days = secs / 86400 + 719468;
    const int64_t era = days / 146097, doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9, y = yoe + era * 400 + (m <= 2);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", static_cast<int>(y), static_cast<int>(m),
                  static_cast<int>(d), static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60),
                  static_cast<int>(rem % 60), static_cast<int>(unixMicros % 1000000));
    return buf;
}

bool ReadAacConfig(const uint8_t* p, size_t n, int* rate, int* channels, std::string* layout) {
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    static const char* const kLayouts[] = {"", "mono", "stereo", "3.0", "4.0", "5.0", "5.1", "7.1(wide)"};
    uint64_t bits = 0;
    int have = 0;
    size_t at = 0;
    auto get = [&](int count) -> uint32_t {
        while (have < count) {
            bits = bits << 8 | (at < n ? p[at] : 0);
            ++at;
            have += 8;
        }
        have -= count;
        return static_cast<uint32_t>(bits >> have) & ((1u << count) - 1);
    };
    auto frequency = [&](int* out) {
        const uint32_t index = get(4);
        if (index == 15) *out = static_cast<int>(get(24));
        else *out = index < 13 ? kRates[index] : 0;
    };
    if (n < 2) return false;
    uint32_t type = get(5);
    if (type == 31) type = 32 + get(6);
    frequency(rate);
    const uint32_t config = get(4);
    if (at > n || *rate <= 0) return false;
    // Explicit SBR (5) and parametric stereo (29): the extension's rate, then the core.
    if (type == 5 || type == 29) {
        int ext = 0;
        frequency(&ext);
        if (at <= n && ext > 0) *rate = ext;
    }
    if (config == 0 || config > 7) return config == 0;
    *channels = config == 7 ? 8 : static_cast<int>(config);
    if (type == 29 && *channels == 1) *channels = 2;
    *layout = type == 29 && config == 1 ? "stereo" : kLayouts[config];
    return true;
}

void DescribeStreamType(uint8_t type, StreamInfo& info) {
    info.streamType = type;
    info.codec = EsCodec::kOther;
    info.kind = StreamKind::kData;
    info.codecName.clear();
    struct Known {
        uint8_t type;
        StreamKind kind;
        const char* name;
    };
    // ffmpeg's names; MPEG audio is named by its layer once its frames are read.
    static const Known kKnown[] = {
        {0x03, StreamKind::kAudio, "mp3"}, {0x04, StreamKind::kAudio, "mp2"},
        {0x0F, StreamKind::kAudio, "aac"}, {0x10, StreamKind::kVideo, "mpeg4"},
        {0x11, StreamKind::kAudio, "aac_latm"}, {0x1C, StreamKind::kAudio, "aac"},
        {0x1F, StreamKind::kVideo, ""}, {0x20, StreamKind::kVideo, ""}, {0x21, StreamKind::kVideo, "jpeg2000"},
        {0x25, StreamKind::kVideo, ""}, {0x42, StreamKind::kVideo, "cavs"}, {0xD1, StreamKind::kVideo, "dirac"},
        {0xEA, StreamKind::kVideo, "vc1"}, {0x80, StreamKind::kAudio, "pcm_bluray"},
        {0x81, StreamKind::kAudio, "ac3"}, {0x82, StreamKind::kAudio, "dts"}, {0x83, StreamKind::kAudio, "truehd"},
        {0x84, StreamKind::kAudio, "eac3"}, {0x85, StreamKind::kAudio, "dts"}, {0x86, StreamKind::kAudio, "dts"},
        {0x87, StreamKind::kAudio, "eac3"}, {0x90, StreamKind::kSubtitle, "hdmv_pgs_subtitle"},
        {0x92, StreamKind::kSubtitle, "hdmv_text_subtitle"}, {0xA1, StreamKind::kAudio, "eac3"},
        {0xA2, StreamKind::kAudio, "dts"},
    };
    switch (type) {
    case 0x01: info.codec = EsCodec::kMpeg1Video, info.kind = StreamKind::kVideo; return;
    case 0x02: info.codec = EsCodec::kMpeg2Video, info.kind = StreamKind::kVideo; return;
    case 0x1B: info.codec = EsCodec::kH264, info.kind = StreamKind::kVideo; return;
    case 0x24: info.codec = EsCodec::kH265, info.kind = StreamKind::kVideo; return;
    // Private data: what it holds is for its bytes to tell (ffmpeg probes them too).
    case 0x06: info.codec = EsCodec::kUnknown; return;
    default: break;
    }
    for (const Known& k : kKnown)
        if (k.type == type) {
            info.kind = k.kind;
            info.codecName = k.name;
            return;
        }
}

int ParsePesHeader(const uint8_t* h, size_t n, PesHeader* out) {
    static const uint8_t kPrefix[3] = {0, 0, 1};
    for (size_t i = 0; i < n && i < 3; ++i)
        if (h[i] != kPrefix[i]) return -1;
    if (n >= 4 && h[3] < 0xBC) return -1;
    if (n < 6) return 0;
    out->length = static_cast<unsigned>(h[4]) << 8 | h[5];
    out->pts = -1;
    // A header may not run past the packet's end.
    const size_t total = out->length ? 6 + size_t{out->length} : SIZE_MAX;
    size_t size = 6;
    if (!BareStreamId(h[3])) {
        if (n < 7) return total < 7 ? -1 : 0;
        if ((h[6] & 0xC0) == 0x80) {
            if (n < 9) return total < 9 ? -1 : 0;
            size = 9 + size_t{h[8]};
            if (size > total) return -1;
            if (n < size) return 0;
            if ((h[7] & 0x80) && h[8] >= 5) out->pts = out->dts = Timestamp(h + 9);
            if ((h[7] & 0xC0) == 0xC0 && h[8] >= 10) out->dts = Timestamp(h + 14);
            if (h[7] & 1) {
                // The PES extension, after the optional fields the flags announce.
                size_t at = 9 + ((h[7] & 0xC0) == 0xC0 ? 10 : (h[7] & 0x80) ? 5 : 0) + ((h[7] & 0x20) ? 6 : 0) +
                            ((h[7] & 0x10) ? 3 : 0) + ((h[7] & 0x08) ? 1 : 0) + ((h[7] & 0x04) ? 1 : 0) +
                            ((h[7] & 0x02) ? 2 : 0);
                if (at < size) {
                    const uint8_t flags = h[at++];
                    at += (flags & 0x80) ? 16 : 0;
                    if ((flags & 0x40) && at < size) at += 1 + size_t{h[at]};
                    at += ((flags & 0x20) ? 2 : 0) + ((flags & 0x10) ? 2 : 0);
                    if ((flags & 0x01) && at + 1 < size && !(h[at + 1] & 0x80)) out->streamIdExtension = h[at + 1] & 0x7F;
                }
            }
        } else {
            // MPEG-1: up to 16 stuffing bytes, the buffer size, then the time stamps.
            size_t i = 6;
            while (i < n && h[i] == 0xFF && i < 6 + 16) ++i;
            if (i == 6 + 16 && i < n && h[i] == 0xFF) return -1;
            if (i >= total) return -1;
            if (i == n) return 0;
            if ((h[i] & 0xC0) == 0x40) {
                i += 2;
                if (i >= total) return -1;
                if (i >= n) return 0;
            }
            const uint8_t c = h[i];
            const size_t stamps = (c & 0xF0) == 0x20 ? 5 : (c & 0xF0) == 0x30 ? 10 : c == 0x0F ? 1 : 0;
            if (!stamps) return -1;
            size = i + stamps;
            if (size > total) return -1;
            if (n < size) return 0;
            if (stamps > 1) out->pts = out->dts = Timestamp(h + i);
            if (stamps == 10) out->dts = Timestamp(h + i + 5);
        }
    }
    out->size = size;
    return static_cast<int>(size);
}

unsigned PesAssembler::Take(const uint8_t* p, size_t n, int id, EsSink& sink) {
    unsigned events = 0;
    if (m_state == kHeader) {
        const size_t had = m_have;
        const size_t copy = std::min(n, kMaxPesHeader - had);
        std::memcpy(m_header + had, p, copy);
        m_have += copy;
        PesHeader h;
        const int r = ParsePesHeader(m_header, m_have, &h);
        if (r == 0) return 0;
        if (r < 0) {
            m_state = kIdle;
            return kBadHeader;
        }
        m_state = kPayload;
        m_core = m_coreId >= 0 && h.streamIdExtension == 0x76;
        m_left = h.length ? int64_t{6} + h.length - r : -1;
        // -2: a packet without time stamps begins here.
        m_pts = h.pts >= 0 ? h.pts : -2;
        m_dts = h.pts >= 0 ? h.dts : -2;
        const size_t used = static_cast<size_t>(r) - had;
        p += used;
        n -= used;
    }
    if (m_state != kPayload || !n) return events;
    size_t give = n;
    if (m_left >= 0) {
        if (static_cast<int64_t>(give) > m_left) {
            give = static_cast<size_t>(m_left);
            if (!m_past) events |= kPastLength;
            m_past = true;
        }
        m_left -= static_cast<int64_t>(give);
    }
    if (give) {
        sink.OnData(m_core ? m_coreId : id, p, give, m_pts, m_dts);
        m_pts = m_dts = -1;
    }
    return events;
}

void Problems::Add(const char* fmt, ...) {
    if (!Room()) {
        ++m_more;
        return;
    }
    std::string line;
    va_list ap;
    va_start(ap, fmt);
    Format(line, fmt, ap);
    va_end(ap);
    m_lines.push_back(std::move(line));
}

void Problems::Append(std::string& out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Format(out, fmt, ap);
    va_end(ap);
    out += '\n';
}

std::string Problems::Text() const {
    std::string out;
    for (const std::string& l : m_lines) out += l + '\n';
    if (m_more) Append(out, "... and %" PRIu64 " more problems", m_more);
    return out;
}

}  // namespace qvutil

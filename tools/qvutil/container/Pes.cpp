#include "Pes.h"

#include <algorithm>
#include <cinttypes>
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

void DescribeStreamType(uint8_t type, EsInfo& info) {
    info.streamType = type;
    info.codec = EsCodec::kOther;
    info.video = false;
    switch (type) {
    case 0x01: info.codec = EsCodec::kMpeg1Video, info.video = true; break;
    case 0x02: info.codec = EsCodec::kMpeg2Video, info.video = true; break;
    case 0x1B: info.codec = EsCodec::kH264, info.video = true; break;
    case 0x24: info.codec = EsCodec::kH265, info.video = true; break;
    // Private data: what it holds is for its bytes to tell (ffmpeg probes them too).
    case 0x06: info.codec = EsCodec::kUnknown; break;
    // MPEG-4 Visual, SVC, MVC, JPEG 2000, HEVC sub-layers, AVS, Dirac, VC-1.
    case 0x10: case 0x1F: case 0x20: case 0x21: case 0x25: case 0x42: case 0xD1: case 0xEA:
        info.video = true;
        break;
    default: break;
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
            if ((h[7] & 0x80) && h[8] >= 5) out->pts = Timestamp(h + 9);
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
            if (stamps > 1) out->pts = Timestamp(h + i);
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
        m_left = h.length ? int64_t{6} + h.length - r : -1;
        m_pts = h.pts;
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
        sink.OnData(id, p, give, m_pts);
        m_pts = -1;
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

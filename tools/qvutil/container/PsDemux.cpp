// MPEG program streams (H.222.0 and ISO 11172-1): pack headers of either generation,
// system headers, a program stream map if there is one, padding, and the PES packets of
// up to 256 streams, one after another, each with its length.

#include "Pes.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

namespace qvutil {

namespace {

constexpr uint8_t kPack = 0xBA, kEnd = 0xB9, kMap = 0xBC, kPrivate1 = 0xBD, kPrivate2 = 0xBF;
// The longest header this demuxer collects before it knows what follows: a pack header
// with all its stuffing.
constexpr size_t kMaxHead = 14 + 7;
// A program stream map's longest length.
constexpr size_t kMaxMap = 1018;

// Binary-coded decimal hours, minutes and seconds that make a time of day.
bool BcdTime(const uint8_t* t) {
    auto value = [](uint8_t b) { return (b >> 4) * 10 + (b & 15); };
    return value(t[0]) <= 23 && value(t[1]) <= 59 && value(t[2]) <= 59 && (t[0] & 15) < 10 && (t[1] & 15) < 10 &&
           (t[2] & 15) < 10;
}

// Whether the first private stream 2 packet is a DVD navigation packet (a presentation or
// a data search information packet), as ffmpeg tells them from a Sofdec stream's.
bool DvdNavigation(const std::vector<uint8_t>& p) {
    const size_t n = p.size();
    for (size_t i = 0; i + 6 <= n; ++i)
        if (std::memcmp(p.data() + i, "Sofdec", 6) == 0) return false;
    auto be32 = [&p](size_t at) {
        return static_cast<uint32_t>(p[at]) << 24 | static_cast<uint32_t>(p[at + 1]) << 16 |
               static_cast<uint32_t>(p[at + 2]) << 8 | p[at + 3];
    };
    if (n == 980 && p[0] == 0) return BcdTime(p.data() + 0x19) && be32(0x11) >= be32(0x0D);
    if (n == 1018 && p[0] == 1) return BcdTime(p.data() + 0x1D);
    return false;
}

// The stream ids read as elementary streams: private stream 1, audio, video, extended.
bool EsStreamId(uint8_t id) {
    return id == 0xBD || (id >= 0xC0 && id <= 0xEF) || id == 0xFD;
}

// Private stream 1 (DVD, HD DVD): the first payload byte of each packet names its
// sub-stream (AC-3, DTS, LPCM, TrueHD, subpictures), which ffmpeg lists as a stream of its
// own by that number; the sub-stream's bytes follow it.
class PrivateSink final : public EsSink {
public:
    PrivateSink(EsSink& sink, ContainerFacts& facts) : m_sink(sink), m_facts(facts) {}
    void Begin() { m_sub = -1, m_pts = m_dts = -1, m_header = 0; }
    bool OnStream(const StreamInfo&) override { return true; }
    void OnData(int, const uint8_t* p, size_t n, int64_t pts, int64_t dts) override {
        if (pts != -1) m_pts = pts, m_dts = dts;
        if (m_sub < 0) {
            m_sub = Announce(p[0]);
            // Audio sub-streams put a frame count and the first access unit's place before
            // their frames (TrueHD one byte more); LPCM's own header stays for its decoder.
            m_header = p[0] >= 0x80 && p[0] <= 0xCF ? (p[0] >= 0xB0 && p[0] <= 0xBF ? 4 : 3) : 0;
            ++p, --n;
        }
        const size_t skip = std::min(n, m_header);
        p += skip, n -= skip, m_header -= skip;
        if (m_sub == kSkip || !n) return;
        m_sink.OnData(m_sub, p, n, m_pts, m_dts);
        m_pts = m_dts = -1;
    }

private:
    static constexpr int kSkip = 0;

    // The sub-stream's id (kPrivateSubstream and its number), or kSkip for those ffmpeg
    // does not list.
    int Announce(uint8_t sub) {
        StreamInfo info;
        info.codec = EsCodec::kOther;
        info.kind = StreamKind::kAudio;
        if (sub >= 0x20 && sub <= 0x3F) info.kind = StreamKind::kSubtitle, info.codecName = "dvd_subtitle";
        else if ((sub >= 0x80 && sub <= 0x87) || (sub >= 0xC0 && sub <= 0xCF)) info.codecName = "ac3";
        else if ((sub >= 0x88 && sub <= 0x8F) || (sub >= 0x98 && sub <= 0x9F)) info.codecName = "dts";
        else if (sub >= 0xA0 && sub <= 0xAF) info.codecName = "pcm_dvd";
        else if (sub >= 0xB0 && sub <= 0xBF) info.codecName = "truehd";
        else return kSkip;
        info.id = kPrivateSubstream | sub;
        if (!m_seen[sub]) {
            m_seen[sub] = true;
            m_facts.streams.push_back(info);
            m_sink.OnStream(info);
        }
        return info.id;
    }

    EsSink& m_sink;
    ContainerFacts& m_facts;
    int m_sub = -1;
    size_t m_header = 0;
    int64_t m_pts = -1, m_dts = -1;
    bool m_seen[256] = {};
};

class PsDemux final : public Demuxer {
public:
    explicit PsDemux(EsSink& sink) : m_sink(sink), m_private(sink, m_facts) {
        std::fill(std::begin(m_mapType), std::end(m_mapType), int16_t{-1});
    }

    Want Next() const override { return {m_offset, Want::kAny}; }
    const ContainerFacts& Facts() const override { return m_facts; }

    void Feed(const uint8_t* p, size_t n) override {
        while (n) {
            size_t used = 0;
            switch (m_state) {
            case kSync: used = Search(p, n); break;
            case kHead: used = Head(p, n); break;
            case kPes: {
                used = static_cast<size_t>(std::min<int64_t>(m_left, static_cast<int64_t>(n)));
                Pes(p, used);
                m_left -= static_cast<int64_t>(used);
                if (!m_left) EndPes();
                break;
            }
            case kSkip:
                used = static_cast<size_t>(std::min<int64_t>(m_left, static_cast<int64_t>(n)));
                m_left -= static_cast<int64_t>(used);
                if (!m_left) Next();
                break;
            case kNavCheck:
                used = static_cast<size_t>(std::min<int64_t>(m_left, static_cast<int64_t>(n)));
                m_nav.insert(m_nav.end(), p, p + used);
                m_left -= static_cast<int64_t>(used);
                if (!m_left) NavChecked();
                break;
            case kNav:
                used = static_cast<size_t>(std::min<int64_t>(m_left, static_cast<int64_t>(n)));
                m_sink.OnData(kPrivate2, p, used, -1, -1);
                m_left -= static_cast<int64_t>(used);
                if (!m_left) Next();
                break;
            case kStreamMap:
                used = std::min(n, m_map.size() < m_mapSize ? m_mapSize - m_map.size() : 0);
                m_map.insert(m_map.end(), p, p + used);
                if (m_map.size() == m_mapSize) {
                    StreamMap();
                    Next();
                }
                break;
            }
            p += used;
            n -= used;
            m_offset += static_cast<int64_t>(used);
        }
    }

    void Finish() override {
        if (m_state == kSync) {
            if (m_offset > m_searchFrom)
                m_problems.Add("no pack or packet start in the last %" PRId64 " bytes (from offset %" PRId64 ")",
                               m_offset - m_searchFrom, m_searchFrom);
        } else if (m_state != kHead || m_have) {
            m_problems.Add("last packet cut short at offset %" PRId64, m_packetAt);
        }
        if (!m_packs && m_offset) m_problems.Add("no pack header found");
    }

    std::string Warnings() const override {
        std::string out = m_problems.Text();
        // At most 50 lines: only the stream ids read as elementary streams count any.
        for (int id = 0; id < 256; ++id) {
            const Stream& s = m_streams[id];
            if (s.badHeaders) Problems::Append(out, "stream 0x%02x: %" PRIu64 " invalid PES header%s", id,
                                               s.badHeaders, s.badHeaders == 1 ? "" : "s");
        }
        return out;
    }

private:
    enum State : uint8_t { kSync, kHead, kPes, kSkip, kStreamMap, kNavCheck, kNav };
    struct Stream {
        bool announced = false;
        uint64_t badHeaders = 0;
    };

    // Looks for the next 00 00 01 with a system code (B9 to FF) after lost sync.
    size_t Search(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            m_window = m_window << 8 | p[i];
            if ((m_window & 0xFFFFFF00u) == 0x100u && (m_window & 0xFF) >= kEnd) {
                const int64_t at = m_offset + static_cast<int64_t>(i) - 3;
                if (at > m_searchFrom) {
                    if (!m_packs && m_searchFrom == 0)
                        m_problems.Add("%" PRId64 " bytes before the first pack skipped", at);
                    else
                        m_problems.Add("lost sync at offset %" PRId64 ": %" PRId64 " bytes skipped", m_searchFrom,
                                       at - m_searchFrom);
                }
                for (int k = 0; k < 4; ++k) m_head[k] = static_cast<uint8_t>(m_window >> (24 - 8 * k));
                m_have = 4;
                m_packetAt = at;
                m_state = kHead;
                return i + 1;
            }
        }
        return n;
    }

    // How many header bytes tell what the packet is; 0 when they show it is none.
    size_t Need() const {
        if (m_have < 4) return 4;
        const uint8_t code = m_head[3];
        if (code == kEnd) return 4;
        if (code != kPack) return 6;
        if (m_have < 5) return 5;
        if ((m_head[4] & 0xC0) == 0x40) return m_have < 14 ? 14 : 14 + (m_head[13] & 7);
        return (m_head[4] & 0xF0) == 0x20 ? 12 : 0;
    }

    // One byte at a time: each is checked as it comes, so that lost sync shows at once.
    size_t Head(const uint8_t* p, size_t n) {
        size_t i = 0;
        if (!m_have) m_packetAt = m_offset;
        while (i < n) {
            const size_t need = Need();
            if (m_have == need) break;
            m_head[m_have++] = p[i++];
            if ((m_have <= 2 && m_head[m_have - 1] != 0) || (m_have == 3 && m_head[2] != 1) ||
                (m_have == 4 && m_head[3] < kEnd) || !Need()) {
                Lose();
                return i;
            }
        }
        if (m_have == Need()) Packet();
        return i;
    }

    // The header bytes, after the first, may hold the next start code: the search
    // goes on from them.
    void Lose() {
        m_searchFrom = m_packetAt;
        m_window = 0xFFFFFFFFu;
        for (size_t k = 1; k < m_have; ++k) m_window = m_window << 8 | m_head[k];
        m_have = 0;
        m_state = kSync;
    }

    void Next() {
        m_have = 0;
        m_state = kHead;
    }

    void Packet() {
        const uint8_t code = m_head[3];
        if (code == kPack || code == kEnd) {
            m_packs += code == kPack;
            Next();
            return;
        }
        m_left = m_head[4] << 8 | m_head[5];
        if (EsStreamId(code)) {
            Stream& s = m_streams[code];
            if (!s.announced) {
                s.announced = true;
                StreamInfo info;
                info.id = code;
                if (m_mapType[code] >= 0) {
                    DescribeStreamType(static_cast<uint8_t>(m_mapType[code]), info);
                } else if ((code & 0xF0) == 0xE0) {
                    info.kind = StreamKind::kVideo;
                    info.codec = EsCodec::kUnknown;
                } else {
                    info.kind = StreamKind::kAudio;
                    info.codec = EsCodec::kOther;
                    info.codecName = "mp2";
                }
                // Private stream 1 is its sub-streams, each announced when first met.
                if (code != kPrivate1) {
                    m_facts.streams.push_back(info);
                    m_sink.OnStream(info);
                }
            }
            m_id = code;
            m_pes.Start();
            Pes(m_head, 6);
            if (m_left) m_state = kPes;
            else EndPes();
        } else if (code == kPrivate2 && m_navigation >= 0 && m_left) {
            // The first packet decides: a DVD's navigation packets are a data stream.
            if (m_navigation == 0) {
                m_nav.clear();
                m_state = kNavCheck;
                if (m_left != 980 && m_left != 1018) m_navigation = -1, m_state = kSkip;
            } else {
                m_state = kNav;
            }
            m_have = 0;
        } else if (code == kMap && m_left <= static_cast<int64_t>(kMaxMap)) {
            m_map.assign(m_head, m_head + 6);
            m_mapSize = 6 + static_cast<size_t>(m_left);
            m_state = kStreamMap;
        } else {
            m_state = m_left ? kSkip : kHead;
            m_have = 0;
        }
    }

    void Pes(const uint8_t* p, size_t n) {
        EsSink& to = m_id == kPrivate1 ? static_cast<EsSink&>(m_private) : m_sink;
        if (m_id == kPrivate1 && m_pes.Fresh()) m_private.Begin();
        if (m_pes.Take(p, n, m_id, to) & PesAssembler::kBadHeader) {
            if (!m_streams[m_id].badHeaders && m_problems.Room())
                m_problems.Add("stream 0x%02x: invalid PES header at offset %" PRId64, m_id, m_packetAt);
            ++m_streams[m_id].badHeaders;
        }
    }

    void EndPes() {
        if (m_pes.Incomplete()) ++m_streams[m_id].badHeaders;
        m_pes.Stop();
        Next();
    }

    void NavChecked() {
        m_navigation = DvdNavigation(m_nav) ? 1 : -1;
        if (m_navigation > 0) {
            StreamInfo info;
            info.id = kPrivate2;
            info.kind = StreamKind::kData;
            info.codec = EsCodec::kOther;
            info.codecName = "dvd_nav_packet";
            m_facts.streams.push_back(info);
            m_sink.OnStream(info);
            m_sink.OnData(kPrivate2, m_nav.data(), m_nav.size(), -1, -1);
        }
        std::vector<uint8_t>().swap(m_nav);
        Next();
    }

    // Stream types from a program stream map, for the streams announced after it.
    void StreamMap() {
        const std::vector<uint8_t>& b = m_map;
        if (b.size() < 16 || !(b[6] & 0x80) || Crc32(b.data(), b.size()) != 0) return;
        const size_t end = b.size() - 4;
        size_t i = 10 + (size_t{b[8]} << 8 | b[9]);
        if (i + 2 > end) return;
        const size_t last = std::min(end, i + 2 + (size_t{b[i]} << 8 | b[i + 1]));
        for (i += 2; i + 4 <= last; i += 4 + (size_t{b[i + 2]} << 8 | b[i + 3])) m_mapType[b[i + 1]] = b[i];
    }

    EsSink& m_sink;
    ContainerFacts m_facts;
    PrivateSink m_private;
    State m_state = kHead;
    int64_t m_offset = 0;      // file offset of the next byte
    int64_t m_packetAt = 0;    // of the packet being read
    int64_t m_searchFrom = 0;  // where the search for sync began
    int64_t m_left = 0;        // bytes of the packet still to come
    uint32_t m_window = 0xFFFFFFFFu;
    uint8_t m_head[kMaxHead];
    size_t m_have = 0;
    int m_id = 0;
    uint64_t m_packs = 0;
    PesAssembler m_pes;
    Stream m_streams[256];
    int16_t m_mapType[256];
    std::vector<uint8_t> m_map;
    size_t m_mapSize = 0;
    int m_navigation = 0;        // DVD navigation packets: 1 yes, -1 no, 0 not known yet
    std::vector<uint8_t> m_nav;  // the first private stream 2 packet, until it decides
    Problems m_problems;
};

}  // namespace

std::unique_ptr<Demuxer> MakePsDemux(EsSink& sink) {
    return std::unique_ptr<Demuxer>(new PsDemux(sink));
}

}  // namespace qvutil

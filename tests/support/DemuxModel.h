#pragma once

// A reference model of the transport and program stream demuxers: the whole file in memory,
// one packet after another, tables in std::map, roles of PIDs worked out when asked. And
// the comparison with the real demuxers fed in pieces, which the fuzzers run.

#include "container/Demux.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qvmodel {
namespace demux {

using Bytes = std::vector<uint8_t>;

struct Stream {
    int id = 0, program = 0;
    int streamType = 0;
    Bytes data;
    std::vector<std::array<int64_t, 3>> pts;  // offset in data, pts, dts
    bool operator==(const Stream& o) const {
        return id == o.id && program == o.program && streamType == o.streamType && data == o.data && pts == o.pts;
    }
};
using Result = std::vector<Stream>;  // in the order the streams were announced

inline Stream* Find(Result& r, int id) {
    for (Stream& s : r)
        if (s.id == id) return &s;
    return nullptr;
}

inline void Give(Result& r, int id, const uint8_t* p, size_t n, int64_t pts, int64_t dts) {
    Stream* s = Find(r, id);
    if (!s) return;
    if (pts >= 0) s->pts.push_back({static_cast<int64_t>(s->data.size()), pts, dts});
    s->data.insert(s->data.end(), p, p + n);
}

// -1 invalid, 0 more bytes needed, else the header's size; *pts and *dts set when it has
// them (*dts to the pts when it has only that).
inline int PesHeader(const Bytes& h, int64_t* pts, int64_t* dts) {
    const uint8_t prefix[3] = {0, 0, 1};
    for (size_t i = 0; i < 3 && i < h.size(); ++i)
        if (h[i] != prefix[i]) return -1;
    if (h.size() >= 4 && h[3] < 0xBC) return -1;
    if (h.size() < 6) return 0;
    const size_t len = size_t{h[4]} * 256 + h[5], limit = len ? 6 + len : SIZE_MAX;
    const uint8_t bare[] = {0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF};
    if (std::find(std::begin(bare), std::end(bare), h[3]) != std::end(bare)) return 6;
    auto stamp = [&](size_t i) {
        return (int64_t{h[i]} >> 1 & 7) << 30 | int64_t{h[i + 1]} << 22 | int64_t{h[i + 2] >> 1} << 15 |
               int64_t{h[i + 3]} << 7 | (h[i + 4] >> 1);
    };
    if (limit < 7) return -1;
    if (h.size() < 7) return 0;
    if (h[6] >> 6 == 2) {
        if (limit < 9) return -1;
        if (h.size() < 9) return 0;
        const size_t size = 9 + size_t{h[8]};
        if (size > limit) return -1;
        if (h.size() < size) return 0;
        const int flags = h[7] >> 6;
        if (flags >= 2 && h[8] >= 5) *pts = *dts = stamp(9);
        if (flags == 3 && h[8] >= 10) *dts = stamp(14);
        return static_cast<int>(size);
    }
    size_t i = 6;
    for (int stuffing = 0;; ++i) {
        if (i >= limit) return -1;
        if (h.size() <= i) return 0;
        if (h[i] != 0xFF) break;
        if (++stuffing > 16) return -1;
    }
    if (h[i] >> 6 == 1) {
        i += 2;
        if (i >= limit) return -1;
        if (h.size() <= i) return 0;
    }
    const size_t stamps = h[i] >> 4 == 2 ? 5 : h[i] >> 4 == 3 ? 10 : h[i] == 0x0F ? 1 : 0;
    if (!stamps || i + stamps > limit) return -1;
    if (h.size() < i + stamps) return 0;
    if (stamps > 1) *pts = *dts = stamp(i);
    if (stamps == 10) *dts = stamp(i + 5);
    return static_cast<int>(i + stamps);
}

// One PES packet: its header gathered, its payload given up to its length.
struct Pes {
    enum { kIdle, kHeader, kPayload } state = kIdle;
    Bytes header;
    int64_t left = -1, pts = -1, dts = -1;

    void Start() { state = kHeader, header.clear(), pts = dts = -1; }
    void Take(Result& r, int id, const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (state == kHeader) {
                header.push_back(p[i]);
                int64_t stamp = -1, decode = -1;
                const int size = PesHeader(header, &stamp, &decode);
                if (size < 0) state = kIdle;
                if (size <= 0) continue;
                state = kPayload;
                pts = stamp, dts = decode;
                left = header[4] || header[5] ? 6 + (header[4] << 8 | header[5]) - size : -1;
            } else if (state == kPayload && left != 0) {
                const size_t m = left < 0 ? n - i : std::min(n - i, static_cast<size_t>(left));
                Give(r, id, p + i, m, pts, dts);
                pts = dts = -1;
                if (left > 0) left -= static_cast<int64_t>(m);
                i += m - 1;
            }
        }
    }
};

inline uint32_t Crc(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i)
        for (int b = 7; b >= 0; --b) {
            const bool top = ((crc >> 31) ^ (p[i] >> b)) & 1;
            crc = crc << 1 ^ (top ? 0x04C11DB7u : 0);
        }
    return crc;
}

class Ts {
public:
    static Result Run(const Bytes& f, size_t packetSize) {
        Ts m;
        const size_t P = packetSize, at = P - 188;
        auto sync = [&](size_t i) { return f[i + at] == 0x47; };
        size_t i = 0;
        bool locked = false;
        while (i < f.size()) {
            const size_t n = f.size();
            // A packet start, three sync bytes a packet apart (or as many as the file holds).
            auto confirmed = [&](size_t c) {
                bool ok = c + at < n;
                for (size_t k = 0; k < 3 && c + k * P + at < n; ++k) ok = ok && sync(c + k * P);
                return ok;
            };
            if (locked) {
                auto cut = [&] {  // the next packet starts inside this one
                    for (size_t c = i + 1; c < i + P && c + at < n; ++c)
                        if (confirmed(c)) return true;
                    return false;
                };
                if (i + P <= n && sync(i) && (i + P + at >= n || sync(i + P) || !cut())) {
                    m.Packet(&f[i + at]);
                    i += P;
                } else if (i + P > n && (i + at >= n || sync(i))) {
                    break;  // the last packet, cut short
                } else {
                    locked = false;
                    ++i;
                }
                continue;
            }
            size_t c = i;
            while (c + at < n && !confirmed(c)) ++c;
            if (c + P > n) break;
            locked = true;
            i = c;
        }
        // A program map table whose every section failed its CRC, six times or more, counts.
        for (const auto& r : m.m_rejected) {
            const bool unmapped = std::any_of(m.m_programs.begin(), m.m_programs.end(), [&](const Program& p) {
                return p.pmtPid == r.first && !m.m_pmtTaken.count(r.first);
            });
            if (m.m_trust[r.first] <= -6 && unmapped) m.Table(r.first, r.second, true);
        }
        // The streams the tables named first, in the order they named them; then those found
        // by their PES headers alone.
        auto rank = [&m](const Stream& s) {
            const auto it = m.m_named.find(static_cast<unsigned>(s.id));
            return it == m.m_named.end() ? 1 << 30 : it->second;
        };
        std::stable_sort(m.m_out.begin(), m.m_out.end(),
                         [&rank](const Stream& a, const Stream& b) { return rank(a) < rank(b); });
        return m.m_out;
    }

private:
    struct Program {
        unsigned number, pmtPid;
        std::vector<unsigned> pids;
    };
    struct Section {
        Bytes b;
        bool active = false;
    };
    enum Role { kNone, kPat, kPmt, kEs };

    Role RoleOf(unsigned pid) const {
        if (pid == 0) return kPat;
        for (const Program& p : m_programs)
            if (p.pmtPid == pid && pid != 0x1FFF) return kPmt;
        for (const Program& p : m_programs)
            if (std::count(p.pids.begin(), p.pids.end(), pid) && m_pes.count(pid)) return kEs;
        if (m_guessed.count(pid)) return kEs;
        return kNone;
    }

    void Changed() {
        for (auto& e : m_pes)
            if (RoleOf(e.first) != kEs) e.second.state = Pes::kIdle;
        for (auto it = m_sections.begin(); it != m_sections.end();)
            it = it->first && RoleOf(it->first) != kPmt ? m_sections.erase(it) : std::next(it);
    }

    void Packet(const uint8_t* q) {
        const unsigned pid = (q[1] & 0x1F) << 8 | q[2];
        Role role = RoleOf(pid);
        const unsigned afc = q[3] >> 4 & 3;
        if (afc == 0) return;
        const size_t start = afc & 2 ? 5 + q[4] : 4;
        if (role == kNone) {
            // A PES packet beginning on a PID no table names: a stream found by its headers.
            const uint8_t* e = q + start;
            if (!(q[1] & 0x40) || !(afc & 1) || start + 4 > 188 || pid == 0 || pid == 0x1FFF || m_pes.count(pid) ||
                m_out.size() == 256 || e[0] || e[1] || e[2] != 1 || !(e[3] == 0xBD || e[3] == 0xFD || (e[3] >= 0xC0 && e[3] <= 0xEF)))
                return;
            m_pes[pid];
            m_guessed.insert(pid);
            Stream s;
            s.id = static_cast<int>(pid);
            m_out.push_back(s);
            role = kEs;
        }
        const bool disc = (afc & 2) && q[4] && (q[5] & 0x80);
        const int cc = q[3] & 15;
        const bool ccOk = !m_cc.count(pid) || disc || cc == (afc & 1 ? (m_cc[pid] + 1) % 16 : m_cc[pid]);
        m_cc[pid] = cc;
        if (!(afc & 1) || start >= 188) return;
        const bool unitStart = q[1] & 0x40;
        if (role == kEs) {
            Pes& pes = m_pes[pid];
            if (unitStart) pes.Start();
            pes.Take(m_out, static_cast<int>(pid), q + start, 188 - start);
            return;
        }
        Section& s = m_sections[pid];
        Bytes rest(q + start, q + 188);
        if (!unitStart) {
            if (s.active && ccOk) Collect(pid, s, rest);
            else s.active = false;
            return;
        }
        const size_t pointer = rest[0];
        rest.erase(rest.begin());
        if (pointer > rest.size()) {
            s.active = false;
            return;
        }
        Bytes tail(rest.begin(), rest.begin() + static_cast<long>(pointer));
        if (s.active && ccOk && pointer) Collect(pid, s, tail);
        s.active = false;
        rest.erase(rest.begin(), rest.begin() + static_cast<long>(pointer));
        while (!rest.empty() && rest[0] != 0xFF) {
            // Sections from here: each may complete a table and change the roles.
            Section& cur = m_sections[pid];
            cur.b.clear();
            cur.active = true;
            const size_t used = Collect(pid, cur, rest);
            if (m_sections.count(pid) && m_sections[pid].active) break;
            rest.erase(rest.begin(), rest.begin() + static_cast<long>(used));
        }
    }

    // Bytes used: to the section's end, all of them when it goes on or is unusable.
    size_t Collect(unsigned pid, Section& s, const Bytes& b) {
        size_t i = 0;
        for (; i < b.size(); ++i) {
            s.b.push_back(b[i]);
            if (s.b.size() < 3) continue;
            const size_t total = 3 + ((s.b[1] & 0x0F) << 8 | s.b[2]);
            if (total > 1024) {
                s.active = false;
                return b.size();
            }
            if (s.b.size() == total) {
                s.active = false;
                const Bytes section = s.b;
                Table(pid, section);
                return i + 1;
            }
        }
        return i;
    }

    void Table(unsigned pid, const Bytes& b, bool anyway = false) {
        if (b.size() < 12 || !(b[1] & 0x80) || !(b[5] & 1)) return;
        // Ten bad CRCs in a row on a PID, and its sections are taken as they come.
        int& trust = m_trust[pid];
        if (!Crc(b.data(), b.size())) {
            trust = 100;
        } else if (trust > -10 && !anyway) {
            --trust;
            if (b[0] == 2 && pid != 0 && trust < 0 && m_rejected.size() < 16 &&
                std::none_of(m_rejected.begin(), m_rejected.end(), [pid](const auto& r) { return r.first == pid; }))
                m_rejected.emplace_back(pid, b);
            return;
        }
        if (b[0] == 0 && pid == 0) {
            if ((b[5] >> 1 & 31) != m_patVersion) m_programs.clear();
            m_patVersion = b[5] >> 1 & 31;
            for (size_t i = 8; i + 8 <= b.size(); i += 4) {
                const unsigned number = b[i] << 8 | b[i + 1], pmt = (b[i + 2] & 0x1F) << 8 | b[i + 3];
                if (!number) continue;
                auto p = std::find_if(m_programs.begin(), m_programs.end(),
                                      [&](const Program& x) { return x.number == number; });
                if (p == m_programs.end() && m_programs.size() < 256) m_programs.push_back({number, pmt, {}});
                else if (p != m_programs.end() && p->pmtPid != pmt) *p = {number, pmt, {}};
            }
            Changed();
        } else if (b[0] == 2 && pid != 0) {
            const unsigned number = b[3] << 8 | b[4];
            auto p = std::find_if(m_programs.begin(), m_programs.end(),
                                  [&](const Program& x) { return x.number == number && x.pmtPid == pid; });
            if (p == m_programs.end()) return;
            m_pmtTaken.insert(pid);
            std::vector<unsigned> pids;
            for (size_t i = 12 + ((b[10] & 0x0F) << 8 | b[11]); i + 9 <= b.size(); i += 5 + ((b[i + 3] & 0x0F) << 8 | b[i + 4])) {
                const int type = b[i];
                const unsigned es = (b[i + 1] & 0x1F) << 8 | b[i + 2];
                const int sections[] = {0x05, 0x0B, 0x0C, 0x0D, 0x14, 0x86};
                if (std::count(std::begin(sections), std::end(sections), type) || es == 0 || es == 0x1FFF) continue;
                if (std::count(pids.begin(), pids.end(), es)) continue;
                if (pids.size() == 64) break;
                if (!m_pes.count(es)) {
                    if (m_out.size() == 256) continue;
                    m_pes[es];
                    Stream s;
                    s.id = static_cast<int>(es), s.program = static_cast<int>(number), s.streamType = type;
                    m_out.push_back(s);
                } else if (m_guessed.count(es)) {
                    m_guessed.erase(es);
                    for (Stream& s : m_out)
                        if (s.id == static_cast<int>(es)) s.program = static_cast<int>(number), s.streamType = type;
                }
                if (!m_named.count(es)) m_named[es] = static_cast<int>(m_named.size());
                pids.push_back(es);
            }
            p->pids = pids;
            Changed();
        }
    }

    Result m_out;
    std::vector<Program> m_programs;
    int m_patVersion = -1;
    std::map<unsigned, int> m_cc;
    std::map<unsigned, Pes> m_pes;
    std::map<unsigned, Section> m_sections;
    std::set<unsigned> m_guessed;      // streams found by their PES headers, named by no table
    std::map<unsigned, int> m_named;   // the order the tables first named each stream in
    std::map<unsigned, int> m_trust;   // per PID: 100 after a good CRC, down to -10 after bad ones
    // Each PMT PID's first section with a bad CRC, in the order they came.
    std::vector<std::pair<unsigned, Bytes>> m_rejected;
    std::set<unsigned> m_pmtTaken;         // PMT PIDs one of whose sections was read
};

class Ps {
public:
    static Result Run(const Bytes& f) {
        Ps m;
        const size_t n = f.size();
        size_t i = 0;
        bool lost = false;
        while (i < n) {
            if (lost) {
                // The next 00 00 01 with a code byte B9 or above, the lost one's first byte passed.
                size_t j = i + 1;
                while (j + 4 <= n && !(f[j] == 0 && f[j + 1] == 0 && f[j + 2] == 1 && f[j + 3] >= 0xB9)) ++j;
                if (j + 4 > n) break;
                i = j;
                lost = false;
            }
            auto byteAt = [&](size_t k) { return i + k < n ? f[i + k] : -1; };
            if (byteAt(0) > 0 || byteAt(1) > 0 || (byteAt(2) >= 0 && byteAt(2) != 1) ||
                (byteAt(3) >= 0 && byteAt(3) < 0xB9)) {
                lost = true;
                continue;
            }
            if (i + 4 > n) break;
            const int code = f[i + 3];
            size_t size;
            if (code == 0xB9) {
                size = 4;
            } else if (code == 0xBA) {
                if (byteAt(4) < 0) break;
                if ((f[i + 4] & 0xC0) == 0x40) size = byteAt(13) < 0 ? n : 14 + (f[i + 13] & 7);
                else if ((f[i + 4] & 0xF0) == 0x20) size = 12;
                else {
                    lost = true;
                    continue;
                }
            } else {
                if (i + 6 > n) break;
                size = 6 + (f[i + 4] << 8 | f[i + 5]);
                const size_t end = std::min(n, i + size);
                if (code == 0xBD) {
                    // Private stream 1: the payload's first byte names the sub-stream.
                    Result one(1);
                    one[0].id = code;
                    Pes pes;
                    pes.Start();
                    pes.Take(one, code, &f[i], end - i);
                    const Bytes& d = one[0].data;
                    const int sub = d.empty() ? -1 : d[0];
                    const bool listed = (sub >= 0x20 && sub <= 0x3F) || (sub >= 0x80 && sub <= 0x8F) ||
                                        (sub >= 0x98 && sub <= 0xCF);
                    if (listed) {
                        const int id = qvutil::kPrivateSubstream | sub;
                        if (!Find(m.m_out, id)) {
                            Stream s;
                            s.id = id;
                            m.m_out.push_back(s);
                        }
                        const bool stamped = !one[0].pts.empty();
                        // Audio sub-streams: a frame count and a pointer before the frames
                        // (TrueHD one byte more).
                        const size_t skip = 1 + (sub >= 0x80 ? (sub >= 0xB0 && sub <= 0xBF ? 4 : 3) : 0);
                        if (d.size() > skip)
                            Give(m.m_out, id, d.data() + skip, d.size() - skip, stamped ? one[0].pts[0][1] : -1,
                                 stamped ? one[0].pts[0][2] : -1);
                    }
                } else if ((code >= 0xC0 && code <= 0xEF) || code == 0xFD) {
                    if (!Find(m.m_out, code)) {
                        Stream s;
                        s.id = code;
                        s.streamType = m.m_map.count(code) ? m.m_map[code] : 0;
                        m.m_out.push_back(s);
                    }
                    Pes pes;
                    pes.Start();
                    pes.Take(m.m_out, code, &f[i], end - i);
                } else if (code == 0xBF && size > 6 && m.m_nav >= 0) {
                    // Private stream 2: DVD navigation packets when the first one is one.
                    const Bytes payload(f.begin() + static_cast<long>(i + 6), f.begin() + static_cast<long>(end));
                    if (m.m_nav == 0) {
                        if (size - 6 != 980 && size - 6 != 1018) {
                            m.m_nav = -1;
                        } else if (i + size <= n) {
                            m.m_nav = Navigation(payload) ? 1 : -1;
                            if (m.m_nav > 0) {
                                Stream s;
                                s.id = code;
                                m.m_out.push_back(s);
                            }
                        }
                    }
                    if (m.m_nav > 0) Give(m.m_out, code, payload.data(), payload.size(), -1, -1);
                } else if (code == 0xBC && size <= 6 + 1018 && i + size <= n) {
                    m.Map(Bytes(f.begin() + static_cast<long>(i), f.begin() + static_cast<long>(i + size)));
                }
            }
            i += size;
        }
        return m.m_out;
    }

private:
    static bool Navigation(const Bytes& p) {
        const std::string text(p.begin(), p.end());
        if (text.find("Sofdec") != std::string::npos) return false;
        auto clock = [&p](size_t at) {
            for (size_t k = at; k < at + 3; ++k)
                if ((p[k] & 15) > 9) return false;
            return (p[at] >> 4) * 10 + (p[at] & 15) < 24 && (p[at + 1] >> 4) * 10 + (p[at + 1] & 15) < 60 &&
                   (p[at + 2] >> 4) * 10 + (p[at + 2] & 15) < 60;
        };
        auto word = [&p](size_t at) { return uint32_t{p[at]} << 24 | uint32_t{p[at + 1]} << 16 | uint32_t{p[at + 2]} << 8 | p[at + 3]; };
        if (p.size() == 980) return p[0] == 0 && clock(0x19) && word(0x11) >= word(0x0D);
        return p.size() == 1018 && p[0] == 1 && clock(0x1D);
    }

    void Map(const Bytes& b) {
        if (b.size() < 16 || !(b[6] & 0x80) || Crc(b.data(), b.size())) return;
        size_t i = 10 + (b[8] << 8 | b[9]);
        if (i + 2 > b.size() - 4) return;
        const size_t end = std::min(b.size() - 4, i + 2 + (b[i] << 8 | b[i + 1]));
        for (i += 2; i + 4 <= end; i += 4 + (b[i + 2] << 8 | b[i + 3])) m_map[b[i + 1]] = b[i];
    }

    Result m_out;
    std::map<int, int> m_map;
    int m_nav = 0;  // navigation packets: 1 yes, -1 no, 0 not known yet
};

// The real demuxer's output, in the model's terms.
class Recorder : public qvutil::EsSink {
public:
    bool OnStream(const qvutil::StreamInfo& info) override {
        Stream s;
        s.id = info.id, s.program = info.program, s.streamType = info.streamType;
        if (Find(result, info.id)) duplicate = true;
        result.push_back(s);
        return true;
    }
    void OnData(int id, const uint8_t* p, size_t n, int64_t pts, int64_t dts) override {
        if (!n || !Find(result, id)) unannounced = true;
        Give(result, id, p, n, pts, dts);
    }
    Result result;
    bool duplicate = false, unannounced = false;
};

// Feeds f to the real demuxer in pieces whose sizes the seed picks (small ones mostly, to
// cut packets and headers everywhere), and tells what differs from the model; empty when
// nothing does.
inline std::string Compare(qvutil::Container c, const Bytes& f, uint32_t seed) {
    Recorder rec;
    const auto d = qvutil::MakeDemuxer(c, rec);
    for (size_t at = 0; at < f.size();) {
        seed = seed * 1103515245u + 12345u;
        const size_t r = seed >> 16;
        const size_t piece = std::min(f.size() - at, r % 8 == 0 ? 1 + r % 4096 : 1 + r % 200);
        d->Feed(f.data() + at, piece);
        at += piece;
    }
    d->Finish();
    // The streams as the demuxer finally describes them, in its final order: a table that
    // comes late names streams already found by their packets.
    Result described;
    for (const qvutil::StreamInfo& info : d->Facts().streams) {
        Stream* s = Find(rec.result, info.id);
        if (!s) continue;
        s->program = info.program, s->streamType = info.streamType;
        described.push_back(*s);
    }
    if (described.size() == rec.result.size()) rec.result.swap(described);
    if (rec.duplicate) return "a stream announced twice";
    if (rec.unannounced) return "data for a stream not announced, or empty";
    if (d->Warnings().size() > 8192) return "warnings grew without bound";
    const Result want = c == qvutil::Container::kMpegPs ? Ps::Run(f) : Ts::Run(f, c == qvutil::Container::kM2ts ? 192 : 188);
    if (want.size() != rec.result.size()) return "streams: " + std::to_string(rec.result.size()) + " not " + std::to_string(want.size());
    for (size_t k = 0; k < want.size(); ++k)
        if (!(want[k] == rec.result[k])) {
            const Stream &a = rec.result[k], &b = want[k];
            return "stream " + std::to_string(b.id) + ": id " + std::to_string(a.id) + ", " +
                   std::to_string(a.data.size()) + " bytes not " + std::to_string(b.data.size()) + ", " +
                   std::to_string(a.pts.size()) + " time stamps not " + std::to_string(b.pts.size());
        }
    return "";
}

}  // namespace demux
}  // namespace qvmodel

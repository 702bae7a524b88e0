// MPEG transport streams (H.222.0): 188-byte packets, or 192 with a time code before each
// (M2TS). The PAT names the programs, each program's PMT its elementary streams; every
// stream's PES packets are taken apart and their payload handed on in place.

#include "Pes.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

namespace qvutil {

namespace {

constexpr size_t kTsPacket = 188;
constexpr uint8_t kSync = 0x47;
// Sync bytes one packet apart that (re)gain sync; fewer only where the file ends.
constexpr size_t kConfirm = 3;
constexpr unsigned kPidCount = 8192, kNullPid = 0x1FFF;
// A PAT or PMT section: 3 bytes and up to 1021.
constexpr size_t kMaxSection = 3 + 1021;
// Hostile tables cannot make the demuxer keep more than this.
constexpr size_t kMaxStreams = 256, kMaxPrograms = 256, kMaxProgramStreams = 64;

// Stream types carried in sections rather than PES packets.
bool SectionStreamType(uint8_t t) {
    return t == 0x05 || t == 0x0B || t == 0x0C || t == 0x0D || t == 0x14 || t == 0x86;
}

struct Section {
    std::vector<uint8_t> bytes;
    bool active = false;  // collecting: more bytes belong to it
};

struct Program {
    unsigned number = 0, pmtPid = 0;
    std::vector<uint16_t> pids;
    bool mapped = false;  // a PMT was read
};

struct Stream {
    StreamInfo info;
    PesAssembler pes;
    bool active = false;
    bool guessed = false;  // found by its PES headers; no program map has named it (yet)
    int mapOrder = -1;     // the order the program maps first named it in
    bool typeChanged = false;
    uint64_t ccErrors = 0, cutShort = 0, badHeaders = 0, pastLength = 0;
};

class TsDemux final : public Demuxer {
public:
    TsDemux(EsSink& sink, size_t packetSize)
        : m_sink(sink), m_size(packetSize), m_at(packetSize - kTsPacket), m_holdMax(4 * packetSize) {
        std::fill(std::begin(m_role), std::end(m_role), int16_t{0});
        std::fill(std::begin(m_streamOf), std::end(m_streamOf), int16_t{-1});
        std::fill(std::begin(m_cc), std::end(m_cc), int8_t{-1});
        m_role[0] = kPatRole;
        m_hold.reserve(m_holdMax);
    }

    Want Next() const override { return {m_fed, Want::kAny}; }
    const ContainerFacts& Facts() const override { return m_facts; }

    void Feed(const uint8_t* p, size_t n) override {
        m_fed += static_cast<int64_t>(n);
        while (n) {
            if (m_hold.empty()) {
                const size_t used = Step(p, n, false);
                m_hold.assign(p + used, p + n);
                return;
            }
            // The bytes held from the last piece and the first of this one, until the
            // held ones are used up; then on from the piece itself.
            const size_t old = m_hold.size();
            const size_t take = std::min(n, m_holdMax - old);
            m_hold.insert(m_hold.end(), p, p + take);
            const size_t used = Step(m_hold.data(), m_hold.size(), false);
            if (used >= old) {
                m_hold.clear();
                p += used - old;
                n -= used - old;
            } else {
                m_hold.erase(m_hold.begin(), m_hold.begin() + static_cast<std::ptrdiff_t>(used));
                p += take;
                n -= take;
            }
        }
    }

    void Finish() override {
        Step(m_hold.data(), m_hold.size(), true);
        m_hold.clear();
        for (Stream& s : m_streams)
            if (s.active && s.pes.Incomplete()) ++s.cutShort;
        for (const auto& r : m_rejected) {
            const unsigned pid = r.first;
            const bool unmapped = std::any_of(m_programs.begin(), m_programs.end(),
                                              [pid](const Program& p) { return p.pmtPid == pid && !p.mapped; });
            if (m_crcTrust[pid] <= -6 && unmapped) {
                m_pmtTakenBad = true;
                Pmt(pid, r.second);
            }
        }
        size_t guessed = 0;
        std::string pids;
        for (const Stream& s : m_streams)
            if (s.guessed) pids += (guessed++ ? ", " : "") + Hex(s.info.id);
        if (!m_sawPat && m_packets)
            m_problems.Add(guessed ? "no program association table (PID 0)"
                                   : "no program association table (PID 0): no streams found");
        for (const Program& prog : m_programs)
            if (!prog.mapped) m_problems.Add("program %u: no program map table (PID %s)", prog.number,
                                              Hex(static_cast<int>(prog.pmtPid)).c_str());
        if (guessed)
            m_problems.Add("%" PRIu64 " stream%s in no program map table, found by %s PES headers: PID %s",
                           static_cast<uint64_t>(guessed),
                           guessed == 1 ? "" : "s", guessed == 1 ? "its" : "their", pids.c_str());
        // ffmpeg lists the streams the tables name first, in their order, then those it
        // found by their packets.
        auto rank = [this](const StreamInfo& f) {
            const int idx = m_streamOf[f.id & 0x1FFF];
            const Stream* s = idx >= 0 ? &m_streams[static_cast<size_t>(idx)] : nullptr;
            return s && s->mapOrder >= 0 ? s->mapOrder : INT32_MAX;
        };
        std::stable_sort(m_facts.streams.begin(), m_facts.streams.end(),
                         [&rank](const StreamInfo& a, const StreamInfo& b) { return rank(a) < rank(b); });
    }

    std::string Warnings() const override {
        std::string out = m_problems.Text();
        size_t lines = 0, more = 0;
        for (const Stream& s : m_streams) {
            if (!s.ccErrors && !s.cutShort && !s.badHeaders && !s.pastLength && !s.typeChanged) continue;
            if (++lines > 20) {
                ++more;
                continue;
            }
            std::string line = "PID " + Hex(s.info.id) + ":";
            Count(line, s.ccErrors, "continuity error", "continuity errors");
            Count(line, s.badHeaders, "invalid PES header", "invalid PES headers");
            Count(line, s.cutShort, "PES packet shorter than its length", "PES packets shorter than their length");
            Count(line, s.pastLength, "PES packet longer than its length", "PES packets longer than their length");
            if (s.typeChanged) line += " stream_type changed in a later PMT,";
            line.back() = '\n';
            out += line;
        }
        if (more) Problems::Append(out, "... and %" PRIu64 " more streams with problems", static_cast<uint64_t>(more));
        if (m_badCrc)
            Problems::Append(out, "wrong CRC in %" PRIu64 " table section%s%s", m_badCrc, m_badCrc == 1 ? "" : "s",
                             m_badCrcTaken || m_pmtTakenBad
                                 ? ": the program map tables among them taken as they are, as ffmpeg takes them"
                                 : ", ignored");
        if (m_tooMany) Problems::Append(out, "%" PRIu64 " programs or streams past the limit, ignored", m_tooMany);
        return out;
    }

private:
    static constexpr int16_t kPatRole = -1;  // roles: 0 none, > 0 stream index + 1, < 0 table

    static std::string Hex(int v) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%04x", v);
        return b;
    }
    static void Count(std::string& line, uint64_t n, const char* one, const char* many) {
        if (!n) return;
        char b[96];
        std::snprintf(b, sizeof b, " %" PRIu64 " %s,", n, n == 1 ? one : many);
        line += b;
    }

    bool SyncAt(const uint8_t* p, size_t i) const { return p[i + m_at] == kSync; }

    // Takes the packets of p[0, n) it can decide on; returns the bytes used. Without eof
    // it leaves fewer than 3 packets (and a time code) for the next call to complete, so
    // that m_holdMax bytes always decide something.
    size_t Step(const uint8_t* p, size_t n, bool eof) {
        const size_t P = m_size;
        size_t i = 0;
        for (;;) {
            if (m_locked) {
                while (i + P + m_at < n && SyncAt(p, i) && SyncAt(p, i + P)) {
                    Packet(p + i + m_at, m_offset + i);
                    i += P;
                }
                if (i + P + m_at < n) {
                    // No sync byte after this packet: it was cut short if the next one
                    // starts inside it, else it is whole and something was put after it.
                    if (SyncAt(p, i)) {
                        const int cut = StartsInside(p, n, i, eof);
                        if (cut < 0) {
                            m_offset += i;
                            return i;
                        }
                        if (!cut) {
                            Packet(p + i + m_at, m_offset + i);
                            i += P;
                            continue;
                        }
                    }
                    Lose(i);
                    ++i;
                } else if (!eof) {
                    m_offset += i;
                    return i;
                } else if (i == n) {
                    break;
                } else if (i + P <= n && SyncAt(p, i)) {
                    // The last packet: no sync byte after it to ask.
                    Packet(p + i + m_at, m_offset + i);
                    i += P;
                    continue;
                } else if (i + P > n && (i + m_at >= n || SyncAt(p, i))) {
                    m_problems.Add("last packet cut short: %" PRIu64 " bytes at offset %" PRId64, static_cast<uint64_t>(n - i),
                                   m_offset + static_cast<int64_t>(i));
                    i = n;
                    break;
                } else {
                    Lose(i);
                    ++i;
                }
            }
            if (i >= n) break;
            // Searching: a sync byte and kConfirm - 1 more, a packet apart.
            const void* hit = i + m_at < n ? std::memchr(p + i + m_at, kSync, n - i - m_at) : nullptr;
            if (!hit) {
                // A packet may yet start in the last bytes: its sync byte is still to come.
                i = eof ? n : std::max(i, n >= m_at ? n - m_at : 0);
                break;
            }
            const size_t c = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p) - m_at;
            bool ok = true, known = true;
            for (size_t k = 1; k < kConfirm && ok; ++k) {
                if (c + k * P + m_at >= n) {
                    known = eof;
                    break;
                }
                ok = SyncAt(p, c + k * P);
            }
            if (!known) {
                i = c;
                break;
            }
            if (ok && c + P <= n) {
                Regain(c);
                i = c;
                continue;
            }
            i = ok ? n : c + 1;
        }
        if (eof && !m_locked && m_offset + static_cast<int64_t>(n) > m_searchFrom) {
            m_problems.Add("no sync in the last %" PRId64 " bytes (from offset %" PRId64 ")",
                           m_offset + static_cast<int64_t>(n) - m_searchFrom, m_searchFrom);
        }
        m_offset += i;
        return i;
    }

    // Whether a packet start, confirmed by kConfirm sync bytes (or as many as the file
    // holds), lies inside the packet at i: 1 or 0, -1 when the bytes to tell are to come.
    int StartsInside(const uint8_t* p, size_t n, size_t i, bool eof) const {
        for (size_t c = i + 1; c < i + m_size; ++c) {
            if (!SyncAt(p, c)) continue;
            bool ok = true;
            for (size_t k = 1; k < kConfirm && ok; ++k) {
                if (c + k * m_size + m_at >= n) {
                    if (!eof) return -1;
                    break;
                }
                ok = SyncAt(p, c + k * m_size);
            }
            if (ok) return 1;
        }
        return 0;
    }

    void Lose(size_t i) {
        m_locked = false;
        m_searchFrom = m_offset + static_cast<int64_t>(i);
    }

    void Regain(size_t c) {
        m_locked = true;
        const int64_t at = m_offset + static_cast<int64_t>(c);
        if (at > m_searchFrom && !m_packets)
            m_problems.Add("%" PRId64 " bytes before the first packet skipped", at);
        else if (at > m_searchFrom)
            m_problems.Add("lost sync at offset %" PRId64 ": %" PRId64 " bytes skipped", m_searchFrom,
                           at - m_searchFrom);
    }

    void Packet(const uint8_t* q, int64_t offset) {
        ++m_packets;
        const unsigned pid = (q[1] & 0x1Fu) << 8 | q[2];
        int role = m_role[pid];
        const unsigned afc = q[3] >> 4 & 3;
        if (!afc) return;
        size_t start = 4;
        bool discontinuity = false;
        if (afc & 2) {
            start = 5 + size_t{q[4]};
            discontinuity = q[4] && (q[5] & 0x80);
        }
        if (!role) {
            // A PID no table names that begins a PES packet: a stream of its own, as ffmpeg
            // finds streams when the tables are missing or broken.
            if (!(q[1] & 0x40) || !(afc & 1) || start + 4 > kTsPacket || pid == 0 || pid == kNullPid) return;
            const uint8_t* e = q + start;
            const uint8_t id = e[3];
            if (e[0] || e[1] || e[2] != 1 || !(id == 0xBD || id == 0xFD || (id >= 0xC0 && id <= 0xEF))) return;
            if (!Guess(pid, id)) return;
            role = m_role[pid];
        }
        const int last = m_cc[pid], cc = q[3] & 15;
        const bool ccOk = last < 0 || discontinuity || cc == ((afc & 1) ? (last + 1) & 15 : last);
        m_cc[pid] = static_cast<int8_t>(cc);
        if (role > 0) {
            Stream& s = m_streams[static_cast<size_t>(role - 1)];
            s.ccErrors += !ccOk;
            if (!(afc & 1) || start >= kTsPacket) return;
            if (q[1] & 0x40) {
                s.cutShort += s.pes.Incomplete();
                s.pes.Start();
            }
            const unsigned events = s.pes.Take(q + start, kTsPacket - start, s.info.id, m_sink);
            if (events & PesAssembler::kBadHeader) {
                if (!s.badHeaders && m_problems.Room())
                    m_problems.Add("PID %s: invalid PES header at offset %" PRId64, Hex(s.info.id).c_str(), offset);
                ++s.badHeaders;
            }
            s.pastLength += (events & PesAssembler::kPastLength) != 0;
            return;
        }
        if (!(afc & 1) || start >= kTsPacket) return;
        Section& sec = role == kPatRole ? m_pat : m_pmts[static_cast<size_t>(-role - 2)].second;
        Tables(sec, pid, q + start, kTsPacket - start, (q[1] & 0x40) != 0, ccOk);
    }

    // PSI: sections cut across packets, several in one, pointer_field where one starts.
    void Tables(Section& sec, unsigned pid, const uint8_t* p, size_t n, bool unitStart, bool ccOk) {
        if (!unitStart) {
            if (sec.active && ccOk) Collect(sec, pid, p, n);
            else sec.active = false;
            return;
        }
        const size_t pointer = p[0];
        ++p, --n;
        if (pointer > n) {
            sec.active = false;
            return;
        }
        if (pointer && sec.active && ccOk) Collect(sec, pid, p, pointer);
        sec.active = false;
        p += pointer, n -= pointer;
        while (n && p[0] != 0xFF) {
            sec.bytes.clear();
            sec.active = true;
            const size_t used = Collect(sec, pid, p, n);
            if (sec.active) break;
            p += used, n -= used;
        }
    }

    size_t Collect(Section& sec, unsigned pid, const uint8_t* p, size_t n) {
        size_t used = 0;
        if (sec.bytes.size() < 3) {
            used = std::min(n, 3 - sec.bytes.size());
            sec.bytes.insert(sec.bytes.end(), p, p + used);
            if (sec.bytes.size() < 3) return used;
        }
        const size_t total = 3 + ((sec.bytes[1] & 0x0Fu) << 8 | sec.bytes[2]);
        if (total > kMaxSection) {
            sec.active = false;
            return n;
        }
        const size_t take = std::min(n - used, total - sec.bytes.size());
        sec.bytes.insert(sec.bytes.end(), p + used, p + used + take);
        used += take;
        if (sec.bytes.size() == total) {
            sec.active = false;
            Table(pid, sec.bytes);
        }
        return used;
    }

    void Table(unsigned pid, const std::vector<uint8_t>& b) {
        // Long syntax, current, room for the fixed fields and the CRC, and a CRC that holds.
        if (b.size() < 12 || !(b[1] & 0x80) || !(b[5] & 1)) return;
        // As ffmpeg: a PID whose sections keep failing their CRC (ten in a row) has its
        // sections taken as they are, as a damaged capture's tables still name its streams.
        int8_t& trust = m_crcTrust[pid];
        if (Crc32(b.data(), b.size()) == 0) {
            trust = 100;
        } else {
            ++m_badCrc;
            if (trust > -10) {
                --trust;
                // ffmpeg reads a file's start twice (probing, then reading), counting on: a
                // PMT whose every section fails, six times or more, is taken in the end.
                if (b[0] == 0x02 && pid != 0 && trust < 0 && m_rejected.size() < 16 &&
                    std::none_of(m_rejected.begin(), m_rejected.end(), [pid](const auto& r) { return r.first == pid; }))
                    m_rejected.emplace_back(pid, b);
                return;
            }
            ++m_badCrcTaken;
        }
        if (b[0] == 0x00 && pid == 0) Pat(b);
        else if (b[0] == 0x02 && pid != 0) Pmt(pid, b);
    }

    // Programs are the union of the PAT's sections, forgotten when its version changes.
    void Pat(const std::vector<uint8_t>& b) {
        m_sawPat = true;
        const int version = b[5] >> 1 & 31;
        bool changed = false;
        if (version != m_patVersion) {
            changed = !m_programs.empty();
            m_programs.clear();
            m_patVersion = version;
        }
        for (size_t i = 8; i + 4 <= b.size() - 4; i += 4) {
            const unsigned number = static_cast<unsigned>(b[i]) << 8 | b[i + 1];
            const unsigned pmtPid = (b[i + 2] & 0x1Fu) << 8 | b[i + 3];
            if (!number) continue;  // the network PID
            auto it = std::find_if(m_programs.begin(), m_programs.end(),
                                   [&](const Program& p) { return p.number == number; });
            if (it != m_programs.end()) {
                if (it->pmtPid == pmtPid) continue;
                it->pmtPid = pmtPid;
                it->pids.clear();
                it->mapped = false;
            } else if (m_programs.size() < kMaxPrograms) {
                m_programs.push_back(Program{number, pmtPid, {}, false});
            } else {
                ++m_tooMany;
                continue;
            }
            changed = true;
        }
        if (changed) Remap(true);
    }

    void Pmt(unsigned pid, const std::vector<uint8_t>& b) {
        const unsigned number = static_cast<unsigned>(b[3]) << 8 | b[4];
        auto prog = std::find_if(m_programs.begin(), m_programs.end(),
                                 [&](const Program& p) { return p.number == number && p.pmtPid == pid; });
        if (prog == m_programs.end()) return;
        prog->mapped = true;
        std::vector<uint16_t> pids;
        const size_t end = b.size() - 4;
        size_t i = 12 + ((b[10] & 0x0Fu) << 8 | b[11]);
        // A Blu-ray program (registered as HDMV) carries an AC-3 core inside each TrueHD
        // stream, which ffmpeg lists as a stream of its own.
        bool hdmv = false;
        for (size_t d = 12; d + 2 <= std::min(i, end) && d + 2 + b[d + 1] <= std::min(i, end); d += 2 + b[d + 1])
            hdmv |= b[d] == 0x05 && b[d + 1] >= 4 && std::memcmp(&b[d + 2], "HDMV", 4) == 0;
        for (; i + 5 <= end; i += 5 + ((b[i + 3] & 0x0Fu) << 8 | b[i + 4])) {
            const uint8_t type = b[i];
            const unsigned es = (b[i + 1] & 0x1Fu) << 8 | b[i + 2];
            if (SectionStreamType(type) || es == 0 || es == kNullPid) continue;
            if (std::find(pids.begin(), pids.end(), es) != pids.end()) continue;
            if (pids.size() == kMaxProgramStreams) break;
            if (m_streamOf[es] < 0) {
                if (m_streams.size() == kMaxStreams) {
                    ++m_tooMany;
                    continue;
                }
                m_streamOf[es] = static_cast<int16_t>(m_streams.size());
                m_streams.emplace_back();
                Stream& s = m_streams.back();
                s.info.id = static_cast<int>(es);
                s.info.program = static_cast<int>(number);
                DescribeStreamType(type, s.info);
                Descriptors(b.data() + i + 5, std::min(end, i + 5 + ((b[i + 3] & 0x0Fu) << 8 | b[i + 4])) - (i + 5),
                            s.info);
                m_facts.streams.push_back(s.info);
                m_sink.OnStream(s.info);
                if (hdmv && type == 0x83) {
                    StreamInfo core;
                    core.id = static_cast<int>(es) | kCoreSubstream;
                    core.program = s.info.program;
                    core.kind = StreamKind::kAudio;
                    core.codec = EsCodec::kOther;
                    core.codecName = "ac3";
                    s.pes.SetCoreId(core.id);
                    m_facts.streams.push_back(core);
                    m_sink.OnStream(core);
                }
            } else {
                Stream& s = m_streams[static_cast<size_t>(m_streamOf[es])];
                if (s.guessed) {
                    // A table that comes after the stream's first packets still names it.
                    s.guessed = false;
                    s.info.program = static_cast<int>(number);
                    DescribeStreamType(type, s.info);
                    Descriptors(b.data() + i + 5,
                                std::min(end, i + 5 + ((b[i + 3] & 0x0Fu) << 8 | b[i + 4])) - (i + 5), s.info);
                    for (StreamInfo& f : m_facts.streams)
                        if (f.id == s.info.id) f = s.info;
                } else {
                    s.typeChanged |= s.info.streamType != type;
                }
            }
            Stream& named = m_streams[static_cast<size_t>(m_streamOf[es])];
            if (named.mapOrder < 0) named.mapOrder = m_mapCount++;
            pids.push_back(static_cast<uint16_t>(es));
        }
        if (pids != prog->pids) {
            prog->pids.swap(pids);
            Remap(false);
        }
    }

    // What ffmpeg takes from a stream's descriptors: its codec tag (the stream type, unless a
    // registration descriptor names a format) and its languages.
    static void Descriptors(const uint8_t* d, size_t n, StreamInfo& info) {
        info.codecTag = info.streamType;
        std::string languages;
        int opusChannels = 0;
        for (size_t i = 0; i + 2 <= n && i + 2 + d[i + 1] <= n; i += 2 + d[i + 1]) {
            const uint8_t tag = d[i], len = d[i + 1];
            const uint8_t* body = d + i + 2;
            if (tag == 0x05 && len >= 4) {
                info.codecTag = static_cast<uint32_t>(body[0]) | static_cast<uint32_t>(body[1]) << 8 |
                                static_cast<uint32_t>(body[2]) << 16 | static_cast<uint32_t>(body[3]) << 24;
            } else if (tag == 0x7F && len >= 2 && body[0] == 0x80) {
                // Opus's channel configuration, in a DVB extension descriptor.
                opusChannels = body[1] <= 8 ? body[1] : 0;
            } else if (tag == 0x0A && languages.empty()) {
                for (size_t k = 0; k + 4 <= len; k += 4) {
                    if (!languages.empty()) languages += ',';
                    languages.append(reinterpret_cast<const char*>(body + k), 3);
                    const uint8_t type = body[k + 3];
                    info.disposition |= type == 1 ? kCleanEffects : type == 2 ? kHearingImpaired : type == 3 ? kVisualImpaired : 0u;
                }
                // ffmpeg keeps the text up to its first NUL.
                languages.resize(std::min(languages.size(), languages.find('\0')));
            }
        }
        if (!languages.empty()) info.tags.push_back({"language", languages});
        if (info.streamType == 0x06 && info.codecTag == 0x7375704Fu) {  // "Opus"
            info.kind = StreamKind::kAudio;
            info.codec = EsCodec::kOther;
            info.codecName = "opus";
            info.sampleRate = 48000;
            info.channels = opusChannels;
        }
    }

    // Rebuilds which PID is what from the programs: PID 0 the PAT, then their PMTs, then
    // their streams (a PID named both ways is read as a PMT). The PMT sections are rebuilt
    // only when the PAT changed (never while one of them is being read); those being
    // collected survive when their PID stays a PMT PID.
    void Remap(bool tables) {
        for (uint16_t pid : m_mapped) m_role[pid] = 0;
        m_mapped.clear();
        if (tables) {
            std::vector<std::pair<unsigned, Section>> pmts;
            for (const Program& prog : m_programs) {
                const unsigned pid = prog.pmtPid;
                auto seen = [&](const auto& e) { return e.first == pid; };
                if (pid == 0 || pid == kNullPid || std::any_of(pmts.begin(), pmts.end(), seen)) continue;
                auto it = std::find_if(m_pmts.begin(), m_pmts.end(), seen);
                pmts.emplace_back(pid, it != m_pmts.end() ? std::move(it->second) : Section());
            }
            m_pmts.swap(pmts);
        }
        for (size_t k = 0; k < m_pmts.size(); ++k) {
            m_role[m_pmts[k].first] = static_cast<int16_t>(-2 - static_cast<int>(k));
            m_mapped.push_back(static_cast<uint16_t>(m_pmts[k].first));
        }
        for (Stream& s : m_streams) s.active = false;
        for (const Program& prog : m_programs)
            for (uint16_t pid : prog.pids) {
                const int idx = m_streamOf[pid];
                if (m_role[pid] || idx < 0) continue;
                m_role[pid] = static_cast<int16_t>(idx + 1);
                m_mapped.push_back(pid);
                m_streams[static_cast<size_t>(idx)].active = true;
            }
        // Streams found by their PES headers that no table names go on being read.
        for (size_t k = 0; k < m_streams.size(); ++k) {
            Stream& s = m_streams[k];
            const unsigned pid = static_cast<unsigned>(s.info.id);
            if (!s.guessed || m_role[pid]) continue;
            m_role[pid] = static_cast<int16_t>(k + 1);
            m_mapped.push_back(static_cast<uint16_t>(pid));
            s.active = true;
        }
        for (Stream& s : m_streams)
            if (!s.active) s.pes.Stop();
    }

    // A stream for a PID that begins a PES packet (stream_id id) while no table names it.
    bool Guess(unsigned pid, uint8_t id) {
        if (m_streamOf[pid] >= 0) return false;
        if (m_streams.size() == kMaxStreams) {
            ++m_tooMany;
            return false;
        }
        m_streamOf[pid] = static_cast<int16_t>(m_streams.size());
        m_streams.emplace_back();
        Stream& s = m_streams.back();
        s.info.id = static_cast<int>(pid);
        s.info.codec = EsCodec::kUnknown;
        s.info.kind = id >= 0xE0 ? StreamKind::kVideo : id >= 0xC0 ? StreamKind::kAudio : StreamKind::kData;
        s.guessed = s.active = true;
        m_role[pid] = static_cast<int16_t>(m_streams.size());
        m_mapped.push_back(static_cast<uint16_t>(pid));
        m_facts.streams.push_back(s.info);
        m_sink.OnStream(s.info);
        return true;
    }

    EsSink& m_sink;
    ContainerFacts m_facts;
    int64_t m_fed = 0;
    const size_t m_size, m_at, m_holdMax;  // packet size, sync byte's place in it, carry room
    std::vector<uint8_t> m_hold;
    int64_t m_offset = 0;       // file offset of the first byte Step has not used
    bool m_locked = false;
    int64_t m_searchFrom = 0;   // where the search for sync began
    uint64_t m_packets = 0;

    int16_t m_role[kPidCount];
    int16_t m_streamOf[kPidCount];
    int8_t m_cc[kPidCount];
    std::vector<uint16_t> m_mapped;  // PIDs with a role besides PID 0
    std::vector<Stream> m_streams;
    std::vector<Program> m_programs;
    Section m_pat;
    std::vector<std::pair<unsigned, Section>> m_pmts;
    int m_patVersion = -1;
    bool m_sawPat = false;
    uint64_t m_badCrc = 0, m_badCrcTaken = 0, m_tooMany = 0;
    bool m_pmtTakenBad = false;  // a PMT that never passed its CRC taken at the end
    int8_t m_crcTrust[kPidCount] = {};  // per PID: 100 after a good CRC, down to -10 after bad ones
    std::vector<std::pair<unsigned, std::vector<uint8_t>>> m_rejected;  // a PMT PID's first bad section
    int m_mapCount = 0;  // streams the program maps have named
    Problems m_problems;
};

}  // namespace

std::unique_ptr<Demuxer> MakeTsDemux(EsSink& sink, size_t packetSize) {
    return std::unique_ptr<Demuxer>(new TsDemux(sink, packetSize));
}

}  // namespace qvutil

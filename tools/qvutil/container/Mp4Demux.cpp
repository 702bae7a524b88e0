// ISO base media files (ISO/IEC 14496-12) and QuickTime movies: MP4, MOV, 3GP, M4V, M4A.
// The top-level boxes are walked in order; moov (the index) and each moof (a fragment's
// index) are read whole, every other box is passed over. The samples of the tracks the sink
// reads are then taken in file order, each from its chunk's offset: their first bytes only,
// as far as the sink wants them. A moov after its mdat sends the reader back to samples it
// has passed, which only a file allows.

#include "Pes.h"
#include "Rates.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>

namespace qvutil {

namespace {

constexpr uint32_t Four(const char (&s)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 8 | static_cast<uint8_t>(s[3]);
}

uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t Be32(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | Be16(p + 2); }
uint64_t Be64(const uint8_t* p) { return static_cast<uint64_t>(Be32(p)) << 32 | Be32(p + 4); }

// The largest index read whole: a moov (or moof) past this is refused, not allocated.
constexpr uint64_t kMaxIndex = uint64_t{1} << 30;
constexpr size_t kMaxTracks = 256;
// What one request for a sample's bytes asks: enough for the headers the sink reads.
constexpr size_t kSampleRead = 4096;
// Segment indexes remembered: ffmpeg stops at the first that reaches the file's end.
constexpr size_t kMaxIndexes = 1 << 16;
// The most samples a track run without per-sample fields may give.
constexpr uint32_t kMaxBareRun = 1 << 16;
// How many samples of a track are looked at for its earliest presentation time.
constexpr uint32_t kEarliestLook = 1 << 16;

std::string FourText(uint32_t t) {
    std::string s;
    for (int i = 3; i >= 0; --i) {
        const char c = static_cast<char>(t >> (8 * i));
        s += c >= 32 && c < 127 ? c : '?';
    }
    return s;
}

// A box inside a buffer: its type and body, bounded by its parent.
struct Box {
    uint32_t type = 0;
    const uint8_t* body = nullptr;
    size_t size = 0;  // of the body
};

// The child boxes of a body, one after another; a child whose size runs past the parent's
// end, or is too small for its own header, ends the walk (Broken tells).
class Children {
public:
    Children(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    bool Next(Box& b) {
        if (m_at + 8 > m_n) {
            m_broken |= m_at < m_n && m_n - m_at >= 1 && !AllZero();
            return false;
        }
        const uint8_t* h = m_p + m_at;
        uint64_t size = Be32(h);
        size_t header = 8;
        if (size == 1) {
            if (m_at + 16 > m_n) return m_broken = true, false;
            size = Be64(h + 8);
            header = 16;
        } else if (size == 0) {
            size = m_n - m_at;
        }
        if (size < header || size > m_n - m_at) {
            // QuickTime ends some lists with a 32-bit zero.
            m_broken |= !(Be32(h) == 0 && m_n - m_at == 4);
            return false;
        }
        b.type = Be32(h + 4);
        b.body = h + header;
        b.size = static_cast<size_t>(size) - header;
        m_at += static_cast<size_t>(size);
        return true;
    }
    bool Broken() const { return m_broken; }

private:
    bool AllZero() const {
        for (size_t i = m_at; i < m_n; ++i)
            if (m_p[i]) return false;
        return true;
    }
    const uint8_t* m_p;
    size_t m_n, m_at = 0;
    bool m_broken = false;
};

bool FindChild(const uint8_t* p, size_t n, uint32_t type, Box& out) {
    Children c(p, n);
    Box b;
    while (c.Next(b))
        if (b.type == type) return out = b, true;
    return false;
}

// A table of fixed-size entries after a full box's version, flags and entry count.
struct Table {
    const uint8_t* p = nullptr;
    uint32_t count = 0;
    size_t entry = 0;
    const uint8_t* At(uint32_t i) const { return p + static_cast<size_t>(i) * entry; }
};

// Takes the table of a full box: false (and nothing kept) when its count does not fit.
bool ReadTable(const Box& b, size_t entry, Table& t, size_t skip = 0) {
    if (b.size < 8 + skip) return false;
    const uint32_t count = Be32(b.body + 4 + skip);
    if (count > (b.size - 8 - skip) / entry) return false;
    t.p = b.body + 8 + skip;
    t.count = count;
    t.entry = entry;
    return true;
}

struct Edit {
    int64_t duration;    // movie time scale
    int64_t mediaTime;   // -1: an empty edit
};

// The defaults a fragment's samples take when their run does not give them (trex, tfhd).
struct Defaults {
    uint32_t descriptionIndex = 1, duration = 0, size = 0, flags = 0;
};

bool FragmentKey(uint32_t flags) {
    // sample_is_non_sync_sample, or depends on others (sample_depends_on 1).
    return !(flags & 0x10000) && ((flags >> 24) & 3) != 1;
}

struct FragSample {
    int64_t pos, size, dts, pts;
    uint32_t duration;
    bool key;
};

// Where each of a track's samples lies, and its times, read from the sample tables in
// decoding order without expanding them.
class Cursor {
public:
    void Init(const Table& stts, const Table& ctts, const Table& stss, bool allSync,
              const Table& stsz, uint32_t constSize, int stz2Bits, const Table& stsc, const Table& stco, bool co64,
              uint32_t count) {
        m_stts = stts, m_ctts = ctts, m_stss = stss, m_allSync = allSync;
        m_stsz = stsz, m_constSize = constSize, m_stz2Bits = stz2Bits, m_stsc = stsc, m_stco = stco, m_co64 = co64;
        m_count = count;
        m_chunk = 0;
        m_inChunk = 0;
        m_stscAt = 0;
        m_valid = m_stsc.count > 0 && m_stco.count > 0 && m_count > 0;
        if (m_valid) EnterChunk();
        LoadTimes();
    }
    bool Done() const { return !m_valid || m_index >= m_count; }
    int64_t Pos() const { return m_pos; }
    int64_t Size() const { return m_size; }
    int64_t Dts() const { return static_cast<int64_t>(m_dts); }
    int64_t Cts() const { return m_cts; }
    uint32_t Duration() const { return m_delta; }
    bool Key() const { return m_key; }
    uint32_t Index() const { return m_index; }
    // What went wrong, once: the tables end before the samples do.
    const char* Problem() const { return m_problem; }

    void Advance() {
        if (Done()) return;
        ++m_index;
        if (m_index >= m_count) return;
        m_pos = WrapAdd(m_pos, m_size);
        if (++m_inChunk >= m_perChunk) {
            ++m_chunk;
            m_inChunk = 0;
            EnterChunk();
        }
        // Time: stts and ctts run-length entries.
        if (m_sttsLeft > 0) --m_sttsLeft;
        m_dts += m_delta;  // unsigned: a damaged table wraps, it does not overflow
        if (m_cttsLeft > 0) --m_cttsLeft;
        LoadTimes();
    }

private:
    void EnterChunk() {
        // stsc: first_chunk (1-based), samples_per_chunk, description index. Empty chunks are
        // passed over.
        for (;; ++m_chunk) {
            if (m_chunk >= m_stco.count) {
                m_problem = "chunk offsets end before the samples do";
                m_valid = false;
                return;
            }
            while (m_stscAt + 1 < m_stsc.count && Be32(m_stsc.At(m_stscAt + 1)) <= m_chunk + 1) ++m_stscAt;
            m_perChunk = Be32(m_stsc.At(m_stscAt) + 4);
            if (m_perChunk) break;
        }
        m_pos = m_co64 ? static_cast<int64_t>(Be64(m_stco.At(m_chunk)) & 0x7FFFFFFFFFFFFFFFull)
                       : static_cast<int64_t>(Be32(m_stco.At(m_chunk)));
        LoadSize();
    }
    void LoadSize() {
        if (m_constSize) {
            m_size = m_constSize;
        } else if (m_index < m_stsz.count) {
            if (m_stz2Bits == 32) m_size = Be32(m_stsz.At(m_index));
            else if (m_stz2Bits == 16) m_size = Be16(m_stsz.p + 2 * static_cast<size_t>(m_index));
            else if (m_stz2Bits == 8) m_size = m_stsz.p[m_index];
            else m_size = (m_stsz.p[m_index / 2] >> (m_index % 2 ? 0 : 4)) & 15;
        } else {
            m_size = 0;
        }
    }
    void LoadTimes() {
        if (!m_valid) return;
        if (m_index > 0 && !Done()) LoadSize();
        while (m_sttsLeft == 0 && m_sttsAt < m_stts.count) {
            m_sttsLeft = Be32(m_stts.At(m_sttsAt));
            m_delta = Be32(m_stts.At(m_sttsAt) + 4);
            ++m_sttsAt;
        }
        while (m_cttsLeft == 0 && m_cttsAt < m_ctts.count) {
            m_cttsLeft = Be32(m_ctts.At(m_cttsAt));
            const uint32_t v = Be32(m_ctts.At(m_cttsAt) + 4);
            // Signed, whatever the box's version says (as ffmpeg reads it).
            m_cts = static_cast<int32_t>(v);
            ++m_cttsAt;
        }
        if (m_cttsLeft == 0 && m_cttsAt >= m_ctts.count) m_cts = 0;
        if (m_allSync) {
            m_key = true;
        } else {
            while (m_stssAt < m_stss.count && Be32(m_stss.At(m_stssAt)) < m_index + 1) ++m_stssAt;
            m_key = m_stssAt < m_stss.count && Be32(m_stss.At(m_stssAt)) == m_index + 1;
        }
    }

    Table m_stts, m_ctts, m_stss, m_stsz, m_stsc, m_stco;
    bool m_allSync = true, m_co64 = false, m_valid = false;
    uint32_t m_constSize = 0, m_count = 0, m_index = 0;
    int m_stz2Bits = 32;
    uint32_t m_chunk = 0, m_inChunk = 0, m_perChunk = 0, m_stscAt = 0;
    uint32_t m_sttsAt = 0, m_sttsLeft = 0, m_delta = 0, m_cttsAt = 0, m_cttsLeft = 0, m_stssAt = 0;
    int64_t m_pos = 0, m_size = 0, m_cts = 0;
    uint64_t m_dts = 0;
    bool m_key = false;
    const char* m_problem = nullptr;
};

struct Track {
    StreamInfo info;
    uint32_t trackId = 0;
    uint32_t handler = 0;
    uint32_t timescale = 0;
    int64_t mediaDuration = 0;
    uint32_t sampleCount = 0;
    std::vector<Edit> edits;
    // Time stamps as ffmpeg gives them: DTS lowered by the largest negative composition
    // offset, then both moved by the edits (and, for video, so that the first PTS is 0).
    int64_t dtsShift = 0;
    int64_t ptsOffset = 0, dtsOffset = 0;
    bool hasEdits = false;
    int64_t emptyEdits = 0;  // leading empty edits, in media time: where the track starts
    int64_t editEnd = 0;     // all edits, in media time
    Cursor cursor;
    bool wanted = false, ended = false;
    std::vector<uint32_t> chapterRefs, timecodeRefs;  // tref/chap, tref/tmcd: the tracks this one names
    // A timecode track: its rate, flags and frames a second; the first sample's frame
    // number, once read.
    uint32_t tmcdScale = 0, tmcdDuration = 0, tmcdFlags = 0, tmcdFrames = 0;
    bool timecodeRead = false;
    uint8_t timecode[4] = {};
    int timecodeHave = 0;
    Defaults trex;
    std::deque<FragSample> frag;  // samples of fragments read but not yet taken
    int64_t fragDts = 0;          // where the next fragment's samples begin without a tfdt
    int64_t fragShift = 0;
    int64_t fragOffset = 0;       // what the edits take off a fragment's decode times
    bool fragmented = false;
    // What the samples add up to, for the facts the index alone does not give.
    int64_t sttsTotal = 0, sttsSamples = 0, duration = 0;
    uint32_t sttsEntries = 0, firstDelta = 0, lastCount = 0;
    uint64_t dataBytes = 0;
    int64_t fragSamples = 0, fragDuration = 0, trackEnd = kNoTime, firstPts = kNoTime;
    FrameRateGuess rates;
    int64_t ratesFed = 0;
    // ffmpeg's view of a fragmented track: its duration as runs and segment indexes move
    // it, and what it knew when it stopped reading boxes at a complete index.
    int64_t stDuration = 0;
    bool hasSidx = false, frozen = false;
    uint64_t frozenBytes = 0;
    int64_t frozenSamples = 0, frozenDuration = 0, frozenSt = 0;
};

// Seconds since 1904 as ffmpeg prints creation_time; ffmpeg takes small values for Unix
// time. Empty for 0.
std::string IsoTime(uint64_t secs1904) {
    if (secs1904 == 0 || secs1904 > uint64_t{1} << 40) return std::string();
    int64_t t = static_cast<int64_t>(secs1904);
    if (t < 2082844800) t += 2082844800;
    return UtcText((t - 2082844800) * 1000000);
}

std::string Language(uint32_t packed) {
    // ISO 639-2/T in three 5-bit letters; QuickTime's Macintosh codes below 0x400.
    // QuickTime's Macintosh language codes, as ffmpeg names them; 0x7FFF: none given.
    static const char* const kMac[] = {"eng", "fra", "ger", "ita", "dut", "sve", "spa", "dan", "por",
                                       "nor", "heb", "jpn", "ara", "fin", "gre", "ice", "mlt", "tur"};
    if (packed < 0x400) return packed < sizeof kMac / sizeof kMac[0] ? kMac[packed] : std::string();
    if (packed == 0x7FFF) return std::string();
    std::string s;
    for (int i = 2; i >= 0; --i) s += static_cast<char>(((packed >> (5 * i)) & 31) + 0x60);
    for (char c : s)
        if (c < 'a' || c > 'z') return std::string();
    return s;
}

void SetTag(std::vector<Tag>& tags, const std::string& key, const std::string& value) {
    for (Tag& t : tags)
        if (t.key == key) return void(t.value = value);
    tags.push_back({key, value});
}

std::string Printable(const uint8_t* p, size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    const size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
}

class Mp4Demux final : public Demuxer {
public:
    explicit Mp4Demux(EsSink& sink) : m_sink(sink) {}

    Access Reads() const override { return Access::kAtOffsets; }
    const ContainerFacts& Facts() const override { return m_facts; }

    Want Next() const override {
        switch (m_state) {
        case kHeader: return {m_walk + static_cast<int64_t>(m_have), 16 - m_have};
        case kBody: return {m_boxStart + static_cast<int64_t>(m_bodyHeader + m_body.size()), m_bodyWant - m_body.size()};
        case kSample: return {m_samplePos + m_sampleDone, static_cast<size_t>(std::min<int64_t>(m_sampleLeft, kSampleRead))};
        case kDone: break;
        }
        return {0, 0};
    }

    void Feed(const uint8_t* p, size_t n) override {
        switch (m_state) {
        case kHeader: return Header(p, n);
        case kBody:
            m_body.insert(m_body.end(), p, p + n);
            if (m_body.size() == m_bodyWant) BodyDone();
            return;
        case kSample: return SampleBytes(p, n);
        case kDone: return;
        }
    }

    void End(int64_t size) override {
        if (!m_frozen) {
            m_frozen = true;
            Freeze(size);
        }
        switch (m_state) {
        case kHeader:
            if (m_have)
                m_problems.Add("%" PRIu64 " bytes at offset %" PRId64 " too few for a box header", static_cast<uint64_t>(m_have), m_walk);
            else if (m_walk > size && m_lastEnd != INT64_MAX)
                m_problems.Add("box '%s' at offset %" PRId64 " runs %" PRId64 " bytes past the end of the file",
                               FourText(m_lastType).c_str(), m_lastStart, m_walk - size);
            m_have = 0;
            return EndOfFile();
        case kBody:
            // A box sized to the end of the file ends here; any other was cut short.
            if (m_boxEnd == INT64_MAX) return BodyDone();
            m_problems.Add("%s box at offset %" PRId64 " cut short by the end of the file", FourText(m_boxType).c_str(),
                           m_boxStart);
            // What there is of an index is read: its tracks, and the samples it can place.
            BodyDone();
            return EndOfFile();
        case kSample:
            // Now the size is known, as it is for a file read at offsets.
            if (m_size < 0) m_size = size;
            return SamplePastEnd(true);
        case kDone: return;
        }
    }

    void Finish() override {
        if (m_state == kSample && m_sampleLeft > 0) SamplePastEnd(false);
        if (!m_sawMoov && !m_problemsFinal) m_problems.Add("no moov box: the file has no index of its samples");
        m_problemsFinal = true;
        for (Track& t : m_tracks) {
            if (t.cursor.Problem() && m_problems.Room())
                m_problems.Add("track %u: %s", t.trackId, t.cursor.Problem());
            Describe(t);
        }
        Timecodes();
        FormatTiming();
        m_facts.streams.clear();
        for (const Track& t : m_tracks) m_facts.streams.push_back(t.info);
        m_state = kDone;
    }

    std::string Warnings() const override {
        std::string out = m_problems.Text();
        if (m_pastEnd > 1)
            Problems::Append(out, "%" PRIu64 " samples outside the file in all", m_pastEnd);
        return out;
    }

private:
    enum State { kHeader, kBody, kSample, kDone };

    // --- The top-level walk ------------------------------------------------------------

    void Header(const uint8_t* p, size_t n) {
        const size_t take = std::min(n, 16 - m_have);
        std::memcpy(m_hdr + m_have, p, take);
        m_have += take;
        if (m_have < 8) return;
        uint64_t size = Be32(m_hdr);
        const uint32_t type = Be32(m_hdr + 4);
        size_t header = 8;
        if (size == 1) {
            if (m_have < 16) return;
            size = Be64(m_hdr + 8);
            header = 16;
        }
        m_have = 0;
        const bool toEnd = size == 0;
        if (!toEnd && size < header) {
            m_problems.Add("box '%s' at offset %" PRId64 " has size %" PRIu64 ": nothing after it is read",
                           FourText(type).c_str(), m_walk, size);
            return EndOfFile();
        }
        const int64_t start = m_walk;
        const int64_t end = toEnd || size > static_cast<uint64_t>(INT64_MAX - start) ? INT64_MAX
                                                                                     : start + static_cast<int64_t>(size);
        m_lastType = type, m_lastStart = start, m_lastEnd = end;
        ++m_topBoxes;
        switch (type) {
        case Four("moov"):
        case Four("moof"):
        case Four("ftyp"):
        case Four("styp"):
        case Four("sidx"):
        case Four("meta"): {
            const uint64_t limit = type == Four("moov") || type == Four("moof") ? kMaxIndex : uint64_t{1} << 20;
            const uint64_t body = toEnd ? limit : size - header;
            if (body > limit) {
                m_problems.Add("%s box at offset %" PRId64 ": %" PRIu64 " bytes, too large to read", FourText(type).c_str(),
                               start, body);
                break;
            }
            m_boxType = type;
            m_boxStart = start;
            m_boxEnd = end;
            m_bodyHeader = header;
            m_bodyWant = static_cast<size_t>(body);
            m_body.clear();
            m_walk = end;
            m_state = kBody;
            if (!m_bodyWant) BodyDone();
            return;
        }
        case Four("mfra"):
            m_mfraSize = toEnd ? -1 : static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX));
            break;
        case Four("mdat"):
            // The samples that lie in it, in file order, before the walk goes past it.
            m_walk = end;
            m_limit = end;
            m_sawMdat = true;
            RootDone();
            return NextSample();
        default:
            break;
        }
        RootDone();
        m_walk = end;
        if (end == INT64_MAX) EndOfFile();
    }

    void BodyDone() {
        m_state = kHeader;
        const uint8_t* b = m_body.data();
        const size_t n = m_body.size();
        switch (m_boxType) {
        case Four("moov"):
            // The sample tables are read from it as the samples go by: it stays.
            if (!m_sawMoov) {
                m_moov.swap(m_body);
                Moov(m_moov.data(), m_moov.size());
            } else {
                m_problems.Add("a second moov box at offset %" PRId64 ", ignored", m_boxStart);
            }
            break;
        case Four("moof"): Moof(b, n, m_boxStart); break;
        case Four("ftyp"):
            if (!m_sawFtyp) Ftyp(b, n);
            break;
        case Four("meta"): {
            Box box;
            box.type = m_boxType, box.body = b, box.size = n;
            Meta(box, m_facts.tags);
            break;
        }
        case Four("sidx"): Sidx(b, n, m_boxEnd); break;
        default: break;
        }
        RootDone();
        std::vector<uint8_t>().swap(m_body);
        if (m_walk == INT64_MAX) EndOfFile();
    }

    // The walk has reached the end of the file: the samples not yet taken (a moov after its
    // mdat) are read now, wherever they lie.
    void EndOfFile() {
        m_walkDone = true;
        m_limit = INT64_MAX;
        NextSample();
    }

    void SetSize(int64_t size) override { m_size = size; }

    // A segment index: the duration it gives its track, and whether it reaches the file's
    // end, which is where ffmpeg stops reading the file's boxes before its packets.
    void Sidx(const uint8_t* b, size_t n, int64_t end) {
        if (n < 24 || b[0] > 1) return;
        const bool v1 = b[0] == 1;
        Track* t = TrackById(Be32(b + 4));
        const uint32_t scale = Be32(b + 8);
        if (!t || !scale || n < (v1 ? 32u : 24u)) return;
        uint64_t pts = v1 ? Be64(b + 12) : Be32(b + 12);
        uint64_t offset = static_cast<uint64_t>(end) + (v1 ? Be64(b + 20) : Be32(b + 16));
        const size_t at = v1 ? 28 : 20;
        const uint32_t count = Be16(b + at + 2);
        if (!count || at + 4 + size_t{count} * 12 > n) return;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* r = b + at + 4 + size_t{i} * 12;
            if (Be32(r) & 0x80000000u) return;  // a reference to another index
            offset += Be32(r);
            pts += Be32(r + 4);
        }
        t->stDuration = static_cast<int64_t>(std::min<uint64_t>(pts, INT64_MAX));
        t->hasSidx = true;
        if (m_ends.size() < kMaxIndexes) m_ends.push_back(offset);
    }

    // After each top-level box: where ffmpeg would stop reading boxes if one of the indexes
    // met since the last stop reaches the file's end, and what it would know of each track
    // there. Whether one does is known at the end (the file's size, its closing mfra box).
    void RootDone() {
        if (!m_sawMoov || !m_sawMdat || m_ends.empty() || m_stops.size() >= kMaxIndexes) return;
        Stop stop;
        stop.ends.swap(m_ends);
        for (const Track& t : m_tracks)
            stop.tracks.push_back({t.dataBytes, t.fragSamples, t.fragDuration, t.stDuration, t.hasSidx});
        m_stops.push_back(std::move(stop));
    }

    // The first stop whose index reaches the end fixes a fragmented track's bit rate and
    // average frame rate as ffmpeg fixes them there; tracks without an index of their own
    // take the first indexed track's duration.
    void Freeze(int64_t size) {
        const uint64_t end = static_cast<uint64_t>(size);
        for (const Stop& stop : m_stops) {
            bool reaches = false;
            for (uint64_t e : stop.ends) reaches |= e == end || (m_mfraSize > 0 && e + static_cast<uint64_t>(m_mfraSize) == end);
            if (!reaches) continue;
            const Snapshot* ref = nullptr;
            const Track* refTrack = nullptr;
            for (size_t k = 0; k < m_tracks.size() && k < stop.tracks.size(); ++k)
                if (stop.tracks[k].hasSidx && !ref) ref = &stop.tracks[k], refTrack = &m_tracks[k];
            for (size_t k = 0; k < m_tracks.size() && k < stop.tracks.size(); ++k) {
                Track& t = m_tracks[k];
                const Snapshot& snap = stop.tracks[k];
                int64_t st = snap.st;
                if (!snap.hasSidx && ref && refTrack->timescale)
                    st = ToInt64(static_cast<double>(ref->st) * t.timescale / refTrack->timescale + 0.5);
                t.frozen = true;
                t.frozenBytes = snap.bytes;
                t.frozenSamples = snap.samples;
                t.frozenDuration = snap.duration;
                t.frozenSt = st;
                t.stDuration = std::max(t.stDuration, st);
            }
            return;
        }
    }

    void Ftyp(const uint8_t* b, size_t n) {
        if (n < 8) return;
        m_sawFtyp = true;
        SetTag(m_facts.tags, "major_brand", Printable(b, 4));
        SetTag(m_facts.tags, "minor_version", std::to_string(Be32(b + 4)));
        std::string brands;
        for (size_t i = 8; i + 4 <= n; i += 4) brands += Printable(b + i, 4);
        SetTag(m_facts.tags, "compatible_brands", brands);
    }

    // --- moov -------------------------------------------------------------------------

    void Moov(const uint8_t* b, size_t n) {
        m_sawMoov = true;
        Children c(b, n);
        Box box;
        while (c.Next(box)) {
            switch (box.type) {
            case Four("mvhd"): Mvhd(box); break;
            case Four("trak"):
                if (m_tracks.size() < kMaxTracks) Trak(box);
                else m_problems.Add("more than %" PRIu64 " tracks: the rest are not read", static_cast<uint64_t>(kMaxTracks));
                break;
            case Four("mvex"): Mvex(box); break;
            case Four("udta"): Udta(box, m_facts.tags); break;
            case Four("meta"): Meta(box, m_facts.tags); break;
            default: break;
            }
        }
        if (c.Broken()) m_problems.Add("moov box at offset %" PRId64 ": a box inside it is broken", m_boxStart);
        // QuickTime chapters: a text track another names; ffmpeg reads it as data.
        for (const Track& from : m_tracks)
            for (uint32_t id : from.chapterRefs)
                for (Track& t : m_tracks)
                    if (t.trackId == id && &t != &from && t.info.codecName == "mov_text") {
                        t.info.kind = StreamKind::kData;
                        t.info.codecName = "bin_data";
                    }
        for (Track& t : m_tracks) {
            Prepare(t);
            m_facts.streams.push_back(t.info);
            t.wanted = m_sink.OnStream(t.info);
        }
    }

    void Mvhd(const Box& b) {
        if (b.size < 20) return;
        const bool v1 = b.body[0] == 1;
        if (v1 && b.size < 32) return;
        const uint64_t created = v1 ? Be64(b.body + 4) : Be32(b.body + 4);
        m_movieScale = Be32(b.body + (v1 ? 20 : 12));
        m_movieDuration = static_cast<int64_t>(v1 ? Be64(b.body + 24) & 0x7FFFFFFFFFFFFFFFull : Be32(b.body + 16));
        const std::string when = IsoTime(created);
        if (!when.empty()) SetTag(m_facts.tags, "creation_time", when);
        if (m_movieScale && m_movieDuration > 0 && !m_fragmented)
            m_facts.durationUs = RoundTime(static_cast<double>(m_movieDuration) * 1e6 / m_movieScale);
        const size_t at = v1 ? 48 : 36;
        if (b.size >= at + 36)
            for (int i = 0; i < 9; ++i) m_movieMatrix[i] = static_cast<int32_t>(Be32(b.body + at + 4 * static_cast<size_t>(i)));
    }

    // The track's transform after the movie's, as ffmpeg composes them; kept where it is not
    // the identity.
    void TrackMatrix(const uint8_t* m, Track& t) {
        int64_t res[9] = {};
        static const int kShift[3] = {16, 16, 30};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                for (int e = 0; e < 3; ++e)
                    res[i * 3 + j] += (int64_t{static_cast<int32_t>(Be32(m + 4 * (i * 3 + e)))} * m_movieMatrix[e * 3 + j]) >> kShift[e];
        const bool identity = res[0] == 65536 && res[4] == 65536 && res[8] == (int64_t{1} << 30) && !res[1] && !res[2] &&
                              !res[3] && !res[5] && !res[6] && !res[7];
        t.info.displayMatrix = !identity;
        for (int i = 0; i < 9; ++i) t.info.matrix3x3[i] = static_cast<int32_t>(res[i]);
    }

    void Mvex(const Box& b) {
        Children c(b.body, b.size);
        Box box;
        while (c.Next(box)) {
            if (box.type == Four("trex") && box.size >= 24) {
                // A fragmented file: its movie header's duration covers the moov alone.
                m_fragmented = true;
                m_facts.durationUs = kNoTime;
                const uint32_t id = Be32(box.body + 4);
                for (Track& t : m_tracks)
                    if (t.trackId == id) {
                        t.fragmented = true;
                        t.trex = {Be32(box.body + 8), Be32(box.body + 12), Be32(box.body + 16), Be32(box.body + 20)};
                    }
            }
        }
    }

    // Metadata in udta: QuickTime's (c)xyz text atoms and an iTunes-style meta/ilst.
    void Udta(const Box& b, std::vector<Tag>& tags) {
        Children c(b.body, b.size);
        Box box;
        while (c.Next(box)) {
            if (box.type == Four("meta")) {
                Meta(box, tags);
            } else if ((box.type >> 24) == 0xA9 && box.size >= 4) {
                const size_t len = Be16(box.body);
                if (len && 4 + len <= box.size) AddItunesTag(tags, box.type, Printable(box.body + 4, len));
            }
        }
    }

    void Meta(const Box& b, std::vector<Tag>& tags) {
        // ISO meta is a full box; QuickTime's is not.
        const uint8_t* p = b.body;
        size_t n = b.size;
        if (n >= 8 && Be32(p + 4) != Four("hdlr")) p += 4, n -= 4;
        // QuickTime metadata (phones, -movflags use_metadata_tags): the items are numbered,
        // their names listed in a keys box.
        std::vector<std::string> keys;
        Box keysBox;
        if (FindChild(p, n, Four("keys"), keysBox) && keysBox.size >= 8) {
            const uint32_t count = Be32(keysBox.body + 4);
            for (size_t at = 8; keys.size() < count && keys.size() < 1024 && at + 8 <= keysBox.size;) {
                const size_t size = Be32(keysBox.body + at);
                if (size < 8 || size > keysBox.size - at) break;
                keys.push_back(Printable(keysBox.body + at + 8, size - 8));
                at += size;
            }
        }
        Box ilst;
        if (!FindChild(p, n, Four("ilst"), ilst)) return;
        Children c(ilst.body, ilst.size);
        Box item;
        while (c.Next(item)) {
            Box data;
            if (!FindChild(item.body, item.size, Four("data"), data) || data.size < 8) continue;
            const uint32_t type = Be32(data.body) & 0xFFFFFF;
            const uint8_t* v = data.body + 8;
            const size_t len = data.size - 8;
            std::string value;
            if (type == 1 || type == 4) {
                value = Printable(v, len);
            } else if ((type == 21 || type == 22) && len >= 1 && len <= 4) {
                // Big-endian integers of 1 to 4 bytes, as ffmpeg prints them.
                uint32_t u = 0;
                for (size_t i = 0; i < len; ++i) u = u << 8 | v[i];
                const int shift = static_cast<int>(32 - 8 * len);
                value = type == 22 ? std::to_string(u)
                                   : std::to_string(static_cast<int32_t>(u << shift) >> shift);
            } else if (type == 23 && len >= 4) {
                const uint32_t bits = Be32(v);
                float f;
                std::memcpy(&f, &bits, 4);
                char text[64];
                std::snprintf(text, sizeof text, "%f", static_cast<double>(f));
                value = text;
            } else {
                continue;  // pictures and other binary data
            }
            if (!keys.empty()) {
                if (item.type >= 1 && item.type <= keys.size()) SetTag(tags, keys[item.type - 1], value);
            } else if (type == 1) {
                AddItunesTag(tags, item.type, value);
            }
        }
    }

    static void AddItunesTag(std::vector<Tag>& tags, uint32_t type, const std::string& value) {
        static const struct {
            uint32_t type;
            const char* key;
        } kKeys[] = {{0xA9746F6Fu, "encoder"}, {0xA96E616Du, "title"}, {0xA9415254u, "artist"},
                     {0xA9616C62u, "album"}, {0xA9646179u, "date"}, {0xA9636D74u, "comment"},
                     {0xA967656Eu, "genre"}, {0xA9777274u, "composer"}, {Four("desc"), "description"},
                     {0xA9737772u, "encoder"}, {Four("cprt"), "copyright"}, {0xA9637079u, "copyright"}};
        for (const auto& k : kKeys)
            if (k.type == type) return SetTag(tags, k.key, value);
    }

    void Trak(const Box& trak) {
        Track t;
        Box tkhd, mdia, edts;
        if (FindChild(trak.body, trak.size, Four("tkhd"), tkhd) && tkhd.size >= 24) {
            const bool v1 = tkhd.body[0] == 1;
            t.trackId = Be32(tkhd.body + (v1 ? 20 : 12));
            if (tkhd.body[3] & 1) t.info.disposition |= kDefaultTrack;  // enabled
            const size_t at = v1 ? 52 : 40;
            if (tkhd.size >= at + 36) TrackMatrix(tkhd.body + at, t);
        }
        if (FindChild(trak.body, trak.size, Four("edts"), edts)) Edits(edts, t);
        Box tref;
        if (FindChild(trak.body, trak.size, Four("tref"), tref)) {
            Children refs(tref.body, tref.size);
            Box r;
            while (refs.Next(r)) {
                std::vector<uint32_t>* to = r.type == Four("chap") ? &t.chapterRefs : r.type == Four("tmcd") ? &t.timecodeRefs : nullptr;
                for (size_t i = 0; to && i + 4 <= r.size && to->size() < 64; i += 4) to->push_back(Be32(r.body + i));
            }
        }
        if (!FindChild(trak.body, trak.size, Four("mdia"), mdia)) {
            m_problems.Add("track %u has no mdia box", t.trackId);
            return;
        }
        t.info.id = static_cast<int>(t.trackId);
        Children c(mdia.body, mdia.size);
        Box box, minf;
        bool haveMinf = false;
        while (c.Next(box)) {
            if (box.type == Four("mdhd") && box.size >= 20) {
                const bool v1 = box.body[0] == 1;
                if (v1 && box.size < 32) continue;
                const uint64_t created = v1 ? Be64(box.body + 4) : Be32(box.body + 4);
                t.timescale = Be32(box.body + (v1 ? 20 : 12));
                t.mediaDuration = static_cast<int64_t>(v1 ? Be64(box.body + 24) & 0x7FFFFFFFFFFFFFFFull : Be32(box.body + 16));
                if (t.mediaDuration == (v1 ? 0x7FFFFFFFFFFFFFFFll : 0xFFFFFFFFll)) t.mediaDuration = 0;
                const std::string lang = Language(Be16(box.body + (v1 ? 32 : 20)) & 0x7FFF);
                if (box.size >= (v1 ? 34u : 22u) && !lang.empty()) SetTag(t.info.tags, "language", lang);
                const std::string when = IsoTime(created);
                if (!when.empty()) SetTag(t.info.tags, "creation_time", when);
            } else if (box.type == Four("hdlr") && box.size >= 24) {
                t.handler = Be32(box.body + 8);
                // A C string in ISO files, a counted string in QuickTime's.
                const uint8_t* name = box.body + 24;
                size_t len = box.size - 24;
                if (len && name[0] == len - 1) ++name, --len;
                const std::string text = Printable(name, len);
                if (!text.empty()) SetTag(t.info.tags, "handler_name", text);
            } else if (box.type == Four("minf")) {
                minf = box;
                haveMinf = true;
            }
        }
        switch (t.handler) {
        case Four("vide"): t.info.kind = StreamKind::kVideo; break;
        case Four("soun"): t.info.kind = StreamKind::kAudio; break;
        case Four("subt"): case Four("sbtl"): case Four("text"): case Four("clcp"): case Four("subp"):
            t.info.kind = StreamKind::kSubtitle;
            break;
        default: t.info.kind = StreamKind::kData; break;
        }
        if (!t.timescale) {
            m_problems.Add("track %u: media time scale 0", t.trackId);
            t.timescale = 1;
        }
        t.info.timeBase = {1, t.timescale};
        t.rates.SetTimeBase(t.info.timeBase);
        Box stbl;
        if (haveMinf && FindChild(minf.body, minf.size, Four("stbl"), stbl)) Stbl(stbl, t);
        m_tracks.push_back(std::move(t));
    }

    void Edits(const Box& edts, Track& t) {
        Box elst;
        if (!FindChild(edts.body, edts.size, Four("elst"), elst) || elst.size < 8) return;
        const bool v1 = elst.body[0] == 1;
        Table tab;
        if (!ReadTable(elst, v1 ? 20 : 12, tab)) return;
        for (uint32_t i = 0; i < tab.count && i < 1024; ++i) {
            const uint8_t* e = tab.At(i);
            Edit ed;
            ed.duration = static_cast<int64_t>(v1 ? Be64(e) & 0x7FFFFFFFFFFFFFFFull : Be32(e));
            ed.mediaTime = v1 ? static_cast<int64_t>(Be64(e + 8)) : static_cast<int32_t>(Be32(e + 4));
            t.edits.push_back(ed);
        }
    }

    void Stbl(const Box& stbl, Track& t) {
        Children c(stbl.body, stbl.size);
        Box box;
        Table stts, ctts, stss, stsz, stsc, stco;
        bool allSync = true, co64 = false;
        uint32_t constSize = 0, count = 0;
        int stz2Bits = 32;
        while (c.Next(box)) {
            switch (box.type) {
            case Four("stsd"): Stsd(box, t); break;
            case Four("stts"):
                if (!ReadTable(box, 8, stts)) m_problems.Add("track %u: broken stts", t.trackId);
                break;
            case Four("ctts"):
                if (!ReadTable(box, 8, ctts)) m_problems.Add("track %u: broken ctts", t.trackId);
                break;
            case Four("stss"):
                allSync = false;
                if (!ReadTable(box, 4, stss)) m_problems.Add("track %u: broken stss", t.trackId);
                break;
            case Four("stsz"):
                if (box.size >= 12) {
                    constSize = Be32(box.body + 4);
                    count = Be32(box.body + 8);
                    if (!constSize && !ReadTable(box, 4, stsz, 4)) {
                        m_problems.Add("track %u: broken stsz", t.trackId);
                        count = 0;
                    }
                }
                break;
            case Four("stz2"):
                if (box.size >= 12) {
                    stz2Bits = box.body[7];
                    count = Be32(box.body + 8);
                    const uint64_t bytes = (uint64_t{count} * static_cast<uint64_t>(stz2Bits) + 7) / 8;
                    if ((stz2Bits != 4 && stz2Bits != 8 && stz2Bits != 16) || bytes > box.size - 12) {
                        m_problems.Add("track %u: broken stz2", t.trackId);
                        count = 0;
                    } else {
                        stsz.p = box.body + 12;
                        stsz.count = count;
                    }
                }
                break;
            case Four("stsc"):
                if (!ReadTable(box, 12, stsc)) m_problems.Add("track %u: broken stsc", t.trackId);
                break;
            case Four("stco"):
                if (!ReadTable(box, 4, stco)) m_problems.Add("track %u: broken stco", t.trackId);
                break;
            case Four("co64"):
                co64 = true;
                if (!ReadTable(box, 8, stco)) m_problems.Add("track %u: broken co64", t.trackId);
                break;
            default: break;
            }
        }
        if (!constSize && stsz.count < count) count = stsz.count;
        t.sampleCount = count;
        uint64_t total = 0;
        for (uint32_t i = 0; i < stts.count; ++i) {
            const uint32_t n = Be32(stts.At(i)), d = Be32(stts.At(i) + 4);
            if (i == 0) t.firstDelta = d;
            t.lastCount = n;
            t.sttsSamples += n;
            total += uint64_t{n} * d;
        }
        t.sttsTotal = static_cast<int64_t>(std::min<uint64_t>(total, INT64_MAX));
        t.sttsEntries = stts.count;
        // ffmpeg lowers every DTS by the largest negative composition offset (of all entries
        // but the last two).
        for (uint32_t i = 0; i + 2 < ctts.count; ++i) {
            const int64_t offset = static_cast<int32_t>(Be32(ctts.At(i) + 4));
            if (offset < 0 && offset != INT32_MIN) t.dtsShift = std::max(t.dtsShift, -offset);
        }
        if (constSize) {
            t.dataBytes = uint64_t{constSize} * count;
        } else {
            for (uint32_t i = 0; i < count; ++i) {
                if (stz2Bits == 32) t.dataBytes += Be32(stsz.At(i));
                else if (stz2Bits == 16) t.dataBytes += Be16(stsz.p + 2 * static_cast<size_t>(i));
                else if (stz2Bits == 8) t.dataBytes += stsz.p[i];
                else t.dataBytes += (stsz.p[i / 2] >> (i % 2 ? 0 : 4)) & 15;
            }
        }
        t.cursor.Init(stts, ctts, stss, allSync, stsz, constSize, stz2Bits, stsc, stco, co64, count);
    }

    // The first sample description: the codec, and what the container says of the stream.
    void Stsd(const Box& b, Track& t) {
        if (b.size < 8 || Be32(b.body + 4) == 0) return;
        Children c(b.body + 8, b.size - 8);
        Box e;
        if (!c.Next(e)) return;
        const uint32_t f = e.type;
        t.info.codecTag = (f >> 24) | (f >> 8 & 0xFF00) | (f << 8 & 0xFF0000) | (f << 24);
        // SampleEntry: 6 reserved bytes, data_reference_index.
        if (t.info.kind == StreamKind::kVideo && e.size >= 78) VisualEntry(e, t);
        else if (t.info.kind == StreamKind::kAudio && e.size >= 28) AudioEntry(e, t);
        else OtherEntry(e, t);
    }

    void VisualEntry(const Box& e, Track& t) {
        StreamInfo& s = t.info;
        s.width = static_cast<int>(Be16(e.body + 24));
        s.height = static_cast<int>(Be16(e.body + 26));
        // QuickTime's vendor, and the compressor name: a counted string in 32 bytes.
        const uint32_t vendor = Be32(e.body + 12);
        SetTag(s.tags, "vendor_id", VendorText(vendor));
        const size_t nameLen = std::min<size_t>(e.body[42], 31);
        const std::string name = Printable(e.body + 43, nameLen);
        if (!name.empty()) SetTag(s.tags, "encoder", name);
        const uint8_t* ext = e.body + 78;
        const size_t extLen = e.size - 78;
        Box box;
        switch (e.type) {
        case Four("avc1"): case Four("avc3"): case Four("avc2"): case Four("avc4"):
            s.codec = EsCodec::kH264, s.codecName = "h264";
            if (FindChild(ext, extLen, Four("avcC"), box)) s.config.assign(box.body, box.body + box.size);
            s.nalLengthSize = 4;
            break;
        case Four("hvc1"): case Four("hev1"): case Four("dvh1"): case Four("dvhe"):
            s.codec = EsCodec::kH265, s.codecName = "hevc";
            if (FindChild(ext, extLen, Four("hvcC"), box)) s.config.assign(box.body, box.body + box.size);
            s.nalLengthSize = 4;
            break;
        case Four("vp09"):
            s.codec = EsCodec::kVp9, s.codecName = "vp9";
            if (FindChild(ext, extLen, Four("vpcC"), box)) s.config.assign(box.body, box.body + box.size);
            break;
        case Four("av01"):
            s.codec = EsCodec::kAv1, s.codecName = "av1";
            if (FindChild(ext, extLen, Four("av1C"), box)) s.config.assign(box.body, box.body + box.size);
            break;
        case Four("mp4v"): {
            const int oti = FindChild(ext, extLen, Four("esds"), box) ? EsdsObjectType(box) : -1;
            if (oti >= 0x60 && oti <= 0x65) s.codec = EsCodec::kMpeg2Video, s.codecName = "mpeg2video";
            else if (oti == 0x6A) s.codec = EsCodec::kMpeg1Video, s.codecName = "mpeg1video";
            else if (oti == 0x6C) s.codec = EsCodec::kOther, s.codecName = "mjpeg";
            else if (oti == 0x21) s.codec = EsCodec::kOther, s.codecName = "h264";
            else s.codec = EsCodec::kOther, s.codecName = "mpeg4";
            break;
        }
        default:
            s.codec = EsCodec::kOther;
            s.codecName = VideoCodecName(e.type);
            // QuickTime's own names of MPEG-1/2 video and of H.264 variants.
            if (s.codecName == "mpeg2video") s.codec = EsCodec::kMpeg2Video;
            else if (s.codecName == "mpeg1video") s.codec = EsCodec::kMpeg1Video;
            else if (s.codecName == "h264" && FindChild(ext, extLen, Four("avcC"), box)) {
                s.codec = EsCodec::kH264;
                s.config.assign(box.body, box.body + box.size);
                s.nalLengthSize = 4;
            }
            break;
        }
        // Container facts: pixel aspect, colour, fields.
        if (FindChild(ext, extLen, Four("pasp"), box) && box.size >= 8) {
            s.sarNum = Be32(box.body);
            s.sarDen = Be32(box.body + 4);
        }
        if (FindChild(ext, extLen, Four("colr"), box) && box.size >= 10) {
            const uint32_t kind = Be32(box.body);
            if (kind == Four("nclx") || kind == Four("nclc")) {
                s.colourPrimaries = static_cast<int>(Be16(box.body + 4));
                s.transfer = static_cast<int>(Be16(box.body + 6));
                s.matrix = static_cast<int>(Be16(box.body + 8));
                if (kind == Four("nclx") && box.size >= 11) s.colourRange = box.body[10] >> 7;
            }
        }
        if (FindChild(ext, extLen, Four("fiel"), box) && box.size >= 2) {
            const int fields = box.body[0], order = box.body[1];
            if (fields == 1) s.fieldOrder = "progressive";
            else if (fields == 2)
                s.fieldOrder = order == 1 ? "tt" : order == 6 ? "bb" : order == 9 ? "tb" : order == 14 ? "bt" : "";
        }
    }

    static std::string VendorText(uint32_t v) {
        std::string s;
        for (int i = 3; i >= 0; --i) {
            const uint8_t c = static_cast<uint8_t>(v >> (8 * i));
            if (c >= 32 && c < 127) s += static_cast<char>(c);
            else s += "[" + std::to_string(c) + "]";
        }
        return s;
    }

    static std::string VideoCodecName(uint32_t f) {
        static const struct {
            uint32_t tag;
            const char* name;
        } kNames[] = {
            {Four("jpeg"), "mjpeg"}, {Four("mjpa"), "mjpeg"}, {Four("mjpb"), "mjpegb"}, {Four("apch"), "prores"},
            {Four("apcn"), "prores"}, {Four("apcs"), "prores"}, {Four("apco"), "prores"}, {Four("ap4h"), "prores"},
            {Four("ap4x"), "prores"}, {Four("s263"), "h263"}, {Four("h263"), "h263"}, {Four("H263"), "h263"},
            {Four("vvc1"), "vvc"}, {Four("vvi1"), "vvc"}, {Four("vp08"), "vp8"}, {Four("raw "), "rawvideo"},
            {Four("png "), "png"}, {Four("mp4v"), "mpeg4"}, {Four("SVQ3"), "svq3"}, {Four("SVQ1"), "svq1"},
            {Four("cvid"), "cinepak"}, {Four("dvc "), "dvvideo"}, {Four("dvcp"), "dvvideo"}, {Four("dv5p"), "dvvideo"},
            {Four("dvh5"), "dvvideo"}, {Four("dvh6"), "dvvideo"}, {Four("AVdn"), "dnxhd"}, {Four("AVdh"), "dnxhd"},
            {Four("rle "), "qtrle"}, {Four("Hap1"), "hap"}, {Four("dvav"), "h264"}, {Four("dva1"), "h264"},
            {Four("AVin"), "h264"}, {Four("ai5p"), "h264"}, {Four("ai5q"), "h264"}, {Four("ai52"), "h264"},
            {Four("ai53"), "h264"}, {Four("ai55"), "h264"}, {Four("ai56"), "h264"}, {Four("ai1p"), "h264"},
            {Four("ai1q"), "h264"}, {Four("ai12"), "h264"}, {Four("ai13"), "h264"}, {Four("ai15"), "h264"},
            {Four("ai16"), "h264"}, {Four("aivx"), "h264"},
            {Four("m1v "), "mpeg1video"}, {Four("m1v1"), "mpeg1video"}, {Four("mpeg"), "mpeg1video"},
            {Four("mp1v"), "mpeg1video"}, {Four("m2v1"), "mpeg2video"}, {Four("mp2v"), "mpeg2video"},
            {Four("hdv1"), "mpeg2video"}, {Four("hdv2"), "mpeg2video"}, {Four("hdv3"), "mpeg2video"},
            {Four("hdv4"), "mpeg2video"}, {Four("hdv5"), "mpeg2video"}, {Four("hdv6"), "mpeg2video"},
            {Four("hdv7"), "mpeg2video"}, {Four("hdv8"), "mpeg2video"}, {Four("hdv9"), "mpeg2video"},
            {Four("hdva"), "mpeg2video"}, {Four("mx3n"), "mpeg2video"}, {Four("mx3p"), "mpeg2video"},
            {Four("mx4n"), "mpeg2video"}, {Four("mx4p"), "mpeg2video"}, {Four("mx5n"), "mpeg2video"},
            {Four("mx5p"), "mpeg2video"}, {Four("xd51"), "mpeg2video"}, {Four("xd54"), "mpeg2video"},
            {Four("xd55"), "mpeg2video"}, {Four("xd59"), "mpeg2video"}, {Four("xd5a"), "mpeg2video"},
            {Four("xd5b"), "mpeg2video"}, {Four("xd5c"), "mpeg2video"}, {Four("xd5d"), "mpeg2video"},
            {Four("xd5e"), "mpeg2video"}, {Four("xd5f"), "mpeg2video"}, {Four("xdv1"), "mpeg2video"},
            {Four("xdv2"), "mpeg2video"}, {Four("xdv3"), "mpeg2video"}, {Four("xdv4"), "mpeg2video"},
            {Four("xdv5"), "mpeg2video"}, {Four("xdv6"), "mpeg2video"}, {Four("xdv7"), "mpeg2video"},
            {Four("xdv8"), "mpeg2video"}, {Four("xdv9"), "mpeg2video"}, {Four("xdva"), "mpeg2video"},
            {Four("xdvb"), "mpeg2video"}, {Four("xdvc"), "mpeg2video"}, {Four("xdvd"), "mpeg2video"},
            {Four("xdve"), "mpeg2video"}, {Four("xdvf"), "mpeg2video"}, {Four("xdhd"), "mpeg2video"},
            {Four("xdh2"), "mpeg2video"}, {Four("AVmp"), "mpeg2video"}, {Four("mmes"), "mpeg2video"},
        };
        for (const auto& k : kNames)
            if (k.tag == f) return k.name;
        return std::string();
    }

    void AudioEntry(const Box& e, Track& t) {
        StreamInfo& s = t.info;
        SetTag(s.tags, "vendor_id", VendorText(Be32(e.body + 12)));
        // QuickTime sound descriptions: version 0, 1 (16 more bytes) or 2 (36 more).
        const int version = static_cast<int>(Be16(e.body + 8));
        s.channels = static_cast<int>(Be16(e.body + 16));
        s.bitsPerSample = static_cast<int>(Be16(e.body + 18));
        s.sampleRate = static_cast<int>(Be32(e.body + 24) >> 16);
        size_t extAt = 28;
        if (version == 1 && e.size >= 44) {
            extAt = 44;
        } else if (version == 2 && e.size >= 64) {
            extAt = 64;
            uint64_t bits = Be64(e.body + 32);
            double rate;
            std::memcpy(&rate, &bits, sizeof rate);
            if (rate > 0 && rate < 1e7) s.sampleRate = static_cast<int>(rate);
            s.channels = static_cast<int>(Be32(e.body + 40));
            s.bitsPerSample = static_cast<int>(Be32(e.body + 48));
        }
        const uint8_t* ext = e.body + extAt;
        const size_t extLen = e.size - extAt;
        Box box, wave;
        s.codec = EsCodec::kOther;
        switch (e.type) {
        case Four("mp4a"): case Four("msVo"): {
            // QuickTime puts esds inside a wave box.
            int oti = -1;
            if (FindChild(ext, extLen, Four("esds"), box)) oti = EsdsObjectType(box);
            else if (FindChild(ext, extLen, Four("wave"), wave) && FindChild(wave.body, wave.size, Four("esds"), box))
                oti = EsdsObjectType(box);
            s.codecName = oti == 0x69 || oti == 0x6B ? "mp3" : oti == 0xA5 ? "ac3" : oti == 0xA6 ? "eac3"
                          : oti == 0xA9 ? "dts" : oti == 0xAD ? "opus" : oti == 0xDD || e.type == Four("msVo") ? "vorbis"
                          : "aac";
            // ffmpeg keeps the decoder specific info as extradata: Vorbis's three headers too.
            if (s.codecName == "vorbis") {
                s.config = m_esdsConfig;
                // QuickTime's Vorbis keeps the headers in a glbl box.
                if (s.config.empty() && FindChild(ext, extLen, Four("glbl"), box)) s.config.assign(box.body, box.body + box.size);
            }
            if (s.codecName == "aac") {
                s.config = m_esdsConfig;
                int rate = 0, channels = 0;
                std::string layout;
                if (ReadAacConfig(s.config.data(), s.config.size(), &rate, &channels, &layout)) {
                    s.sampleRate = rate;
                    if (channels) s.channels = channels, s.channelLayout = layout;
                }
            }
            break;
        }
        default:
            s.codecName = AudioCodecName(e.type, s.bitsPerSample);
            CodecConfig(e.type, ext, extLen, s);
            // QuickTime's enda box: 1 for little-endian samples, in the entry or its wave box.
            if (FindChild(ext, extLen, Four("enda"), box) ||
                (FindChild(ext, extLen, Four("wave"), wave) && FindChild(wave.body, wave.size, Four("enda"), box))) {
                if (box.size >= 2 && Be16(box.body) == 1) {
                    const size_t be = s.codecName.rfind("be");
                    if (be != std::string::npos && be + 2 == s.codecName.size() && e.type != Four("twos"))
                        s.codecName.replace(be, 2, "le");
                }
            }
            break;
        }
    }

    // The configuration boxes of Opus, FLAC and ALAC, kept as ffmpeg keeps their extradata:
    // OpusHead made from dOps, FLAC's STREAMINFO block, the whole alac box.
    static void CodecConfig(uint32_t type, const uint8_t* ext, size_t extLen, StreamInfo& s) {
        Box box, wave;
        // QuickTime puts them in a wave box.
        if (FindChild(ext, extLen, Four("wave"), wave)) ext = wave.body, extLen = wave.size;
        if (type == Four("Opus") && FindChild(ext, extLen, Four("dOps"), box) && box.size >= 11) {
            const uint8_t* d = box.body;
            const size_t mapped = d[10] ? 2 + static_cast<size_t>(d[1]) : 0;
            if (box.size < 11 + mapped) return;
            s.config = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, d[1], d[3], d[2], d[7], d[6], d[5], d[4], d[9], d[8], d[10]};
            s.config.insert(s.config.end(), d + 11, d + 11 + mapped);
        } else if (type == Four("fLaC") && FindChild(ext, extLen, Four("dfLa"), box) && box.size >= 4 + 4 + 34) {
            s.config.assign(box.body + 8, box.body + 8 + 34);
        } else if (type == Four("alac") && FindChild(ext, extLen, Four("alac"), box) && box.size >= 28) {
            s.config.assign(box.body - 8, box.body + 28);
        }
    }

    static std::string AudioCodecName(uint32_t f, int bits) {
        switch (f) {
        case Four("ac-3"): return "ac3";
        case Four("ec-3"): return "eac3";
        case Four("Opus"): return "opus";
        case Four("fLaC"): return "flac";
        case Four("alac"): return "alac";
        case Four("sowt"): return bits == 8 ? "pcm_s8" : bits == 24 ? "pcm_s24le" : bits == 32 ? "pcm_s32le" : "pcm_s16le";
        case Four("twos"): return bits == 8 ? "pcm_s8" : bits == 24 ? "pcm_s24be" : bits == 32 ? "pcm_s32be" : "pcm_s16be";
        case Four("raw "): return "pcm_u8";
        case Four("in24"): return "pcm_s24be";
        case Four("in32"): return "pcm_s32be";
        case Four("fl32"): return "pcm_f32be";
        case Four("fl64"): return "pcm_f64be";
        case Four("ulaw"): return "pcm_mulaw";
        case Four("alaw"): return "pcm_alaw";
        case Four("lpcm"): return "pcm_s16le";
        case Four("ipcm"): return bits == 24 ? "pcm_s24be" : bits == 32 ? "pcm_s32be" : "pcm_s16be";
        case Four(".mp3"): return "mp3";
        case Four(".mp2"): return "mp2";
        case Four(".mp1"): return "mp1";
        case Four("samr"): return "amr_nb";
        case Four("sawb"): return "amr_wb";
        case Four("dtsc"): case Four("dtsh"): case Four("dtsl"): case Four("dtse"): return "dts";
        case Four("mlpa"): return "truehd";
        case Four("ima4"): return "adpcm_ima_qt";
        case Four("Qclp"): case Four("sqcp"): return "qcelp";
        default: return std::string();
        }
    }

    void OtherEntry(const Box& e, Track& t) {
        StreamInfo& s = t.info;
        s.codec = EsCodec::kOther;
        switch (e.type) {
        case Four("tx3g"): case Four("text"): s.codecName = "mov_text"; break;
        case Four("wvtt"): s.codecName = "webvtt"; break;
        case Four("stpp"): s.codecName = "ttml"; break;
        case Four("c608"): s.codecName = "eia_608"; break;
        case Four("mp4s"): s.codecName = "dvd_subtitle"; break;
        case Four("tmcd"):
            // reserved, flags, time scale, frame duration, frames per second.
            if (e.size >= 8 + 17) {
                t.tmcdFlags = Be32(e.body + 12);
                t.tmcdScale = Be32(e.body + 16);
                t.tmcdDuration = Be32(e.body + 20);
                t.tmcdFrames = e.body[24];
            }
            break;
        default: break;
        }
        // Text the hdlr leaves as data is subtitles by its sample entry.
        if (t.info.kind == StreamKind::kData && (e.type == Four("tx3g") || e.type == Four("text") || e.type == Four("c608")))
            t.info.kind = StreamKind::kSubtitle;
        if (e.type == Four("wvtt") || e.type == Four("stpp")) s.codecName.clear();  // unknown to ffmpeg 5
    }

    // The esds descriptor's objectTypeIndication, and its decoder-specific information (kept
    // in m_esdsConfig for AAC's AudioSpecificConfig).
    int EsdsObjectType(const Box& b) {
        m_esdsConfig.clear();
        const uint8_t* p = b.body + 4;  // version and flags
        const uint8_t* end = b.body + b.size;
        if (b.size < 4) return -1;
        int oti = -1;
        // Descriptors: a tag, then a size in up to four 7-bit bytes.
        auto descriptor = [&end](const uint8_t*& q, int& tag, size_t& len) {
            if (q >= end) return false;
            tag = *q++;
            len = 0;
            for (int i = 0; i < 4; ++i) {
                if (q >= end) return false;
                const uint8_t c = *q++;
                len = len << 7 | (c & 0x7F);
                if (!(c & 0x80)) break;
            }
            return len <= static_cast<size_t>(end - q);
        };
        int tag;
        size_t len;
        if (!descriptor(p, tag, len) || tag != 3) return -1;  // ES_Descriptor
        const uint8_t* esEnd = p + len;
        if (len < 3) return -1;
        const uint8_t flags = p[2];
        p += 3;
        if (flags & 0x80) p += 2;
        if (flags & 0x40) {
            if (p >= esEnd) return -1;
            p += 1 + *p;
        }
        if (flags & 0x20) p += 2;
        if (p >= esEnd) return -1;
        end = esEnd;
        if (!descriptor(p, tag, len) || tag != 4 || len < 13) return -1;  // DecoderConfigDescriptor
        oti = p[0];
        const uint8_t* dcEnd = p + len;
        p += 13;
        end = dcEnd;
        if (p < dcEnd && descriptor(p, tag, len) && tag == 5) m_esdsConfig.assign(p, p + len);
        return oti;
    }

    // --- fragments --------------------------------------------------------------------

    Track* TrackById(uint32_t id) {
        for (Track& t : m_tracks)
            if (t.trackId == id) return &t;
        return nullptr;
    }

    void Moof(const uint8_t* b, size_t n, int64_t moofStart) {
        m_trunInMoof.assign(m_tracks.size(), false);
        Children c(b, n);
        Box traf;
        int64_t implicitBase = moofStart;
        while (c.Next(traf)) {
            if (traf.type != Four("traf")) continue;
            Children tc(traf.body, traf.size);
            Box box;
            Track* t = nullptr;
            Defaults d;
            int64_t base = implicitBase, dataEnd = implicitBase, baseTime = -1;
            bool haveTfhd = false;
            while (tc.Next(box)) {
                if (box.type == Four("tfhd") && box.size >= 8) {
                    haveTfhd = true;
                    const uint32_t flags = Be32(box.body) & 0xFFFFFF;
                    t = TrackById(Be32(box.body + 4));
                    if (!t) break;
                    d = t->trex;
                    size_t at = 8;
                    auto field = [&](uint32_t bit, size_t len, auto set) {
                        if (!(flags & bit)) return;
                        if (at + len <= box.size) set(box.body + at);
                        at += len;
                    };
                    bool explicitBase = false;
                    field(0x1, 8, [&](const uint8_t* q) {
                        base = static_cast<int64_t>(Be64(q) & 0x7FFFFFFFFFFFFFFFull);
                        explicitBase = true;
                    });
                    field(0x2, 4, [&](const uint8_t* q) { d.descriptionIndex = Be32(q); });
                    field(0x8, 4, [&](const uint8_t* q) { d.duration = Be32(q); });
                    field(0x10, 4, [&](const uint8_t* q) { d.size = Be32(q); });
                    field(0x20, 4, [&](const uint8_t* q) { d.flags = Be32(q); });
                    if (!explicitBase && (flags & 0x20000)) base = moofStart;
                    dataEnd = base;
                } else if (box.type == Four("tfdt") && t && box.size >= 8) {
                    const bool v1 = box.body[0] == 1;
                    if (!v1 || box.size >= 12)
                        baseTime = static_cast<int64_t>(v1 ? Be64(box.body + 4) & 0x7FFFFFFFFFFFFFFFull : Be32(box.body + 4));
                } else if (box.type == Four("trun") && t) {
                    Trun(box, *t, d, base, dataEnd, baseTime);
                    baseTime = -1;
                }
            }
            if (!haveTfhd) m_problems.Add("traf without tfhd in moof at offset %" PRId64, moofStart);
            implicitBase = dataEnd;
        }
    }

    void Trun(const Box& b, Track& t, const Defaults& d, int64_t base, int64_t& dataEnd, int64_t baseTime) {
        if (b.size < 8) return;
        const int version = b.body[0];
        const uint32_t flags = Be32(b.body) & 0xFFFFFF;
        const uint32_t count = Be32(b.body + 4);
        size_t at = 8;
        int64_t offset = dataEnd;
        if (flags & 0x1) {
            if (at + 4 > b.size) return;
            offset = WrapAdd(base, static_cast<int32_t>(Be32(b.body + at)));
            at += 4;
        }
        uint32_t firstFlags = d.flags;
        bool haveFirst = false;
        if (flags & 0x4) {
            if (at + 4 > b.size) return;
            firstFlags = Be32(b.body + at);
            haveFirst = true;
            at += 4;
        }
        const size_t entry = 4 * ((flags >> 8 & 1) + (flags >> 9 & 1) + (flags >> 10 & 1) + (flags >> 11 & 1));
        if (entry && count > (b.size - at) / entry) {
            m_problems.Add("track %u: trun of %u samples longer than its box", t.trackId, count);
            return;
        }
        // A run that gives no field per sample costs no index bytes per sample: bounded
        // apart, so that a few bytes cannot claim millions of samples.
        if (!entry && count > kMaxBareRun) {
            m_problems.Add("track %u: trun of %u samples without entries, ignored", t.trackId, count);
            return;
        }
        if (baseTime >= 0 && !m_trunInMoof[&t - m_tracks.data()]) t.fragDts = baseTime;
        m_trunInMoof[&t - m_tracks.data()] = true;
        // ffmpeg: PTS = DTS + the largest negative offset of the runs read so far + this one's.
        // It reads a whole run before any of its samples.
        if (flags & 0x800 && version) {
            const size_t ctsAt = 4 * ((flags >> 8 & 1) + (flags >> 9 & 1) + (flags >> 10 & 1));
            for (uint32_t i = 0; i < count; ++i) {
                const int64_t cts = static_cast<int32_t>(Be32(b.body + at + i * entry + ctsAt));
                if (cts < 0) t.fragShift = std::max(t.fragShift, -cts);
            }
        }
        for (uint32_t i = 0; i < count; ++i) {
            FragSample s;
            uint32_t duration = d.duration, size = d.size, sflags = i == 0 && haveFirst ? firstFlags : d.flags;
            int64_t cts = 0;
            const uint8_t* q = b.body + at;
            if (flags & 0x100) duration = Be32(q), q += 4;
            if (flags & 0x200) size = Be32(q), q += 4;
            if (flags & 0x400) sflags = Be32(q), q += 4;
            if (flags & 0x800) {
                const uint32_t v = Be32(q);
                cts = version ? static_cast<int32_t>(v) : static_cast<int64_t>(v);
            }
            at += entry;
            s.pos = offset;
            s.size = size;
            s.dts = WrapAdd(t.fragDts, -t.fragOffset);
            s.pts = WrapAdd(WrapAdd(s.dts, t.fragShift), cts);
            s.duration = duration;
            s.key = FragmentKey(sflags);
            offset = WrapAdd(offset, size);
            if (t.firstPts == kNoTime && !t.sttsSamples) t.firstPts = s.pts;
            if (t.ratesFed < 99) t.rates.Add(s.dts), ++t.ratesFed;
            t.fragDts = WrapAdd(t.fragDts, duration);
            t.trackEnd = t.fragDts;
            t.stDuration = std::max(t.stDuration, t.trackEnd);
            t.fragDuration = WrapAdd(t.fragDuration, duration);
            ++t.fragSamples;
            t.dataBytes += size;
            if (t.wanted) t.frag.push_back(s);
        }
        dataEnd = offset;
    }

    // --- samples ----------------------------------------------------------------------

    // The next sample to read: of all tracks read, the one whose next sample lies first in
    // the file, among those before the limit (the end of the mdat being passed).
    void NextSample() {
        for (;;) {
            Track* best = nullptr;
            int64_t bestPos = INT64_MAX;
            for (Track& t : m_tracks) {
                if (!(t.wanted || (t.tmcdScale && !t.timecodeRead)) || t.ended) continue;
                int64_t pos;
                if (!t.cursor.Done()) pos = t.cursor.Pos();
                else if (!t.frag.empty()) pos = t.frag.front().pos;
                else continue;
                if (pos < bestPos) bestPos = pos, best = &t;
            }
            if (!best || (bestPos >= m_limit && !m_walkDone)) break;
            // Chunks that all point to the same bytes can make a table of billions of
            // samples from a small file: no more samples than the file has bytes, and then some.
            const uint64_t cap = m_size >= 0 ? static_cast<uint64_t>(m_size) + 4096 : uint64_t{1} << 24;
            if (++m_taken > cap || (bestPos <= m_lastPos && ++m_stuck > 4096)) {
                m_problems.Add("more samples than the file has bytes: the sample tables are broken, the rest not read");
                for (Track& t : m_tracks) t.ended = true;
                continue;
            }
            m_lastPos = std::max(m_lastPos, bestPos);
            Sample s;
            if (!best->cursor.Done()) {
                const Cursor& c = best->cursor;
                s.pos = c.Pos();
                s.size = c.Size();
                s.dts = WrapAdd(c.Dts(), best->dtsOffset);
                s.pts = WrapAdd(WrapAdd(c.Dts(), c.Cts()), best->ptsOffset);
                s.duration = c.Duration();
                s.key = c.Key();
                s.discard = best->hasEdits && s.pts < best->emptyEdits;
                best->cursor.Advance();
            } else {
                const FragSample f = best->frag.front();
                best->frag.pop_front();
                s.pos = f.pos;
                s.size = f.size;
                s.dts = f.dts;
                s.pts = f.pts;
                s.duration = f.duration;
                s.key = f.key;
            }
            if (s.pos < 0) {
                ++m_pastEnd;  // a fragment's data offset before the file's start
                continue;
            }
            // Where the file's size is known, a sample past its end is not there, and one
            // it cuts is as long as what is left (as ffmpeg reads it). An empty one reads
            // nothing, wherever it is.
            if (m_size >= 0 && s.pos >= m_size && s.size > 0) {
                m_sampleTrack = best->info.id;
                m_samplePos = s.pos;
                if (!m_pastEnd++)
                    m_problems.Add("track %d: a sample at offset %" PRId64 " lies outside the file; the track is read no further",
                                   m_sampleTrack, m_samplePos);
                best->ended = best->timecodeRead = true;
                best->frag.clear();
                continue;
            }
            if (m_size >= 0 && s.size > m_size - s.pos) {
                if (!m_pastEnd++)
                    m_problems.Add("track %d: a sample at offset %" PRId64 " is cut short by the end of the file",
                                   best->info.id, s.pos);
                s.size = m_size - s.pos;
            }
            // A timecode track's first sample: its frame number, read here.
            m_selfRead = !best->wanted;
            if (m_selfRead) {
                if (best->timecodeRead) continue;
                m_sampleTrack = best->info.id;
                m_samplePos = s.pos;
                m_sampleDone = 0;
                m_sampleLeft = std::min<int64_t>(s.size, 4);
                m_state = kSample;
                return;
            }
            if (!m_sink.OnSample(best->info.id, s) || s.size <= 0) continue;
            m_sampleTrack = best->info.id;
            m_samplePos = s.pos;
            m_sampleDone = 0;
            m_sampleLeft = s.size;
            m_state = kSample;
            return;
        }
        m_state = m_walkDone ? kDone : kHeader;
    }

    void SampleBytes(const uint8_t* p, size_t n) {
        if (m_selfRead) {
            for (Track& t : m_tracks) {
                if (t.info.id != m_sampleTrack) continue;
                for (size_t i = 0; i < n && t.timecodeHave < 4; ++i) t.timecode[t.timecodeHave++] = p[i];
                m_sampleLeft -= static_cast<int64_t>(n);
                if (t.timecodeHave == 4 || m_sampleLeft <= 0) {
                    t.timecodeRead = true;
                    m_sampleLeft = 0;
                    NextSample();
                }
                return;
            }
        }
        const int64_t skip = m_sink.OnSampleData(m_sampleTrack, p, n);
        m_sampleDone += static_cast<int64_t>(n);
        m_sampleLeft -= static_cast<int64_t>(n);
        const int64_t passed = std::min(std::max<int64_t>(skip, 0), m_sampleLeft);
        m_sampleDone += passed;
        m_sampleLeft -= passed;
        if (m_sampleLeft <= 0) NextSample();
    }

    // The file ended inside or before a sample, unknown to a pipe until now. A sample it cuts
    // is read as far as it goes, as at offsets; one past it ends its track, whose later
    // samples lie further on (a table claiming billions of samples ends here too). Without
    // an end (the reading stopped) nothing more is asked for.
    void SamplePastEnd(bool next) {
        const bool outside = m_size >= 0 && m_samplePos >= m_size;
        if (!m_pastEnd++)
            m_problems.Add("track %d: a sample at offset %" PRId64 " %s", m_sampleTrack, m_samplePos,
                           outside ? "lies outside the file; the track is read no further"
                                   : "is cut short by the end of the file");
        m_sampleLeft = 0;
        for (Track& t : m_tracks)
            if (t.info.id == m_sampleTrack) {
                t.timecodeRead = true;
                if (outside) {
                    t.ended = true;
                    t.frag.clear();
                }
            }
        if (next) NextSample();
    }

    // --- the facts of a track ---------------------------------------------------------

    int64_t ToMedia(int64_t movieTime, const Track& t) const {
        // av_rescale: to the nearest, halves away from zero.
        if (!m_movieScale) return 0;
        const double v = static_cast<double>(movieTime) * t.timescale / m_movieScale;
        return static_cast<int64_t>(v < 0 ? v - 0.5 : v + 0.5);
    }

    // The facts the index gives, as ffmpeg's reading of it gives them: the edits and the
    // composition offsets move the time stamps; duration, rates and bit rate come from the
    // sample tables.
    void Prepare(Track& t) {
        StreamInfo& s = t.info;
        t.duration = t.mediaDuration > 0 && t.sttsTotal > 0 ? std::min(t.mediaDuration, t.sttsTotal)
                     : t.mediaDuration > 0                  ? t.mediaDuration
                                                            : t.sttsTotal;
        int64_t mediaTime = 0;
        bool leading = true;
        for (const Edit& e : t.edits) {
            const int64_t d = ToMedia(e.duration, t);
            t.editEnd += d;
            if (e.mediaTime == -1) {
                if (leading) t.emptyEdits += d;
                continue;
            }
            if (leading) mediaTime = e.mediaTime;
            leading = false;
        }
        // Fragments are moved by a single edit (after an empty one): its media time, less the
        // empty edit.
        const size_t start = !t.edits.empty() && t.edits[0].mediaTime == -1 ? 1 : 0;
        if (start < t.edits.size() && t.edits[start].mediaTime >= 0 && m_movieScale)
            t.fragOffset = WrapAdd(t.edits[start].mediaTime, start ? -ToMedia(t.edits[0].duration, t) : 0);
        t.hasEdits = !t.edits.empty() && t.sttsSamples > 0;
        if (!t.hasEdits) t.emptyEdits = t.editEnd = 0, mediaTime = 0;
        // Video moves on so that its first presented sample is at the track's start.
        int64_t minPts = INT64_MAX;
        // The earliest presentation lies near the start: a bounded look, however many
        // samples a (damaged) table claims.
        Cursor c = t.cursor;
        for (uint32_t i = 0; !c.Done() && i < kEarliestLook; ++i, c.Advance()) {
            const int64_t pts = WrapAdd(WrapAdd(c.Dts(), c.Cts()), t.emptyEdits - mediaTime);
            if (pts >= t.emptyEdits) minPts = std::min(minPts, pts);
            if (i == 0) t.firstPts = WrapAdd(c.Dts(), c.Cts());
            if (t.ratesFed < 99) t.rates.Add(WrapAdd(c.Dts(), -t.dtsShift)), ++t.ratesFed;
            if (!t.hasEdits && i >= 99) break;
        }
        const int64_t videoShift =
            t.hasEdits && s.kind == StreamKind::kVideo && minPts != INT64_MAX && minPts > t.emptyEdits ? minPts - t.emptyEdits : 0;
        t.ptsOffset = t.hasEdits ? t.emptyEdits - mediaTime - videoShift : 0;
        t.dtsOffset = t.ptsOffset - t.dtsShift;
        if (t.hasEdits) t.firstPts = kNoTime;
        Describe(t);
    }

    // The stream's facts from what is known of its samples so far.
    void Describe(Track& t) {
        StreamInfo& s = t.info;
        s.frames = t.sttsSamples > 0 ? t.sttsSamples : -1;
        int64_t duration = t.duration;
        if (t.trackEnd != kNoTime) duration = std::max(duration, t.trackEnd);
        if (t.hasSidx || t.fragSamples) duration = std::max(duration, t.stDuration);
        s.duration = duration > 0 ? duration : kNoTime;
        if (t.hasEdits && s.duration != kNoTime) s.duration = std::min(s.duration, t.editEnd + t.dtsShift);
        s.startTime = t.hasEdits ? t.emptyEdits : t.firstPts;
        s.bitRate = 0;
        if (t.fragSamples) {
            // Fixed when ffmpeg stopped reading boxes, if it stopped early.
            const uint64_t bytes = t.frozen ? t.frozenBytes : t.dataBytes;
            const int64_t over = t.frozen ? std::max(t.duration, t.frozenSt) : duration;
            if (over > 0) s.bitRate = ToInt64(static_cast<double>(bytes) * 8.0 * t.timescale / static_cast<double>(over) + 0.5);
        } else if (t.duration > 0) {
            s.bitRate = static_cast<int64_t>(t.dataBytes * 8 * t.timescale / static_cast<uint64_t>(t.duration));
        }
        s.frameRateNum = s.frameRateDen = s.avgRateNum = s.avgRateDen = 0;
        if (s.kind != StreamKind::kVideo) return;
        const int64_t total = WrapAdd(t.sttsTotal, t.frozen ? t.frozenDuration : t.fragDuration);
        const int64_t counted = t.sttsSamples + (t.frozen ? t.frozenSamples : t.fragSamples);
        if (counted > 0 && total > 0 && counted <= INT64_MAX / std::max<int64_t>(t.timescale, 1)) {
            const Fraction avg = ReduceWithin(int64_t{t.timescale} * counted, total, INT32_MAX);
            s.avgRateNum = avg.num, s.avgRateDen = avg.den;
        }
        Fraction r;
        if (t.sttsEntries == 1 || (t.sttsEntries == 2 && t.lastCount == 1)) r = ReduceWithin(t.timescale, t.firstDelta, INT32_MAX);
        if (!r.num) r = t.rates.Result(s.timeBase, t.fragSamples ? 1.0 : 0.0);
        s.frameRateNum = r.num, s.frameRateDen = r.den;
    }

    // A timecode track's first frame number as ffmpeg prints it, on the track, on the video
    // tracks that name it, or the file when none does.
    void Timecodes() {
        for (Track& t : m_tracks) {
            if (!t.tmcdScale || !t.tmcdDuration || !t.timecodeRead || t.timecodeHave < 4 || !t.tmcdFrames) continue;
            t.info.avgRateNum = t.tmcdScale, t.info.avgRateDen = t.tmcdDuration;
            const int64_t rate = (int64_t{t.tmcdScale} + t.tmcdDuration / 2) / t.tmcdDuration;
            if (rate <= 0) continue;
            // 60 fps content counts 30 frames a second in the track: the frame number scales.
            int64_t frame = static_cast<int64_t>(Be32(t.timecode));
            const int64_t perSecond = t.tmcdFrames == t.tmcdScale / t.tmcdDuration ? rate : t.tmcdFrames;
            frame = (frame * rate + perSecond / 2) / perSecond;
            const bool drop = t.tmcdFlags & 1;
            if (drop && rate % 30 == 0) {
                const int64_t dropFrames = rate / 30 * 2, per10 = rate / 30 * 17982;
                const int64_t d = frame / per10, m = frame % per10;
                frame += 9 * dropFrames * d + dropFrames * std::max<int64_t>(0, (m - dropFrames) / (per10 / 10));
            }
            int64_t hh = frame / (rate * 3600);
            if (t.tmcdFlags & 2) hh %= 24;
            const int width = rate > 10000 ? 5 : rate > 1000 ? 4 : rate > 100 ? 3 : rate > 10 ? 2 : 1;
            char buf[64];
            std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%c%0*d", static_cast<int>(hh % 1000000),
                          static_cast<int>(frame / (rate * 60) % 60), static_cast<int>(frame / rate % 60), drop ? ';' : ':',
                          width, static_cast<int>(frame % rate));
            SetTag(t.info.tags, "timecode", buf);
            bool named = false;
            for (Track& v : m_tracks)
                for (uint32_t id : v.timecodeRefs)
                    if (id == t.trackId && v.info.kind == StreamKind::kVideo) {
                        SetTag(v.info.tags, "timecode", buf);
                        named = true;
                    }
            if (!named) SetTag(m_facts.tags, "timecode", buf);
        }
    }

    // The file's start and duration: the movie header's, unless the file is fragmented; then
    // from the streams.
    void FormatTiming() {
        std::vector<StreamInfo> streams;
        int64_t end = INT64_MIN, longest = 0;
        for (const Track& t : m_tracks) {
            const StreamInfo& s = t.info;
            streams.push_back(s);
            if (s.startTime == kNoTime || s.duration == kNoTime) continue;
            const double scale = 1e6 * static_cast<double>(s.timeBase.num) / static_cast<double>(s.timeBase.den);
            const int64_t start = RoundTime(static_cast<double>(s.startTime) * scale);
            const int64_t d = RoundTime(static_cast<double>(s.duration) * scale);
            longest = std::max(longest, d);
            end = std::max(end, start + d);
        }
        m_facts.startUs = FormatStartUs(streams);
        if (m_fragmented && m_facts.startUs != kNoTime && end != INT64_MIN)
            m_facts.durationUs = std::max(longest, end - m_facts.startUs);
    }

    EsSink& m_sink;
    ContainerFacts m_facts;
    Problems m_problems;
    bool m_problemsFinal = false;
    State m_state = kHeader;

    // The walk.
    int64_t m_walk = 0;       // the next top-level box
    uint8_t m_hdr[16];
    size_t m_have = 0;
    bool m_walkDone = false;
    uint64_t m_topBoxes = 0;
    uint32_t m_lastType = 0;  // the last top-level box, for a file that ends inside it
    int64_t m_lastStart = 0, m_lastEnd = 0;
    // A box read whole.
    uint32_t m_boxType = 0;
    int64_t m_boxStart = 0, m_boxEnd = 0;
    size_t m_bodyHeader = 0, m_bodyWant = 0;
    std::vector<uint8_t> m_body;

    bool m_sawMoov = false, m_sawFtyp = false;
    uint32_t m_movieScale = 0;
    int32_t m_movieMatrix[9] = {65536, 0, 0, 0, 65536, 0, 0, 0, 1 << 30};
    int64_t m_movieDuration = 0;
    std::vector<uint8_t> m_moov;
    bool m_fragmented = false;
    int64_t m_size = -1;  // the file's, where known
    bool m_sawMdat = false, m_frozen = false;
    int64_t m_mfraSize = -1;  // the closing mfra box's, once met
    // Segment indexes: where those met since the last top-level box end, and ffmpeg's
    // view of the tracks at each box after which it would stop.
    struct Snapshot {
        uint64_t bytes;
        int64_t samples, duration, st;
        bool hasSidx;
    };
    struct Stop {
        std::vector<uint64_t> ends;
        std::vector<Snapshot> tracks;
    };
    std::vector<uint64_t> m_ends;
    std::vector<Stop> m_stops;
    std::vector<bool> m_trunInMoof;  // of each track: a run of the moof being read came before
    std::vector<Track> m_tracks;
    std::vector<uint8_t> m_esdsConfig;

    // The sample being read.
    int64_t m_limit = 0;
    int m_sampleTrack = 0;
    int64_t m_samplePos = 0, m_sampleDone = 0, m_sampleLeft = 0;
    bool m_selfRead = false;  // the sample is the demuxer's own: a timecode
    uint64_t m_taken = 0;     // samples handed on so far
    uint64_t m_stuck = 0;     // of them, those that did not move past the last one's place
    int64_t m_lastPos = -1;
    uint64_t m_pastEnd = 0;
};

}  // namespace

std::unique_ptr<Demuxer> MakeMp4Demux(EsSink& sink) {
    return std::unique_ptr<Demuxer>(new Mp4Demux(sink));
}

}  // namespace qvutil

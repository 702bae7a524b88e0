#pragma once

// Writes small MP4 and Matroska files from a description, box by box and element by
// element, independently of the demuxers, and says where each sample landed and which time
// stamps ffmpeg gives it. Sample bytes are pseudo-random, so that a demuxer that hands on
// the wrong bytes is caught.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace qvtest {

using Bytes = std::vector<uint8_t>;

constexpr int64_t kNone = std::numeric_limits<int64_t>::min();

struct Written {
    int track;
    int64_t pos, size;  // where the container says it is (a Matroska block's data), and its size
    int64_t pts, dts;  // kNone where the container gives none
    bool key;
    Bytes bytes;
    int64_t end = 0;  // the offset after its last byte in the file
};

struct File {
    Bytes bytes;
    std::vector<Written> samples;  // in file order
};

inline void Put(Bytes& b, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void Append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

inline Bytes Noise(size_t n, uint32_t& seed) {
    Bytes b(n);
    for (uint8_t& c : b) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<uint8_t>(seed >> 24);
    }
    return b;
}

// --- MP4 -------------------------------------------------------------------------------

inline Bytes Box(const char* type, const Bytes& payload, bool large = false) {
    Bytes b;
    if (large) {
        Put(b, 1, 4);
        b.insert(b.end(), type, type + 4);
        Put(b, payload.size() + 16, 8);
    } else {
        Put(b, payload.size() + 8, 4);
        b.insert(b.end(), type, type + 4);
    }
    Append(b, payload);
    return b;
}

inline Bytes FullBox(const char* type, int version, uint32_t flags, const Bytes& payload, bool large = false) {
    Bytes b;
    Put(b, static_cast<uint64_t>(version) << 24 | flags, 4);
    Append(b, payload);
    return Box(type, b, large);
}

struct Mp4Sample {
    uint32_t size = 100, duration = 512;
    int32_t cts = 0;
    bool key = true;
};

struct Mp4Track {
    uint32_t id = 1;
    const char* handler = "vide";
    const char* entry = "avc1";
    uint32_t timescale = 12800;
    std::vector<Mp4Sample> samples;
    std::vector<std::pair<int64_t, int64_t>> edits;  // (movie time, media time or -1)
    bool video() const { return std::strcmp(handler, "vide") == 0; }
};

struct Mp4Layout {
    bool moovLast = false;     // the index after the media data, as a camera writes it
    bool large = false;        // 64-bit box sizes everywhere
    bool co64 = false, stz2 = false;
    bool toEnd = false;        // the last box sized 0: to the end of the file
    uint32_t perChunk = 3;     // samples per chunk; the tracks' chunks alternate
    bool fragmented = false;   // an empty moov, then moof/mdat pairs of this many samples:
    uint32_t perFragment = 4;
    bool tfdt = true;          // the fragments' first decode times given
    uint32_t movieScale = 1000;
};

// ffmpeg's time stamps for an unfragmented track: DTS from the durations, lowered by the
// largest negative composition offset; then the first edit that plays media starts the
// track at the leading empty edits, and video moves so its first picture shows there.
inline void Mp4Times(const Mp4Track& t, uint32_t movieScale, std::vector<int64_t>& pts, std::vector<int64_t>& dts) {
    int64_t shift = 0;
    for (size_t i = 0; i + 2 < t.samples.size(); ++i) shift = std::max<int64_t>(shift, -t.samples[i].cts);
    int64_t clock = 0;
    pts.clear(), dts.clear();
    for (const Mp4Sample& s : t.samples) {
        dts.push_back(clock - shift);
        pts.push_back(clock + s.cts);
        clock += s.duration;
    }
    if (t.edits.empty()) return;
    int64_t empty = 0, media = 0;
    for (const auto& e : t.edits) {
        if (e.second == -1) {
            empty += (e.first * t.timescale * 2 + movieScale) / (2 * movieScale);
            continue;
        }
        media = e.second;
        break;
    }
    int64_t first = std::numeric_limits<int64_t>::max();
    for (int64_t p : pts)
        if (p - media >= 0) first = std::min(first, p - media);
    const int64_t move = t.video() && first != std::numeric_limits<int64_t>::max() && first > 0 ? first : 0;
    for (size_t i = 0; i < pts.size(); ++i) {
        pts[i] += empty - media - move;
        dts[i] += empty - media - move;
    }
}

inline Bytes SampleEntry(const Mp4Track& t) {
    Bytes e(6, 0);
    Put(e, 1, 2);  // data_reference_index
    if (t.video()) {
        e.resize(e.size() + 16, 0);
        Put(e, 64, 2), Put(e, 48, 2);  // width, height
        Put(e, 0x00480000, 4), Put(e, 0x00480000, 4), Put(e, 0, 4), Put(e, 1, 2);
        e.resize(e.size() + 32, 0);  // compressor name
        Put(e, 24, 2), Put(e, 0xFFFF, 2);
    } else {
        e.resize(e.size() + 8, 0);
        Put(e, 2, 2), Put(e, 16, 2), Put(e, 0, 4), Put(e, uint64_t{48000} << 16, 4);
    }
    return Box(t.entry, e);
}

inline Bytes Trak(const Mp4Track& t, const std::vector<int64_t>& chunkOffsets, uint32_t perChunk, const Mp4Layout& l) {
    const bool lg = l.large;
    Bytes tkhd(8, 0);
    Put(tkhd, t.id, 4);
    tkhd.resize(80, 0);
    Bytes mdhd;
    Put(mdhd, 0, 8);
    Put(mdhd, t.timescale, 4);
    uint64_t total = 0;
    for (const Mp4Sample& s : t.samples) total += s.duration;
    Put(mdhd, l.fragmented ? 0 : total, 4);
    Put(mdhd, 0x55C4, 2), Put(mdhd, 0, 2);  // "und"
    Bytes hdlr(4, 0);
    hdlr.insert(hdlr.end(), t.handler, t.handler + 4);
    hdlr.resize(hdlr.size() + 12, 0);
    const std::string name = std::string(t.handler) + "Handler";
    hdlr.insert(hdlr.end(), name.begin(), name.end());
    hdlr.push_back(0);

    Bytes stsd;
    Put(stsd, 1, 4);
    Append(stsd, SampleEntry(t));
    Bytes stts, ctts, stss, stsz, stsc, stco;
    const std::vector<Mp4Sample> none;
    const std::vector<Mp4Sample>& ss = l.fragmented ? none : t.samples;
    Put(stts, ss.size(), 4);
    for (const Mp4Sample& s : ss) Put(stts, 1, 4), Put(stts, s.duration, 4);
    Put(ctts, ss.size(), 4);
    for (const Mp4Sample& s : ss) Put(ctts, 1, 4), Put(ctts, static_cast<uint32_t>(s.cts), 4);
    uint32_t keys = 0;
    for (const Mp4Sample& s : ss) keys += s.key;
    Put(stss, keys, 4);
    for (size_t i = 0; i < ss.size(); ++i)
        if (ss[i].key) Put(stss, i + 1, 4);
    if (l.stz2) {
        Put(stsz, 16, 4);  // reserved, field_size 16
        Put(stsz, ss.size(), 4);
        for (const Mp4Sample& s : ss) Put(stsz, s.size, 2);
    } else {
        Put(stsz, 0, 4), Put(stsz, ss.size(), 4);
        for (const Mp4Sample& s : ss) Put(stsz, s.size, 4);
    }
    Put(stsc, ss.empty() ? 0 : 1, 4);
    if (!ss.empty()) Put(stsc, 1, 4), Put(stsc, perChunk, 4), Put(stsc, 1, 4);
    Put(stco, chunkOffsets.size(), 4);
    for (int64_t o : chunkOffsets) Put(stco, static_cast<uint64_t>(o), l.co64 ? 8 : 4);
    Bytes stbl = FullBox("stsd", 0, 0, stsd, lg);
    Append(stbl, FullBox("stts", 0, 0, stts, lg));
    Append(stbl, FullBox("ctts", 1, 0, ctts, lg));
    bool allKey = true;
    for (const Mp4Sample& s : ss) allKey &= s.key;
    if (!allKey) Append(stbl, FullBox("stss", 0, 0, stss, lg));
    Append(stbl, FullBox(l.stz2 ? "stz2" : "stsz", 0, 0, stsz, lg));
    Append(stbl, FullBox("stsc", 0, 0, stsc, lg));
    Append(stbl, FullBox(l.co64 ? "co64" : "stco", 0, 0, stco, lg));
    Bytes minf = Box("stbl", stbl, lg);
    Bytes mdia = FullBox("mdhd", 0, 0, mdhd, lg);
    Append(mdia, FullBox("hdlr", 0, 0, hdlr, lg));
    Append(mdia, Box("minf", minf, lg));
    Bytes trak = FullBox("tkhd", 0, 1, tkhd, lg);
    if (!t.edits.empty()) {
        Bytes elst;
        Put(elst, t.edits.size(), 4);
        for (const auto& e : t.edits) Put(elst, static_cast<uint64_t>(e.first), 4), Put(elst, static_cast<uint64_t>(e.second), 4), Put(elst, 0x10000, 4);
        Append(trak, Box("edts", FullBox("elst", 0, 0, elst, lg), lg));
    }
    Append(trak, Box("mdia", mdia, lg));
    return Box("trak", trak, lg);
}

inline Bytes Moov(const std::vector<Mp4Track>& tracks, const std::vector<std::vector<int64_t>>& chunks, const Mp4Layout& l) {
    Bytes mvhd;
    Put(mvhd, 0, 8);
    Put(mvhd, l.movieScale, 4);
    Put(mvhd, 2000, 4);
    mvhd.resize(mvhd.size() + 80, 0);
    Bytes moov = FullBox("mvhd", 0, 0, mvhd, l.large);
    for (size_t k = 0; k < tracks.size(); ++k) Append(moov, Trak(tracks[k], chunks[k], l.perChunk, l));
    if (l.fragmented) {
        Bytes mvex;
        for (const Mp4Track& t : tracks) {
            Bytes trex;
            Put(trex, t.id, 4), Put(trex, 1, 4), Put(trex, 0, 4), Put(trex, 0, 4), Put(trex, 0, 4);
            Append(mvex, FullBox("trex", 0, 0, trex, l.large));
        }
        Append(moov, Box("mvex", mvex, l.large));
    }
    return Box("moov", moov, l.large);
}

inline File WriteMp4(const std::vector<Mp4Track>& tracks, const Mp4Layout& l, uint32_t seed) {
    File f;
    f.bytes = Box("ftyp", Bytes{'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm', 'a', 'v', 'c', '1'});
    std::vector<std::vector<int64_t>> pts(tracks.size()), dts(tracks.size());
    for (size_t k = 0; k < tracks.size(); ++k) Mp4Times(tracks[k], l.movieScale, pts[k], dts[k]);
    if (l.fragmented) {
        const std::vector<std::vector<int64_t>> noChunks(tracks.size());
        Append(f.bytes, Moov(tracks, noChunks, l));
        std::vector<size_t> next(tracks.size(), 0);
        std::vector<int64_t> clock(tracks.size(), 0);
        // ffmpeg raises a track's PTS by the largest negative offset of the runs it has read,
        // and moves both stamps back by a single edit's media time (less an empty edit).
        std::vector<int64_t> shift(tracks.size(), 0), offset(tracks.size(), 0);
        for (size_t k = 0; k < tracks.size(); ++k) {
            const auto& e = tracks[k].edits;
            const size_t start = !e.empty() && e[0].second == -1 ? 1 : 0;
            if (start >= e.size() || e[start].second < 0) continue;
            const int64_t empty = start ? (e[0].first * tracks[k].timescale * 2 + l.movieScale) / (2 * l.movieScale) : 0;
            offset[k] = e[start].second - empty;
        }
        for (bool more = true; more;) {
            more = false;
            // One fragment: a traf per track with its next samples, then their mdat.
            const int64_t moofAt = static_cast<int64_t>(f.bytes.size());
            std::vector<std::vector<size_t>> take(tracks.size());
            for (size_t k = 0; k < tracks.size(); ++k)
                for (size_t i = next[k]; i < tracks[k].samples.size() && take[k].size() < l.perFragment; ++i) take[k].push_back(i);
            // The moof's size decides the data offsets: write it twice, the second time right.
            Bytes moof;
            for (int pass = 0; pass < 2; ++pass) {
                Bytes body = FullBox("mfhd", 0, 0, Bytes{0, 0, 0, 1});
                int64_t data = moofAt + static_cast<int64_t>(moof.size()) + 8;
                for (size_t k = 0; k < tracks.size(); ++k) {
                    if (take[k].empty()) continue;
                    Bytes tfhd, tfdt, trun;
                    Put(tfhd, tracks[k].id, 4);
                    Put(tfdt, static_cast<uint64_t>(clock[k]), 8);
                    Put(trun, take[k].size(), 4);
                    Put(trun, static_cast<uint64_t>(data - moofAt), 4);
                    for (size_t i : take[k]) {
                        const Mp4Sample& s = tracks[k].samples[i];
                        Put(trun, s.duration, 4), Put(trun, s.size, 4), Put(trun, s.key ? 0x02000000 : 0x01010000, 4);
                        Put(trun, static_cast<uint32_t>(s.cts), 4);
                        data += s.size;
                    }
                    Bytes traf = FullBox("tfhd", 0, 0x020000, tfhd);
                    if (l.tfdt) Append(traf, FullBox("tfdt", 1, 0, tfdt));
                    Append(traf, FullBox("trun", 1, 0xF01, trun));
                    Append(body, Box("traf", traf));
                }
                moof = Box("moof", body);
            }
            if (moof.size() <= 24) break;
            Append(f.bytes, moof);
            Bytes mdat;
            const int64_t mdatData = static_cast<int64_t>(f.bytes.size()) + 8;
            for (size_t k = 0; k < tracks.size(); ++k)
                for (size_t i : take[k]) shift[k] = std::max<int64_t>(shift[k], -tracks[k].samples[i].cts);
            for (size_t k = 0; k < tracks.size(); ++k)
                for (size_t i : take[k]) {
                    const Mp4Sample& s = tracks[k].samples[i];
                    Written w{static_cast<int>(tracks[k].id), mdatData + static_cast<int64_t>(mdat.size()), s.size,
                              clock[k] - offset[k] + shift[k] + s.cts, clock[k] - offset[k], s.key, Noise(s.size, seed), 0};
                    w.end = w.pos + w.size;
                    Append(mdat, w.bytes);
                    f.samples.push_back(w);
                    clock[k] += s.duration;
                    next[k] = i + 1;
                    more = true;
                }
            Append(f.bytes, Box("mdat", mdat));
        }
        return f;
    }
    // Chunks of each track in turn; a chunk's samples one after another.
    std::vector<std::vector<int64_t>> chunks(tracks.size());
    Bytes mdat;
    const bool large = l.large;
    std::vector<size_t> next(tracks.size(), 0);
    std::vector<Written> written;
    for (bool more = true; more;) {
        more = false;
        for (size_t k = 0; k < tracks.size(); ++k) {
            if (next[k] >= tracks[k].samples.size()) continue;
            more = true;
            chunks[k].push_back(static_cast<int64_t>(mdat.size()));
            for (uint32_t c = 0; c < l.perChunk && next[k] < tracks[k].samples.size(); ++c, ++next[k]) {
                const size_t i = next[k];
                const Mp4Sample& s = tracks[k].samples[i];
                written.push_back({static_cast<int>(tracks[k].id), static_cast<int64_t>(mdat.size()), s.size, pts[k][i],
                                   dts[k][i], s.key, Noise(s.size, seed), 0});
                Append(mdat, written.back().bytes);
            }
        }
    }
    // The mdat's header: 8 or 16 bytes (a box to the file's end has the short form); its
    // data's place follows from what comes before.
    const size_t mdatHeader = large && !(l.toEnd && !l.moovLast) ? 16 : 8;
    auto place = [&](int64_t base) {
        for (auto& c : chunks)
            for (int64_t& o : c) o += base;
        for (Written& w : written) w.pos += base, w.end = w.pos + w.size;
    };
    if (!l.moovLast) {
        // The moov's size does not depend on the offsets' values, only on their count.
        const Bytes probe = Moov(tracks, chunks, l);
        place(static_cast<int64_t>(f.bytes.size() + probe.size() + mdatHeader));
        Append(f.bytes, Moov(tracks, chunks, l));
        Bytes m = Box("mdat", mdat, large && !l.toEnd);
        if (l.toEnd) m[0] = m[1] = m[2] = m[3] = 0;
        Append(f.bytes, m);
    } else {
        place(static_cast<int64_t>(f.bytes.size() + mdatHeader));
        Append(f.bytes, Box("mdat", mdat, large));
        Bytes m = Moov(tracks, chunks, l);
        if (l.toEnd && large) {
            // A box to the end of the file takes the short header: 0, then its type.
            const Bytes body(m.begin() + 16, m.end());
            m = Box("moov", body);
        }
        if (l.toEnd) m[0] = m[1] = m[2] = m[3] = 0;
        Append(f.bytes, m);
    }
    std::stable_sort(written.begin(), written.end(), [](const Written& a, const Written& b) { return a.pos < b.pos; });
    f.samples = written;
    return f;
}

// --- Matroska ---------------------------------------------------------------------------

// An EBML number of `len` bytes (0: as short as it goes); all ones when unknown.
inline void Vint(Bytes& b, uint64_t v, int len = 0, bool unknown = false) {
    if (!len) {
        len = 1;
        while (len < 8 && v >= (uint64_t{1} << (7 * len)) - 1) ++len;
    }
    if (unknown) v = (uint64_t{1} << (7 * len)) - 1;
    v |= uint64_t{1} << (7 * len);
    Put(b, v, len);
}

inline Bytes El(uint32_t id, const Bytes& payload, int sizeLen = 0, bool unknown = false) {
    Bytes b;
    int idLen = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
    Put(b, id, idLen);
    Vint(b, payload.size(), sizeLen, unknown);
    Append(b, payload);
    return b;
}

inline Bytes Uint(uint32_t id, uint64_t v) {
    Bytes p;
    int n = 1;
    while (n < 8 && (v >> (8 * n))) ++n;
    Put(p, v, n);
    return El(id, p);
}

inline Bytes Str(uint32_t id, const std::string& s) {
    return El(id, Bytes(s.begin(), s.end()));
}

struct MkvTrack {
    uint64_t number = 1;
    int type = 1;
    std::string codec = "V_MPEG4/ISO/AVC";
    uint64_t defaultDuration = 0;  // nanoseconds
    Bytes strip;                   // header stripping: bytes taken off each frame's front
    bool zlib = false;             // compressed frames, marked as mkvmerge marks zlib (no algorithm)
    uint64_t stereoMode = 0;       // written when not 0
};

struct MkvBlock {
    uint64_t track = 1;
    int64_t time = 0;  // in TimestampScale units
    bool key = true;
    std::vector<size_t> frames{100};
    int lacing = 0;  // 0 none, 1 Xiph, 2 fixed, 3 EBML
    bool group = false;
};

struct MkvLayout {
    bool unknownSegment = false, unknownClusters = false;
    bool voids = false;         // Void and CRC-32 elements between the others
    int sizeLen = 0;            // element sizes written this long (0: shortest)
    int64_t clusterSpan = 1000; // a new cluster when a block's time is this far from its start
    uint64_t scale = 1000000;
};

inline Bytes Lace(const MkvBlock& b) {
    Bytes h;
    if (b.lacing == 0) return h;
    h.push_back(static_cast<uint8_t>(b.frames.size() - 1));
    if (b.lacing == 1) {
        for (size_t i = 0; i + 1 < b.frames.size(); ++i) {
            size_t n = b.frames[i];
            for (; n >= 255; n -= 255) h.push_back(255);
            h.push_back(static_cast<uint8_t>(n));
        }
    } else if (b.lacing == 3) {
        Vint(h, b.frames[0]);
        for (size_t i = 1; i + 1 < b.frames.size(); ++i) {
            // Signed differences: biased by 2^(7n-1) - 1 in n bytes.
            const int64_t d = static_cast<int64_t>(b.frames[i]) - static_cast<int64_t>(b.frames[i - 1]);
            int len = 1;
            while (len < 8 && (d < -((int64_t{1} << (7 * len - 1)) - 1) || d > (int64_t{1} << (7 * len - 1)) - 1)) ++len;
            Vint(h, static_cast<uint64_t>(d + (int64_t{1} << (7 * len - 1)) - 1), len);
        }
    }
    return h;
}

inline File WriteMkv(const std::vector<MkvTrack>& tracks, const std::vector<MkvBlock>& blocks, const MkvLayout& l,
                     uint32_t seed) {
    File f;
    Bytes ebml = Uint(0x4286, 1);
    Append(ebml, Str(0x4282, "matroska"));
    f.bytes = El(0x1A45DFA3, ebml);
    Bytes seg;
    Bytes info = Uint(0x2AD7B1, l.scale);
    Append(info, Str(0x4D80, "qvtest"));
    Append(seg, El(0x1549A966, info, l.sizeLen));
    if (l.voids) Append(seg, El(0xEC, Bytes(7, 0)));
    Bytes tr;
    for (const MkvTrack& t : tracks) {
        Bytes e = Uint(0xD7, t.number);
        Append(e, Uint(0x73C5, t.number * 1000));
        Append(e, Uint(0x83, static_cast<uint64_t>(t.type)));
        Append(e, Str(0x86, t.codec));
        if (t.defaultDuration) Append(e, Uint(0x23E383, t.defaultDuration));
        if (!t.strip.empty()) {
            Bytes comp = Uint(0x4254, 3);
            Append(comp, El(0x4255, t.strip));
            Append(e, El(0x6D80, El(0x6240, El(0x5034, comp))));
        }
        if (t.zlib) Append(e, El(0x6D80, El(0x6240, El(0x5034, Bytes()))));
        if (t.type == 1) Append(e, El(0xE0, [&t] {
            Bytes v = Uint(0xB0, 64);
            Append(v, Uint(0xBA, 48));
            if (t.stereoMode) Append(v, Uint(0x53B8, t.stereoMode));
            return v;
        }()));
        Append(tr, El(0xAE, e, l.sizeLen));
    }
    Append(seg, El(0x1654AE6B, tr, l.sizeLen));
    // The segment's data begins after its header, whose length the layout fixes.
    const int segSize = l.unknownSegment ? 8 : (l.sizeLen ? l.sizeLen : 8);
    const int64_t segData = static_cast<int64_t>(f.bytes.size()) + 4 + segSize;
    size_t at = 0;
    while (at < blocks.size()) {
        const int64_t start = blocks[at].time;
        Bytes cl = Uint(0xE7, static_cast<uint64_t>(start));
        if (l.voids) Append(cl, El(0xBF, Bytes(4, 0xAB)));
        // The cluster's header length: its ID, and a size as long as the layout says.
        const int clSize = l.unknownClusters ? 8 : (l.sizeLen ? l.sizeLen : 8);
        const int64_t clData = segData + static_cast<int64_t>(seg.size()) + 4 + clSize;
        for (; at < blocks.size() && blocks[at].time - start < l.clusterSpan; ++at) {
            const MkvBlock& b = blocks[at];
            const MkvTrack* t = nullptr;
            for (const MkvTrack& x : tracks)
                if (x.number == b.track) t = &x;
            Bytes data;
            Vint(data, b.track);
            Put(data, static_cast<uint64_t>(static_cast<uint16_t>(b.time - start)), 2);
            data.push_back(static_cast<uint8_t>((b.key && !b.group ? 0x80 : 0) | (b.lacing == 0 ? 0 : b.lacing == 1 ? 2 : b.lacing == 2 ? 4 : 6)));
            Append(data, Lace(b));
            std::vector<Bytes> frames;
            std::vector<int64_t> ends;
            for (size_t n : b.frames) {
                frames.push_back(Noise(n, seed));
                Append(data, frames.back());
                ends.push_back(static_cast<int64_t>(data.size()));
            }
            Bytes el = El(b.group ? 0xA1 : 0xA3, data, 8);
            const int64_t elAt = clData + static_cast<int64_t>(cl.size()) + (b.group ? 1 + 8 : 0);
            const int64_t pos = elAt + 1 + 8;  // the block's data: after its ID and size
            const int64_t laces = static_cast<int64_t>(b.frames.size());
            const int64_t span = t && t->defaultDuration ? static_cast<int64_t>(t->defaultDuration) * laces / static_cast<int64_t>(l.scale) : 0;
            for (size_t i = 0; i < frames.size(); ++i) {
                Bytes bytes = t ? t->strip : Bytes();
                Append(bytes, frames[i]);
                const int64_t k = static_cast<int64_t>(i);
                f.samples.push_back({static_cast<int>(b.track), pos, static_cast<int64_t>(bytes.size()),
                                     i == 0 ? b.time : span ? b.time + span * k / laces : kNone, kNone,
                                     i == 0 && b.key && !b.group, bytes, pos + ends[i]});
            }
            if (b.group) {
                Bytes g = el;
                if (!b.key) Append(g, El(0xFB, Bytes{0xFF}));
                Append(cl, El(0xA0, g, 8));
            } else {
                Append(cl, el);
            }
            if (l.voids) Append(cl, El(0xEC, Bytes(3, 0)));
        }
        Append(seg, El(0x1F43B675, cl, clSize, l.unknownClusters));
    }
    Append(f.bytes, El(0x18538067, seg, segSize, l.unknownSegment));
    return f;
}

}  // namespace qvtest

#include "StartCodes.h"

#include "QvStartCode.h"

#include <algorithm>
#include <cstdio>

namespace qvutil {

bool WalkForward(Input& in, uint32_t find, const HitFn& onHit, const BytesFn& onBytes, Progress* progress) {
    std::vector<uint8_t> buf;
    int64_t base = 0, done = 0;
    for (bool eof = false; !eof;) {
        const size_t before = buf.size();
        const long got = in.Read(buf, PieceSize());
        if (got < 0) return false;
        eof = got == 0;
        if (got > 0 && onBytes) onBytes(buf.data() + before, static_cast<size_t>(got));
        done += got;
        if (progress) progress->Update(done);

        // Hold the last byte back until the input ends, so every hit knows the byte after
        // its code byte. What the walk has not passed carries over into the next piece: a
        // start code cut by the piece end is found there, exactly once.
        const int32_t n = static_cast<int32_t>(eof ? buf.size() : buf.size() - 1);
        QvStartCode sc(buf.data(), n, 0);
        while (const uint32_t code = find ? sc.Find(find) : sc.Next()) {
            const int32_t pos = sc.GetPos();
            onHit({base + pos, code, buf.data() + pos, buf.size() - static_cast<size_t>(pos)});
            sc.Skip();
        }
        const int32_t resume = std::min(sc.GetPos(), n);
        buf.erase(buf.begin(), buf.begin() + resume);
        base += resume;
    }
    return true;
}

bool WalkBackward(Input& in, uint32_t find, const HitFn& onHit, Progress* progress) {
    const int64_t size = in.Size();
    const int64_t piece = static_cast<int64_t>(PieceSize());
    std::vector<uint8_t> buf;
    // end: what the backward walk may still look at, [0, end).
    for (int64_t end = size; end >= 4;) {
        const int64_t start = std::max<int64_t>(0, end - piece);
        const bool lookAhead = end < size;  // the byte after a code that ends at `end`
        if (!in.ReadAt(start, static_cast<size_t>(end - start + (lookAhead ? 1 : 0)), buf)) return false;
        QvStartCode sc(buf.data(), static_cast<int32_t>(end - start), 1);
        while (const uint32_t code = find ? sc.Find(find) : sc.Next()) {
            const int32_t pos = sc.GetPos();
            onHit({start + pos, code, buf.data() + pos, buf.size() - static_cast<size_t>(pos)});
        }
        if (progress) progress->Update(size - start);
        if (start == 0) break;
        // The walk stopped 3 bytes into this piece (or on a start code that close to its
        // front): what lies before that still belongs to the walk.
        end = start + sc.GetPos();
    }
    return true;
}

const char* CodecName(Codec c) {
    switch (c) {
    case Codec::H264: return "H.264/AVC";
    case Codec::H265: return "H.265/HEVC";
    case Codec::Mpeg12: return "MPEG-1/2 video";
    case Codec::Vp9: return "VP9";
    case Codec::Av1: return "AV1";
    default: return "unknown";
    }
}

bool CodecDetector::Feed(const Hit& h) {
    if (m_codec != Codec::Unknown) return true;
    const int c = static_cast<int>(h.code & 0xFF);
    if (c == 0xB3) {
        m_codec = Codec::Mpeg12;
    } else if ((c == 0x40 || c == 0x42) && h.Next() == 0x01) {
        // VPS or SPS with nuh_layer_id 0 and TemporalId 0: no H.264 NAL header reads so.
        m_codec = Codec::H265;
    } else if ((c & 0x80) == 0 && (c & 0x1F) == 7) {
        m_codec = Codec::H264;
    }
    return m_codec != Codec::Unknown;
}

Codec DetectCodec(Input& in) {
    const int64_t limit = std::min<int64_t>(in.Size(), 4 << 20);
    std::vector<uint8_t> head;
    if (limit < 4 || !in.ReadAt(0, static_cast<size_t>(limit), head)) return Codec::Unknown;
    CodecDetector detector;
    QvStartCode sc(head.data(), static_cast<int32_t>(head.size()), 0);
    while (const uint32_t code = sc.Next()) {
        const int32_t pos = sc.GetPos();
        if (detector.Feed({pos, code, head.data() + pos, head.size() - static_cast<size_t>(pos)})) break;
        sc.Skip();
    }
    return detector.Get();
}

int CodeType(Codec c, uint32_t code) {
    const int b = static_cast<int>(code & 0xFF);
    switch (c) {
    case Codec::H264: return b & 0x1F;
    case Codec::H265: return (b >> 1) & 0x3F;
    case Codec::Mpeg12: return (b >= 0x01 && b <= 0xAF) ? 0x01 : b;
    default: return b;
    }
}

namespace {

const char* H264Name(int t) {
    static const char* const names[] = {
        "unspecified", "non-IDR slice", "slice data partition A", "slice data partition B",
        "slice data partition C", "IDR slice", "SEI", "SPS", "PPS", "access unit delimiter",
        "end of sequence", "end of stream", "filler data", "SPS extension", "prefix NAL unit",
        "subset SPS", "depth parameter set", "reserved", "reserved", "auxiliary slice",
        "slice extension", "3D slice extension", "reserved", "reserved"};
    return t < 24 ? names[t] : "unspecified";
}

std::string H265Name(int t) {
    static const char* const names[] = {
        "TRAIL_N slice", "TRAIL_R slice", "TSA_N slice", "TSA_R slice", "STSA_N slice", "STSA_R slice",
        "RADL_N slice", "RADL_R slice", "RASL_N slice", "RASL_R slice"};
    static const char* const irap[] = {"BLA_W_LP slice", "BLA_W_RADL slice", "BLA_N_LP slice",
                                       "IDR_W_RADL slice", "IDR_N_LP slice", "CRA slice"};
    static const char* const nonVcl[] = {"VPS", "SPS", "PPS", "access unit delimiter", "end of sequence",
                                         "end of bitstream", "filler data", "prefix SEI", "suffix SEI"};
    if (t < 10) return names[t];
    if (t >= 16 && t <= 21) return irap[t - 16];
    if (t >= 32 && t <= 40) return nonVcl[t - 32];
    return t < 48 ? "reserved" : "unspecified";
}

std::string MpegName(int b) {
    switch (b) {
    case 0x00: return "picture";
    case 0x01: return "slice";
    case 0xB2: return "user data";
    case 0xB3: return "sequence header";
    case 0xB4: return "sequence error";
    case 0xB5: return "extension";
    case 0xB7: return "sequence end";
    case 0xB8: return "group of pictures";
    case 0xB9: return "program end";
    case 0xBA: return "pack header";
    case 0xBB: return "system header";
    default: break;
    }
    if (b >= 0xC0 && b <= 0xDF) return "audio stream";
    if (b >= 0xE0 && b <= 0xEF) return "video stream";
    if (b >= 0xBC) return "stream";
    return "reserved";
}

}  // namespace

std::string TypeName(Codec c, int type) {
    char buf[32];
    switch (c) {
    case Codec::H264:
        return H264Name(type);
    case Codec::H265:
        return H265Name(type);
    case Codec::Mpeg12:
        return MpegName(type);
    default:
        std::snprintf(buf, sizeof buf, "code byte 0x%02x", type);
        return buf;
    }
}

}  // namespace qvutil

#include "EsAnalyser.h"

#include "QvStartCode.h"
#include "StartCodes.h"
#include "codec/H264Parser.h"
#include "codec/H265Parser.h"
#include "codec/Mpeg2Parser.h"
#include "codec/NalConfig.h"
#include "codec/Rbsp.h"

#include <algorithm>
#include <cstring>

namespace qvutil {

namespace {

// What is kept of units met before the codec is known.
constexpr size_t kPendingBytes = 1 << 20;
constexpr size_t kPendingUnits = 1024;
// QvStartCode walks ranges of up to 2^31 - 1 bytes.
constexpr size_t kMaxPiece = size_t{1} << 30;

size_t DetectionWant(uint32_t code) {
    const int c = static_cast<int>(code & 0xFF);
    // Whatever codec it turns out to be, its sequence-level units are wanted whole.
    if (c == 0xB3 || c == 0xB5 || c == 0x40 || c == 0x42 || c == 0x44 || (c & 0x1F) == 7 || (c & 0x1F) == 8)
        return kMaxHeaderUnit;
    return 4096;
}

// The detector's guess from a start code, held against the header it names: an MPEG-2
// slice (0x107) reads as an H.264 SPS by its code byte alone.
bool Plausible(Codec codec, const Unit& u) {
    std::string error;
    if (codec == Codec::Mpeg12) {
        Mpeg2Sequence s;
        return u.have >= 4 && ParseMpegSequenceHeader(u.data + 4, u.have - 4, s, error);
    }
    if (u.have < 5) return false;
    std::vector<uint8_t> rbsp;
    Unescape(u.data + 3, u.have - 3, rbsp);
    // Wholly valid, VUI included, and of a profile that exists.
    if (codec == Codec::H264) {
        H264Sps s;
        return ParseH264Sps(rbsp.data(), rbsp.size(), s, error) && error.empty() &&
               H264ProfileName(s.profileIdc, 0) != std::to_string(s.profileIdc);
    }
    if ((u.code & 0xFF) == 0x40) {
        H265Vps v;
        return ParseH265Vps(rbsp.data(), rbsp.size(), v, error);
    }
    H265Sps s;
    return ParseH265Sps(rbsp.data(), rbsp.size(), s, error) && error.empty();
}

}  // namespace

EsAnalyser::EsAnalyser(Codec codec) {
    if (codec != Codec::Unknown) {
        m_model.codec = codec;
        m_parser = MakeCodecParser(codec, m_model, *this);
    }
}

EsAnalyser::~EsAnalyser() = default;

uint8_t EsAnalyser::ByteBefore(int64_t offset, const uint8_t* p) const {
    const int64_t o = offset - 1;
    if (o >= m_pos) return p[o - m_pos];
    const int64_t i = m_historyLen - (m_pos - o);
    return i >= 0 ? m_history[i] : 1;
}

void EsAnalyser::Capture(const uint8_t* p, size_t upTo) {
    if (m_unitOpen && upTo > m_copyFrom && m_buf.size() < m_want) {
        const size_t take = std::min(upTo - m_copyFrom, m_want - m_buf.size());
        m_buf.insert(m_buf.end(), p + m_copyFrom, p + m_copyFrom + take);
    }
    if (upTo > m_copyFrom) m_copyFrom = upTo;
}

void EsAnalyser::StartCode(int64_t offset, uint8_t codeByte, const uint8_t* p) {
    const int64_t index = offset - m_pos;  // negative: the start code began in an earlier piece
    if (m_unitOpen) {
        Capture(p, index > 0 ? static_cast<size_t>(index) : 0);
        CloseUnit(offset);
    }
    ++m_model.codeCounts[codeByte];
    ++m_model.startCodes;
    m_unit = Unit();
    m_unit.offset = offset;
    m_unit.code = 0x100u + codeByte;
    m_unit.zeroBefore = offset > 0 && ByteBefore(offset, p) == 0;
    m_want = std::max<size_t>(4, m_parser ? m_parser->Want(m_unit.code) : DetectionWant(m_unit.code));
    m_buf.clear();
    for (int64_t o = offset; o < m_pos; ++o) m_buf.push_back(m_tail[o - (m_pos - m_tailLen)]);
    m_copyFrom = index > 0 ? static_cast<size_t>(index) : 0;
    m_unitOpen = true;
}

void EsAnalyser::CloseUnit(int64_t end) {
    m_unit.size = end - m_unit.offset;
    if (static_cast<int64_t>(m_buf.size()) > m_unit.size) m_buf.resize(static_cast<size_t>(m_unit.size));
    m_unit.data = m_buf.data();
    m_unit.have = m_buf.size();
    m_unitOpen = false;
    Dispatch(m_unit);
}

void EsAnalyser::Dispatch(const Unit& u) {
    if (m_parser) {
        m_parser->OnUnit(u);
        return;
    }
    CodecDetector detector;
    const bool guessed = detector.Feed({u.offset, u.code, u.data, u.have});
    if (!guessed || !Plausible(detector.Get(), u)) {
        if (guessed && m_guess == Codec::Unknown) m_guess = detector.Get();
        if (m_pending.size() < kPendingUnits && m_pendingBytes + u.have <= kPendingBytes) {
            m_pending.push_back({u, std::vector<uint8_t>(u.data, u.data + u.have)});
            m_pendingBytes += u.have;
        }
        return;
    }
    StartParser(detector.Get());
    m_parser->OnUnit(u);
}

void EsAnalyser::StartParser(Codec codec) {
    m_model.codec = codec;
    m_parser = MakeCodecParser(codec, m_model, *this);
    for (Pending& q : m_pending) {
        q.unit.data = q.bytes.data();
        m_parser->OnUnit(q.unit);
    }
    m_pending.clear();
    m_pendingBytes = 0;
}

void EsAnalyser::Feed(const uint8_t* p, size_t n, int64_t pts, int64_t dts) {
    for (; n > kMaxPiece; p += kMaxPiece, n -= kMaxPiece, pts = dts = kNoTime) Feed(p, kMaxPiece, pts, dts);
    if (pts != kNoTime && !m_framed) {
        m_pts.push_back({m_pos, pts, dts});
        if (m_pts.size() > 4096) m_pts.pop_front();
    }
    if (n == 0) return;
    m_copyFrom = 0;

    // Start codes that began in the bytes kept from earlier pieces. One that this piece is
    // still too short to complete keeps its bytes waiting.
    size_t scanFrom = 0;
    int undecided = -1;
    if (m_tailLen > 0) {
        uint8_t buf[6];
        std::memcpy(buf, m_tail, static_cast<size_t>(m_tailLen));
        const size_t extra = std::min<size_t>(n, 3);
        std::memcpy(buf + m_tailLen, p, extra);
        const int len = m_tailLen + static_cast<int>(extra);
        for (int i = 0; i < m_tailLen; ++i) {
            if (i + 3 >= len) {
                undecided = i;
                break;
            }
            if (buf[i] == 0 && buf[i + 1] == 0 && buf[i + 2] == 1) {
                StartCode(m_pos - m_tailLen + i, buf[i + 3], p);
                scanFrom = static_cast<size_t>(i + 4 - m_tailLen);
                break;
            }
        }
    }

    // The walk over this piece, as one QvStartCode walk (Next, Skip) over the whole stream.
    size_t resume = scanFrom;  // the first byte that may still begin a start code
    if (undecided < 0 && n - scanFrom >= 4) {
        QvStartCode sc(const_cast<uint8_t*>(p) + scanFrom, static_cast<int32_t>(n - scanFrom), 0);
        while (sc.Next()) {
            const size_t at = scanFrom + static_cast<size_t>(sc.GetPos());
            StartCode(m_pos + static_cast<int64_t>(at), p[at + 3], p);
            sc.Skip();
        }
        resume = scanFrom + static_cast<size_t>(sc.GetPos());
    }
    Capture(p, n);

    uint8_t tail[6];
    int tailLen = 0;
    if (undecided >= 0) {
        for (int i = undecided; i < m_tailLen; ++i) tail[tailLen++] = m_tail[i];
        for (size_t i = 0; i < n; ++i) tail[tailLen++] = p[i];
    } else {
        for (size_t i = std::max(resume, n >= 3 ? n - 3 : 0); i < n; ++i) tail[tailLen++] = p[i];
    }
    std::memcpy(m_tail, tail, static_cast<size_t>(tailLen));
    m_tailLen = tailLen;

    uint8_t history[8];
    int historyLen = 0;
    for (int i = 0; i < m_historyLen; ++i) history[historyLen++] = m_history[i];
    for (size_t i = n >= 4 ? n - 4 : 0; i < n; ++i) history[historyLen++] = p[i];
    const int keep = std::min(historyLen, 4);
    std::memcpy(m_history, history + historyLen - keep, static_cast<size_t>(keep));
    m_historyLen = keep;

    m_pos += static_cast<int64_t>(n);
}

void EsAnalyser::Configure(const StreamInfo& info) {
    m_framed = true;
    const Codec codec = m_model.codec;
    if (codec == Codec::Vp9 || codec == Codec::Av1) {
        m_frameParser = MakeFrameParser(codec, m_model, *this);
        if (m_frameParser) m_frameParser->OnConfig(info.config.data(), info.config.size());
        return;
    }
    if (codec != Codec::H264 && codec != Codec::H265) return;  // MPEG-1/2: start codes in the samples
    NalConfig config;
    std::string why;
    if (!ParseNalConfig(info.config.data(), info.config.size(), codec == Codec::H265, config, why) &&
        !info.config.empty())
        m_model.Diagnose(std::string("invalid ") + (codec == Codec::H265 ? "hvcC" : "avcC") + ": " + why);
    m_lengthSize = config.lengthSize;
    // The parameter sets come before the first sample, at its offset.
    for (const std::vector<uint8_t>& u : config.units) {
        m_nalOffset = m_pos;
        m_nalSize = static_cast<int64_t>(u.size());
        m_buf.assign({0, 0, 1});
        m_buf.insert(m_buf.end(), u.begin(), u.begin() + static_cast<std::ptrdiff_t>(std::min(u.size(), kMaxHeaderUnit)));
        m_firstUnit = false;
        EndNal();
    }
}

void EsAnalyser::BeginSample(const Sample& s) {
    if (m_sampleLeft > 0) EndSample();
    m_sampleStart = m_pos;
    m_samplePos = s.pos;
    m_sampleSize = m_sampleLeft = std::max<int64_t>(s.size, 0);
    m_marks.push_back({m_pos, s});
    if (m_marks.size() > 4096) m_marks.pop_front();
    m_firstUnit = true;
    m_lengthHave = 0;
    m_nalLeft = -1;
    m_buf.clear();
    if (m_sampleLeft == 0) EndSample();
}

void EsAnalyser::EndNal() {
    Unit u;
    u.offset = m_nalOffset;
    u.code = 0x100u + m_buf[3];
    u.data = m_buf.data();
    u.have = m_buf.size();
    u.size = 3 + m_nalSize;
    u.auStart = m_firstUnit;
    m_firstUnit = false;
    ++m_model.codeCounts[m_buf[3]];
    ++m_model.startCodes;
    Dispatch(u);
    m_nalSent = true;
}

// Bytes of the NAL unit being read: its first ones are kept for the parser, which has it
// once it has all it wants; the rest pass by.
size_t EsAnalyser::NalBytes(const uint8_t* p, size_t n) {
    size_t used = 0;
    if (!m_nalSent) {
        if (m_buf.size() == 3) m_want = std::max<size_t>(5, m_parser ? m_parser->Want(0x100u + p[0]) : 5);
        const size_t take = static_cast<size_t>(std::min<int64_t>({static_cast<int64_t>(n), m_nalLeft,
                                                                   static_cast<int64_t>(m_want - m_buf.size())}));
        m_buf.insert(m_buf.end(), p, p + take);
        used = take;
        m_nalLeft -= static_cast<int64_t>(take);
        if (m_buf.size() >= m_want || m_nalLeft == 0) EndNal();
    }
    const size_t pass = static_cast<size_t>(std::min<int64_t>(m_nalLeft, static_cast<int64_t>(n - used)));
    m_nalLeft -= static_cast<int64_t>(pass);
    return used + pass;
}

int64_t EsAnalyser::SampleData(const uint8_t* p, size_t n) {
    if (m_sampleLeft <= 0) return 0;
    n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), m_sampleLeft));
    if (!m_lengthSize && !m_frameParser) {
        // Start codes within the samples, read as a bare stream's.
        Feed(p, n);
        m_sampleLeft -= static_cast<int64_t>(n);
        if (!m_sampleLeft) EndSample();
        return 0;
    }
    int64_t skip = 0;
    if (m_frameParser) {
        const size_t want = m_frameParser->Want();
        const size_t take = std::min(n, want > m_buf.size() ? want - m_buf.size() : 0);
        m_buf.insert(m_buf.end(), p, p + take);
        m_sampleLeft -= static_cast<int64_t>(n);
        if (m_buf.size() >= want) {
            skip = m_sampleLeft;
            m_sampleLeft = 0;
        }
    } else {
        for (size_t i = 0; i < n;) {
            if (m_nalLeft < 0) {
                const int64_t at = m_sampleSize - m_sampleLeft + static_cast<int64_t>(i);
                if (m_lengthHave == 0) m_nalOffset = m_sampleStart + at, m_length = 0;
                while (i < n && m_lengthHave < m_lengthSize) m_length = m_length << 8 | p[i++], ++m_lengthHave;
                if (m_lengthHave < m_lengthSize) break;
                m_lengthHave = 0;
                const int64_t left = m_sampleLeft - static_cast<int64_t>(i);
                m_nalSize = m_length;
                if (m_nalSize > left) {
                    // ffmpeg drops the rest of such a sample; the unit is read as far as it goes.
                    if (!m_badLengths++)
                        m_model.Diagnose("NAL unit length " + std::to_string(m_length) + " at byte " + std::to_string(at) +
                                         " of the sample at file offset " + std::to_string(m_samplePos) +
                                         " runs past the sample's end");
                    m_nalSize = left;
                }
                if (m_nalSize == 0) continue;
                m_nalLeft = m_nalSize;
                m_nalSent = false;
                m_buf.assign({0, 0, 1});
            }
            i += NalBytes(p + i, n - i);
            if (m_nalLeft == 0) m_nalLeft = -1;
        }
        m_sampleLeft -= static_cast<int64_t>(n);
        // What is left of a unit the parser has: passed over unread.
        if (m_nalLeft > 0 && m_nalSent) {
            skip = std::min(m_nalLeft, m_sampleLeft);
            m_sampleLeft -= skip;
            m_nalLeft -= skip;
            if (m_nalLeft == 0) m_nalLeft = -1;
        }
    }
    if (!m_sampleLeft) EndSample();
    return skip;
}

void EsAnalyser::EndSample() {
    if (m_frameParser) {
        Frame f;
        f.offset = m_sampleStart;
        f.data = m_buf.data();
        f.have = m_buf.size();
        f.size = m_sampleSize;
        f.key = !m_marks.empty() && m_marks.back().offset == m_sampleStart && m_marks.back().sample.key;
        m_frameParser->OnFrame(f);
    } else if (m_lengthSize) {
        if (m_nalLeft >= 0 && !m_nalSent && m_buf.size() > 3) EndNal();
        if (m_lengthHave > 0 || (m_nalLeft > 0 && !m_sampleLeft && !m_nalSent))
            m_model.Diagnose("sample at offset " + std::to_string(m_sampleStart) + " ends inside a NAL unit length");
    }
    if (m_lengthSize || m_frameParser) m_pos = m_sampleStart + m_sampleSize;
    m_sampleLeft = 0;
    m_nalLeft = -1;
    m_lengthHave = 0;
    m_buf.clear();
}

void EsAnalyser::Finish() {
    if (m_sampleLeft > 0) EndSample();
    if (m_unitOpen) CloseUnit(m_pos);
    // No header was good enough to decide the codec: the first guess stands, so that what is
    // wrong with its header gets reported.
    if (!m_parser && m_guess != Codec::Unknown) StartParser(m_guess);
    if (m_parser) m_parser->Finish(m_pos);
    if (m_frameParser) m_frameParser->Finish();
    m_model.bytes = m_pos;
    if (m_framesInGop > 0) {
        GopStats& g = m_model.gop;
        if (g.complete == 0) g.minFrames = g.maxFrames = g.totalFrames = m_framesInGop;
        else g.lastFrames = m_framesInGop;
        m_framesInGop = -1;
    }
}

void EsAnalyser::OnPicture(const Picture& pic) {
    Picture q = pic;
    // The time stamp of the container packet the access unit begins in (zero bytes of the
    // start code may stand before it); in a framed stream, the sample's.
    while (!m_pts.empty() && m_pts.front().offset <= q.offset + 4) {
        q.pts = m_pts.front().pts;
        q.dts = m_pts.front().dts;
        m_pts.pop_front();
    }
    while (!m_marks.empty() && m_marks.front().offset <= q.offset) {
        if (m_marks.front().offset == q.offset) {
            const Sample& s = m_marks.front().sample;
            q.pos = s.pos, q.pts = s.pts, q.dts = s.dts;
            q.discard = s.discard;
        }
        m_marks.pop_front();
    }
    StreamModel& m = m_model;
    // Whatever comes before the first access unit travels with it (in a bare stream).
    if (m.pictures == 0 && !m_framed) {
        q.size += q.offset;
        q.offset = 0;
    }
    ++m.pictures;
    if (q.structure != 3) ++m.fields;
    // HEVC decoders output every field picture as a frame; H.264 and MPEG-2 ones pair them.
    if (q.output && !q.discard && (m.codec == Codec::H265 || !q.secondField)) ++m.outputFrames;
    if (!q.secondField) {
        ++m.frames;
        const int t = q.type == 'I' ? 0 : q.type == 'P' ? 1 : q.type == 'B' ? 2 : 3;
        ++m.typeCount[t];
        if (q.type == 'B') {
            m.bFrames = true;
            m.gop.maxBRun = std::max(m.gop.maxBRun, ++m_bRun);
        } else {
            m_bRun = 0;
        }
        if (q.key) {
            ++m.keyFrames;
            if (!std::strcmp(q.kind, "IDR")) ++m.idrFrames;
            GopStats& g = m.gop;
            if (m_framesInGop > 0) {
                g.minFrames = g.complete ? std::min(g.minFrames, m_framesInGop) : m_framesInGop;
                g.maxFrames = std::max(g.maxFrames, m_framesInGop);
                g.totalFrames += m_framesInGop;
                ++g.complete;
            }
            ++g.count;
            if (!q.closedGop) ++g.open;
            m_framesInGop = 0;
        }
        if (m_framesInGop >= 0) ++m_framesInGop;
    }
    if (m_onPicture) m_onPicture(q);
}

}  // namespace qvutil

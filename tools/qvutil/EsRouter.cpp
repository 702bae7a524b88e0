#include "EsRouter.h"

#include "Pump.h"
#include "codec/AudioProbe.h"
#include "container/Pes.h"

#include <algorithm>

namespace qvutil {

Codec CodecOf(EsCodec c) {
    switch (c) {
    case EsCodec::kH264: return Codec::H264;
    case EsCodec::kH265: return Codec::H265;
    case EsCodec::kMpeg1Video: case EsCodec::kMpeg2Video: return Codec::Mpeg12;
    case EsCodec::kVp9: return Codec::Vp9;
    case EsCodec::kAv1: return Codec::Av1;
    default: return Codec::Unknown;
    }
}

int EsRouter::Shown(int id) const {
    // A program stream's ids as ffprobe shows them: its start code (0x1e0), or a private
    // stream 1 sub-stream's number (0x80).
    if (id == kElementaryId || m_container != Container::kMpegPs) return id;
    return id & kPrivateSubstream ? id & 0xFF : id | 0x100;
}

bool AudioByItsBytes(const StreamInfo& info, Container c) {
    const bool byteStream = c != Container::kMp4 && c != Container::kMatroska;
    return byteStream && (info.codec == EsCodec::kUnknown || info.codecName == "mp3" || info.codecName == "mp2" ||
                          (info.kind == StreamKind::kData && info.codecName.empty()));
}

bool EsRouter::OnStream(const StreamInfo& info) {
    if (Find(info.id)) return false;
    m_streams.push_back({info.id, info, nullptr, {}, false, {}, {}, kNoTime, kNoTime});
    Entry& e = m_streams.back();
    e.probe = AudioByItsBytes(info, m_container);
    // Streams that may be video are analysed too; their bytes decide.
    const bool readable = info.codec != EsCodec::kOther && (info.IsVideo() || info.codec == EsCodec::kUnknown);
    if (!readable) return false;
    e.analyser = std::make_unique<EsAnalyser>(CodecOf(info.codec));
    const int shown = Shown(info.id);
    e.analyser->Model().id = info.id == kElementaryId ? -1 : shown;
    e.analyser->Model().program = info.program;
    e.analyser->OnEachPicture([this, shown](const Picture& p) {
        if (m_onPicture) m_onPicture(shown, p);
    });
    if (m_container == Container::kMp4 || m_container == Container::kMatroska) e.analyser->Configure(info);
    return true;
}

EsRouter::Entry* EsRouter::Find(int id) {
    if (m_last < m_streams.size() && m_streams[m_last].id == id) return &m_streams[m_last];
    for (size_t i = 0; i < m_streams.size(); ++i)
        if (m_streams[i].id == id) {
            m_last = i;
            return &m_streams[i];
        }
    return nullptr;
}

void EsRouter::OnData(int id, const uint8_t* p, size_t n, int64_t pts, int64_t dts) {
    Entry* e = Find(id);
    if (!e) return;
    int64_t stamp = kNoTime, decode = kNoTime;
    if (pts >= 0) {
        // 33-bit time stamps wrap about every 26 hours: each stream's run on from its first.
        // Where the file's first stamp lies in the last minute before a wrap, ffmpeg moves
        // the stamps before the wrap below zero instead of those after it up.
        constexpr int64_t kWrap = int64_t{1} << 33;
        if (m_wrapFirst == kNoTime) {
            m_wrapFirst = dts >= 0 ? dts : pts;
            m_wrapShift = m_wrapFirst >= kWrap - 60 * 90000 ? -kWrap : 0;
        }
        if (e->anchor == kNoTime) e->anchor = pts;
        while (pts < e->anchor - kWrap / 2) pts += kWrap;
        while (dts >= 0 && dts < e->anchor - kWrap / 2) dts += kWrap;
        stamp = pts + m_wrapShift;
        decode = dts >= 0 ? dts + m_wrapShift : kNoTime;
        if (e->firstPts == kNoTime) e->firstPts = stamp;
        e->maxPts = e->maxPts == kNoTime ? stamp : std::max(e->maxPts, stamp);
    }
    if (e->probe && e->head.size() < kAudioProbeHead)
        e->head.insert(e->head.end(), p, p + std::min(n, kAudioProbeHead - e->head.size()));
    if (e->analyser) e->analyser->Feed(p, n, stamp, decode);
}

bool EsRouter::OnSample(int id, const Sample& s) {
    Entry* e = Find(id);
    if (!e) return false;
    SampleStats& st = e->samples;
    ++st.count;
    st.bytes += s.size;
    st.keys += s.key;
    if (s.pts != kNoTime) {
        if (st.firstPts == kNoTime) st.firstPts = s.pts;
        st.minPts = st.minPts == kNoTime ? s.pts : std::min(st.minPts, s.pts);
        const int64_t end = s.pts + std::max<int64_t>(s.duration, 0);
        st.maxEnd = st.maxEnd == kNoTime ? end : std::max(st.maxEnd, end);
    }
    if (s.dts != kNoTime && st.firstDts == kNoTime) st.firstDts = s.dts;
    if (!e->analyser) return false;
    e->analyser->BeginSample(s);
    return e->analyser->Wants();
}

int64_t EsRouter::OnSampleData(int id, const uint8_t* p, size_t n) {
    Entry* e = Find(id);
    if (!e || !e->analyser) return INT64_MAX - static_cast<int64_t>(n);
    return e->analyser->SampleData(p, n);
}

void EsRouter::Finish() {
    for (Entry& e : m_streams) {
        if (e.analyser) e.analyser->Finish();
        if (e.probe && !(e.analyser && e.analyser->Model().codec != Codec::Unknown)) e.probed = ProbeAudio(e.head.data(), e.head.size());
        std::vector<uint8_t>().swap(e.head);
    }
}

std::vector<const StreamModel*> EsRouter::Streams(bool withUnknown) const {
    std::vector<const StreamModel*> out;
    for (const Entry& e : m_streams)
        if (e.analyser && (e.analyser->Model().codec != Codec::Unknown || (withUnknown && e.info.IsVideo())))
            out.push_back(&e.analyser->Model());
    return out;
}

MediaModel EsRouter::Model(const Demuxer& demux, const FormatInfo& format) const {
    MediaModel m;
    m.format = format;
    m.container = m_container;
    const ContainerFacts& facts = demux.Facts();
    m.format.tags = facts.tags;
    m.format.startUs = facts.startUs;
    m.format.durationUs = facts.durationUs;
    const bool pes = m_container == Container::kMpegTs || m_container == Container::kM2ts || m_container == Container::kMpegPs;
    std::vector<StreamInfo> timed;
    int64_t end = INT64_MIN;
    for (const StreamInfo& info : facts.streams) {
        StreamReport r;
        r.info = info;
        r.shownId = Shown(info.id);
        for (const Entry& e : m_streams) {
            if (e.id != info.id) continue;
            r.samples = e.samples;
            if (pes && e.firstPts != kNoTime) {
                // As ffmpeg times these: from the first time stamp to the last, and the
                // last picture's duration.
                r.info.timeBase = {1, 90000};
                r.info.startTime = e.firstPts;
                const StreamModel* v = e.analyser ? &e.analyser->Model() : nullptr;
                if (v && v->seq.frameRate.Known()) {
                    const int64_t last = e.maxPts + 90000 * v->seq.frameRate.den / v->seq.frameRate.num;
                    r.info.duration = last - e.firstPts;
                    end = std::max(end, last);
                }
                timed.push_back(r.info);
            }
            if (!e.probed.empty()) {
                r.info.kind = StreamKind::kAudio;
                r.info.codecName = e.probed;
            }
            if (e.analyser && (e.analyser->Model().codec != Codec::Unknown || info.IsVideo()))
                r.video = &e.analyser->Model();
            // Private data that turned out to be video.
            if (r.video && r.info.kind != StreamKind::kVideo && r.video->codec != Codec::Unknown)
                r.info.kind = StreamKind::kVideo;
        }
        m.streams.push_back(r);
    }
    if (pes && !timed.empty()) {
        m.format.startUs = FormatStartUs(timed);
        if (end != INT64_MIN && m.format.startUs != kNoTime) m.format.durationUs = (end * 100 + 4) / 9 - m.format.startUs;
    }
    return m;
}

}  // namespace qvutil

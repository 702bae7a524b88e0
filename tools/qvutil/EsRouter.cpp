#include "EsRouter.h"

#include "Pump.h"
#include "codec/AudioProbe.h"
#include "container/Pes.h"

#include <algorithm>
#include <cmath>

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
    if (id == kElementaryId) return id;
    if (m_container != Container::kMpegPs) return id & ~kCoreSubstream;
    return id & kPrivateSubstream ? id & 0xFF : id | 0x100;
}

bool AudioByItsBytes(const StreamInfo& info, Container c) {
    const bool byteStream = c != Container::kMp4 && c != Container::kMatroska;
    return byteStream && (info.codec == EsCodec::kUnknown || info.codecName == "mp3" || info.codecName == "mp2" ||
                          (info.kind == StreamKind::kData && info.codecName.empty()));
}

bool EsRouter::OnStream(const StreamInfo& info) {
    if (Find(info.id)) return false;
    m_streams.push_back({info.id, info, nullptr, nullptr, {}, false, {}, {}, kNoTime, kNoTime, kNoTime, {}});
    Entry& e = m_streams.back();
    e.probe = AudioByItsBytes(info, m_container);
    const bool framed = m_container == Container::kMp4 || m_container == Container::kMatroska;
    // MPEG audio's layer, where the container leaves it open, is its frames' to tell.
    if (info.kind == StreamKind::kAudio && (framed || !e.probe || info.codecName == "mp2" || info.codecName == "mp3"))
        StartAudio(e, info.codecName);
    // Streams that may be video are analysed too; their bytes decide.
    const bool readable = info.codec != EsCodec::kOther && (info.IsVideo() || info.codec == EsCodec::kUnknown);
    if (!readable) return e.audio != nullptr;
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

// Codecs whose frames say more than a framed container's description: their first samples'
// headers are read.
bool HeadersInFrames(const std::string& codec) {
    return codec == "mp1" || codec == "mp2" || codec == "mp3" || codec == "ac3" || codec == "eac3" ||
           codec == "dts" || codec == "truehd" || codec == "mlp";
}

void EsRouter::StartAudio(Entry& e, const std::string& codec) {
    e.audio = std::make_unique<AudioAnalyser>(codec);
    if (m_container == Container::kMp4 || m_container == Container::kMatroska) e.audio->Configure(e.info);
    else e.audio->Describe(e.info);
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
        if (e->analyser && e->stamps.size() < kRateStamps) e->stamps.push_back(stamp);
    }
    if (stamp != kNoTime) e->lastPts = stamp;
    if (m_onAudio && (e->audio || e->info.kind == StreamKind::kAudio || (e->probe && !e->info.IsVideo())))
        m_onAudio(Shown(id), e->lastPts, static_cast<int64_t>(n));
    if (e->audio) {
        e->audio->Feed(p, n, pts != -1, pts >= 0);
    } else if (e->probe) {
        // The codec is for the first bytes to tell; they are kept until there are enough.
        const size_t take = std::min(n, kAudioProbeHead - e->head.size());
        e->head.insert(e->head.end(), p, p + take);
        if (e->head.size() >= kAudioProbeHead) {
            e->probed = ProbeAudio(e->head.data(), e->head.size());
            if (!e->probed.empty()) {
                StartAudio(*e, e->probed);
                e->audio->Feed(e->head.data(), e->head.size(), true, e->firstPts != kNoTime);
                if (take < n) e->audio->Feed(p + take, n - take);
            }
            e->probe = false;
            std::vector<uint8_t>().swap(e->head);
        }
    }
    if (e->analyser) e->analyser->Feed(p, n, stamp, decode);
}

bool EsRouter::OnSample(int id, const Sample& s) {
    Entry* e = Find(id);
    if (!e) return false;
    SampleStats& st = e->samples;
    ++st.count;
    st.bytes += s.size;
    // Wholly before the edit's start: decoded, never output.
    if (s.pts != kNoTime && s.pts + s.duration <= 0 && s.discard) ++st.hidden;
    st.keys += s.key;
    if (s.pts != kNoTime) {
        if (st.firstPts == kNoTime) st.firstPts = s.pts;
        st.minPts = st.minPts == kNoTime ? s.pts : std::min(st.minPts, s.pts);
        const int64_t end = s.pts + std::max<int64_t>(s.duration, 0);
        st.maxEnd = st.maxEnd == kNoTime ? end : std::max(st.maxEnd, end);
    }
    if (s.dts != kNoTime && st.firstDts == kNoTime) st.firstDts = s.dts;
    if (m_onAudio && e->info.kind == StreamKind::kAudio) m_onAudio(Shown(id), s.pts, s.size);
    // The first samples of audio whose frames have headers; the rest are counted.
    if (e->audio) return HeadersInFrames(e->audio->CodecName()) && e->audio->WantsHead(m_container == Container::kMatroska);
    if (!e->analyser) return false;
    e->analyser->BeginSample(s);
    return e->analyser->Wants();
}

int64_t EsRouter::OnSampleData(int id, const uint8_t* p, size_t n) {
    Entry* e = Find(id);
    if (e && e->audio) {
        // The first bytes are enough; the container's sample size is the frame's.
        if (e->audio->WantsHead(m_container == Container::kMatroska)) e->audio->SampleHead(p, n);
        return INT64_MAX - static_cast<int64_t>(n);
    }
    if (!e || !e->analyser) return INT64_MAX - static_cast<int64_t>(n);
    return e->analyser->SampleData(p, n);
}

void EsRouter::Finish() {
    for (Entry& e : m_streams) {
        if (e.analyser) e.analyser->Finish();
        if (e.probe && !(e.analyser && e.analyser->Model().codec != Codec::Unknown)) {
            e.probed = ProbeAudio(e.head.data(), e.head.size());
            if (!e.probed.empty()) {
                StartAudio(e, e.probed);
                e.audio->Feed(e.head.data(), e.head.size());
            }
        }
        if (e.audio) e.audio->Finish();
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

std::string EsRouter::AudioCodec() const {
    for (const Entry& e : m_streams)
        if (e.audio && e.audio->Model().facts.present) return e.audio->Model().facts.codecName;
    return std::string();
}

// The frame rate the time stamps of a video stream's packets show: their usual step (the
// median), as a standard rate where one is within 0.1%.
Rational StampRate(std::vector<int64_t> stamps) {
    if (stamps.size() < 3) return Rational();
    std::sort(stamps.begin(), stamps.end());
    std::vector<int64_t> steps;
    for (size_t i = 1; i < stamps.size(); ++i)
        if (stamps[i] > stamps[i - 1]) steps.push_back(stamps[i] - stamps[i - 1]);
    if (steps.empty()) return Rational();
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    const int64_t step = steps[steps.size() / 2];
    static const Rational kStandard[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1},
                                         {48, 1},       {50, 1}, {60000, 1001}, {60, 1}, {120, 1}};
    const double fps = 90000.0 / static_cast<double>(step);
    Rational best;
    double error = 0.001;
    for (const Rational& r : kStandard) {
        const double e = std::fabs(fps * static_cast<double>(r.den) / static_cast<double>(r.num) - 1);
        if (e < error) best = r, error = e;
    }
    return best.Known() ? best : Reduce(90000, step);
}

// The samples ffmpeg reckons a transport or program stream's last audio packet to last
// when it times the stream: one frame of the codecs whose frame length it knows before
// decoding, what the bytes hold for PCM, nothing for the rest.
int64_t LastPacketSamples(const AudioAnalyser& a) {
    const AudioModel& m = a.Model();
    const AudioFacts& f = m.facts;
    const std::string& c = f.codecName;
    if (c == "aac") return f.frameSamples;
    if (c == "ac3" || c == "mp1" || c == "mp2" || c == "mp3" || c == "truehd" || c == "mlp") return f.frameSamples;
    if (c == "pcm_bluray" && f.bitsPerCoded > 0) {
        const int64_t frame = ((f.channels + 1) & ~1) * f.bitsPerCoded / 8;
        return m.lastUnitBytes > 4 ? (m.lastUnitBytes - 4) / frame : 0;
    }
    if (c == "pcm_dvd" && f.bitsPerCoded > 0) {
        const int64_t pair = int64_t{f.bitsPerCoded} * 2 / 8 * f.channels;
        return m.lastUnitBytes > 3 ? 2 * ((m.lastUnitBytes - 3) / pair) : 0;
    }
    return 0;
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
    const bool framed = m_container == Container::kMp4 || m_container == Container::kMatroska;
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
                const AudioFacts* a = e.audio && e.audio->Model().facts.present ? &e.audio->Model().facts : nullptr;
                int64_t last = kNoTime;
                const Rational rate = v ? PlausibleRate(v->seq.frameRate, StampRate(e.stamps)) : Rational();
                if (rate.Known()) last = e.maxPts + 90000 * rate.den / rate.num;
                // Audio: the last packet's stamp and the length ffmpeg gives it.
                else if (a && a->sampleRate > 0)
                    last = e.maxPts + int64_t{90000} * LastPacketSamples(*e.audio) / a->sampleRate;
                if (last != kNoTime) {
                    r.info.duration = last - e.firstPts;
                    end = std::max(end, last);
                }
                timed.push_back(r.info);
            }
            if (!e.probed.empty()) {
                r.info.kind = StreamKind::kAudio;
                r.info.codecName = e.probed;
            }
            if (pes) r.stampRate = StampRate(e.stamps);
            if (e.audio) {
                r.audio = &e.audio->Model();
                const AudioFacts& a = r.audio->facts;
                // The frames name MPEG audio's layer, and E-AC-3 sent as AC-3.
                if (a.present && !a.codecName.empty() && r.info.codecName != "aac_latm" && !framed)
                    r.info.codecName = a.codecName;
                if (a.present) r.info.kind = StreamKind::kAudio;
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
        // Streams without a time stamp of their own take the file's start and length.
        for (StreamReport& r : m.streams) {
            if (r.info.startTime != kNoTime || r.info.kind != StreamKind::kAudio || m.format.startUs == kNoTime) continue;
            r.info.timeBase = {1, 90000};
            r.info.startTime = RoundTime(static_cast<double>(m.format.startUs) * 0.09);
            if (m.format.durationUs != kNoTime) r.info.duration = RoundTime(static_cast<double>(m.format.durationUs) * 0.09);
        }
    }
    return m;
}

}  // namespace qvutil

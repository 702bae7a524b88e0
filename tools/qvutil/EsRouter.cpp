#include "EsRouter.h"

#include <algorithm>

namespace qvutil {

Codec CodecOf(EsCodec c) {
    switch (c) {
    case EsCodec::kH264: return Codec::H264;
    case EsCodec::kH265: return Codec::H265;
    case EsCodec::kMpeg1Video: case EsCodec::kMpeg2Video: return Codec::Mpeg12;
    default: return Codec::Unknown;
    }
}

void EsRouter::AddElementary(Codec codec) {
    EsInfo info;
    info.id = kElementaryId;
    info.codec = codec == Codec::H264     ? EsCodec::kH264
                 : codec == Codec::H265   ? EsCodec::kH265
                 : codec == Codec::Mpeg12 ? EsCodec::kMpeg2Video
                                          : EsCodec::kUnknown;
    info.video = true;
    OnStream(info);
}

void EsRouter::OnStream(const EsInfo& info) {
    if (std::find(m_announced.begin(), m_announced.end(), info.id) == m_announced.end())
        m_announced.push_back(info.id);
    // Streams that may be video are analysed too; their bytes decide.
    if (!(info.video || info.codec == EsCodec::kUnknown) || info.codec == EsCodec::kOther || Find(info.id)) return;
    auto analyser = std::make_unique<EsAnalyser>(CodecOf(info.codec));
    const int shown = info.id == kElementaryId ? info.id : info.id | m_idBase;
    analyser->Model().id = shown;
    analyser->Model().program = info.program;
    analyser->OnEachPicture([this, shown](const Picture& p) {
        if (m_onPicture) m_onPicture(shown, p);
    });
    m_streams.push_back({info.id, info.video, std::move(analyser)});
}

EsAnalyser* EsRouter::Find(int id) {
    if (m_last >= 0 && m_streams[static_cast<size_t>(m_last)].id == id) return m_streams[static_cast<size_t>(m_last)].analyser.get();
    for (size_t i = 0; i < m_streams.size(); ++i)
        if (m_streams[i].id == id) {
            m_last = static_cast<int>(i);
            return m_streams[i].analyser.get();
        }
    return nullptr;
}

void EsRouter::OnData(int id, const uint8_t* p, size_t n, int64_t pts) {
    if (EsAnalyser* a = Find(id)) a->Feed(p, n, pts);
}

void EsRouter::Finish() {
    for (Entry& e : m_streams) e.analyser->Finish();
}

std::vector<const StreamModel*> EsRouter::Streams(bool withUnknown) const {
    std::vector<const StreamModel*> out;
    for (const Entry& e : m_streams)
        if (e.analyser->Model().codec != Codec::Unknown || (withUnknown && e.video)) out.push_back(&e.analyser->Model());
    return out;
}

}  // namespace qvutil

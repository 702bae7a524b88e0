#include "EsRouter.h"

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
    OnStream({kElementaryId, codec == Codec::H264   ? EsCodec::kH264
                             : codec == Codec::H265 ? EsCodec::kH265
                             : codec == Codec::Mpeg12 ? EsCodec::kMpeg2Video
                                                      : EsCodec::kUnknown,
              0, 0});
}

void EsRouter::OnStream(const EsInfo& info) {
    if (info.codec == EsCodec::kOther || Find(info.id)) return;
    auto analyser = std::make_unique<EsAnalyser>(CodecOf(info.codec));
    analyser->Model().id = info.id;
    analyser->Model().program = info.program;
    const int id = info.id;
    analyser->OnEachPicture([this, id](const Picture& p) {
        if (m_onPicture) m_onPicture(id, p);
    });
    m_streams.push_back({info.id, std::move(analyser)});
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
        if (withUnknown || e.analyser->Model().codec != Codec::Unknown) out.push_back(&e.analyser->Model());
    return out;
}

}  // namespace qvutil

#include "CodecParser.h"

#include "H264Parser.h"
#include "H265Parser.h"
#include "Mpeg2Parser.h"

namespace qvutil {

void CodecParser::Invalid(const char* what, const Unit& u, const std::string& why) {
    m_model.Diagnose(std::string("invalid ") + what + " at offset " + std::to_string(u.offset) + ": " + why);
}

void CodecParser::EndPicture(int64_t end) {
    if (!m_havePicture) return;
    m_pic.size = end - m_pic.offset;
    m_sink.OnPicture(m_pic);
    m_havePicture = false;
}

void CodecParser::BeginPicture(const Picture& p) {
    EndPicture(p.offset);
    m_pic = p;
    m_havePicture = true;
}

void CodecParser::TakeSei(SeiFacts& sei) {
    if (sei.mastering.present && !m_model.mastering.present) m_model.mastering = sei.mastering;
    if (sei.contentLight.present && !m_model.contentLight.present) m_model.contentLight = sei.contentLight;
    if (sei.alternativeTransfer >= 0 && m_model.alternativeTransfer < 0)
        m_model.alternativeTransfer = sei.alternativeTransfer;
    sei = SeiFacts();
}

void CodecParser::CompareSequence(int width, int height, int chromaFormat, int bitDepth) {
    const SequenceFacts& f = m_model.seq;
    if (f.width != width || f.height != height || f.chromaFormat != chromaFormat || f.bitDepthLuma != bitDepth)
        ++m_model.sequenceChanges;
}

std::unique_ptr<CodecParser> MakeCodecParser(Codec codec, StreamModel& model, PictureSink& sink) {
    switch (codec) {
    case Codec::H264: return std::make_unique<H264Parser>(model, sink);
    case Codec::H265: return std::make_unique<H265Parser>(model, sink);
    case Codec::Mpeg12: return std::make_unique<Mpeg2Parser>(model, sink);
    default: return nullptr;
    }
}

}  // namespace qvutil

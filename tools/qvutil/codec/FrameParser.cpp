#include "Av1Parser.h"
#include "CodecParser.h"
#include "Vp9Parser.h"

namespace qvutil {

std::unique_ptr<FrameParser> MakeFrameParser(Codec codec, StreamModel& model, PictureSink& sink) {
    switch (codec) {
    case Codec::Vp9: return std::make_unique<Vp9Parser>(model, sink);
    case Codec::Av1: return std::make_unique<Av1Parser>(model, sink);
    default: return nullptr;
    }
}

}  // namespace qvutil

#include "CodecParser.h"

#include "H264Parser.h"
#include "H265Parser.h"
#include "Mpeg2Parser.h"

namespace qvutil {

std::unique_ptr<CodecParser> MakeCodecParser(Codec codec, StreamModel& model, PictureSink& sink) {
    switch (codec) {
    case Codec::H264: return std::make_unique<H264Parser>(model, sink);
    case Codec::H265: return std::make_unique<H265Parser>(model, sink);
    case Codec::Mpeg12: return std::make_unique<Mpeg2Parser>(model, sink);
    default: return nullptr;
    }
}

}  // namespace qvutil

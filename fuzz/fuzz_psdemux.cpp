// The program stream demuxer against the plain model, fed in pieces that cut packs and PES
// headers anywhere; and the container probe on the same bytes. Input: a byte that picks
// the pieces, then the file.

#include "DemuxModel.h"
#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!size) return 0;
    const qvmodel::demux::Bytes file(data + 1, data + size);
    std::string refusal;
    const qvutil::Container c = qvutil::DetectContainer(file.data(), file.size(), &refusal);
    if (!refusal.empty() && c != qvutil::Container::kElementary) qvfuzz::Fail("a refused container is read");
    const std::string diff = qvmodel::demux::Compare(qvutil::Container::kMpegPs, file, data[0]);
    if (!diff.empty()) qvfuzz::Fail("PsDemux differs from the model:", diff.c_str());
    return 0;
}

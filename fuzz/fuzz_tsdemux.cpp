// The transport stream demuxer against the plain model, fed in pieces that cut packets,
// sections and PES headers anywhere. Input: a byte (bit 0: 192-byte packets; the rest
// picks the pieces), then the file.

#include "DemuxModel.h"
#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!size) return 0;
    const qvmodel::demux::Bytes file(data + 1, data + size);
    const auto c = data[0] & 1 ? qvutil::Container::kM2ts : qvutil::Container::kMpegTs;
    const std::string diff = qvmodel::demux::Compare(c, file, data[0] >> 1);
    if (!diff.empty()) qvfuzz::Fail("TsDemux differs from the model:", diff.c_str());
    return 0;
}

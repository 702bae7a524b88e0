#pragma once

// The first sequence header of a stream, decoded with QvBitStream: H.264 and H.265 SPS
// (after removing their emulation-prevention bytes) and the MPEG-1/2 sequence header
// with its sequence extension.

#include "StartCodes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qvutil {

struct SequenceInfo {
    bool ok = false;
    std::string what;     // "SPS", "sequence header" ...
    std::string profile;  // name and number, e.g. "High (100)"
    std::string level;    // e.g. "1.2"
    int width = 0, height = 0;            // after cropping
    int codedWidth = 0, codedHeight = 0;  // before cropping
    int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;  // in luma samples
    std::string chroma;   // "4:2:0" ...
    std::string error;    // why decoding failed
};

// data: the bytes from the start code of the header on (they may run on past it).
SequenceInfo DecodeSequenceHeader(Codec codec, const uint8_t* data, size_t size);

// True for the start code that begins the header DecodeSequenceHeader wants.
bool IsSequenceHeader(Codec codec, const Hit& h);

// The payload of the NAL unit that starts at data[0] (its 00 00 01 code), up to the next
// start code, with every emulation-prevention byte (00 00 03 -> 00 00) removed.
std::vector<uint8_t> NalPayload(const uint8_t* data, size_t size);

}  // namespace qvutil

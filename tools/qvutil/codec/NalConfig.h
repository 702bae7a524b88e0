#pragma once

// The decoder configuration records MP4 and Matroska carry for H.264 (avcC) and H.265
// (hvcC): how many bytes each NAL unit's length takes in the samples, and the parameter
// sets (and SEI) sent once for the whole stream.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvutil {

struct NalConfig {
    int lengthSize = 4;  // 1, 2 or 4
    // The NAL units in the record's order; for hvcC, array by array.
    std::vector<std::vector<uint8_t>> units;
    // avcC only: how many of the units are SPS (they come first); the rest are PPS and
    // the SPS extensions.
    size_t spsCount = 0;
};

// Reads an avcC (hevc false) or hvcC record. False, with the reason, when it is not one;
// units cut off by its end are left out and reported the same way.
bool ParseNalConfig(const uint8_t* p, size_t n, bool hevc, NalConfig& out, std::string& error);

}  // namespace qvutil

#pragma once

// What H.264 and H.265 video usability information share: its first part, from the aspect
// ratio to the chroma sample location, with the same syntax in both.

#include "Rbsp.h"
#include "StreamModel.h"

namespace qvutil {

struct VuiCommon {
    int aspectRatioIdc = -1, sarWidth = 0, sarHeight = 0;  // -1: no aspect ratio information
    int videoFormat = -1, fullRange = -1;                  // -1: no video signal type
    int primaries = 2, transfer = 2, matrix = 2;           // 2: unspecified
    int chromaLocTop = -1, chromaLocBottom = -1;           // -1: no chroma location
};

// aspect_ratio_info_present_flag up to the chroma sample location types.
void ParseVuiCommon(BitReader& r, VuiCommon& v);
// The sample aspect ratio, video format and colour description into the sequence facts.
void ApplyVuiCommon(const VuiCommon& v, SequenceFacts& f);

// The sample aspect ratio of aspect_ratio_idc (255: sarWidth:sarHeight); unknown for 0,
// reserved values and a zero term.
Rational AspectRatio(int idc, int sarWidth, int sarHeight);

}  // namespace qvutil

#pragma once

// What H.264 and H.265 video usability information share: the table of sample aspect ratios.

#include "StreamModel.h"

namespace qvutil {

// The sample aspect ratio of aspect_ratio_idc (255: sarWidth:sarHeight); unknown for 0,
// reserved values and a zero term.
Rational AspectRatio(int idc, int sarWidth, int sarHeight);

}  // namespace qvutil

#include "Vui.h"

namespace qvutil {

Rational AspectRatio(int idc, int sarWidth, int sarHeight) {
    static const Rational kTable[17] = {{0, 0},   {1, 1},   {12, 11}, {10, 11}, {16, 11}, {40, 33},
                                        {24, 11}, {20, 11}, {32, 11}, {80, 33}, {18, 11}, {15, 11},
                                        {64, 33}, {160, 99}, {4, 3},  {3, 2},   {2, 1}};
    // Printed as coded, unreduced, as ffprobe prints it.
    if (idc == 255) return sarWidth > 0 && sarHeight > 0 ? Rational{sarWidth, sarHeight} : Rational{};
    return idc >= 1 && idc <= 16 ? kTable[idc] : Rational{};
}

void ParseVuiCommon(BitReader& r, VuiCommon& v) {
    if (r.Flag()) {  // aspect_ratio_info_present_flag
        v.aspectRatioIdc = static_cast<int>(r.U(8, "aspect_ratio_idc"));
        if (v.aspectRatioIdc == 255) {
            v.sarWidth = static_cast<int>(r.U(16, "sar_width"));
            v.sarHeight = static_cast<int>(r.U(16, "sar_height"));
        }
    }
    if (r.Flag()) r.Flag();  // overscan_info_present_flag, overscan_appropriate_flag
    if (r.Flag()) {          // video_signal_type_present_flag
        v.videoFormat = static_cast<int>(r.U(3, "video_format"));
        v.fullRange = r.Flag() ? 1 : 0;
        if (r.Flag()) {  // colour_description_present_flag
            v.primaries = static_cast<int>(r.U(8, "colour_primaries"));
            v.transfer = static_cast<int>(r.U(8, "transfer_characteristics"));
            v.matrix = static_cast<int>(r.U(8, "matrix_coefficients"));
        }
    }
    if (r.Flag()) {  // chroma_loc_info_present_flag
        v.chromaLocTop = static_cast<int>(r.Ue("chroma_sample_loc_type_top_field", 5));
        v.chromaLocBottom = static_cast<int>(r.Ue("chroma_sample_loc_type_bottom_field", 5));
    }
}

void ApplyVuiCommon(const VuiCommon& v, SequenceFacts& f) {
    f.aspectRatioIdc = v.aspectRatioIdc;
    f.sar = AspectRatio(v.aspectRatioIdc, v.sarWidth, v.sarHeight);
    f.videoFormat = v.videoFormat;
    f.colourRange = v.fullRange;
    f.colourPrimaries = v.primaries;
    f.transfer = v.transfer;
    f.matrix = v.matrix;
}

}  // namespace qvutil

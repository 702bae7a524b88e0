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

}  // namespace qvutil

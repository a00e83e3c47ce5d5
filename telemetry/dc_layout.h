// The layout of a DC analog reply (42H/41H, 42H/42H), as the configuration's
// "no_dc_number" names it:
//
//   1    unit 1 straight after DATAFLAG, no count byte
//   2    DATAFLAG, a count byte, then the units
//   -1   not known yet: the first DC analog reply tells
//
// The device decodes by it, and the host program reads the unit count of
// each reply by the same rule.
#pragma once

#include <cstdint>

#include "telemetry/bytes.h"

namespace tzv58 {

constexpr int32_t NO_DC_NUMBER_UNKNOWN = -1;

// The layout a DC analog reply shows: a DC voltage (above 40 V and below
// 60 V) straight after DATAFLAG means no count byte. info: the INFO, DATAFLAG
// first; n: its length; float_mode: 42H/41H (IEEE singles, low byte first)
// rather than 42H/42H (hundredths, high byte first). NO_DC_NUMBER_UNKNOWN when
// the INFO is too short to hold the voltage.
//
//   00  00 00 58 42 ...   42H/41H, 54.0 V after DATAFLAG: 1
//   00  01  14 B5 ...     42H/42H, 2.76 V (01 14) after DATAFLAG: 2
inline int32_t no_dc_number_shown(const uint8_t* info, int n, bool float_mode) {
    const int width = float_mode ? 4 : 2;
    if (n < 1 + width) return NO_DC_NUMBER_UNKNOWN;
    const double v = float_mode ? double(load_f32le(info + 1)) : double(float(load_be16(info + 1))) / 100.0;
    return (v > 40.0 && v < 60.0) ? 1 : 2;
}

}  // namespace tzv58

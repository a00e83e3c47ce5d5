// Analog values as the power system sends them.
//
// A value is either 4 bytes, an IEEE single least significant byte first, or
// 2 bytes, a big-endian unsigned fixed-point integer. The two fixed-point
// families divide by 100 differently, and each has its own helper.
#pragma once

#include <cstdint>

namespace tzv58 {

// AC and rectifier values: the integer quotient, stored as a float
// (22050 gives 220.0, 4999 gives 49.0).
inline float whole_hundredths(uint16_t v) { return float(v / 100); }

// DC values: hundredths in floating point (5301 gives 53.01).
inline float hundredths(uint16_t v) { return float(double(v) / 100.0); }

inline bool all_bytes_equal(const uint8_t* v, int width) {
    for (int i = 1; i < width; ++i)
        if (v[i] != v[0]) return false;
    return true;
}

// A value that is not supplied arrives as a run of equal, non-zero bytes
// (20 20, FF FF FF FF); 00 00 is an ordinary reading of 0.
inline bool marked_not_supplied(const uint8_t* v, int width) { return v[0] != 0 && all_bytes_equal(v, width); }

}  // namespace tzv58

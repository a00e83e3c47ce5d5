// Analog values as the power system sends them.
//
// A value is either 4 bytes, an IEEE single least significant byte first, or
// 2 bytes, a big-endian unsigned fixed-point integer. The two fixed-point
// families divide by 100 differently, and each has its own helper.
#pragma once

#include <cstdint>

#include "telemetry/bytes.h"

namespace tzv58 {

// AC and rectifier values: the integer quotient, stored as a float
// (22050 gives 220.0, 4999 gives 49.0).
inline float whole_hundredths(uint16_t v) { return float(v / 100); }

// DC values: hundredths in floating point (5301 gives 53.01).
inline float hundredths(uint16_t v) { return float(double(v) / 100.0); }

// Vendor values: tenths in floating point (500 gives 50.0, 1234 gives 123.4).
inline float tenths(uint16_t v) { return float(double(v) / 10.0); }

inline bool all_bytes_equal(const uint8_t* v, int width) {
    for (int i = 1; i < width; ++i)
        if (v[i] != v[0]) return false;
    return true;
}

// A value that is not supplied arrives as a run of equal, non-zero bytes
// (20 20, FF FF FF FF); 00 00 is an ordinary reading of 0.
inline bool marked_not_supplied(const uint8_t* v, int width) { return v[0] != 0 && all_bytes_equal(v, width); }

// How one reply family turns a wire value into a record float.
enum class fixed_point { whole_hundredths, hundredths, tenths, unscaled };
enum class supplied_test { none, equal_nonzero_bytes, equal_bytes };
struct value_rule {
    fixed_point scale;   // for 2-byte values; 4-byte floats are copied as they stand
    supplied_test test;  // which values count as not supplied
    float mark;          // stored for a value that is not supplied
};

// Reads one value of `width` bytes (4: IEEE single, least significant byte
// first; 2: big-endian fixed point) by `rule`. False, with nothing read or
// stored, when the bytes are not there. raw, when given, points at the bytes.
inline bool read_value(byte_reader& r, int width, const value_rule& rule, f32le& out, const uint8_t** raw = nullptr) {
    const uint8_t* v;
    if (!r.bytes(v, width)) return false;
    if (raw) *raw = v;
    const bool not_supplied = rule.test == supplied_test::equal_nonzero_bytes ? marked_not_supplied(v, width)
                              : rule.test == supplied_test::equal_bytes       ? all_bytes_equal(v, width)
                                                                              : false;
    if (not_supplied) {
        out.set(rule.mark);
    } else if (width == 4) {
        out.set_raw(v);
    } else {
        const uint16_t n = load_be16(v);
        out.set(rule.scale == fixed_point::whole_hundredths ? whole_hundredths(n)
                : rule.scale == fixed_point::hundredths     ? hundredths(n)
                : rule.scale == fixed_point::tenths         ? tenths(n)
                                                            : float(n));
    }
    return true;
}

}  // namespace tzv58

// The vendor reading of the model (80H/42H).
#pragma once

#include <cstdint>

#include "telemetry/bytes.h"
#include "telemetry/diag.h"
#include "telemetry/wire_value.h"

namespace tzv58 {

// The reader starts at DATAFLAG and holds the whole INFO. Sample (7 bytes):
//   00                        DATAFLAG
//   01  01 F4                 count 1, value 500 -> 50.0
//   01  00 64                 count 1, value 100 -> 10.0
// A value is stored only when its count byte is 1; a field the reply does not
// carry is not decoded, and the value keeps what it held.
inline void vendor_values(f32le (&values)[2], byte_reader r, diag_sink& diag) {
    constexpr value_rule tenth{fixed_point::tenths, supplied_test::none, 0.0f};
    if (!r.skip(1)) return;
    for (f32le& value : values) {
        uint8_t count;
        if (!r.u8(count)) return;
        diag_line::vendor_count(diag, count);
        f32le read;
        if (!read_value(r, 2, tenth, read)) return;
        if (count == 1) value = read;
    }
}

}  // namespace tzv58

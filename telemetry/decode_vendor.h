// The vendor reading (80H/42H): values, each behind a count byte.
#pragma once

#include <cstddef>
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
// carry is not decoded, and the value keeps what it held. A model reads as
// many values as its record holds (N); what follows them is not read.
template <size_t N>
void vendor_values(f32le (&values)[N], byte_reader r, diag_sink& diag) {
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

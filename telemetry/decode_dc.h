// DC distribution (42H) reply decoders. A 42H reply carries one or two units
// one after the other; each decoder fills one unit. The reader starts at the
// unit's group and holds the rest of the INFO.
#pragma once

#include <cstdint>

#include "telemetry/bytes.h"
#include "telemetry/diag.h"
#include "telemetry/record.h"
#include "telemetry/wire_value.h"

namespace tzv58 {

// 42H/41H (width 4, floats) and 42H/42H (width 2): out_v, load_i, m battery
// currents, n branch currents, p user-defined values, each group behind its
// count. A battery or branch group above its capacity is skipped whole and its
// array kept. Float load currents are multiplied by dc_i_adjust.
//
// 42H/41H sample (15 bytes):
//   00 00 58 42  00 00 C8 41  out_v 54.0, load_i 25.0 (times dc_i_adjust)
//   01  00 00 80 3F           m = 1, battery_i[0] 1.0
//   00  00                    n = 0, p = 0
// 42H/42H sample (9 bytes):
//   14 B5  09 C4              out_v 53.01, load_i 25.0
//   01  00 64                 m = 1, battery_i[0] 1.0
//   00  00                    n = 0, p = 0
template <class Unit>
int dc_analog(Unit& unit, byte_reader r, int width, int32_t dc_i_adjust, diag_sink& diag) {
    using caps = typename Unit::caps;
    const int len = r.left();
    const uint8_t* v;
    constexpr value_rule reading{fixed_point::hundredths, supplied_test::none, 0.0f};
    // User-defined values: marked NOT_PROVIDED; fixed point is taken unscaled.
    constexpr value_rule user{fixed_point::unscaled, supplied_test::equal_nonzero_bytes, NOT_PROVIDED};
    // One count byte, then that many values; above `cap` they are skipped.
    auto group = [&](uint8_t& count, f32le* values, int cap) {
        if (!r.u8(count)) return false;
        if (count > cap) return r.skip(long(count) * width);
        for (int k = 0; k < count; ++k)
            if (!read_value(r, width, reading, values[k])) return false;
        return true;
    };

    if (!read_value(r, width, reading, unit.out_v)) return -1;
    if (!r.bytes(v, width)) return -1;
    if (width == 4)
        unit.load_i.set(load_f32le(v) * float(dc_i_adjust));
    else
        unit.load_i.set(hundredths(load_be16(v)));
    diag_line::dc_unit_values(diag, unit.out_v.get(), unit.load_i.get());
    if (!group(unit.m, unit.battery_i, caps::M_SIZE())) return -1;
    if (!group(unit.n, unit.branch_i, caps::N_SIZE())) return -1;
    if (!r.u8(unit.p)) return -1;
    // More user-defined values than the record holds: the rest of the INFO is
    // taken as consumed, whatever follows.
    if (unit.p > caps::P_SIZE()) return len;
    for (int k = 0; k < unit.p; ++k)
        if (!read_value(r, width, user, unit.p42_41[k])) return -1;
    return r.pos();
}

// 42H/44H: v_alarm, K fuse bytes, P user-defined bytes. Counts above the
// capacity keep the first bytes and skip the rest. Sample (8 bytes):
//   01                        v_alarm
//   03  00 01 00              K = 3 fuse alarm bytes
//   02  00 01                 P = 2 user-defined alarm bytes
template <class Unit>
int dc_alarms(Unit& unit, byte_reader r) {
    using caps = typename Unit::caps;
    const uint8_t* v;
    auto group = [&](uint8_t& count, uint8_t* bytes, int cap) {
        if (!r.u8(count) || !r.bytes(v, count)) return false;
        for (int k = 0; k < count && k < cap; ++k) bytes[k] = v[k];
        return true;
    };
    if (!r.u8(unit.v_alarm)) return -1;
    if (!group(unit.alert_m_count, unit.alert_m, caps::ALERT_M_SIZE())) return -1;
    if (!group(unit.alert_p_count, unit.alert_p, caps::ALERT_P_SIZE())) return -1;
    return r.pos();
}

}  // namespace tzv58

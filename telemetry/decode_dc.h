// DC distribution (42H) reply decoders. A 42H reply carries one or two units
// one after the other; a unit-2 decoder is its unit-1 twin applied to the
// second unit. p is the first byte of the unit's group, len counts from p to
// INFO's end.
#pragma once

#include <cstdio>

#include "telemetry/bytes.h"
#include "telemetry/record.h"
#include "telemetry/wire_value.h"

// Analog layout shared by 42H/41H (width 4, floats) and 42H/42H (width 2):
// out_v, load_i, m battery currents, n branch currents, p user-defined values,
// each group behind its count. A battery or branch group above its capacity is
// skipped whole and its array kept.
template <class Data, int Type>
int pmbuspower_419<Data, Type>::decode_dc_analog_unit(dc_unit_t& unit, const unsigned char* p, int len, int width) {
    using caps = typename Data::dc_caps;
    const bool floats = width == 4;
    tzv58::byte_reader r(p, len);
    const uint8_t* v;
    using tzv58::fixed_point;
    using tzv58::supplied_test;
    constexpr tzv58::value_rule reading{fixed_point::hundredths, supplied_test::none, 0.0f};
    // User-defined values: marked NOT_PROVIDED; fixed point is taken unscaled.
    constexpr tzv58::value_rule user{fixed_point::unscaled, supplied_test::equal_nonzero_bytes, tzv58::NOT_PROVIDED};
    auto value = [&](tzv58::f32le& out) { return tzv58::read_value(r, width, reading, out); };
    auto user_value = [&](tzv58::f32le& out) { return tzv58::read_value(r, width, user, out); };
    // One count byte, then that many values; above `cap` they are skipped.
    auto group = [&](uint8_t& count, tzv58::f32le* values, int cap) {
        if (!r.u8(count)) return false;
        if (count > cap) return r.skip(long(count) * width);
        for (int k = 0; k < count; ++k)
            if (!value(values[k])) return false;
        return true;
    };

    if (!value(unit.out_v)) return -1;
    if (!r.bytes(v, width)) return -1;
    if (floats)
        unit.load_i.set(tzv58::load_f32le(v) * float(dc_i_adjust));
    else
        unit.load_i.set(tzv58::hundredths(tzv58::load_be16(v)));
    std::printf("parse42_41 %f %f\n", double(unit.out_v.get()), double(unit.load_i.get()));
    std::fflush(stdout);
    if (!group(unit.m, unit.battery_i, caps::M_SIZE())) return -1;
    if (!group(unit.n, unit.branch_i, caps::N_SIZE())) return -1;
    if (!r.u8(unit.p)) return -1;
    // More user-defined values than the record holds: the rest of the INFO is
    // taken as consumed, whatever follows.
    if (unit.p > caps::P_SIZE()) return len;
    for (int k = 0; k < unit.p; ++k)
        if (!user_value(unit.p42_41[k])) return -1;
    return r.pos();
}

// Alarm layout of 42H/44H: v_alarm, K fuse bytes, P user-defined bytes. Counts
// above the capacity keep the first bytes and skip the rest.
template <class Data, int Type>
int pmbuspower_419<Data, Type>::decode_dc_alarm_unit(dc_unit_t& unit, const unsigned char* p, int len) {
    using caps = typename Data::dc_caps;
    tzv58::byte_reader r(p, len);
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

// p: unit 1's group; len: bytes from p to INFO's end. Sample (15 bytes):
//   00 00 58 42  00 00 C8 41  out_v 54.0, load_i 25.0 (times dc_i_adjust)
//   01  00 00 80 3F           m = 1, battery_i[0] 1.0
//   00  00                    n = 0, p = 0
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_41(const unsigned char* p, int len) {
    return decode_dc_analog_unit(this->data.dc(0), p, len, 4);
}

// p: right after unit 1's group; len: bytes from p to INFO's end.
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_41_2(const unsigned char* p, int len) {
    return decode_dc_analog_unit(this->data.dc(1), p, len, 4);
}

// p: unit 1's group; len: bytes from p to INFO's end. Sample (9 bytes):
//   14 B5  09 C4              out_v 53.01, load_i 25.0
//   01  00 64                 m = 1, battery_i[0] 1.0
//   00  00                    n = 0, p = 0
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_42(const unsigned char* p, int len) {
    return decode_dc_analog_unit(this->data.dc(0), p, len, 2);
}

// p: right after unit 1's group; len: bytes from p to INFO's end.
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_42_2(const unsigned char* p, int len) {
    return decode_dc_analog_unit(this->data.dc(1), p, len, 2);
}

// p: unit 1's group; len: bytes from p to INFO's end. Sample (8 bytes):
//   01                        v_alarm
//   03  00 01 00              K = 3 fuse alarm bytes
//   02  00 01                 P = 2 user-defined alarm bytes
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_44(const unsigned char* p, int len) {
    return decode_dc_alarm_unit(this->data.dc(0), p, len);
}

// p: right after unit 1's group; len: bytes from p to INFO's end.
template <class Data, int Type>
int pmbuspower_419<Data, Type>::parse42_44_2(const unsigned char* p, int len) {
    return decode_dc_alarm_unit(this->data.dc(1), p, len);
}

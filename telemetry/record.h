// The telemetry record: one packed, little-endian 1257-byte image per device.
//
// It is published with device type 5535, stored as history and reloaded from
// the host's cache, so its layout is an external format: every field offset is
// pinned below. All members are byte arrays (alignment 1); floats are read and
// written through f32le, never through a float pointer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "telemetry/bytes.h"
#include "telemetry/values.h"

// Capacity templates: each parameter is an array capacity of the record,
// exposed through a static accessor of the same name.
template <uint8_t AIRLOCK, uint8_t P40_43>
struct tele_c_pmbuspower_ac {
    static constexpr uint8_t AIRLOCK_MAX() { return AIRLOCK; }
    static constexpr uint8_t P40_43_SIZE() { return P40_43; }
};

template <uint8_t P40_41, uint8_t P40_44>
struct tele_c_pmbuspower_ac_channel {
    static constexpr uint8_t P40_41_SIZE() { return P40_41; }
    static constexpr uint8_t p40_44_SIZE() { return P40_44; }
};

template <uint8_t P41_41, uint8_t P41_43, uint8_t P41_44>
struct tele_c_pmbuspower_rc_channel {
    static constexpr uint8_t P41_41_SIZE() { return P41_41; }
    static constexpr uint8_t P41_43_SIZE() { return P41_43; }
    static constexpr uint8_t P41_44_SIZE() { return P41_44; }
};

template <uint8_t M, uint8_t N, uint8_t P, uint8_t ALERT_M, uint8_t ALERT_P>
struct tele_c_pmbuspower_dc {
    static constexpr uint8_t M_SIZE() { return M; }
    static constexpr uint8_t N_SIZE() { return N; }
    static constexpr uint8_t P_SIZE() { return P; }
    static constexpr uint8_t ALERT_M_SIZE() { return ALERT_M; }
    static constexpr uint8_t ALERT_P_SIZE() { return ALERT_P; }
};

// Arrays of capacity 0 take no bytes (the next field starts at the same offset).
template <class C>
struct pmbuspower_ac_channel {
    tzv58::f32le a, b, c, f;
    uint8_t p40_41_count;
    tzv58::f32le p40_41[C::P40_41_SIZE()];
    uint8_t a_alarm, b_alarm, c_alarm, f_alarm;
    uint8_t p40_44_count;
    uint8_t p40_44[C::p40_44_SIZE()];
};

template <class C>
struct pmbuspower_rc_module {
    tzv58::f32le out_i;
    uint8_t p41_41_count;
    tzv58::f32le p41_41[C::P41_41_SIZE()];
    uint8_t state[3];
    uint8_t p41_43_count;
    uint8_t p41_43[C::P41_43_SIZE()];
    uint8_t fault;
    uint8_t p41_44_count;
    uint8_t p41_44[C::P41_44_SIZE()];
};

template <class C>
struct pmbuspower_dc_unit {
    using caps = C;
    uint8_t reserved0[4];
    tzv58::f32le out_v;
    tzv58::f32le load_i;
    uint8_t m;
    tzv58::f32le battery_i[C::M_SIZE()];
    uint8_t n;
    tzv58::f32le branch_i[C::N_SIZE()];
    uint8_t p;
    tzv58::f32le p42_41[C::P_SIZE()];
    uint8_t v_alarm;
    uint8_t alert_m_count;
    uint8_t alert_m[C::ALERT_M_SIZE()];
    uint8_t alert_p_count;
    uint8_t alert_p[C::ALERT_P_SIZE()];
    uint8_t reserved1[7];
};

// The record over its capacities and its count of vendor values; the layout
// around the arrays is fixed.
template <class AcCaps, class AcChannelCaps, class RcCaps, class DcCaps, int EXT_VALUES = 2>
struct pmbuspower_data {
    using ac_caps = AcCaps;
    using ac_channel_caps = AcChannelCaps;
    using rc_caps = RcCaps;
    using dc_caps = DcCaps;
    using ac_channel_t = pmbuspower_ac_channel<ac_channel_caps>;
    using rc_module_t = pmbuspower_rc_module<rc_caps>;
    using dc_unit_t = pmbuspower_dc_unit<dc_caps>;
    // Capacities that no template gives: the layout fixes them.
    static constexpr int AC_CHANNELS = 2;
    static constexpr int RC_MODULES = 40;
    static constexpr int DC_UNITS = 2;

    tzv58::u32le data_id;
    uint8_t reserved0[4];
    tzv58::f32le ac_tail[3];
    uint8_t channel_count;
    uint8_t airlock_count;
    uint8_t airlock[ac_caps::AIRLOCK_MAX()];
    uint8_t p40_43_count;
    uint8_t p40_43[ac_caps::P40_43_SIZE()];
    uint8_t ac_tail_alarm[3];
    uint8_t reserved1[7];
    ac_channel_t channel[AC_CHANNELS];

    tzv58::f32le rc_out_v;
    uint8_t module_count;
    rc_module_t module[RC_MODULES];

    dc_unit_t dc0;
    uint8_t round_time[7];
    dc_unit_t dc1;
    tzv58::f32le ext_value[EXT_VALUES];

    dc_unit_t& dc(int i) { return i == 0 ? dc0 : dc1; }
    const dc_unit_t& dc(int i) const { return i == 0 ? dc0 : dc1; }
};

// This device's record.
using tzv58_419_Data_t = pmbuspower_data<tele_c_pmbuspower_ac<8, 0>, tele_c_pmbuspower_ac_channel<0, 0>,
                                         tele_c_pmbuspower_rc_channel<0, 1, 7>, tele_c_pmbuspower_dc<2, 20, 9, 42, 5>>;

// ---- the layout, pinned ----
#define TZV58_AT(field, off) static_assert(offsetof(tzv58_419_Data_t, field) == (off), #field " offset")
#define TZV58_CH_AT(field, off) \
    static_assert(offsetof(tzv58_419_Data_t::ac_channel_t, field) == (off), "channel." #field " offset")
#define TZV58_RC_AT(field, off) \
    static_assert(offsetof(tzv58_419_Data_t::rc_module_t, field) == (off), "module." #field " offset")
#define TZV58_DC_AT(field, off) \
    static_assert(offsetof(tzv58_419_Data_t::dc_unit_t, field) == (off), "dc." #field " offset")

static_assert(sizeof(tzv58_419_Data_t) == 1257, "record size");
static_assert(alignof(tzv58_419_Data_t) == 1, "record must be packed");
TZV58_AT(data_id, 0);
TZV58_AT(reserved0, 4);
TZV58_AT(ac_tail, 8);
TZV58_AT(channel_count, 20);
TZV58_AT(airlock_count, 21);
TZV58_AT(airlock, 22);
TZV58_AT(p40_43_count, 30);
TZV58_AT(p40_43, 31);
TZV58_AT(ac_tail_alarm, 31);
TZV58_AT(reserved1, 34);
TZV58_AT(channel, 41);
TZV58_AT(channel[1], 63);
TZV58_AT(rc_out_v, 85);
TZV58_AT(module_count, 89);
TZV58_AT(module, 90);
TZV58_AT(module[39], 90 + 19 * 39);
TZV58_AT(dc0, 850);
TZV58_AT(round_time, 1046);
TZV58_AT(dc1, 1053);
TZV58_AT(ext_value, 1249);
TZV58_AT(ext_value[1], 1253);
TZV58_AT(dc0.out_v, 854);
TZV58_AT(dc1.out_v, 1057);
TZV58_AT(dc0.alert_p, 1034);
TZV58_AT(dc1.alert_p, 1237);
static_assert(offsetof(tzv58_419_Data_t, dc1) - offsetof(tzv58_419_Data_t, dc0) == 203,
              "unit 2 lies 203 bytes after unit 1");

static_assert(sizeof(tzv58_419_Data_t::ac_channel_t) == 22, "AC channel size");
TZV58_CH_AT(a, 0);
TZV58_CH_AT(b, 4);
TZV58_CH_AT(c, 8);
TZV58_CH_AT(f, 12);
TZV58_CH_AT(p40_41_count, 16);
TZV58_CH_AT(p40_41, 17);
TZV58_CH_AT(a_alarm, 17);
TZV58_CH_AT(b_alarm, 18);
TZV58_CH_AT(c_alarm, 19);
TZV58_CH_AT(f_alarm, 20);
TZV58_CH_AT(p40_44_count, 21);
TZV58_CH_AT(p40_44, 22);

static_assert(sizeof(tzv58_419_Data_t::rc_module_t) == 19, "rectifier module size");
TZV58_RC_AT(out_i, 0);
TZV58_RC_AT(p41_41_count, 4);
TZV58_RC_AT(p41_41, 5);
TZV58_RC_AT(state, 5);
TZV58_RC_AT(p41_43_count, 8);
TZV58_RC_AT(p41_43, 9);
TZV58_RC_AT(fault, 10);
TZV58_RC_AT(p41_44_count, 11);
TZV58_RC_AT(p41_44, 12);

static_assert(sizeof(tzv58_419_Data_t::dc_unit_t) == 196, "DC unit size");
TZV58_DC_AT(reserved0, 0);
TZV58_DC_AT(out_v, 4);
TZV58_DC_AT(load_i, 8);
TZV58_DC_AT(m, 12);
TZV58_DC_AT(battery_i, 13);
TZV58_DC_AT(n, 21);
TZV58_DC_AT(branch_i, 22);
TZV58_DC_AT(p, 102);
TZV58_DC_AT(p42_41, 103);
TZV58_DC_AT(v_alarm, 139);
TZV58_DC_AT(alert_m_count, 140);
TZV58_DC_AT(alert_m, 141);
TZV58_DC_AT(alert_p_count, 183);
TZV58_DC_AT(alert_p, 184);
TZV58_DC_AT(reserved1, 189);

#undef TZV58_AT
#undef TZV58_CH_AT
#undef TZV58_RC_AT
#undef TZV58_DC_AT

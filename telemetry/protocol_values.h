// The protocol's values over any record layout (telemetry/record.h): the AC
// distribution, the rectifier modules and the DC units, with the record's
// own id, reserved bytes and round time. A model's table is these rows and
// its own after them (device/model.h tells how a model puts them together).
//
// Where a value lies comes from the layout (offsetof), never from a number
// written here; what the decoders store for a value not supplied decides
// which rows are marked (telemetry/decode_*.h).
#pragma once

#include <cstddef>

#include "telemetry/values.h"

namespace tzv58 {
namespace value_rows {

constexpr value_row one(const char* name, value_kind kind, value_type type, size_t at, const char* unit = "") {
    value_row r;
    r.name = name;
    r.kind = kind;
    r.type = type;
    r.offset = uint16_t(at);
    r.unit = unit;
    return r;
}

constexpr value_row many(const char* name, value_kind kind, value_type type, size_t at, size_t capacity,
                         const char* unit = "") {
    value_row r = one(name, kind, type, at, unit);
    r.capacity = uint8_t(capacity);
    r.array = true;
    return r;
}

// An array bounded by the count byte at count_at, by `held`.
constexpr value_row counted(const char* name, value_kind kind, value_type type, size_t at, size_t capacity,
                            size_t count_at, held_rule held, const char* unit = "") {
    value_row r = many(name, kind, type, at, capacity, unit);
    r.count_at = int16_t(count_at);
    r.held = held;
    return r;
}

constexpr value_row reserved(const char* name, size_t at, size_t n) {
    value_row r = one(name, value_kind::reserved, value_type::raw, at);
    r.capacity = uint8_t(n);
    return r;
}

constexpr value_row group(const value_group& g, const value_section& s) {
    value_row r;
    r.name = g.name;
    r.kind = value_kind::group;
    r.offset = g.offset;
    r.capacity = 0;
    r.group = &g;
    r.section = &s;
    return r;
}

}  // namespace value_rows

template <class Data>
struct protocol_values {
    using ch = typename Data::ac_channel_t;
    using rc = typename Data::rc_module_t;
    using dc = typename Data::dc_unit_t;
    using ac_caps = typename Data::ac_caps;
    using ch_caps = typename Data::ac_channel_caps;
    using rc_caps = typename Data::rc_caps;
    using dc_caps = typename Data::dc_caps;

    static constexpr value_kind reading = value_kind::reading, alarm = value_kind::alarm, count = value_kind::count,
                                state = value_kind::state;
    static constexpr value_type f32 = value_type::f32, u8 = value_type::u8;
    static constexpr held_rule whole = held_rule::whole, first = held_rule::first, exactly = held_rule::exactly;

    static constexpr value_section AC{"ac", "AC distribution", "AC"};
    static constexpr value_section RC{"rc", "Rectifiers", "rectifier"};
    static constexpr value_section DC{"dc", "DC distribution", "DC"};

    static constexpr metric_family PHASE_VOLTAGE{"tzv58_ac_phase_voltage_volts", "AC input phase voltage."};
    static constexpr metric_family FREQUENCY{"tzv58_ac_frequency_hertz", "AC input frequency."};
    static constexpr metric_family AC_EXTRA{"tzv58_ac_extra_value",
                                            "The analog values after the AC channels, in reply order."};
    static constexpr metric_family RC_VOLTAGE{"tzv58_rectifier_output_voltage_volts", "Rectifier output voltage."};
    static constexpr metric_family RC_MODULES{"tzv58_rectifier_modules", "Rectifier modules the power system reports."};
    static constexpr metric_family RC_CURRENT{"tzv58_rectifier_output_current_amperes",
                                              "Output current of a rectifier module."};
    static constexpr metric_family RC_FAULT{
        "tzv58_rectifier_module_fault",
        "Status byte of a rectifier module's fault, as the power system sends it (0: none)."};
    static constexpr metric_family DC_VOLTAGE{"tzv58_dc_output_voltage_volts", "DC output voltage."};
    static constexpr metric_family DC_LOAD{"tzv58_dc_load_current_amperes", "DC load current."};
    static constexpr metric_family DC_BATTERY{"tzv58_dc_battery_current_amperes", "Battery current."};
    static constexpr metric_family DC_BRANCH{"tzv58_dc_branch_current_amperes", "DC branch current."};
    static constexpr metric_family DC_USER{"tzv58_dc_user_value", "User-defined DC analog values, in reply order."};

    // An AC channel (40H): a b c f and their alarm bytes, user-defined values
    // and alarms. A value marked as not supplied stores 0.0 for a b c f, and
    // NOT_PROVIDED for a user-defined value.
    static constexpr value_row CHANNEL[] = {
        value_rows::one("a", reading, f32, offsetof(ch, a), "V")
            .labelled("A")
            .as_metric(PHASE_VOLTAGE, "phase", "a")
            .in_summary({"A"})
            .on_page(page_role::line),
        value_rows::one("b", reading, f32, offsetof(ch, b), "V")
            .labelled("B")
            .as_metric(PHASE_VOLTAGE, "phase", "b")
            .in_summary({"B"})
            .on_page(page_role::line),
        value_rows::one("c", reading, f32, offsetof(ch, c), "V")
            .labelled("C")
            .as_metric(PHASE_VOLTAGE, "phase", "c")
            .in_summary({"C"})
            .on_page(page_role::line),
        value_rows::one("f", reading, f32, offsetof(ch, f), "Hz")
            .labelled("f")
            .as_metric(FREQUENCY)
            .in_summary({})
            .on_page(page_role::line),
        value_rows::one("p40_41_count", count, u8, offsetof(ch, p40_41_count)),
        value_rows::counted("p40_41", reading, f32, offsetof(ch, p40_41), ch_caps::P40_41_SIZE(),
                            offsetof(ch, p40_41_count), exactly)
            .marks_not_supplied(),
        value_rows::one("a_alarm", alarm, u8, offsetof(ch, a_alarm)),
        value_rows::one("b_alarm", alarm, u8, offsetof(ch, b_alarm)),
        value_rows::one("c_alarm", alarm, u8, offsetof(ch, c_alarm)),
        value_rows::one("f_alarm", alarm, u8, offsetof(ch, f_alarm)),
        value_rows::one("p40_44_count", count, u8, offsetof(ch, p40_44_count)),
        value_rows::counted("p40_44", alarm, u8, offsetof(ch, p40_44), ch_caps::p40_44_SIZE(),
                            offsetof(ch, p40_44_count), exactly),
    };

    // A rectifier module (41H): its current, states, fault and user-defined
    // alarm bytes. Nothing is marked as not supplied.
    static constexpr value_row MODULE[] = {
        value_rows::one("out_i", reading, f32, offsetof(rc, out_i), "A")
            .labelled("output current")
            .as_metric(RC_CURRENT)
            .in_summary({})
            .on_page(page_role::supply),
        value_rows::one("p41_41_count", count, u8, offsetof(rc, p41_41_count)),
        value_rows::counted("p41_41", reading, f32, offsetof(rc, p41_41), rc_caps::P41_41_SIZE(),
                            offsetof(rc, p41_41_count), exactly),
        value_rows::many("state", state, u8, offsetof(rc, state), sizeof(rc::state)),
        value_rows::one("p41_43_count", count, u8, offsetof(rc, p41_43_count)),
        value_rows::counted("p41_43", state, u8, offsetof(rc, p41_43), rc_caps::P41_43_SIZE(),
                            offsetof(rc, p41_43_count), exactly),
        value_rows::one("fault", alarm, u8, offsetof(rc, fault)).as_metric(RC_FAULT),
        value_rows::one("p41_44_count", count, u8, offsetof(rc, p41_44_count)),
        value_rows::counted("p41_44", alarm, u8, offsetof(rc, p41_44), rc_caps::P41_44_SIZE(),
                            offsetof(rc, p41_44_count), exactly),
    };

    // A DC unit (42H): voltage, load, battery and branch currents, user
    // values (marked NOT_PROVIDED when not supplied) and alarm bytes. A
    // battery, branch or user group above its capacity is skipped whole.
    static constexpr value_row DC_UNIT[] = {
        value_rows::reserved("reserved0", offsetof(dc, reserved0), sizeof(dc::reserved0)),
        value_rows::one("out_v", reading, f32, offsetof(dc, out_v), "V")
            .as_metric(DC_VOLTAGE)
            .in_summary({})
            .on_page(page_role::headline),
        value_rows::one("load_i", reading, f32, offsetof(dc, load_i), "A")
            .labelled("load")
            .as_metric(DC_LOAD)
            .in_summary({"load"})
            .on_page(page_role::load),
        value_rows::one("m", count, u8, offsetof(dc, m)),
        value_rows::counted("battery_i", reading, f32, offsetof(dc, battery_i), dc_caps::M_SIZE(), offsetof(dc, m),
                            whole, "A")
            .labelled("battery")
            .as_metric(DC_BATTERY, "battery")
            .in_summary({"battery", "no battery", "battery strings"})
            .on_page(page_role::battery),
        value_rows::one("n", count, u8, offsetof(dc, n)),
        value_rows::counted("branch_i", reading, f32, offsetof(dc, branch_i), dc_caps::N_SIZE(), offsetof(dc, n), whole,
                            "A")
            .as_metric(DC_BRANCH, "branch")
            .in_summary({"", nullptr, "branches", false}),
        value_rows::one("p", count, u8, offsetof(dc, p)),
        value_rows::counted("p42_41", reading, f32, offsetof(dc, p42_41), dc_caps::P_SIZE(), offsetof(dc, p), whole)
            .marks_not_supplied()
            .as_metric(DC_USER, "index"),
        value_rows::one("v_alarm", alarm, u8, offsetof(dc, v_alarm)),
        value_rows::one("alert_m_count", count, u8, offsetof(dc, alert_m_count)),
        value_rows::counted("alert_m", alarm, u8, offsetof(dc, alert_m), dc_caps::ALERT_M_SIZE(),
                            offsetof(dc, alert_m_count), first),
        value_rows::one("alert_p_count", count, u8, offsetof(dc, alert_p_count)),
        value_rows::counted("alert_p", alarm, u8, offsetof(dc, alert_p), dc_caps::ALERT_P_SIZE(),
                            offsetof(dc, alert_p_count), first),
        value_rows::reserved("reserved1", offsetof(dc, reserved1), sizeof(dc::reserved1)),
    };

    // name, rows, first element, stride, capacity, count (-1: the DC replies
    // tell), noun, its singular, metrics label, summary, page, count row. The
    // DC units lie apart by a unit and the round time between them.
    // clang-format off
    static constexpr value_group CHANNELS{
        "channel", CHANNEL, offsetof(Data, channel), sizeof(ch), Data::AC_CHANNELS, offsetof(Data, channel_count),
        "channels", "channel", "channel", summary_layout::lines, page_layout::table, "channel_count"};
    static constexpr value_group MODULES{
        "module", MODULE, offsetof(Data, module), sizeof(rc), Data::RC_MODULES, offsetof(Data, module_count),
        "modules", "module", "module", summary_layout::joined, page_layout::chips, "module_count"};
    static constexpr value_group DC_UNITS{
        "dc", DC_UNIT, offsetof(Data, dc0), offsetof(Data, dc1) - offsetof(Data, dc0), Data::DC_UNITS, -1,
        "DC units", "DC unit", "unit", summary_layout::lines, page_layout::blocks, nullptr};
    // clang-format on

    // The record, up to its round time.
    static constexpr value_row ROWS[] = {
        value_rows::one("data_id", value_kind::id, value_type::u32, offsetof(Data, data_id)),
        value_rows::reserved("reserved0", offsetof(Data, reserved0), sizeof(Data::reserved0)),
        value_rows::many("ac_tail", reading, f32, offsetof(Data, ac_tail), sizeof(Data::ac_tail) / 4)
            .in(AC)
            .marks_not_supplied()
            .as_metric(AC_EXTRA, "index"),
        value_rows::one("channel_count", count, u8, offsetof(Data, channel_count)),
        value_rows::one("airlock_count", count, u8, offsetof(Data, airlock_count)),
        value_rows::counted("airlock", state, u8, offsetof(Data, airlock), ac_caps::AIRLOCK_MAX(),
                            offsetof(Data, airlock_count), whole),
        value_rows::one("p40_43_count", count, u8, offsetof(Data, p40_43_count)),
        value_rows::counted("p40_43", state, u8, offsetof(Data, p40_43), ac_caps::P40_43_SIZE(),
                            offsetof(Data, p40_43_count), exactly),
        value_rows::many("ac_tail_alarm", alarm, u8, offsetof(Data, ac_tail_alarm), sizeof(Data::ac_tail_alarm)),
        value_rows::reserved("reserved1", offsetof(Data, reserved1), sizeof(Data::reserved1)),
        value_rows::group(CHANNELS, AC),
        value_rows::one("rc_out_v", reading, f32, offsetof(Data, rc_out_v), "V")
            .in(RC)
            .as_metric(RC_VOLTAGE)
            .in_summary({})
            .on_page(page_role::headline),
        value_rows::one("module_count", count, u8, offsetof(Data, module_count)).in(RC).as_metric(RC_MODULES),
        value_rows::group(MODULES, RC),
        value_rows::group(DC_UNITS, DC),
        value_rows::one("round_time", value_kind::time, value_type::time, offsetof(Data, round_time)),
    };

    // The page's cards in order.
    static constexpr const value_section* SECTIONS[] = {&DC, &RC, &AC};
    // The metric families in the order they are written.
    static constexpr const metric_family* FAMILIES[] = {
        &PHASE_VOLTAGE, &FREQUENCY,  &AC_EXTRA, &RC_VOLTAGE, &RC_MODULES, &RC_CURRENT,
        &RC_FAULT,      &DC_VOLTAGE, &DC_LOAD,  &DC_BATTERY, &DC_BRANCH,  &DC_USER,
    };

    // The history file's value columns: names and order are its schema.
    static constexpr history_column HISTORY[] = {
        {"dc_v", "DC voltage", &DC_UNITS, row_named(DC_UNIT, "out_v"), 0, 0},
        {"load_i", "load current", &DC_UNITS, row_named(DC_UNIT, "load_i"), 0, 0},
        {"battery1_i", "battery 1 current", &DC_UNITS, row_named(DC_UNIT, "battery_i"), 0, 0},
        {"battery2_i", "battery 2 current", &DC_UNITS, row_named(DC_UNIT, "battery_i"), 0, 1},
        {"dc2_v", "DC unit 2 voltage", &DC_UNITS, row_named(DC_UNIT, "out_v"), 1, 0},
        {"dc2_load_i", "DC unit 2 load current", &DC_UNITS, row_named(DC_UNIT, "load_i"), 1, 0},
        {"dc2_battery1_i", "DC unit 2 battery 1 current", &DC_UNITS, row_named(DC_UNIT, "battery_i"), 1, 0},
        {"dc2_battery2_i", "DC unit 2 battery 2 current", &DC_UNITS, row_named(DC_UNIT, "battery_i"), 1, 1},
        {"rc_out_v", "rectifier output voltage", nullptr, row_named(ROWS, "rc_out_v"), 0, 0},
        {"ac1_a", "AC 1 phase A", &CHANNELS, row_named(CHANNEL, "a"), 0, 0},
        {"ac1_b", "AC 1 phase B", &CHANNELS, row_named(CHANNEL, "b"), 0, 0},
        {"ac1_c", "AC 1 phase C", &CHANNELS, row_named(CHANNEL, "c"), 0, 0},
        {"ac2_a", "AC 2 phase A", &CHANNELS, row_named(CHANNEL, "a"), 1, 0},
        {"ac2_b", "AC 2 phase B", &CHANNELS, row_named(CHANNEL, "b"), 1, 0},
        {"ac2_c", "AC 2 phase C", &CHANNELS, row_named(CHANNEL, "c"), 1, 0},
    };
};

}  // namespace tzv58

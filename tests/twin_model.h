// tzv58_twin: a model that lives in the tests, as tables only, added by
// docs/development.md's "Adding a power-system model". Its record holds more
// than tzv58_419's (two user-defined alarm bytes per AC channel, four battery
// strings, three vendor values), its round asks DC, the vendor reading,
// rectifiers and AC in that order, and it shows one value more: the third
// vendor value, the cabinet's temperature.
#pragma once

#include <cstddef>

#include "alarms/model_tables.h"
#include "device/model.h"
#include "device/pmbuspower_419.h"
#include "device/protocol_steps.h"
#include "telemetry/decode_vendor.h"
#include "telemetry/diag.h"
#include "telemetry/protocol_values.h"
#include "telemetry/record.h"

namespace twin {

// 1. Its record.
using record = pmbuspower_data<tele_c_pmbuspower_ac<8, 0>, tele_c_pmbuspower_ac_channel<0, 2>,
                               tele_c_pmbuspower_rc_channel<0, 1, 7>, tele_c_pmbuspower_dc<4, 20, 9, 42, 5>, 3>;
constexpr int TYPE = 5536;
static_assert(sizeof(record) == 1281 && offsetof(record, ext_value) == 1269, "the twin's layout");

using device_base = pmbuspower_419<record, TYPE>;
using protocol = tzv58::protocol_steps<device_base>;

// 2. Its reading: the vendor reply's three values.
inline bool take_vendor(device_base& d, const uint8_t* info, int n) {
    tzv58::vendor_values(d.data.ext_value, {info, n}, tzv58::diag());
    return true;
}

// 3. Its round: DC and the vendor reading first, then rectifiers, then AC.
constexpr device_base::poll_row ROUND[] = {
    protocol::DC_ANALOG, protocol::DC_ALARMS, {tzv58::STEP_VENDOR, {0x80, 0x42}, {tzv58::step_block::dc}, take_vendor},
    protocol::RC_ANALOG, protocol::RC_STATES, protocol::RC_ALARMS,
    protocol::AC_ANALOG, protocol::AC_STATES, protocol::AC_ALARMS,
};
static_assert(device_base::poll_table(ROUND).well_formed());

// 4. Its alarm table: a module that does not communicate, a DC unit's first
// load disconnection; in every alarm mode but 2 and 3.
constexpr tzv58::model_row ALARM_ROWS[] = {
    {tzv58::source::module, "TWIN_RC_0", "07001", 4, "整流模块告警", "通信中断", 0, 0x80, tzv58::seq::next},
    {tzv58::source::dc1, "TWIN_DC_0", "07002", 2, "直流告警", "一次下电", 0, 0x80, tzv58::seq::next},
};
static_assert(tzv58::table_rules::codes_nonzero(ALARM_ROWS, 2), "a row's code is 0");
constexpr tzv58::model_table_spec ALARM_TABLES[] = {
    {"twin", [](int32_t mode) { return mode != 2 && mode != 3; }, true, ALARM_ROWS},
};

// 5. Its values: the protocol's, the first two vendor values as tzv58_419
// shows them, and the third as the cabinet's temperature.
using values = tzv58::protocol_values<record>;
constexpr tzv58::value_section VENDOR{"vendor", "Vendor values", "vendor"};
constexpr tzv58::value_section CABINET{"cabinet", "Cabinet", "cabinet"};
constexpr tzv58::metric_family VENDOR_VALUE{"tzv58_vendor_value", "The model's vendor readings."};
constexpr tzv58::metric_family TEMPERATURE{"tzv58_cabinet_temperature_celsius", "Temperature in the cabinet."};
constexpr tzv58::value_row OWN_ROWS[] = {
    tzv58::value_rows::many("ext_value", tzv58::value_kind::reading, tzv58::value_type::f32,
                            offsetof(record, ext_value), 2)
        .in(VENDOR)
        .as_metric(VENDOR_VALUE, "index")
        .in_summary({"", nullptr, nullptr, true, true})
        .on_page(tzv58::page_role::line),
    tzv58::value_rows::one("temperature", tzv58::value_kind::reading, tzv58::value_type::f32,
                           offsetof(record, ext_value) + 8, "°C")
        .in(CABINET)
        .as_metric(TEMPERATURE)
        .in_summary({})
        .on_page(tzv58::page_role::headline),
};
constexpr const tzv58::value_section* OWN_SECTIONS[] = {&VENDOR, &CABINET};
constexpr const tzv58::metric_family* OWN_FAMILIES[] = {&VENDOR_VALUE, &TEMPERATURE};
constexpr tzv58::history_column OWN_COLUMNS[] = {
    {"cabinet_t", "cabinet temperature", nullptr, &OWN_ROWS[1], 0, 0},
};
constexpr auto ROWS = tzv58::joined(values::ROWS, OWN_ROWS);
constexpr auto SECTIONS = tzv58::joined(values::SECTIONS, OWN_SECTIONS);
constexpr auto FAMILIES = tzv58::joined(values::FAMILIES, OWN_FAMILIES);
constexpr auto HISTORY = tzv58::joined(values::HISTORY, OWN_COLUMNS);
static_assert(tzv58::rows_fit(ROWS, sizeof(record)), "a value beyond the record");

// 6. Its descriptor and its device.
constexpr auto STEPS = tzv58::step_specs(ROUND);
constexpr tzv58::model_descriptor MODEL{
    "tzv58_twin", TYPE, sizeof(record), STEPS, ALARM_TABLES, {ROWS, SECTIONS, FAMILIES, HISTORY},
};

class device : public device_base {
public:
    device() {
        device_type = MODEL.name;
        float_mode = false;
        has_dc = true;
        round_steps = ROUND;
    }
    void RunCheckThreshold() override {
        device_base::RunCheckThreshold();
        static const tzv58::model_tables tables(ALARM_TABLES);
        check_tables(tables);
    }
};

}  // namespace twin

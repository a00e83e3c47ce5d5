// The model, as tables: the protocol's round with the vendor reading 80H/42H
// appended, its two alarm tables (alarms/tzv58_419_tables.h) after the power
// system's checks, and the protocol's values with its vendor values after
// them; the descriptor names them all.
#include "device/tzv58_419.h"

#include <cstddef>

#include "alarms/tzv58_419_tables.h"
#include "device/pmbuspower_419_impl.h"
#include "device/protocol_steps.h"
#include "telemetry/decode_vendor.h"
#include "telemetry/diag.h"
#include "telemetry/protocol_values.h"

template class UniDataDevice<tzv58_419_Data_t, PMBusProtocol, 5535>;
template class pmbuspower_419<tzv58_419_Data_t, 5535>;

namespace {

using device = pmbuspower_419<tzv58_419_Data_t, 5535>;
using protocol = tzv58::protocol_steps<device>;
using values = tzv58::protocol_values<tzv58_419_Data_t>;

bool take_vendor(device& d, const uint8_t* info, int n) {
    tzv58::vendor_values(d.data.ext_value, {info, n}, tzv58::diag());
    return true;
}

// The vendor reading goes with the DC block: without DC the round ends after
// the rectifiers, at STEP_BASE_IDLE, as the protocol's does. After it the
// round ends at STEP_MODEL_IDLE.
constexpr device::poll_row ROUND[] = {
    protocol::AC_ANALOG,
    protocol::AC_STATES,
    protocol::AC_ALARMS,
    protocol::RC_ANALOG,
    protocol::RC_STATES,
    protocol::RC_ALARMS,
    protocol::DC_ANALOG,
    protocol::DC_ALARMS,
    {tzv58::STEP_VENDOR, {0x80, 0x42}, {tzv58::step_block::dc}, take_vendor, tzv58::STEP_MODEL_IDLE},
};
static_assert(device::poll_table(ROUND).well_formed());

// The vendor values, after the protocol's.
constexpr tzv58::value_section VENDOR{"vendor", "Vendor values", "vendor"};
constexpr tzv58::metric_family VENDOR_VALUE{"tzv58_vendor_value", "The model's vendor readings."};
constexpr tzv58::value_row OWN_ROWS[] = {
    tzv58::value_rows::many("ext_value", tzv58::value_kind::reading, tzv58::value_type::f32,
                            offsetof(tzv58_419_Data_t, ext_value), 2)
        .in(VENDOR)
        .as_metric(VENDOR_VALUE, "index")
        .in_summary({"", nullptr, nullptr, true, true})
        .on_page(tzv58::page_role::line),
};
constexpr const tzv58::value_section* OWN_SECTIONS[] = {&VENDOR};
constexpr const tzv58::metric_family* OWN_FAMILIES[] = {&VENDOR_VALUE};

constexpr auto ROWS = tzv58::joined(values::ROWS, OWN_ROWS);
constexpr auto SECTIONS = tzv58::joined(values::SECTIONS, OWN_SECTIONS);
constexpr auto FAMILIES = tzv58::joined(values::FAMILIES, OWN_FAMILIES);
constexpr auto STEPS = tzv58::step_specs(ROUND);
static_assert(tzv58::rows_fit(ROWS, sizeof(tzv58_419_Data_t)), "a value beyond the record");

constexpr tzv58::model_descriptor MODEL{
    "tzv58_419",
    5535,
    sizeof(tzv58_419_Data_t),
    STEPS,
    tzv58::tzv58_419_table_specs,
    {ROWS, SECTIONS, FAMILIES, values::HISTORY},
};

}  // namespace

tzv58_419::tzv58_419() {
    device_type = MODEL.name;
    float_mode = false;
    has_dc = true;
    round_steps = ROUND;
}

tzv58_419::~tzv58_419() = default;

const tzv58::model_descriptor& tzv58_419::model() { return MODEL; }

// The host's table of operations has the model supply process_payload; its
// round is its table, walked by the protocol's one cycle.
int tzv58_419::process_payload() { return pmbuspower_419::process_payload(); }

void tzv58_419::RunCheckThreshold() {
    pmbuspower_419::RunCheckThreshold();
    check_tables(tzv58::tzv58_419_tables());
}

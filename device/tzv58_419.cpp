// The model: the protocol's round with the vendor reading 80H/42H appended,
// and its alarm table reported after the power system's checks.
#include "device/tzv58_419.h"

#include "alarms/model_checks.h"
#include "device/host_alarms.h"
#include "device/protocol_steps.h"
#include "telemetry/decode_vendor.h"
#include "telemetry/diag.h"

namespace {

using device = pmbuspower_419<tzv58_419_Data_t, 5535>;
using protocol = tzv58::protocol_steps<device>;

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

}  // namespace

tzv58_419::tzv58_419() {
    device_type = "tzv58_419";
    float_mode = false;
    has_dc = true;
    round_steps = ROUND;
}

tzv58_419::~tzv58_419() = default;

// The host's table of operations has the model supply process_payload; its
// round is its table, walked by the protocol's one cycle.
int tzv58_419::process_payload() { return pmbuspower_419::process_payload(); }

void tzv58_419::RunCheckThreshold() {
    pmbuspower_419::RunCheckThreshold();
    tzv58::host_alarms sink(*this);
    tzv58::check_model_tables(data, settings_for_checks(), sink, check_seq);
}

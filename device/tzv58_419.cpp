// The model appends the vendor reading 80H/42H to every round:
//
//   step 7  42H/A     DC analog   then 42H/44H, or 80H/42H when nothing changed
//   step 8  42H/44H   DC alarms   then 80H/42H
//   step 50 80H/42H   vendor      end of round, poll_step 0
//
// and reports its alarm table after the power system's checks.
#include "device/tzv58_419.h"

#include "alarms/model_checks.h"
#include "device/host_alarms.h"
#include "telemetry/decode_vendor.h"
#include "telemetry/diag.h"
#include "telemetry/reply.h"

namespace {

constexpr int VENDOR_STEP = 50;

int send_vendor_query(pmbuspower_419<tzv58_419_Data_t, 5535>& device) {
    device.poll_step = VENDOR_STEP;
    device.write_pmbus_cmd(0x80, 0x42);
    return 1;
}

}  // namespace

tzv58_419::tzv58_419() {
    device_type = "tzv58_419";
    float_mode = false;
    has_dc = true;
}

tzv58_419::~tzv58_419() = default;

int tzv58_419::process_payload() {
    if (poll_step != VENDOR_STEP) return process_poll_reply(send_vendor_query);
    const uint8_t* reply = reply_frame;
    tzv58::vendor_values(data.ext_value, {tzv58::reply_info(reply), tzv58::reply_info_len(reply)}, tzv58::diag());
    RoundDone();
    poll_step = 0;
    Reset();
    return 0;
}

void tzv58_419::RunCheckThreshold() {
    pmbuspower_419::RunCheckThreshold();
    tzv58::host_alarms sink(*this);
    tzv58::check_model_tables(data, settings_for_checks(), sink, check_seq);
}

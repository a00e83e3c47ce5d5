// pmbuspower_419: the poll cycle, the plant layout from the configuration and
// the power system's alarm checks.
//
// The poll cycle: RefreshStatus starts a round, process_payload decodes each
// reply and sends the next command, the last reply completes the round.
//
//   step  awaits     decodes with                      then
//   0     40H/A [g]  parse40_41 | parse40_42           40H/43H, 40H/44H or 41H/A
//   1     40H/43H    parse40_43                        40H/44H or 41H/A
//   2     40H/44H    parse40_44                        41H/A
//   4     41H/A      parse41_41 | parse41_42           41H/43H, 41H/44H or DC-or-end
//   5     41H/43H    parse41_43                        41H/44H or DC-or-end
//   6     41H/44H    parse41_44                        DC-or-end
//   7     42H/A      DC analog (one or two units)      42H/44H or after-DC
//   8     42H/44H    DC alarms (one or two units)      after-DC
//
// A is 41H (floats) or 42H (fixed point); [g] carries command_group as INFO.
// The 43H/44H queries go out until a round has completed, then only when the
// DATAFLAG of the analog reply says that states (10H) or alarms (01H) changed.
// After-DC ends the round in the base; a model may append a step there.
#include "device/pmbuspower_419.h"

#include <cstdint>

#include "alarms/power_checks.h"
#include "device/host_alarms.h"
#include "device/setting_value.h"
#include "telemetry/bytes.h"
#include "telemetry/record.h"
#include "telemetry/reply.h"

using tzv58::DATAFLAG_ALARMS;
using tzv58::DATAFLAG_STATES;

template <class Data, int Type>
int pmbuspower_419<Data, Type>::RefreshStatus() {
    if (ZMXSPDevice::RefreshStatus() == 0) return 0;
    const boost::posix_time::ptime now = this->local_time();
    // Before the first completed round last_update holds no time: go on. A
    // clock set back is moved away from as one that went on: a negative
    // count would otherwise decline every refresh for as long as the step.
    if (!this->last_update.is_special() && !now.is_special()) {
        const int64_t seconds = (now - this->last_update).total_seconds();
        if (seconds >= -1 && seconds <= 1) {
            this->sp_step = 10;
            return 0;
        }
    }
    if (has_ac) {
        this->poll_step = 0;
        send_analog(0x40, true);
    } else {
        this->poll_step = 4;
        send_analog(0x41, false);
    }
    return 1;
}

template <class Data, int Type>
int pmbuspower_419<Data, Type>::info_len() const {
    return tzv58::reply_info_len(this->reply_frame);
}

template <class Data, int Type>
void pmbuspower_419<Data, Type>::send_analog(unsigned char cid1, bool with_group) {
    const unsigned char cid2 = float_mode ? 0x41 : 0x42;
    if (with_group)
        this->write_pmbus_cmd(cid1, cid2, &command_group, 1);
    else
        this->write_pmbus_cmd(cid1, cid2);
}

template <class Data, int Type>
int pmbuspower_419<Data, Type>::send_dc_alarm_query() {
    if (this->protocol_ver == 0x21) return this->write_pmbus_cmd(0x42, 0x44, &command_group, 1);
    return this->write_pmbus_cmd(0x42, 0x44);
}

template <class Data, int Type>
int pmbuspower_419<Data, Type>::dc_or_end() {
    if (!has_dc) return end_round();
    this->poll_step = 7;
    send_analog(0x42, this->protocol_ver == 0x21 || !float_mode);
    return 1;
}

template <class Data, int Type>
int pmbuspower_419<Data, Type>::end_round() {
    this->RoundDone();
    this->poll_step = 10;
    this->Reset();
    return 0;
}

// Step 7. INFO: DATAFLAG, then either the DC count byte and the units, or
// (no_dc_number 1) unit 1 straight after DATAFLAG.
template <class Data, int Type>
void pmbuspower_419<Data, Type>::decode_dc_analog(int n) {
    const uint8_t* info = tzv58::reply_info(this->reply_frame);
    if (n < 2) return;  // no count byte, no unit
    const uint8_t count = info[1];
    tzv58::diag_line::dc_analog_count(diag(), count);
    if (no_dc_number == tzv58::NO_DC_NUMBER_UNKNOWN) {
        // Detect once: does a DC voltage follow DATAFLAG directly?
        no_dc_number = tzv58::no_dc_number_shown(info, n, float_mode);
        if (no_dc_number == tzv58::NO_DC_NUMBER_UNKNOWN) return;  // too short to tell, and to hold a unit
    }
    if (no_dc_number == 1) {
        float_mode ? parse42_41(info + 1, n - 1) : parse42_42(info + 1, n - 1);
        return;
    }
    const int r = float_mode ? parse42_41(info + 2, n - 2) : parse42_42(info + 2, n - 2);
    // Unit 2 starts where unit 1 ended; without a good unit 1 it has no start.
    if (count >= 2 && r >= 0)
        float_mode ? parse42_41_2(info + 2 + r, n - 2 - r) : parse42_42_2(info + 2 + r, n - 2 - r);
}

// Step 8, same layouts as step 7.
template <class Data, int Type>
void pmbuspower_419<Data, Type>::decode_dc_alarm(int n) {
    const uint8_t* info = tzv58::reply_info(this->reply_frame);
    if (no_dc_number == 1) {
        parse42_44(info + 1, n - 1);
        return;
    }
    if (n < 2) return;
    const uint8_t count = info[1];
    tzv58::diag_line::dc_alarm_count(diag(), count);
    const int r = parse42_44(info + 2, n - 2);
    if (count >= 2 && r >= 0) parse42_44_2(info + 2 + r, n - 2 - r);
}

template <class Data, int Type>
int pmbuspower_419<Data, Type>::process_payload() {
    return process_poll_reply([](pmbuspower_419& device) { return device.end_round(); });
}

template <class Data, int Type>
int pmbuspower_419<Data, Type>::process_poll_reply(after_dc_fn after_dc) {
    const int n = info_len();
    const uint8_t* info = tzv58::reply_info(this->reply_frame);
    // DATAFLAG of a reply too short to carry one reads as 0.
    const uint8_t dataflag = n >= 1 ? info[0] : 0;
    const bool ready = this->data_ready;

    switch (this->poll_step) {
    case 0: {
        const int r = float_mode ? parse40_41(info + 1, n - 1) : parse40_42(info + 1, n - 1);
        if (r == -1) return 1;
        if (!ready || (dataflag & DATAFLAG_STATES)) {
            this->poll_step = 1;
            this->write_pmbus_cmd(0x40, 0x43, &command_group, 1);
        } else if (dataflag & DATAFLAG_ALARMS) {
            this->poll_step = 2;
            this->write_pmbus_cmd(0x40, 0x44, &command_group, 1);
        } else {
            this->poll_step = 4;
            send_analog(0x41, false);
        }
        return 1;
    }
    case 1:
        parse40_43(info + 1, n - 1);
        if (!ready || (dataflag & DATAFLAG_ALARMS)) {
            this->poll_step = 2;
            this->write_pmbus_cmd(0x40, 0x44, &command_group, 1);
        } else {
            this->poll_step = 4;
            send_analog(0x41, false);
        }
        return 1;
    case 2:
        parse40_44(info + 1, n - 1);
        this->poll_step = 4;
        send_analog(0x41, false);
        return 1;
    case 4: {
        rect_dataflag = dataflag;
        const int r = float_mode ? parse41_41(info, n) : parse41_42(info, n);
        tzv58::diag_line::rc_result(diag(), n, r);
        if (!ready || (rect_dataflag & DATAFLAG_STATES)) {
            this->poll_step = 5;
            this->write_pmbus_cmd(0x41, 0x43);
        } else if (rect_dataflag & DATAFLAG_ALARMS) {
            this->poll_step = 6;
            this->write_pmbus_cmd(0x41, 0x44);
        } else {
            return dc_or_end();
        }
        return 1;
    }
    case 5:
        parse41_43(info, n);
        if (!ready || (rect_dataflag & DATAFLAG_ALARMS)) {
            this->poll_step = 6;
            this->write_pmbus_cmd(0x41, 0x44);
            return 1;
        }
        return dc_or_end();
    case 6:
        parse41_44(info, n);
        return dc_or_end();
    case 7:
        decode_dc_analog(n);
        if (ready && !(dataflag & (DATAFLAG_STATES | DATAFLAG_ALARMS))) return after_dc(*this);
        this->poll_step = 8;
        send_dc_alarm_query();
        return 1;
    case 8:
        decode_dc_alarm(n);
        return after_dc(*this);
    default:
        // No poll reply awaited: this answers a control command.
        ctrl_result = 1;
        return 0;
    }
}

// The plant layout from "appSetting":
//
//   {"appSetting": {"has_ac": "1", "has_dc": 1, "no_dc_number": "2",
//                   "has_a": "1", "has_b": "1", "has_c": "0", "dc_i_adjust": "1"}}
//
// Keys that are absent (or null) keep what the members hold.
template <class Data, int Type>
bool pmbuspower_419<Data, Type>::InitSetting(const Json::Value& config) {
    const Json::Value& app = config["appSetting"];
    if (app.isObject()) {
        tzv58::setting_flag(app, "has_ac", has_ac);
        tzv58::setting_flag(app, "has_dc", has_dc);
        tzv58::setting_int(app, "no_dc_number", no_dc_number);
        tzv58::setting_flag(app, "has_a", has_a);
        tzv58::setting_flag(app, "has_b", has_b);
        tzv58::setting_flag(app, "has_c", has_c);
        tzv58::setting_int(app, "dc_i_adjust", dc_i_adjust);
    }
    this->data.data_id.set(this->DataId());
    Base::InitSetting(config);
    return true;
}

template <class Data, int Type>
tzv58::check_settings pmbuspower_419<Data, Type>::settings_for_checks() const {
    return {this->b_mode_, has_ac, has_dc, has_a, has_b, has_c, this->threshold_levels, this->threshold_values};
}

// Mains failure (mode 1) and the AC and DC threshold checks (mode 2).
template <class Data, int Type>
void pmbuspower_419<Data, Type>::RunCheckThreshold() {
    tzv58::host_alarms sink(*this);
    tzv58::check_power_system(this->data, settings_for_checks(), sink);
}

template int pmbuspower_419<tzv58_419_Data_t, 5535>::RefreshStatus();
template int pmbuspower_419<tzv58_419_Data_t, 5535>::process_payload();
template int pmbuspower_419<tzv58_419_Data_t, 5535>::process_poll_reply(after_dc_fn);
template int pmbuspower_419<tzv58_419_Data_t, 5535>::end_round();
template bool pmbuspower_419<tzv58_419_Data_t, 5535>::InitSetting(const Json::Value&);
template tzv58::check_settings pmbuspower_419<tzv58_419_Data_t, 5535>::settings_for_checks() const;
template void pmbuspower_419<tzv58_419_Data_t, 5535>::RunCheckThreshold();

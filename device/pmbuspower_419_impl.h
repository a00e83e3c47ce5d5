// The bodies of pmbuspower_419's members, for a model's .cpp to instantiate
// over its record (`template class pmbuspower_419<Data, Type>;`): the poll
// cycle, the plant layout from the configuration and the power system's
// alarm checks here, the value query (device/value_query.h) and control
// (device/control.h) beside.
//
// The poll cycle: RefreshStatus starts a round, process_payload takes each
// reply and sends the next command, the last reply completes the round. The
// steps are data: a model's round is one table (device/poll_steps.h), the
// protocol's own rows and the order they go out in device/protocol_steps.h.
#pragma once

#include <cstdint>

#include "alarms/model_checks.h"
#include "alarms/power_checks.h"
#include "device/control.h"
#include "device/host_alarms.h"
#include "device/pmbuspower_419.h"
#include "device/protocol_steps.h"
#include "device/setting_value.h"
#include "device/value_query.h"
#include "telemetry/bytes.h"
#include "telemetry/reply.h"

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
    const poll_row* first = next_due(nullptr, 0);
    return first ? ask(*first) : 0;
}

template <class Data, int Type>
typename pmbuspower_419<Data, Type>::poll_table pmbuspower_419<Data, Type>::protocol_round() {
    static_assert(poll_table(tzv58::protocol_steps<pmbuspower_419>::ROUND).well_formed());
    return tzv58::protocol_steps<pmbuspower_419>::ROUND;
}

// The one walk of every model's round.
template <class Data, int Type>
int pmbuspower_419<Data, Type>::process_payload() {
    const poll_row* row = round_steps.find(this->poll_step);
    if (!row) {
        // No poll reply awaited: this answers a control command.
        ctrl_result = 1;
        return 0;
    }
    const int n = tzv58::reply_info_len(this->reply_frame);
    const uint8_t* info = tzv58::reply_info(this->reply_frame);
    // DATAFLAG of a reply too short to carry one reads as 0.
    const uint8_t dataflag = n >= 1 ? info[0] : 0;
    if (!row->take(*this, info, n)) return 1;
    const poll_row* next = next_due(row, dataflag);
    return next ? ask(*next) : end_round(row->ends_at);
}

template <class Data, int Type>
auto pmbuspower_419<Data, Type>::next_due(const poll_row* taken, uint8_t dataflag) const -> const poll_row* {
    for (const poll_row* r = taken ? taken + 1 : round_steps.begin(); r != round_steps.end(); ++r) {
        const tzv58::step_due& due = r->due;
        // A block is looked at where the walk enters it.
        if (!taken || due.block != taken->due.block) {
            if (due.block == tzv58::step_block::ac && !has_ac) continue;
            if (due.block == tzv58::step_block::dc && !has_dc) continue;
        }
        if (!due.changed || !this->data_ready || ((due.by_rect_flag ? rect_dataflag : dataflag) & due.changed))
            return r;
    }
    return nullptr;
}

template <class Data, int Type>
int pmbuspower_419<Data, Type>::ask(const poll_row& row) {
    using tzv58::step_info;
    const tzv58::step_command& c = row.command;
    const unsigned char cid2 = c.cid2 != tzv58::CID2_ANALOG ? c.cid2 : (float_mode ? 0x41 : 0x42);
    const bool v21 = this->protocol_ver == 0x21;
    const bool group = c.info == step_info::group || (c.info == step_info::group_21h && v21) ||
                       (c.info == step_info::group_21h_or_fixed && (v21 || !float_mode));
    this->poll_step = row.step;
    if (group)
        this->write_pmbus_cmd(c.cid1, cid2, &command_group, 1);
    else
        this->write_pmbus_cmd(c.cid1, cid2);
    return 1;
}

template <class Data, int Type>
int pmbuspower_419<Data, Type>::end_round(int32_t ends_at) {
    this->RoundDone();
    this->poll_step = ends_at;
    this->Reset();
    return 0;
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

template <class Data, int Type>
void pmbuspower_419<Data, Type>::check_tables(const tzv58::model_tables& tables) {
    tzv58::host_alarms sink(*this);
    tzv58::check_model_tables(this->data, settings_for_checks(), tables, sink, this->check_seq);
}

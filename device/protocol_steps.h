// The protocol's steps, one row each, for any model's round
// (device/poll_steps.h tells how a round is walked):
//
//   step  command       asked                               taken by
//   0     40H/A [g]     with AC                             parse40_41 | parse40_42
//   1     40H/43H [g]   first round, or DATAFLAG 10H        parse40_43
//   2     40H/44H [g]   first round, or DATAFLAG 01H        parse40_44
//   4     41H/A         always                              parse41_41 | parse41_42
//   5     41H/43H       first round, or rect_dataflag 10H   parse41_43
//   6     41H/44H       first round, or rect_dataflag 01H   parse41_44
//   7     42H/A [g*]    with DC                             DC analog, one or two units
//   8     42H/44H [g']  first round, or DATAFLAG 11H        DC alarms, one or two units
//
// A is 41H (floats) or 42H (fixed point); [g] carries command_group as INFO,
// [g*] in protocol version 21H or fixed point, [g'] in version 21H. DATAFLAG
// is that of the reply just taken: 40H/A or 40H/43H before step 2, 42H/A
// before step 8; steps 5 and 6 read the rectifier analog reply's. A refused
// 40H/A reply holds the round; no other does.
#pragma once

#include <cstdint>

#include "device/pmbuspower_419.h"
#include "device/poll_steps.h"
#include "telemetry/dc_layout.h"
#include "telemetry/diag.h"
#include "telemetry/reply.h"

namespace tzv58 {

// The functions that take each reply. info: the INFO, DATAFLAG first; n: its
// length. Where each decoder's pointer starts and what length it gets follow
// the decoders' conventions (pmbuspower_419.h).
template <class Device>
struct take_reply {
    static bool ac_analog(Device& d, const uint8_t* info, int n) {
        return (d.float_mode ? d.parse40_41(info + 1, n - 1) : d.parse40_42(info + 1, n - 1)) != -1;
    }

    static bool ac_states(Device& d, const uint8_t* info, int n) {
        d.parse40_43(info + 1, n - 1);
        return true;
    }

    static bool ac_alarms(Device& d, const uint8_t* info, int n) {
        d.parse40_44(info + 1, n - 1);
        return true;
    }

    static bool rc_analog(Device& d, const uint8_t* info, int n) {
        d.rect_dataflag = n >= 1 ? info[0] : 0;
        const int r = d.float_mode ? d.parse41_41(info, n) : d.parse41_42(info, n);
        diag_line::rc_result(diag(), n, r);
        return true;
    }

    static bool rc_states(Device& d, const uint8_t* info, int n) {
        d.parse41_43(info, n);
        return true;
    }

    static bool rc_alarms(Device& d, const uint8_t* info, int n) {
        d.parse41_44(info, n);
        return true;
    }

    // DATAFLAG, then either the DC count byte and the units, or (no_dc_number 1)
    // unit 1 straight after DATAFLAG.
    static bool dc_analog(Device& d, const uint8_t* info, int n) {
        if (n < 2) return true;  // no count byte, no unit
        const uint8_t count = info[1];
        diag_line::dc_analog_count(diag(), count);
        if (d.no_dc_number == NO_DC_NUMBER_UNKNOWN) {
            // Detect once: does a DC voltage follow DATAFLAG directly?
            d.no_dc_number = no_dc_number_shown(info, n, d.float_mode);
            if (d.no_dc_number == NO_DC_NUMBER_UNKNOWN) return true;  // too short to tell, and to hold a unit
        }
        if (d.no_dc_number == 1) {
            d.float_mode ? d.parse42_41(info + 1, n - 1) : d.parse42_42(info + 1, n - 1);
            return true;
        }
        const int r = d.float_mode ? d.parse42_41(info + 2, n - 2) : d.parse42_42(info + 2, n - 2);
        // Unit 2 starts where unit 1 ended; without a good unit 1 it has no start.
        if (count >= 2 && r >= 0)
            d.float_mode ? d.parse42_41_2(info + 2 + r, n - 2 - r) : d.parse42_42_2(info + 2 + r, n - 2 - r);
        return true;
    }

    // The layouts of dc_analog.
    static bool dc_alarms(Device& d, const uint8_t* info, int n) {
        if (d.no_dc_number == 1) {
            d.parse42_44(info + 1, n - 1);
            return true;
        }
        if (n < 2) return true;
        const uint8_t count = info[1];
        diag_line::dc_alarm_count(diag(), count);
        const int r = d.parse42_44(info + 2, n - 2);
        if (count >= 2 && r >= 0) d.parse42_44_2(info + 2 + r, n - 2 - r);
        return true;
    }
};

template <class Device>
struct protocol_steps {
    using row = poll_row<Device>;
    using info = step_info;
    using block = step_block;
    using take = take_reply<Device>;
    static constexpr uint8_t STATES = DATAFLAG_STATES;
    static constexpr uint8_t ALARMS = DATAFLAG_ALARMS;

    // step, {CID1, CID2, INFO}, {block, changed, by rect_dataflag}, takes
    static constexpr row AC_ANALOG = {STEP_AC_ANALOG, {0x40, CID2_ANALOG, info::group}, {block::ac}, take::ac_analog};
    static constexpr row AC_STATES = {STEP_AC_STATES, {0x40, 0x43, info::group}, {block::ac, STATES}, take::ac_states};
    static constexpr row AC_ALARMS = {STEP_AC_ALARMS, {0x40, 0x44, info::group}, {block::ac, ALARMS}, take::ac_alarms};
    static constexpr row RC_ANALOG = {STEP_RC_ANALOG, {0x41, CID2_ANALOG}, {block::rc}, take::rc_analog};
    static constexpr row RC_STATES = {STEP_RC_STATES, {0x41, 0x43}, {block::rc, STATES, true}, take::rc_states};
    static constexpr row RC_ALARMS = {STEP_RC_ALARMS, {0x41, 0x44}, {block::rc, ALARMS, true}, take::rc_alarms};
    static constexpr row DC_ANALOG = {
        STEP_DC_ANALOG, {0x42, CID2_ANALOG, info::group_21h_or_fixed}, {block::dc}, take::dc_analog};
    static constexpr row DC_ALARMS = {
        STEP_DC_ALARMS, {0x42, 0x44, info::group_21h}, {block::dc, STATES | ALARMS}, take::dc_alarms};

    // pmbuspower_419's round: the protocol's steps, ending at STEP_BASE_IDLE.
    static constexpr row ROUND[] = {AC_ANALOG, AC_STATES, AC_ALARMS, RC_ANALOG,
                                    RC_STATES, RC_ALARMS, DC_ANALOG, DC_ALARMS};
};

}  // namespace tzv58

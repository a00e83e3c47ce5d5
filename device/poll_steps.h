// The poll round as data. A model's round is one table of steps, in the
// order their commands go out; pmbuspower_419 walks it (pmbuspower_419_impl.h):
// RefreshStatus asks the first step that is due, each reply is taken by the
// row of the step awaited, then the next due row is asked, and when none is
// left the round ends at the row's ends_at.
//
// A row is due when
//   - its block is polled: has_ac for the AC block, has_dc for the DC block
//     (the vendor reading goes with it), the rectifiers always; this is
//     looked at only where the walk enters the block, as a round starts or
//     leaves another block;
//   - and, for a row with `changed` bits, no round has completed yet or the
//     DATAFLAG says so: that of the reply just taken, or rect_dataflag (the
//     rectifier analog reply's) for a row marked so.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "device/control_code.h"

namespace tzv58 {

// The values poll_step holds.
enum poll_step_value : int32_t {
    STEP_AC_ANALOG = 0,  // 40H/A
    STEP_AC_STATES = 1,  // 40H/43H
    STEP_AC_ALARMS = 2,  // 40H/44H
    STEP_RC_ANALOG = 4,  // 41H/A
    STEP_RC_STATES = 5,  // 41H/43H
    STEP_RC_ALARMS = 6,  // 41H/44H
    STEP_DC_ANALOG = 7,  // 42H/A
    STEP_DC_ALARMS = 8,  // 42H/44H
    STEP_VENDOR = 50,    // 80H/42H, tzv58_419's vendor reading
    // No poll reply awaited: a reply now answers a control command.
    STEP_BASE_IDLE = 10,                // after a round that ends in the protocol's steps
    STEP_SET_TIME_ANSWER = SET_TIME,    // after DeviceIoControl 300
    STEP_SET_PARAM_ANSWER = SET_PARAM,  // after DeviceIoControl 310
    // After tzv58_419's own last step the cycle rests at 0: a reply that
    // comes between its rounds is taken as the AC analog reply.
    STEP_MODEL_IDLE = STEP_AC_ANALOG,
};

// The CID2 of the analog query: 41H (IEEE singles) when float_mode, else 42H.
constexpr uint8_t CID2_ANALOG = 0x00;

// The INFO a command carries: nothing, or the one byte command_group ([g]).
enum class step_info : uint8_t {
    none,
    group,
    group_21h,           // [g] when protocol_ver is 21H
    group_21h_or_fixed,  // [g] when protocol_ver is 21H or float_mode is off
};

struct step_command {
    uint8_t cid1;
    uint8_t cid2;  // CID2_ANALOG: the analog query
    step_info info = step_info::none;
};

// The part of the plant a step reads.
enum class step_block : uint8_t { ac, rc, dc };

// When a step is asked (see the top).
struct step_due {
    step_block block;
    uint8_t changed = 0;        // DATAFLAG bits that call for it once a round has completed; 0: every round
    bool by_rect_flag = false;  // changed is read from rect_dataflag, not from the reply just taken
};

template <class Device>
struct poll_row {
    int32_t step;  // poll_step while the reply is awaited
    step_command command;
    step_due due;
    // Takes the reply's INFO (DATAFLAG first, n bytes) into the record.
    // false: the reply is refused and the round holds (nothing sent,
    // poll_step unchanged).
    bool (*take)(Device& device, const uint8_t* info, int n);
    int32_t ends_at = STEP_BASE_IDLE;  // poll_step when the round ends after this reply
};

// A row as the host program reads it in the model's descriptor
// (device/model.h): everything but the function that takes the reply.
struct step_spec {
    int32_t step;
    step_command command;
    step_due due;
    int32_t ends_at;
};

template <class Device, size_t N>
constexpr std::array<step_spec, N> step_specs(const poll_row<Device> (&rows)[N]) {
    std::array<step_spec, N> out{};
    for (size_t i = 0; i < N; ++i) out[i] = {rows[i].step, rows[i].command, rows[i].due, rows[i].ends_at};
    return out;
}

// A model's round: its rows in order. Holds no copy; the rows are constants.
template <class Device>
class poll_table {
public:
    using row = poll_row<Device>;

    template <size_t N>
    constexpr poll_table(const row (&rows)[N]) : rows_(rows), count_(N) {}

    constexpr const row* begin() const { return rows_; }
    constexpr const row* end() const { return rows_ + count_; }
    constexpr size_t size() const { return count_; }

    // The row that awaits `step`; nullptr where none does.
    constexpr const row* find(int32_t step) const {
        for (const row& r : *this)
            if (r.step == step) return &r;
        return nullptr;
    }

    // Each step awaited by one row, and none a value that means that no poll
    // reply is awaited.
    constexpr bool well_formed() const {
        for (const row* r = begin(); r != end(); ++r) {
            if (r->step == STEP_BASE_IDLE || r->step == STEP_SET_TIME_ANSWER || r->step == STEP_SET_PARAM_ANSWER)
                return false;
            if (find(r->step) != r) return false;
        }
        return count_ > 0;
    }

private:
    const row* rows_;
    size_t count_;
};

}  // namespace tzv58

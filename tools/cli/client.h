// `tzv58-host get` and `tzv58-host control`: clients of a running poll's
// live socket (tools/live/live_api.h says what goes over it).
#pragma once

#include "tools/common/options.h"

namespace tzv58::tool {

// get --socket PATH [--json | ID...]: 0 when every value was given from a
// current round; 1 when the values are not current (link down, no recent
// round), none yet, an id was refused or the host could not be reached, with
// one line on stderr saying why; 2 for a usage error (or a socket of another
// user).
int run_get(const CommandLine& cl);

// control --socket PATH (CODE [--text T | --hex H] [--out N] | set-time [T] |
// set-param SIGNAL_ID VALUE | remote ID) [--wait SECONDS]: 0 when the command
// went out and the power system answered (with --wait: when the device
// recorded the reply as its answer; for remote, which it does not track, the
// line's reply), or a query code read a recorded answer; 1 when the device
// or the line did not do it, with one line saying why; 2 for a usage error.
int run_control(const CommandLine& cl);

}  // namespace tzv58::tool

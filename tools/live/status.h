// The status object: one JSON object that tells what a running poll knows —
// the link, the rounds, the age of the data, the values the power system
// reported and the alarms. The live socket serves it at GET /values and the
// TCP door at GET /api/status; `tzv58-host get --json` prints it, and `get`
// prints it for people. docs/live.md shows it whole.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/common/record_view.h"
#include "tools/live/live_state.h"

namespace tzv58::tool {

// The whole object, as of `now`: time, port, address, link, rounds, data,
// values, then what is known of the alarms: "alarms_current" (false before
// the first round and while the data is not current: what follows is the
// last known, not a word on now), "mains_failure" (the device's
// mains-failure alarm active, reported inactive, or null when the device
// reports none; "mains_failure_since" when active), "alarms" (active, as
// last reported, most severe first, each with since when), "status_bytes"
// (the power system's own status bytes that are not 0), "transitions"
// (raised and cleared, newest first, at most RECENT_TRANSITIONS) and
// "history" (history_json).
// A site's power system's object begins with its "name".
std::string status_json(const LiveSnapshot& s, std::chrono::steady_clock::time_point now);
// A site's: {"time":T,"power_systems":[{"name":"north",...},...]}, each
// power system's object in the site file's order.
std::string site_status_json(const std::vector<LiveSnapshot>& site, std::chrono::steady_clock::time_point now);

// Its parts, also in the answer to GET /values/ID while the data is not current.
// {"state":"open"|"down","since":ISO[,"cause":"hang-up"]}
std::string link_json(const LiveSnapshot& s);
// null without a history file, else {"writing":true,"waiting":0,
// "dropped":0,"log_bytes":0}: whether rounds go into the file as they end,
// how many wait in memory, how many were let go, the write-ahead log's size.
std::string history_json(const HistoryStatus& h);
// {"address":0,"checksum":2,...,"timeout":6}: line errors since the start by
// reason, every known reason there from 0 on.
std::string line_errors_json(const std::map<std::string, uint64_t>& errors);
// null before the first complete round, else
// {"round_time":ISO,"age_s":0.4,"current":true}
std::string data_json(const LiveSnapshot& s, std::chrono::steady_clock::time_point now);

// What the power system reported, with the record's names (the rows of its
// model's values): the elements the power system reported, up to what the
// record holds, each array's values only where the record holds them from
// the last reply (a group larger than its capacity leaves the values of an
// older reply, which are not shown), no reserved bytes, a value marked as
// not supplied as null, the round time in ISO 8601 (null before a round
// stamped it).
std::string reported_values_json(const RecordView& r);

// The power system's own alarm bytes among those values (a channel's a, b,
// c and f alarms, the AC tail's, a module's fault and user-defined alarms, a
// DC unit's voltage, fuse and user-defined alarms: the rows of kind alarm)
// that are not 0, where the values hold them, each with its place and label:
// [{"at":"module[1].fault","byte":129,"text":"status byte 81H from the power system"}].
std::string status_bytes_json(const RecordView& r);

// The model's values as a reader of the status object needs them to show
// "values" to people (`get`, the site page): the socket serves it at
// GET /model, the HTTP door at /api/model.
//   {"model":"tzv58_419","record_type":5535,"record_size":1257,
//    "sections":[{"id":"dc","title":"DC distribution"},...],
//    "values":[{"name":"rc_out_v","kind":"reading","unit":"V","section":"rc","page":"headline"},
//              {"name":"module_count","kind":"count","counts":"module"},
//              {"name":"module","kind":"group","section":"rc","noun":"modules","element":"module",
//               "layout":"chips","title":"rectifier","count":"module_count",
//               "values":[{"name":"out_i",...},...]},...]}
// The rows are those of "values", in its order; "counts" names what a
// count bounds (an array of the same element, or a group), "label" the name
// for people, "page" how the site page shows it (headline, line, battery,
// supply, load; absent: not at all).
std::string model_json(const model_descriptor& model);

}  // namespace tzv58::tool

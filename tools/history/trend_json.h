// The trend of the history file as JSON, for the site page and any other
// client (GET /api/trend on the HTTP door): DC voltage and load current
// over the last hours, reduced as the SVG chart reduces them.
#pragma once

#include <atomic>
#include <string>

namespace tzv58::tool {

// Reads the file read-only: the rows from `hours` hours before now (the
// host's local time) on, reduced to at most TREND_POINTS points a series,
// as {"from":ISO,"to":ISO,"hours":6,"rows":N,"interval_s":S,"gap_s":S,
// "bucket_s":S,"reduced":false,"series":{"dc_v":[[ISO,V],...,null,...],
// "load_i":[...]}}: null breaks a line where no value came for more than
// GAP_ROUNDS round intervals; "to" is now, or the newest row when that is
// later. Gives up soon once cancel is set. false with a one-line reason.
bool trend_json(const std::string& path, int hours, const std::atomic<bool>& cancel, std::string& json,
                std::string& err);

}  // namespace tzv58::tool

// The trend of the history file as JSON, for the site page and any other
// client (GET /api/trend on the HTTP door): DC voltage and load current
// over the last hours, reduced as the SVG chart reduces them.
#pragma once

#include <atomic>
#include <string>

#include "telemetry/values.h"

namespace tzv58::tool {

// Reads the file read-only: the rows from `hours` hours before now (seconds
// since the epoch, by the clock of the rounds) to now, reduced to at most
// TREND_POINTS points a series, as {"from":T,"to":T,"hours":6,"rows":N,
// "after_now":0,"interval_s":S,"gap_s":S,"bucket_s":S,"reduced":false,
// "series":{"dc_v":[[T,V],...,null,...],"load_i":[...]}}, times T in local
// time with their offset: null breaks a line where no value came for more
// than GAP_ROUNDS round intervals; after_now counts the rows dated after
// now, left out. device: one power system's rows (empty: every row). Gives
// up soon once cancel is set. false with a one-line reason.
// The file holds the records of the model whose values are `values`.
bool trend_json(const std::string& path, const value_table& values, int hours, long long now,
                const std::string& device,
                const std::atomic<bool>& cancel, std::string& json, std::string& err);

}  // namespace tzv58::tool

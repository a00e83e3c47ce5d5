// history --plot FILE.svg (or - for standard output): the trend of DC
// voltage and load current as an SVG chart (trend_svg.h).
#pragma once

#include <string>

#include "tools/history/history_db.h"
#include "tools/history/history_query.h"

namespace tzv58::tool {

// Whether the chart may be written to target: standard output, a new file,
// an empty one, or a chart this program wrote; any other file only with
// force; never a folder, a device or a FIFO, nor, in a folder others may
// write to, a link or a file of another user. false with a one-line reason.
bool plot_target_ok(const std::string& target, bool force, std::string& err);

// Reads the trend up to now, or to the range's until when it has one (rows
// dated after it left out and counted), and writes the chart: to a file
// through a temporary one
// beside it, renamed over the target once complete. 0; 1 when the output
// failed; 2 when the history file could not be read (one line each).
int write_plot(HistoryDb& db, const TimeRange& range, const std::string& target);

}  // namespace tzv58::tool

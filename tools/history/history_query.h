// Reading the history file back: a stretch of time, the rows in it, and the
// trend of some value columns over it, reduced to a bounded number of points
// (for the SVG chart, and for any client that wants the same trend).
#pragma once

#include <string>
#include <vector>

#include "tools/history/history_db.h"
#include "tools/history/trend.h"

struct sqlite3_stmt;

namespace tzv58::tool {

// Times as the file stores them (utc_text); empty for no bound. since is
// inclusive, until exclusive. device: one power system's rows; empty for
// every one.
struct TimeRange {
    std::string since, until;
    std::string device;
};

// " WHERE" clause on the rows' time (db.time_sql()) taking ?1 (since) and
// ?2 (until), and their power system (db.device_sql()) ?3, and its binding.
std::string time_range_sql(const HistoryDb& db);
void bind_time_range(sqlite3_stmt* st, const TimeRange& range);

// A column's text, "" for NULL.
std::string column_text(sqlite3_stmt* st, int col);

// The power systems the file holds rows of (records and alarms), by name.
bool history_devices(HistoryDb& db, std::vector<std::string>& out, std::string& err);

// The trend of these value columns (names from history_columns()) over the
// range, each reduced to at most max_points points with its gaps (steps of
// more than GAP_ROUNDS round intervals) breaking its line. Rows dated after
// now (seconds since the epoch: a clock that jumped ahead and back) are left
// out, and counted in out.after_now: one of them would stretch the chart to
// its date. Memory and output stay bounded whatever the number of rows.
// false with a one-line reason.
bool read_trend(HistoryDb& db, const TimeRange& range, long long now, const std::vector<std::string>& columns,
                size_t max_points, Trend& out, std::string& err);

}  // namespace tzv58::tool

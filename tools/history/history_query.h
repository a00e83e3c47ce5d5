// Reading the history file back: a stretch of time and the rows in it.
#pragma once

#include <string>

#include "tools/history/history_db.h"

struct sqlite3_stmt;

namespace tzv58::tool {

// Local times as the file stores them; empty for no bound. since is
// inclusive, until exclusive.
struct TimeRange {
    std::string since, until;
};

// " WHERE" clause on time taking ?1 (since) and ?2 (until), and its binding.
extern const char* const TIME_RANGE_SQL;
void bind_time_range(sqlite3_stmt* st, const TimeRange& range);

// A column's text, "" for NULL.
std::string column_text(sqlite3_stmt* st, int col);

}  // namespace tzv58::tool

#include "tools/history/history_query.h"

#include <sqlite3.h>


namespace tzv58::tool {

const char* const TIME_RANGE_SQL = " WHERE (?1 IS NULL OR time >= ?1) AND (?2 IS NULL OR time < ?2)";

void bind_time_range(sqlite3_stmt* st, const TimeRange& range) {
    if (!range.since.empty()) sqlite3_bind_text(st, 1, range.since.c_str(), -1, SQLITE_TRANSIENT);
    if (!range.until.empty()) sqlite3_bind_text(st, 2, range.until.c_str(), -1, SQLITE_TRANSIENT);
}

std::string column_text(sqlite3_stmt* st, int col) {
    const unsigned char* t = sqlite3_column_text(st, col);
    return t ? reinterpret_cast<const char*>(t) : "";
}

}  // namespace tzv58::tool

#include "tools/history/history_query.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>

#include "tools/history/iso_time.h"

namespace tzv58::tool {

std::string time_range_sql(const HistoryDb& db) {
    const std::string t = db.time_sql();
    return " WHERE (?1 IS NULL OR " + t + " >= ?1) AND (?2 IS NULL OR " + t + " < ?2) AND (?3 IS NULL OR " +
           db.device_sql() + " = ?3)";
}

void bind_time_range(sqlite3_stmt* st, const TimeRange& range) {
    if (!range.since.empty()) sqlite3_bind_text(st, 1, range.since.c_str(), -1, SQLITE_TRANSIENT);
    if (!range.until.empty()) sqlite3_bind_text(st, 2, range.until.c_str(), -1, SQLITE_TRANSIENT);
    if (!range.device.empty()) sqlite3_bind_text(st, 3, range.device.c_str(), -1, SQLITE_TRANSIENT);
}

bool history_devices(HistoryDb& db, std::vector<std::string>& out, std::string& err) {
    const std::string d = db.device_sql();
    Statement st(
        db.handle(),
        ("SELECT " + d + " FROM history UNION SELECT " + d + " FROM alarms WHERE key <> 'link' ORDER BY 1").c_str());
    if (!st.ok()) {
        err = db.error_text();
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) out.push_back(column_text(st.get(), 0));
    if (rc == SQLITE_DONE) return true;
    err = db.error_text();
    return false;
}

std::string column_text(sqlite3_stmt* st, int col) {
    const unsigned char* t = sqlite3_column_text(st, col);
    return t ? reinterpret_cast<const char*>(t) : "";
}

namespace {

const HistoryColumn* known_column(const HistoryDb& db, const std::string& name) {
    for (const HistoryColumn& c : db.columns())
        if (name == c.name) return &c;
    return nullptr;
}

// The first and last time in the range, and the number of rows: the
// buckets are laid out before the rows are read.
bool time_span(HistoryDb& db, const TimeRange& range, Trend& out, std::string& err) {
    const std::string t = db.time_sql();
    Statement st(db.handle(),
                 ("SELECT min(" + t + "), max(" + t + "), count(*) FROM history" + time_range_sql(db)).c_str());
    if (!st.ok()) {
        err = db.error_text();
        return false;
    }
    bind_time_range(st.get(), range);
    if (sqlite3_step(st.get()) != SQLITE_ROW) {
        err = db.error_text();
        return false;
    }
    out.rows = size_t(sqlite3_column_int64(st.get(), 2));
    if (out.rows == 0) return true;
    if (!utc_seconds(column_text(st.get(), 0), out.t0) || !utc_seconds(column_text(st.get(), 1), out.t1)) {
        err = "a row's time is not a time such as 2026-12-07T11:37:00Z";
        return false;
    }
    return true;
}

// Rows in the range dated from `bound` on.
bool count_from(HistoryDb& db, const TimeRange& range, const std::string& bound, size_t& n, std::string& err) {
    n = 0;
    if (!range.until.empty() && range.until <= bound) return true;
    Statement st(db.handle(), ("SELECT count(*) FROM history" + time_range_sql(db)).c_str());
    if (st.ok()) bind_time_range(st.get(), {std::max(range.since, bound), range.until, range.device});
    if (!st.ok() || sqlite3_step(st.get()) != SQLITE_ROW) {
        err = db.error_text();
        return false;
    }
    n = size_t(sqlite3_column_int64(st.get(), 0));
    return true;
}

}  // namespace

bool read_trend(HistoryDb& db, const TimeRange& whole, long long now, const std::vector<std::string>& columns,
                size_t max_points, Trend& out, std::string& err) {
    std::string sql = std::string("SELECT ") + db.time_sql();
    for (const std::string& c : columns) {
        if (!known_column(db, c)) {
            err = "no value column named '" + c + "'";
            return false;
        }
        sql += ", " + c;
    }
    out = Trend{};
    const std::string bound = utc_text(now + 1);
    TimeRange range = whole;
    if (range.until.empty() || range.until > bound) range.until = bound;
    size_t after_now = 0;
    if (!count_from(db, whole, bound, after_now, err) || !time_span(db, range, out, err)) return false;
    out.after_now = after_now;
    Statement st(db.handle(),
                 (sql + " FROM history" + time_range_sql(db) + " ORDER BY " + db.time_sql() + ", rowid").c_str());
    if (!st.ok()) {
        err = db.error_text();
        return false;
    }
    bind_time_range(st.get(), range);
    RoundIntervals intervals;
    std::vector<TrendReducer> reducers(columns.size(), TrendReducer(out.t0, out.t1, max_points));
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        long long t = 0;
        if (!utc_seconds(column_text(st.get(), 0), t)) continue;
        intervals.add(t);
        for (size_t i = 0; i < columns.size(); ++i) {
            const bool null = sqlite3_column_type(st.get(), int(i) + 1) == SQLITE_NULL;
            reducers[i].add(t, null ? NAN : sqlite3_column_double(st.get(), int(i) + 1));
        }
    }
    if (rc != SQLITE_DONE) {
        err = db.error_text();
        return false;
    }
    out.interval = intervals.typical();
    out.bucket_s = double(out.t1 - out.t0 + 1) / double(std::max<size_t>(max_points / 2, 1));
    for (size_t i = 0; i < columns.size(); ++i) {
        out.lines.push_back(reducers[i].finish(columns[i], GAP_ROUNDS * out.interval));
        const HistoryColumn* c = known_column(db, columns[i]);
        out.lines.back().label = c->label;
        out.lines.back().unit = c->unit;
    }
    return true;
}

}  // namespace tzv58::tool

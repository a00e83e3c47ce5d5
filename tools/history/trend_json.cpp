#include "tools/history/trend_json.h"

#include <sqlite3.h>
#include <time.h>

#include <algorithm>
#include <memory>

#include "tools/common/json_out.h"
#include "tools/history/history_query.h"
#include "tools/history/iso_time.h"

namespace tzv58::tool {
namespace {

const char* const TREND_COLUMNS[] = {"dc_v", "load_i"};

// [[ISO,V],...] with null between the runs.
std::string points_json(const TrendLine& line) {
    std::string s = "[";
    for (size_t r = 0; r < line.runs.size(); ++r) {
        if (r) s += ",null";
        for (const TrendSample& p : line.runs[r])
            s += std::string(s.size() > 1 ? "," : "") + "[" + json_quote(local_text(p.t)) + "," +
                 float_text(float(p.v)) + "]";
    }
    return s + "]";
}

int give_up(void* cancel) { return static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0; }

}  // namespace

bool trend_json(const std::string& path, const value_table& values, int hours, long long now,
                const std::string& device, const std::atomic<bool>& cancel, std::string& json, std::string& err) {
    std::unique_ptr<HistoryDb> db = HistoryDb::open_reader(path, values, err);
    if (!db) return false;
    // Every few thousand steps of the reading, the cancel flag is looked at.
    sqlite3_progress_handler(db->handle(), 4000, give_up, const_cast<std::atomic<bool>*>(&cancel));
    const long long from = now - 3600LL * hours;
    Trend t;
    const std::vector<std::string> columns(std::begin(TREND_COLUMNS), std::end(TREND_COLUMNS));
    if (!read_trend(*db, {utc_text(from), "", device}, now, columns, TREND_POINTS, t, err)) return false;
    std::string series = "{";
    bool reduced = false;
    for (const TrendLine& line : t.lines) {
        series += std::string(series.size() > 1 ? "," : "") + json_quote(line.name) + ":" + points_json(line);
        reduced = reduced || line.reduced;
    }
    json = JsonLine()
               .str("from", local_text(from))
               .str("to", local_text(now))
               .num("hours", hours)
               .num("rows", (long long)t.rows)
               .num("after_now", (long long)t.after_now)
               .num("interval_s", t.interval)
               .num("gap_s", GAP_ROUNDS * t.interval)
               .real("bucket_s", float(t.bucket_s))
               .boolean("reduced", reduced)
               .raw("series", series + "}")
               .text() +
           "\n";
    return true;
}

}  // namespace tzv58::tool

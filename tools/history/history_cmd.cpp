#include "tools/history/history_cmd.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <sqlite3.h>

#include "tools/history/history_db.h"
#include "tools/history/history_recorder.h"
#include "tools/common/json_out.h"
#include "tools/history/iso_time.h"
#include "tools/history/trend_svg.h"

namespace tzv58::tool {

const char* const USAGE_HISTORY =
    "usage: tzv58-host history FILE.db [--since T] [--until T] [--format table|csv|jsonl] [--alarms]\n"
    "                          [--plot FILE.svg]\n"
    "\n"
    "Reads a history file written by simulate or poll with --history.\n"
    "  --since T        records from local time T on (2026-12-07, 2026-12-07T19:37\n"
    "                   or 2026-12-07 19:37:00)\n"
    "  --until T        records before local time T\n"
    "  --format F       table (default: for people), csv (RFC 4180, header row) or\n"
    "                   jsonl (one JSON object per line)\n"
    "  --alarms         the alarm transitions (raised, cleared) instead of the records\n"
    "  --plot FILE.svg  write an SVG trend of DC voltage and load current instead\n"
    "Values a record does not hold (a channel, unit or battery not reported, a value\n"
    "marked as not supplied) are empty (csv), - (table) or null (jsonl).\n"
    "  --help           this text\n";

const char* const USAGE_HISTORY_OPTION =
    "  --history FILE.db  keep every history record and alarm transition in an SQLite\n"
    "                   file (read it with tzv58-host history)\n";

const std::vector<OptionSpec>& history_options() {
    static const std::vector<OptionSpec> options = {{"--since", true},  {"--until", true}, {"--format", true},
                                                    {"--alarms", false}, {"--plot", true},  {"--help", false},
                                                    {"--version", false}};
    return options;
}

bool open_history(const std::string& path, int address, std::unique_ptr<HostEvents>& out, std::string& err) {
    // A file-size limit (RLIMIT_FSIZE) is a history error like a full disk:
    // the write fails with EFBIG instead of the signal ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    HistoryDb::OpenError why = HistoryDb::OpenError::none;
    std::unique_ptr<HistoryDb> db = HistoryDb::open_writer(path, err, why);
    if (!db) {
        if (why != HistoryDb::OpenError::unwritable) {
            err = "option --history: " + err;
            return false;
        }
        std::fprintf(stderr, "tzv58-host: history %s; polling goes on without history\n", err.c_str());
        std::fflush(stderr);
        return true;
    }
    out = std::make_unique<HistoryRecorder>(std::move(db), address);
    return true;
}

namespace {

int fail(const std::string& msg) {
    std::fprintf(stderr, "tzv58-host: %s\n", msg.c_str());
    return 2;
}

// 2026-12-07, 2026-12-07T19:37, 2026-12-07 19:37:05 -> 2026-12-07T19:37:05.
bool parse_time(const std::string& text, std::string& iso) {
    std::string t = text;
    if (t.size() == 10) t += "T00:00";
    if (t.size() == 16) t += ":00";
    if (t.size() != 19) return false;
    if (t[10] == ' ') t[10] = 'T';
    static const char shape[] = "dddd-dd-ddTdd:dd:dd";
    for (size_t i = 0; i < t.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(t[i])) : t[i] != shape[i]) return false;
    const int y = std::stoi(t.substr(0, 4)), mo = std::stoi(t.substr(5, 2)), d = std::stoi(t.substr(8, 2));
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    long long seconds;
    if (!iso_seconds(t, seconds) || d > days[mo - 1] || std::stoi(t.substr(17, 2)) > 59 ||
        (mo == 2 && d == 29 && !(y % 4 == 0 && (y % 100 != 0 || y % 400 == 0))))
        return false;
    iso = t;
    return true;
}

std::string column_text(sqlite3_stmt* st, int col) {
    const unsigned char* t = sqlite3_column_text(st, col);
    return t ? reinterpret_cast<const char*>(t) : "";
}

// A value column as text: the float's shortest form, "" for none.
std::string value_text(sqlite3_stmt* st, int col) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) return "";
    return float_text(float(sqlite3_column_double(st, col)));
}

// RFC 4180: fields with a comma, a quote or a line break are quoted, quotes doubled.
std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char ch : s) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return q + "\"";
}

void csv_row(FILE* out, const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + csv_field(fields[i]);
    line += "\r\n";
    std::fputs(line.c_str(), out);
}

struct Query {
    std::string since, until;
};

// "WHERE time >= since AND time < until", with its parameters bound to ?1, ?2.
const char* const RANGE = " WHERE (?1 IS NULL OR time >= ?1) AND (?2 IS NULL OR time < ?2)";

void bind_range(sqlite3_stmt* st, const Query& q) {
    if (!q.since.empty()) sqlite3_bind_text(st, 1, q.since.c_str(), -1, SQLITE_TRANSIENT);
    if (!q.until.empty()) sqlite3_bind_text(st, 2, q.until.c_str(), -1, SQLITE_TRANSIENT);
}

int step_error(HistoryDb& db) { return fail(db.path() + ": " + db.error_text()); }

int print_records(HistoryDb& db, const Query& q, const std::string& format) {
    const std::vector<HistoryColumn>& cols = history_columns();
    std::string names;
    for (const HistoryColumn& c : cols) names += std::string(", ") + c.name;
    // The table shows only the columns that hold a value in the range.
    std::vector<bool> shown(cols.size(), true);
    if (format == "table") {
        std::string counts;
        for (const HistoryColumn& c : cols) counts += std::string(counts.empty() ? "" : ", ") + "count(" + c.name + ")";
        Statement st(db.handle(), ("SELECT " + counts + " FROM history" + RANGE).c_str());
        if (!st.ok()) return step_error(db);
        bind_range(st.get(), q);
        if (sqlite3_step(st.get()) != SQLITE_ROW) return step_error(db);
        for (size_t i = 0; i < cols.size(); ++i) shown[i] = sqlite3_column_int64(st.get(), int(i)) > 0;
    }
    Statement st(db.handle(),
                 ("SELECT time, address, data_id" + names + " FROM history" + RANGE + " ORDER BY time, rowid").c_str());
    if (!st.ok()) return step_error(db);
    bind_range(st.get(), q);
    FILE* out = stdout;
    std::vector<std::string> fields;
    if (format == "csv") {
        fields = {"time", "address", "data_id"};
        for (const HistoryColumn& c : cols) fields.push_back(c.name);
        csv_row(out, fields);
    } else if (format == "table") {
        std::string head = "time                 address  data_id";
        for (size_t i = 0; i < cols.size(); ++i) {
            if (!shown[i]) continue;
            char buf[64];
            std::snprintf(buf, sizeof buf, "  %14s", (std::string(cols[i].name) + " (" + cols[i].unit + ")").c_str());
            head += buf;
        }
        std::fprintf(out, "%s\n", head.c_str());
    }
    long rows = 0;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        ++rows;
        sqlite3_stmt* s = st.get();
        if (format == "csv") {
            fields = {column_text(s, 0), column_text(s, 1), column_text(s, 2)};
            for (size_t i = 0; i < cols.size(); ++i) fields.push_back(value_text(s, int(i) + 3));
            csv_row(out, fields);
        } else if (format == "jsonl") {
            JsonLine line;
            line.str("time", column_text(s, 0)).num("address", sqlite3_column_int(s, 1)).num("data_id", sqlite3_column_int64(s, 2));
            for (size_t i = 0; i < cols.size(); ++i) {
                const std::string v = value_text(s, int(i) + 3);
                line.raw(cols[i].name, v.empty() ? "null" : v);
            }
            std::fprintf(out, "%s\n", line.text().c_str());
        } else {
            std::string row;
            char buf[96];
            std::snprintf(buf, sizeof buf, "%-19s  %7d  %7lld", column_text(s, 0).c_str(), sqlite3_column_int(s, 1),
                          (long long)sqlite3_column_int64(s, 2));
            row = buf;
            for (size_t i = 0; i < cols.size(); ++i) {
                if (!shown[i]) continue;
                const std::string v = value_text(s, int(i) + 3);
                std::snprintf(buf, sizeof buf, "  %14s", v.empty() ? "-" : v.c_str());
                row += buf;
            }
            std::fprintf(out, "%s\n", row.c_str());
        }
    }
    if (rc != SQLITE_DONE) return step_error(db);
    if (format == "table" && rows == 0) std::fprintf(out, "no records\n");
    return std::fflush(out) == 0 ? 0 : fail(std::string("standard output: ") + std::strerror(errno));
}

int print_alarms(HistoryDb& db, const Query& q, const std::string& format) {
    Statement st(db.handle(), (std::string("SELECT time, change, key, id, level, text1, text2, seq FROM alarms") +
                               RANGE + " ORDER BY time, rowid")
                                  .c_str());
    if (!st.ok()) return step_error(db);
    bind_range(st.get(), q);
    FILE* out = stdout;
    if (format == "csv") csv_row(out, {"time", "change", "key", "id", "level", "text1", "text2", "seq"});
    long rows = 0;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        ++rows;
        sqlite3_stmt* s = st.get();
        const std::string time = column_text(s, 0), change = column_text(s, 1), key = column_text(s, 2),
                          id = column_text(s, 3), text1 = column_text(s, 5), text2 = column_text(s, 6);
        const int level = sqlite3_column_int(s, 4), seq = sqlite3_column_int(s, 7);
        if (format == "csv") {
            csv_row(out, {time, change, key, id, std::to_string(level), text1, text2, std::to_string(seq)});
        } else if (format == "jsonl") {
            std::fprintf(out, "%s\n",
                         JsonLine()
                             .str("time", time)
                             .str("change", change)
                             .str("key", key)
                             .str("id", id)
                             .num("level", level)
                             .str("text1", text1)
                             .str("text2", text2)
                             .num("seq", seq)
                             .text()
                             .c_str());
        } else {
            // As the round summary shows an alarm.
            std::fprintf(out, "%s  %-7s  [level %d] %s: %s (%s %s) seq %d\n", time.c_str(), change.c_str(), level,
                         text2.c_str(), text1.c_str(), key.c_str(), id.c_str(), seq);
        }
    }
    if (rc != SQLITE_DONE) return step_error(db);
    if (format == "table" && rows == 0) std::fprintf(out, "no alarm transitions\n");
    return std::fflush(out) == 0 ? 0 : fail(std::string("standard output: ") + std::strerror(errno));
}

int write_plot(HistoryDb& db, const Query& q, const std::string& path) {
    Statement st(db.handle(), (std::string("SELECT time, dc_v, load_i FROM history") + RANGE + " ORDER BY time, rowid").c_str());
    if (!st.ok()) return step_error(db);
    bind_range(st.get(), q);
    std::vector<TrendPoint> points;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        sqlite3_stmt* s = st.get();
        auto value = [&](int col) {
            return sqlite3_column_type(s, col) == SQLITE_NULL ? NAN : sqlite3_column_double(s, col);
        };
        points.push_back({column_text(s, 0), value(1), value(2)});
    }
    if (rc != SQLITE_DONE) return step_error(db);
    const std::string svg = trend_svg(points);
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return fail("option --plot: cannot write " + path + ": " + std::strerror(errno));
    const bool written = std::fwrite(svg.data(), 1, svg.size(), f) == svg.size();
    if (std::fclose(f) != 0 || !written) return fail("option --plot: cannot write " + path + ": " + std::strerror(errno));
    std::printf("%s: trend of %zu records\n", path.c_str(), points.size());
    return 0;
}

}  // namespace

int run_history(const CommandLine& cl) {
    if (cl.args.size() != 1) return fail("history needs exactly one FILE.db (see history --help)");
    Query q;
    if (cl.has("--since") && !parse_time(cl.get("--since"), q.since))
        return fail("option --since needs a local time such as 2026-12-07 or 2026-12-07T19:37:00, not '" +
                    cl.get("--since") + "'");
    if (cl.has("--until") && !parse_time(cl.get("--until"), q.until))
        return fail("option --until needs a local time such as 2026-12-07 or 2026-12-07T19:37:00, not '" +
                    cl.get("--until") + "'");
    const std::string format = cl.get("--format", "table");
    if (format != "table" && format != "csv" && format != "jsonl")
        return fail("option --format needs table, csv or jsonl, not '" + format + "'");
    if (cl.has("--plot") && (cl.has("--alarms") || cl.has("--format")))
        return fail("option --plot writes the trend only: it takes no --alarms or --format");
    std::string err;
    std::unique_ptr<HistoryDb> db = HistoryDb::open_reader(cl.args[0], err);
    if (!db) return fail(err);
    if (cl.has("--plot")) return write_plot(*db, q, cl.get("--plot"));
    if (cl.has("--alarms")) return print_alarms(*db, q, format);
    return print_records(*db, q, format);
}

}  // namespace tzv58::tool

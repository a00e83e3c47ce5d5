#include "tools/history/history_export.h"

#include <cerrno>
#include <cstring>
#include <functional>

#include <unistd.h>

#include <sqlite3.h>

#include "tools/common/exit_status.h"
#include "tools/common/json_out.h"
#include "tools/common/text_guard.h"
#include "tools/history/iso_time.h"

namespace tzv58::tool {

Output::Output(FILE* f, std::string name) : f_(f), name_(std::move(name)), terminal_(::isatty(::fileno(f)) == 1) {}

bool Output::put(const std::string& s) {
    if (failed_) return false;
    if (std::fwrite(s.data(), 1, s.size(), f_) != s.size()) {
        failed_ = true;
        errno_ = errno;
    }
    return !failed_;
}

int Output::finish() {
    if (!failed_ && std::fflush(f_) != 0) {
        failed_ = true;
        errno_ = errno;
    }
    if (!failed_) return EXIT_DONE;
    return failure("cannot write " + name_ + ": " + std::strerror(errno_ ? errno_ : EIO));
}

namespace {

int read_error(HistoryDb& db) { return usage_error(db.path() + ": " + db.error_text()); }

// A value column as text: the float's shortest form, "" for none.
std::string value_text(sqlite3_stmt* st, int col) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) return "";
    return float_text(float(sqlite3_column_double(st, col)));
}

// RFC 4180: fields with a comma, a quote or a line break are quoted, quotes
// doubled; so is a field kept from being read as a formula.
std::string csv_field(const std::string& text) {
    const std::string s = spreadsheet_text(text);
    if (s == text && s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char ch : s) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return q + "\"";
}

// A text of the file, made fit for the output.
std::string file_text(const std::string& s, ExportFormat format, bool terminal) {
    if (format == ExportFormat::jsonl) return valid_utf8(s);
    return format == ExportFormat::table || terminal ? shown(s) : s;
}

// A row's time for people: local time with its offset; a text that is no
// time as it is.
std::string time_text(sqlite3_stmt* st, ExportFormat format, bool terminal) {
    const std::string stored = column_text(st, 0);
    long long t = 0;
    return utc_seconds(stored, t) ? local_text(t) : file_text(stored, format, terminal);
}

std::string csv_row(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + csv_field(fields[i]);
    return line + "\r\n";
}

// The table names each row's power system when the file holds several and
// no one of them was asked for.
// Whether rows name their power system: in the table, when the rows shown
// are of several; in CSV and JSON lines, always for a site's file (one that
// holds a power system other than the one-device run's), whose columns so
// stay the same whatever the range, and never for a one-device run's.
bool named_devices(HistoryDb& db, const TimeRange& range, ExportFormat format, bool& named) {
    std::vector<std::string> devices;
    std::string err;
    if (!history_devices(db, devices, err)) return false;
    if (format == ExportFormat::table)
        named = range.device.empty() && devices.size() > 1;
    else
        named = devices.size() > 1 || (devices.size() == 1 && devices.front() != ONE_DEVICE_NAME);
    return true;
}

// The table shows only the columns that hold a value in the range.
bool columns_with_values(HistoryDb& db, const TimeRange& range, std::vector<bool>& shown) {
    std::string counts;
    for (const HistoryColumn& c : db.columns())
        counts += std::string(counts.empty() ? "" : ", ") + "count(" + c.name + ")";
    Statement st(db.handle(), ("SELECT " + counts + " FROM history" + time_range_sql(db)).c_str());
    if (!st.ok()) return false;
    bind_time_range(st.get(), range);
    if (sqlite3_step(st.get()) != SQLITE_ROW) return false;
    for (size_t i = 0; i < shown.size(); ++i) shown[i] = sqlite3_column_int64(st.get(), int(i)) > 0;
    return true;
}

std::string records_header(const std::vector<HistoryColumn>& cols, ExportFormat format, const std::vector<bool>& shown,
                           bool named) {
    if (format == ExportFormat::jsonl) return "";
    if (format == ExportFormat::csv) {
        std::vector<std::string> fields{"time", "address", "data_id"};
        for (const HistoryColumn& c : cols) fields.push_back(c.name);
        if (named) fields.push_back("device");
        return csv_row(fields);
    }
    std::string head =
        std::string("time                       ") + (named ? "device            " : "") + "address  data_id";
    for (size_t i = 0; i < cols.size(); ++i) {
        char buf[64];
        if (shown[i]) std::snprintf(buf, sizeof buf, "  %14s", (cols[i].name + " (" + cols[i].unit + ")").c_str());
        head += shown[i] ? buf : "";
    }
    return head + "\n";
}

std::string record_line(const std::vector<HistoryColumn>& cols, ExportFormat format, bool terminal, sqlite3_stmt* s,
                        const std::vector<bool>& with_values, bool named) {
    const std::string time = time_text(s, format, terminal);
    const std::string device = file_text(column_text(s, int(cols.size()) + 3), format, terminal);
    if (format == ExportFormat::csv) {
        std::vector<std::string> fields{time, column_text(s, 1), column_text(s, 2)};
        for (size_t i = 0; i < cols.size(); ++i) fields.push_back(value_text(s, int(i) + 3));
        if (named) fields.push_back(device);
        return csv_row(fields);
    }
    if (format == ExportFormat::jsonl) {
        JsonLine line;
        line.str("time", time).num("address", sqlite3_column_int(s, 1)).num("data_id", sqlite3_column_int64(s, 2));
        for (size_t i = 0; i < cols.size(); ++i) {
            const std::string v = value_text(s, int(i) + 3);
            line.raw(cols[i].name.c_str(), v.empty() ? "null" : v);
        }
        if (named) line.str("device", device);
        return line.text() + "\n";
    }
    char buf[160];
    std::snprintf(buf, sizeof buf, "%-25s  %s%7d  %7lld", time.c_str(),
                  named ? (device + std::string(device.size() < 16 ? 16 - device.size() : 0, ' ') + "  ").c_str() : "",
                  sqlite3_column_int(s, 1), (long long)sqlite3_column_int64(s, 2));
    std::string row = buf;
    for (size_t i = 0; i < cols.size(); ++i) {
        if (!with_values[i]) continue;
        const std::string v = value_text(s, int(i) + 3);
        std::snprintf(buf, sizeof buf, "  %14s", v.empty() ? "-" : v.c_str());
        row += buf;
    }
    return row + "\n";
}

std::string alarm_line(ExportFormat format, bool terminal, sqlite3_stmt* s, bool named) {
    const auto text = [&](int col) { return file_text(column_text(s, col), format, terminal); };
    const std::string time = time_text(s, format, terminal), change = text(1), key = text(2), id = text(3),
                      text1 = text(5), text2 = text(6), device = text(8);
    const int level = sqlite3_column_int(s, 4), seq = sqlite3_column_int(s, 7);
    if (format == ExportFormat::csv) {
        std::vector<std::string> fields{time, change, key, id, std::to_string(level), text1, text2, std::to_string(seq)};
        if (named) fields.push_back(device);
        return csv_row(fields);
    }
    if (format == ExportFormat::jsonl) {
        JsonLine line;
        line.str("time", time)
            .str("change", change)
            .str("key", key)
            .str("id", id)
            .num("level", level)
            .str("text1", text1)
            .str("text2", text2)
            .num("seq", seq);
        if (named) line.str("device", device);
        return line.text() + "\n";
    }
    // As the round summary shows an alarm.
    char buf[64];
    std::snprintf(buf, sizeof buf, "  %-7s  [level %d] ", change.c_str(), level);
    return time + (named ? "  " + device : "") + buf + text2 + ": " + text1 + " (" + key + " " + id + ") seq " +
           std::to_string(seq) + "\n";
}

// Runs the query and writes each row; the first failed write ends it.
int write_rows(HistoryDb& db, Statement& st, Output& out, const char* none,
               const std::function<std::string(sqlite3_stmt*)>& line) {
    if (!st.ok()) return read_error(db);
    long rows = 0;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW && out.put(line(st.get()))) ++rows;
    if (out.failed()) return out.finish();
    if (rc != SQLITE_DONE) return read_error(db);
    if (none && rows == 0) out.put(none);
    return out.finish();
}

}  // namespace

int print_records(HistoryDb& db, const TimeRange& range, ExportFormat format, Output& out) {
    const std::vector<HistoryColumn>& cols = db.columns();
    std::vector<bool> shown(cols.size(), true);
    bool named = false;
    if ((format == ExportFormat::table && !columns_with_values(db, range, shown)) ||
        !named_devices(db, range, format, named))
        return read_error(db);
    std::string names;
    for (const HistoryColumn& c : cols) names += ", " + c.name;
    const std::string t = db.time_sql();
    Statement st(db.handle(), ("SELECT " + t + ", address, data_id" + names + ", " + db.device_sql() + " FROM history" +
                               time_range_sql(db) + " ORDER BY " + t + ", rowid")
                                  .c_str());
    if (st.ok()) bind_time_range(st.get(), range);
    if (!out.put(records_header(cols, format, shown, named))) return out.finish();
    return write_rows(db, st, out, format == ExportFormat::table ? "no records\n" : nullptr,
                      [&](sqlite3_stmt* s) { return record_line(cols, format, out.terminal(), s, shown, named); });
}

int print_alarms(HistoryDb& db, const TimeRange& range, ExportFormat format, Output& out) {
    bool named = false;
    if (!named_devices(db, range, format, named)) return read_error(db);
    const std::string t = db.time_sql();
    Statement st(db.handle(), ("SELECT " + t + ", change, key, id, level, text1, text2, seq, " + db.device_sql() +
                               " FROM alarms" + time_range_sql(db) + " ORDER BY " + t + ", rowid")
                                  .c_str());
    if (st.ok()) bind_time_range(st.get(), range);
    std::vector<std::string> head{"time", "change", "key", "id", "level", "text1", "text2", "seq"};
    if (named) head.push_back("device");
    if (format == ExportFormat::csv && !out.put(csv_row(head))) return out.finish();
    return write_rows(db, st, out, format == ExportFormat::table ? "no alarm transitions\n" : nullptr,
                      [&](sqlite3_stmt* s) { return alarm_line(format, out.terminal(), s, named); });
}

}  // namespace tzv58::tool

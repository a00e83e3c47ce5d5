// The history store: an SQLite database of every record the device stores at
// the end of a round, with its main values as columns, and of the alarm
// transitions (raised, cleared) of those rounds.
//
// Schema version 3 (PRAGMA user_version, application_id 0x747A7635):
//   history(time, address, data_id, record, <the model's value columns>, device)
//                                                                       one row per record
//   alarms(time, change, key, id, level, text1, text2, seq, device)     one row per transition,
//                                                                       and per change of the link (key "link")
// device: the power system's name in a site ("default" for a one-device run).
// Times are UTC as ISO 8601 text with Z ("2026-12-07T11:37:00Z", iso_time.h),
// which sorts as it reads. Version 1 kept the host's local time without an
// offset: the writer migrates such a file when it opens it, reading its
// times as local time in the zone then in force; a reader reads it as it is
// through the same rule. Versions 1 and 2 kept one power system's rows: the
// writer gives them the one-device name, and a reader reads them so. WAL
// journal: readers read while the writer writes; the log is kept under 16 MB once readers let go of it. One writer per
// file, held by an exclusive flock on the database file for as long as the
// writer has it open; another connection's lock is waited for.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/record_view.h"
#include "tools/report/events.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tzv58::tool {

constexpr int HISTORY_SCHEMA_VERSION = 3;

// A main value of the record stored as a column of its own: the model's
// history columns (telemetry/values.h). A row holds NULL where the record
// holds no such value (a channel, unit or battery that the power system did
// not report, a value it marked as not supplied: RecordView::column).
struct HistoryColumn {
    std::string name;   // column name
    std::string label;  // for people
    std::string unit;
};
std::vector<HistoryColumn> history_columns(const value_table& values);

// A value column as stored: the double nearest to the float's shortest
// decimal text, so that "WHERE dc_v = 53.01" finds 53.01.
double stored_value(float v);

// The record's round time as the device stamped it, the host's local time
// without a zone ("2026-12-07T19:37:00").
std::string record_time(const RecordView& r);
// A time of the host's clock ("2026-12-07T19:37:00", local, no zone) in
// seconds since the epoch: the local time less the local zone's offset from
// UTC now. It is taken as it is stamped, when the offset in force is the
// one it was stamped with.
long long host_utc(const std::string& local_iso);
// The record's round time so: a round is taken at its end.
long long round_utc(const RecordView& r);

struct AlarmChange {
    std::string time;  // UTC, as stored (utc_text)
    bool raised;
    int level;
    std::string key, id, text1, text2;
    unsigned seq;
    std::string device = ONE_DEVICE_NAME;
};

// An alarm's last change as the file holds it.
struct StoredAlarmState {
    std::string key, id, text1, text2;
    bool raised;
    std::string device;
};

// One prepared statement; finalized with its owner.
class Statement {
public:
    Statement(sqlite3* db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

class HistoryDb {
public:
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // How an open failed: refused (not a regular file, not a history file of
    // ours, an unknown version, a damaged file, another writer, no such
    // folder) or unwritable (a read-only file, a full disk: a file that may
    // take rows again later).
    enum class OpenError { none, refused, unwritable };

    // Opens (or creates) the file for writing, after checking it
    // (PRAGMA quick_check); a refused file is left as it was. A new file's
    // mode is 0640 less the umask. In a folder others may write to, the
    // file, its log and its shared memory are taken only as this user's own
    // (check_shared_folder). A new file takes the value columns of the
    // model's values; a file that lacks one of them (another model's) is
    // refused. nullptr with a one-line reason.
    static std::unique_ptr<HistoryDb> open_writer(const std::string& path, const value_table& values, std::string& err,
                                                  OpenError& why);
    // Opens an existing file read-only (mode=ro): another user's file, a
    // folder one cannot write to, read-only media. It must hold the model's
    // value columns. nullptr with a reason.
    static std::unique_ptr<HistoryDb> open_reader(const std::string& path, const value_table& values, std::string& err);

    // One round in one transaction: the record and the alarm changes that
    // came with it. Nothing of it is kept unless done; locked: another
    // connection held its lock for longer than the busy wait.
    enum class Write { done, locked, failed };
    Write write_round(const RecordView& r, long long utc, int address, const std::vector<AlarmChange>& alarms,
                      std::string& err) {
        return write_round(r, utc, address, ONE_DEVICE_NAME, alarms, err);
    }
    // The same for a power system of a site (device: its name).
    Write write_round(const RecordView& r, long long utc, int address, const std::string& device,
                      const std::vector<AlarmChange>& alarms, std::string& err);
    // Changes alone, in one transaction: the link's (key "link").
    Write write_changes(const std::vector<AlarmChange>& alarms, std::string& err);

    // Moves the write-ahead log into the file and truncates it, waiting up
    // to wait_ms for readers that hold an older snapshot: false (nothing
    // lost) while one still does.
    bool checkpoint(int wait_ms = 0);

    // What became of the file at the path since it was opened: "" while it
    // is still there, else "deleted", "renamed" or "replaced by another file"
    // (by device, inode and link count).
    std::string gone() const;
    // The size of the write-ahead log beside the file (0: none).
    long long log_bytes() const;

    // How long a write waits for another connection's lock (default 5 s).
    void set_busy_wait(int ms) { busy_ms_ = ms; }
    // From this point on the monotonic clock (now_ms), no write waits any
    // more: the program is ending. Safe from another thread, once.
    void stop_waiting_at(long long ms) {
        stop_at_ = ms;
        stopping_.store(true, std::memory_order_release);
    }

    // The last change stored for each power system, key, id and pair of
    // texts, oldest first: replayed in this order, they give each alarm's
    // last state whatever tells one alarm from another.
    bool last_alarm_states(std::vector<StoredAlarmState>& out, std::string& err);

    sqlite3* handle() { return db_; }
    const std::string& path() const { return path_; }
    // The value columns, in the model's order.
    const std::vector<HistoryColumn>& columns() const { return columns_; }
    // The rows' time in SQL as stored text in UTC (utc_text), whatever the
    // file's version.
    const char* time_sql() const;
    // The rows' power system in SQL: the column, or the one-device name in a
    // file of a version before it.
    const char* device_sql() const;
    // What opening the file did beyond opening it (a migration), in one
    // line; empty for nothing.
    const std::string& note() const { return note_; }
    // The database's last error, with the system's reason for an I/O error.
    std::string error_text() const;

private:
    HistoryDb(const std::string& path, const value_table& values) : path_(path), columns_(history_columns(values)) {}
    bool exec(const char* sql, std::string& err);
    bool lock_file(int nofollow, std::string& err, OpenError& why);
    bool connect(const std::string& uri, int flags, std::string& err, OpenError& why);
    bool check_schema(bool create, std::string& err, OpenError& why);
    bool check_columns(std::string& err);
    bool check_pages(std::string& err);
    bool migrate(std::string& err);
    bool prepare_writer(bool fresh, std::string& err, OpenError& why);
    bool prepare_statements(std::string& err);
    bool insert_record(const RecordView& r, long long utc, int address, const std::string& device);
    bool insert_alarms(const std::vector<AlarmChange>& alarms);
    Write write(const RecordView* r, long long utc, int address, const std::string& device,
                const std::vector<AlarmChange>& alarms, std::string& err);
    static int on_busy(void* self, int count);

    std::string path_;
    std::vector<HistoryColumn> columns_;
    sqlite3* db_ = nullptr;
    int lock_fd_ = -1;
    bool fresh_ = false;  // no schema yet
    int version_ = HISTORY_SCHEMA_VERSION;
    std::string note_;
    std::unique_ptr<Statement> insert_round_, insert_alarm_;
    int busy_ms_ = 5000;
    bool no_wait_ = false;
    long long busy_since_ = 0;
    // Set once by another thread; the flag publishes the time (a 64-bit
    // atomic is a library call on 32-bit targets).
    long long stop_at_ = 0;
    std::atomic<bool> stopping_{false};
};

}  // namespace tzv58::tool

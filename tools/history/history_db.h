// The history store: an SQLite database of every record the device stores at
// the end of a round, with its main values as columns, and of the alarm
// transitions (raised, cleared) of those rounds.
//
// Schema version 1 (PRAGMA user_version, application_id 0x747A7635):
//   history(time, address, data_id, record, dc_v, load_i, ...)  one row per record
//   alarms(time, change, key, id, level, text1, text2, seq)     one row per transition
// Times are the host's local time as ISO 8601 text ("2026-12-07T19:37:00"),
// which sorts as it reads. WAL journal: readers read while the writer writes.
// One writer per file, held by an exclusive flock on the database file for as
// long as the writer has it open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "telemetry/record.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tzv58::tool {

constexpr int HISTORY_SCHEMA_VERSION = 1;

// A main value of the record stored as a column of its own. get is false
// where the record holds no such value (a channel, unit or battery that the
// power system did not report, or a value it marked as not supplied).
struct HistoryColumn {
    const char* name;   // column name
    const char* label;  // for people
    const char* unit;
    bool (*get)(const tzv58_419_Data_t& r, float& v);
};
const std::vector<HistoryColumn>& history_columns();

// A value column as stored: the double nearest to the float's shortest
// decimal text, so that "WHERE dc_v = 53.01" finds 53.01.
double stored_value(float v);

// The record's round time as ISO 8601 ("2026-12-07T19:37:00").
std::string record_time(const tzv58_419_Data_t& r);

struct AlarmChange {
    std::string time;
    bool raised;
    int level;
    std::string key, id, text1, text2;
    unsigned seq;
};

// Which alarm a report is about.
struct AlarmIdentity {
    std::string key, id, text1, text2;
    bool operator<(const AlarmIdentity& o) const {
        return std::tie(key, id, text1, text2) < std::tie(o.key, o.id, o.text1, o.text2);
    }
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

    // How an open failed: refused (not a history file of ours, an unknown
    // version, another writer, no such folder) or unwritable (a read-only
    // file, a full disk: the poll can go on without history).
    enum class OpenError { none, refused, unwritable };

    // Opens (or creates) the file for writing. nullptr with a one-line reason.
    static std::unique_ptr<HistoryDb> open_writer(const std::string& path, std::string& err, OpenError& why);
    // Opens an existing file for reading. nullptr with a one-line reason.
    static std::unique_ptr<HistoryDb> open_reader(const std::string& path, std::string& err);

    // One round in one transaction: the record and the alarm changes that
    // came with it. false with the database's reason; nothing of it is kept.
    bool write_round(const tzv58_419_Data_t& r, int address, const std::vector<AlarmChange>& alarms,
                     std::string& err);

    // The last change stored for each alarm: raised or not.
    bool last_alarm_states(std::vector<std::pair<AlarmIdentity, bool>>& out, std::string& err);

    sqlite3* handle() { return db_; }
    const std::string& path() const { return path_; }

private:
    explicit HistoryDb(const std::string& path) : path_(path) {}
    bool exec(const char* sql, std::string& err);
    bool check_schema(bool create, std::string& err, OpenError& why);

    std::string path_;
    sqlite3* db_ = nullptr;
    int lock_fd_ = -1;
    std::unique_ptr<Statement> insert_round_, insert_alarm_;
};

}  // namespace tzv58::tool

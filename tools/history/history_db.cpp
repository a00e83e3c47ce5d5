#include "tools/common/counted.h"
#include "tools/history/history_db.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <sqlite3.h>

#include "tools/common/clock.h"
#include "tools/common/json_out.h"
#include "tools/common/paths.h"
#include "tools/history/iso_time.h"

namespace tzv58::tool {
namespace {

constexpr int APPLICATION_ID = 0x747A7635;  // "tzv5"

// Each row's power system, and what finds its rows; a file of version 2 or
// before takes them as they stand, its rows given the one-device name.
#define TZV58_DEVICE_COLUMN "device TEXT NOT NULL DEFAULT 'default'"
#define TZV58_DEVICE_INDEXES \
    "CREATE INDEX history_by_device ON history(device, time); CREATE INDEX alarms_by_device ON alarms(device, time);"
static_assert(std::char_traits<char>::compare(ONE_DEVICE_NAME, "default", 8) == 0, "the column's default");

const char* const SCHEMA_SQL =
    "CREATE TABLE history("
    " time TEXT NOT NULL,"
    " address INTEGER NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " record BLOB NOT NULL";  // the value columns follow

std::string create_sql(const std::vector<HistoryColumn>& columns) {
    std::string sql = SCHEMA_SQL;
    for (const HistoryColumn& c : columns) sql += ", " + c.name + " REAL";
    sql += ", " TZV58_DEVICE_COLUMN
           ");"
           "CREATE INDEX history_by_time ON history(time);"
           "CREATE TABLE alarms("
           " time TEXT NOT NULL,"
           " change TEXT NOT NULL CHECK(change IN ('raised', 'cleared')),"
           " key TEXT NOT NULL,"
           " id TEXT NOT NULL,"
           " level INTEGER NOT NULL,"
           " text1 TEXT NOT NULL,"
           " text2 TEXT NOT NULL,"
           " seq INTEGER NOT NULL, " TZV58_DEVICE_COLUMN
           ");"
           "CREATE INDEX alarms_by_time ON alarms(time);" TZV58_DEVICE_INDEXES "PRAGMA application_id = " +
           std::to_string(APPLICATION_ID) + ";PRAGMA user_version = " + std::to_string(HISTORY_SCHEMA_VERSION) + ";";
    return sql;
}

std::string insert_round_sql(const std::vector<HistoryColumn>& columns) {
    std::string names = "time, address, data_id, record", marks = "?, ?, ?, ?";
    for (const HistoryColumn& c : columns) {
        names += ", " + c.name;
        marks += ", ?";
    }
    names += ", device";
    marks += ", ?";
    return "INSERT INTO history(" + names + ") VALUES(" + marks + ")";
}

bool unwritable_code(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
        return true;
    default:
        return false;
    }
}

bool locked_code(int rc) { return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED; }

int single_int(sqlite3* db, const char* sql, int& rc) {
    Statement st(db, sql);
    int v = 0;
    rc = st.ok() ? sqlite3_step(st.get()) : sqlite3_errcode(db);
    if (rc == SQLITE_ROW) {
        v = sqlite3_column_int(st.get(), 0);
        rc = SQLITE_OK;
    }
    return v;
}

std::string single_text(sqlite3* db, const char* sql) {
    Statement st(db, sql);
    if (!st.ok() || sqlite3_step(st.get()) != SQLITE_ROW) return "";
    const unsigned char* t = sqlite3_column_text(st.get(), 0);
    return t ? reinterpret_cast<const char*>(t) : "";
}

// A file name as an SQLite URI: what would end the path or start an
// escape is escaped; a path starting with // would name a host.
std::string file_uri(const std::string& path, const char* query) {
    std::string uri = "file:";
    for (size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '/' && i + 1 < path.size() && path[i + 1] == '/' && uri == "file:/") continue;
        if (c == '%' || c == '?' || c == '#') {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02X", unsigned(static_cast<unsigned char>(c)));
            uri += esc;
        } else {
            uri += c;
        }
    }
    return uri + "?" + query;
}

// A history file is a regular file, or a name not yet taken when writing.
bool history_path_ok(const std::string& path, bool create, std::string& err) {
    switch (path_kind(path)) {
    case PathKind::regular:
        return true;
    case PathKind::absent:
        if (create) return true;
        err = path + ": " + std::strerror(ENOENT);
        return false;
    case PathKind::folder:
        err = path + ": a folder, not a history file";
        return false;
    default:
        err = path + ": not a regular file (a device, a FIFO or a socket); a history file is one";
        return false;
    }
}

// Whether the file or its log has reached the process's file-size limit
// (RLIMIT_FSIZE): writes past it fail with EFBIG, which SQLite reports as
// an I/O error without the system's reason.
bool near_size_limit(const std::string& path) {
    rlimit lim{};
    if (::getrlimit(RLIMIT_FSIZE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return false;
    for (const std::string& p : {path, path + "-wal"}) {
        struct stat st {};
        // Within a log frame or two of it: the write that failed was larger.
        if (::stat(p.c_str(), &st) == 0 && (unsigned long long)st.st_size + 65536 >= lim.rlim_cur) return true;
    }
    return false;
}

// Version 1 held the host's local time without an offset: each time read
// as local time in the zone in force now, as SQLite's 'utc' modifier reads
// it (an hour the clocks passed twice gives one of its two instants).
#define TZV58_V1_TIME "coalesce(strftime('%Y-%m-%dT%H:%M:%SZ', time, 'utc'), time)"

// The steps from one schema version to the next, in order: a file of an
// older version takes each step after its own, all in one transaction that
// ends with the new user_version. A new version adds its step here and
// raises HISTORY_SCHEMA_VERSION.
struct SchemaStep {
    int to;
    const char* sql;
};
const SchemaStep SCHEMA_STEPS[] = {
    {2, "UPDATE history SET time = " TZV58_V1_TIME "; UPDATE alarms SET time = " TZV58_V1_TIME ";"},
    {3, "ALTER TABLE history ADD COLUMN " TZV58_DEVICE_COLUMN "; ALTER TABLE alarms ADD COLUMN " TZV58_DEVICE_COLUMN
        ";" TZV58_DEVICE_INDEXES},
};
static_assert(sizeof SCHEMA_STEPS / sizeof SCHEMA_STEPS[0] == HISTORY_SCHEMA_VERSION - 1, "one step per version");

}  // namespace

std::vector<HistoryColumn> history_columns(const value_table& values) {
    std::vector<HistoryColumn> columns;
    for (const history_column& c : values.history) columns.push_back({c.name, c.label, c.row->unit});
    return columns;
}

double stored_value(float v) { return std::strtod(float_text(v).c_str(), nullptr); }

std::string record_time(const RecordView& r) {
    const uint8_t* t = r.round_time();
    return t ? time_text(t) : "";
}

long long host_utc(const std::string& local_iso) {
    long long local = 0;
    iso_seconds(local_iso, local);
    return local - utc_offset(::time(nullptr));
}

long long round_utc(const RecordView& r) { return host_utc(record_time(r)); }

Statement::Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

HistoryDb::~HistoryDb() {
    insert_round_.reset();
    insert_alarm_.reset();
    sqlite3_close(db_);
    // Closed only after the database: closing any descriptor of the file
    // would drop the database's own POSIX locks.
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

bool HistoryDb::exec(const char* sql, std::string& err) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    err = msg ? msg : sqlite3_errmsg(db_);
    sqlite3_free(msg);
    return false;
}

std::string HistoryDb::error_text() const {
    const std::string text = sqlite3_errmsg(db_);
    const int code = sqlite3_errcode(db_) & 0xFF;
    // Out of descriptors or memory: no fault of the file, and said as such.
    const int sys = sqlite3_system_errno(db_);
    if (sys == EMFILE || sys == ENFILE || sys == ENOMEM) return text + ": " + std::strerror(sys);
    if (code == SQLITE_CORRUPT) return "the file is damaged (" + text + ")";
    if ((code == SQLITE_IOERR || code == SQLITE_FULL) && near_size_limit(path_))
        return text + " (file too large: the program's file-size limit)";
    return text;
}

// Waits for another connection's lock in short naps, up to the busy wait,
// or not at all for a checkpoint or a program that is ending.
int HistoryDb::on_busy(void* self, int count) {
    HistoryDb& db = *static_cast<HistoryDb*>(self);
    const long long now = now_ms();
    const bool stopping = db.stopping_.load(std::memory_order_acquire);
    if (count == 0) db.busy_since_ = now;
    if (db.no_wait_ || now - db.busy_since_ >= db.busy_ms_ || (stopping && now >= db.stop_at_)) return 0;
    ::poll(nullptr, 0, 10);
    return 1;
}

// The exclusive flock that makes this the file's one writer. The file is
// created here when it is not there yet, as 0640 less the umask: the group
// may read it, others may not (a reader holds the log from being cut back).
// In a folder others may write to, no link is followed and only a file of
// this user's is taken.
bool HistoryDb::lock_file(int nofollow, std::string& err, OpenError& why) {
    lock_fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | nofollow, 0640);
    if (lock_fd_ < 0) {
        const int e = errno;
        if (e == EACCES || e == EROFS || e == ENOSPC || e == EDQUOT || e == EFBIG) why = OpenError::unwritable;
        err = e == ELOOP && nofollow ? path_ + " is a symbolic link in a folder others may write to; it is not followed"
                                     : path_ + ": " + std::strerror(e);
        return false;
    }
    if (nofollow && !opened_own_file(lock_fd_, path_, err)) return false;
    struct stat st {};
    if (::fstat(lock_fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = path_ + ": not a regular file; a history file is one";
        return false;
    }
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        err = path_ + ": " +
              (errno == EWOULDBLOCK ? std::string("another process is writing this history file")
                                    : std::string("cannot lock: ") + std::strerror(errno));
        return false;
    }
    return true;
}

bool HistoryDb::connect(const std::string& uri, int flags, std::string& err, OpenError& why) {
    const int rc = sqlite3_open_v2(uri.c_str(), &db_, flags | SQLITE_OPEN_URI, nullptr);
    if (rc != SQLITE_OK) {
        if (unwritable_code(rc)) why = OpenError::unwritable;
        err = path_ + ": " + (db_ ? error_text() : sqlite3_errstr(rc));
        return false;
    }
    sqlite3_busy_handler(db_, on_busy, this);
    return true;
}

// Tells a new file from ours from anything else.
bool HistoryDb::check_schema(bool create, std::string& err, OpenError& why) {
    why = OpenError::refused;
    int rc = SQLITE_OK;
    const int app = single_int(db_, "PRAGMA application_id", rc);
    const int version = rc == SQLITE_OK ? single_int(db_, "PRAGMA user_version", rc) : 0;
    const int objects = rc == SQLITE_OK ? single_int(db_, "SELECT count(*) FROM sqlite_master", rc) : 0;
    if (rc != SQLITE_OK) {
        if (unwritable_code(rc)) why = OpenError::unwritable;
        err = path_ + ": " + ((rc & 0xFF) == SQLITE_NOTADB ? std::string("not an SQLite database") : error_text());
        return false;
    }
    fresh_ = app == 0 && version == 0 && objects == 0;
    if (fresh_ && !create) {
        err = path_ + ": holds no history";
        return false;
    }
    if (!fresh_ && app != APPLICATION_ID) {
        err = path_ + ": an SQLite database of another program, not a history file";
        return false;
    }
    version_ = fresh_ ? HISTORY_SCHEMA_VERSION : version;
    if (!fresh_ && (version < 1 || version > HISTORY_SCHEMA_VERSION)) {
        err = path_ + ": history schema version " + std::to_string(version) +
              " is unknown (this program reads versions 1 to " + std::to_string(HISTORY_SCHEMA_VERSION) + ")";
        return false;
    }
    if (!fresh_ && !check_columns(err)) return false;
    why = OpenError::none;
    return true;
}

// A file of ours holds the model's value columns; another model's may not.
bool HistoryDb::check_columns(std::string& err) {
    Statement st(db_, "SELECT name FROM pragma_table_info('history')");
    std::vector<std::string> names;
    while (st.ok() && sqlite3_step(st.get()) == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(st.get(), 0);
        names.push_back(t ? reinterpret_cast<const char*>(t) : "");
    }
    for (const HistoryColumn& c : columns_) {
        if (std::find(names.begin(), names.end(), c.name) != names.end()) continue;
        err = path_ + ": no column " + c.name + " for these records: a history file of another model";
        return false;
    }
    return true;
}

// A file with damaged pages is refused before anything is written to it.
bool HistoryDb::check_pages(std::string& err) {
    Statement st(db_, "PRAGMA quick_check(1)");
    const int rc = st.ok() ? sqlite3_step(st.get()) : sqlite3_errcode(db_);
    std::string verdict;
    if (rc == SQLITE_ROW && sqlite3_column_text(st.get(), 0))
        verdict = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
    else
        verdict = error_text();
    if (verdict == "ok") return true;
    const std::string banner = "*** in database main ***\n";
    if (verdict.compare(0, banner.size(), banner) == 0) verdict.erase(0, banner.size());
    std::replace(verdict.begin(), verdict.end(), '\n', ' ');
    err = path_ + ": the file is damaged (" + verdict + "); it is left as it was";
    return false;
}

const char* HistoryDb::time_sql() const { return version_ == 1 ? TZV58_V1_TIME : "time"; }

const char* HistoryDb::device_sql() const { return version_ < 3 ? "'default'" : "device"; }

bool HistoryDb::migrate(std::string& err) {
    if (version_ == HISTORY_SCHEMA_VERSION) return true;
    int rc = SQLITE_OK;
    const int rows = single_int(db_, "SELECT (SELECT count(*) FROM history) + (SELECT count(*) FROM alarms)", rc);
    std::string sql = "BEGIN IMMEDIATE;";
    for (const SchemaStep& step : SCHEMA_STEPS)
        if (step.to > version_) sql += step.sql;
    sql += "PRAGMA user_version = " + std::to_string(HISTORY_SCHEMA_VERSION) + "; COMMIT;";
    if (rc != SQLITE_OK || !exec(sql.c_str(), err)) {
        err = path_ + ": cannot move it from schema version " + std::to_string(version_) + " to " +
              std::to_string(HISTORY_SCHEMA_VERSION) + ": " + error_text();
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    note_ = "history " + path_ + ": schema version " + std::to_string(version_) + " moved to " +
            std::to_string(HISTORY_SCHEMA_VERSION);
    if (version_ < 2)
        note_ += ": " + counted(rows, "time", "times") + " read as local time of the zone now in force (UTC" +
                 local_text(::time(nullptr)).substr(19) + " now) and kept in UTC";
    if (version_ < 3)
        note_ += std::string(version_ < 2 ? ";" : ":") + " its " + counted(rows, "row is", "rows are") +
                 " the power system \"" + ONE_DEVICE_NAME + "\" (the name of a one-device run)";
    version_ = HISTORY_SCHEMA_VERSION;
    return true;
}

// WAL, synchronous NORMAL and a bounded log; the schema in a new file.
bool HistoryDb::prepare_writer(bool fresh, std::string& err, OpenError& why) {
    const std::string journal = single_text(db_, "PRAGMA journal_mode = WAL");
    if (journal != "wal") {
        if (unwritable_code(sqlite3_errcode(db_))) why = OpenError::unwritable;
        err = path_ + ": cannot use a write-ahead log: " + error_text();
        return false;
    }
    // A commit survives the program's death; a power cut may lose the last
    // commits, never the database. A log that grew while a reader held it is
    // cut back to 16 MB when it starts over. No commit checkpoints (an
    // fsync): the writer's thread does (history_writer.h).
    if (!exec("PRAGMA synchronous = NORMAL", err) || !exec("PRAGMA journal_size_limit = 16777216", err) ||
        !exec("PRAGMA wal_autocheckpoint = 0", err)) {
        err = path_ + ": " + err;
        return false;
    }
    if (fresh) {
        const std::string sql = "BEGIN IMMEDIATE;" + create_sql(columns_) + "COMMIT;";
        if (!exec(sql.c_str(), err)) {
            if (unwritable_code(sqlite3_errcode(db_))) why = OpenError::unwritable;
            err = path_ + ": " + error_text();
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
    }
    return true;
}

// The writer's statements, for the schema as it now is.
bool HistoryDb::prepare_statements(std::string& err) {
    insert_round_ = std::make_unique<Statement>(db_, insert_round_sql(columns_).c_str());
    insert_alarm_ = std::make_unique<Statement>(db_,
                                                "INSERT INTO alarms(time, change, key, id, level, text1, text2, seq, "
                                                "device) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!insert_round_->ok() || !insert_alarm_->ok()) {
        err = path_ + ": " + error_text();
        return false;
    }
    return true;
}

std::unique_ptr<HistoryDb> HistoryDb::open_writer(const std::string& path, const value_table& values, std::string& err,
                                                  OpenError& why) {
    why = OpenError::refused;
    int nofollow = 0, ignored = 0;
    // The log and shared memory beside the file are SQLite's to open: one
    // another user planted there is refused as the file would be.
    if (!check_shared_folder(path, nofollow, err) || !check_shared_folder(path + "-wal", ignored, err) ||
        !check_shared_folder(path + "-shm", ignored, err) || !history_path_ok(path, true, err))
        return nullptr;
    std::unique_ptr<HistoryDb> db(new HistoryDb(path, values));
    if (!db->lock_file(nofollow, err, why) ||
        !db->connect(file_uri(path, "mode=rw"), SQLITE_OPEN_READWRITE | (nofollow ? SQLITE_OPEN_NOFOLLOW : 0), err,
                     why))
        return nullptr;
    if (sqlite3_db_readonly(db->db_, "main") == 1) {
        why = OpenError::unwritable;
        err = path + ": read-only file";
        return nullptr;
    }
    if (!db->check_schema(true, err, why)) return nullptr;
    why = OpenError::refused;
    if (!db->fresh_ && !db->check_pages(err)) return nullptr;
    if (!db->prepare_writer(db->fresh_, err, why) || !db->migrate(err) || !db->prepare_statements(err)) return nullptr;
    why = OpenError::none;
    return db;
}

std::unique_ptr<HistoryDb> HistoryDb::open_reader(const std::string& path, const value_table& values,
                                                  std::string& err) {
    if (!history_path_ok(path, false, err)) return nullptr;
    // A file without a write-ahead log beside it has no writer: it is read
    // as it stands, without the shared-memory and log files SQLite would
    // otherwise make (which a folder one cannot write to, or read-only
    // media, refuse, and which a reader run as root would leave behind
    // owned by root, barring the writer's user).
    const bool writer = path_kind(path + "-wal") != PathKind::absent;
    OpenError why = OpenError::none;
    std::unique_ptr<HistoryDb> db(new HistoryDb(path, values));
    if (!db->connect(file_uri(path, writer ? "mode=ro" : "mode=ro&immutable=1"), SQLITE_OPEN_READONLY, err, why))
        return nullptr;
    sqlite3_busy_timeout(db->db_, 2000);
    if (!db->check_schema(false, err, why)) return nullptr;
    return db;
}

bool HistoryDb::insert_record(const RecordView& r, long long utc, int address, const std::string& device) {
    sqlite3_stmt* s = insert_round_->get();
    const std::string time = utc_text(utc);
    sqlite3_bind_text(s, 1, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 2, address);
    long long data_id = 0;
    for (const value_row& row : r.table().rows)
        if (row.kind == value_kind::id) data_id = (long long)r.number(row);
    sqlite3_bind_int64(s, 3, data_id);
    sqlite3_bind_blob(s, 4, r.bytes(), int(r.size()), SQLITE_STATIC);
    int i = 5;
    for (const history_column& c : r.table().history) {
        double v = 0;
        if (r.column(c, v))
            sqlite3_bind_double(s, i, stored_value(float(v)));
        else
            sqlite3_bind_null(s, i);
        ++i;
    }
    sqlite3_bind_text(s, i, device.c_str(), -1, SQLITE_TRANSIENT);
    const bool done = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return done;
}

bool HistoryDb::insert_alarms(const std::vector<AlarmChange>& alarms) {
    sqlite3_stmt* a = insert_alarm_->get();
    for (const AlarmChange& c : alarms) {
        sqlite3_bind_text(a, 1, c.time.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(a, 2, c.raised ? "raised" : "cleared", -1, SQLITE_STATIC);
        sqlite3_bind_text(a, 3, c.key.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(a, 4, c.id.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(a, 5, c.level);
        sqlite3_bind_text(a, 6, c.text1.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(a, 7, c.text2.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(a, 8, int(c.seq));
        sqlite3_bind_text(a, 9, c.device.c_str(), -1, SQLITE_STATIC);
        const bool done = sqlite3_step(a) == SQLITE_DONE;
        sqlite3_reset(a);
        if (!done) return false;
    }
    return true;
}

// One transaction: the round's row when there is one, and the changes.
HistoryDb::Write HistoryDb::write(const RecordView* r, long long utc, int address, const std::string& device,
                                  const std::vector<AlarmChange>& alarms, std::string& err) {
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK &&
        (!r || insert_record(*r, utc, address, device)) && insert_alarms(alarms) &&
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
        return Write::done;
    const bool locked = locked_code(sqlite3_errcode(db_));
    err = error_text();
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return locked ? Write::locked : Write::failed;
}

HistoryDb::Write HistoryDb::write_round(const RecordView& r, long long utc, int address,
                                        const std::string& device, const std::vector<AlarmChange>& alarms,
                                        std::string& err) {
    return write(&r, utc, address, device, alarms, err);
}

HistoryDb::Write HistoryDb::write_changes(const std::vector<AlarmChange>& alarms, std::string& err) {
    return write(nullptr, 0, 0, "", alarms, err);
}

bool HistoryDb::checkpoint(int wait_ms) {
    const int busy = busy_ms_;
    busy_ms_ = wait_ms;
    no_wait_ = wait_ms <= 0;
    const int rc = sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    no_wait_ = false;
    busy_ms_ = busy;
    return rc == SQLITE_OK;
}

std::string HistoryDb::gone() const {
    struct stat held {
    }, named{};
    if (::fstat(lock_fd_, &held) != 0) return "";
    if (held.st_nlink == 0) return "deleted";
    if (::stat(path_.c_str(), &named) != 0) return errno == ENOENT ? "renamed" : "";
    return named.st_dev == held.st_dev && named.st_ino == held.st_ino ? "" : "replaced by another file";
}

long long HistoryDb::log_bytes() const {
    struct stat st {};
    return ::stat((path_ + "-wal").c_str(), &st) == 0 ? (long long)st.st_size : 0;
}

bool HistoryDb::last_alarm_states(std::vector<StoredAlarmState>& out, std::string& err) {
    Statement st(db_,
                 "SELECT key, id, text1, text2, change, device FROM alarms WHERE rowid IN "
                 "(SELECT max(rowid) FROM alarms GROUP BY device, key, id, text1, text2) ORDER BY rowid");
    if (!st.ok()) {
        err = sqlite3_errmsg(db_);
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        auto text = [&](int col) {
            const unsigned char* t = sqlite3_column_text(st.get(), col);
            return std::string(t ? reinterpret_cast<const char*>(t) : "");
        };
        out.push_back({text(0), text(1), text(2), text(3), text(4) == "raised", text(5)});
    }
    if (rc != SQLITE_DONE) {
        err = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

}  // namespace tzv58::tool

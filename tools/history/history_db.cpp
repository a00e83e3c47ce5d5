#include "tools/history/history_db.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sqlite3.h>

#include "tools/common/json_out.h"

namespace tzv58::tool {
namespace {

constexpr int APPLICATION_ID = 0x747A7635;  // "tzv5"

bool given(float v) { return v != NOT_PROVIDED; }

// A DC unit beyond the first is there when the power system filled any of it.
bool unit_present(const tzv58_419_Data_t& r, int u) {
    if (u == 0) return true;
    const auto& unit = r.dc(u);
    const auto* p = reinterpret_cast<const uint8_t*>(&unit);
    for (size_t i = 0; i < sizeof unit; ++i)
        if (p[i]) return true;
    return false;
}

template <int U>
bool dc_v(const tzv58_419_Data_t& r, float& v) {
    v = r.dc(U).out_v.get();
    return unit_present(r, U) && given(v);
}

template <int U>
bool load_i(const tzv58_419_Data_t& r, float& v) {
    v = r.dc(U).load_i.get();
    return unit_present(r, U) && given(v);
}

template <int U, int B>
bool battery_i(const tzv58_419_Data_t& r, float& v) {
    if (!unit_present(r, U) || r.dc(U).m <= B) return false;
    v = r.dc(U).battery_i[B].get();
    return given(v);
}

bool rc_out_v(const tzv58_419_Data_t& r, float& v) {
    v = r.rc_out_v.get();
    return r.module_count > 0 && given(v);
}

template <int C, int PHASE>
bool ac_v(const tzv58_419_Data_t& r, float& v) {
    if (r.channel_count <= C) return false;
    const auto& ch = r.channel[C];
    v = (PHASE == 0 ? ch.a : PHASE == 1 ? ch.b : ch.c).get();
    return given(v);
}

const char* const SCHEMA_SQL =
    "CREATE TABLE history("
    " time TEXT NOT NULL,"
    " address INTEGER NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " record BLOB NOT NULL";  // the value columns follow

std::string create_sql() {
    std::string sql = SCHEMA_SQL;
    for (const HistoryColumn& c : history_columns()) sql += std::string(", ") + c.name + " REAL";
    sql +=
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
        " seq INTEGER NOT NULL);"
        "CREATE INDEX alarms_by_time ON alarms(time);"
        "PRAGMA application_id = " +
        std::to_string(APPLICATION_ID) + ";PRAGMA user_version = " + std::to_string(HISTORY_SCHEMA_VERSION) + ";";
    return sql;
}

std::string insert_round_sql() {
    std::string names = "time, address, data_id, record", marks = "?, ?, ?, ?";
    for (const HistoryColumn& c : history_columns()) {
        names += std::string(", ") + c.name;
        marks += ", ?";
    }
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

}  // namespace

const std::vector<HistoryColumn>& history_columns() {
    static const std::vector<HistoryColumn> columns = {
        {"dc_v", "DC voltage", "V", dc_v<0>},
        {"load_i", "load current", "A", load_i<0>},
        {"battery1_i", "battery 1 current", "A", battery_i<0, 0>},
        {"battery2_i", "battery 2 current", "A", battery_i<0, 1>},
        {"dc2_v", "DC unit 2 voltage", "V", dc_v<1>},
        {"dc2_load_i", "DC unit 2 load current", "A", load_i<1>},
        {"dc2_battery1_i", "DC unit 2 battery 1 current", "A", battery_i<1, 0>},
        {"dc2_battery2_i", "DC unit 2 battery 2 current", "A", battery_i<1, 1>},
        {"rc_out_v", "rectifier output voltage", "V", rc_out_v},
        {"ac1_a", "AC 1 phase A", "V", ac_v<0, 0>},
        {"ac1_b", "AC 1 phase B", "V", ac_v<0, 1>},
        {"ac1_c", "AC 1 phase C", "V", ac_v<0, 2>},
        {"ac2_a", "AC 2 phase A", "V", ac_v<1, 0>},
        {"ac2_b", "AC 2 phase B", "V", ac_v<1, 1>},
        {"ac2_c", "AC 2 phase C", "V", ac_v<1, 2>},
    };
    return columns;
}

double stored_value(float v) { return std::strtod(float_text(v).c_str(), nullptr); }

std::string record_time(const tzv58_419_Data_t& r) {
    const uint8_t* t = r.round_time;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u", unsigned(t[0] | t[1] << 8), t[2], t[3], t[4],
                  t[5], t[6]);
    return buf;
}

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

// Tells a new file from ours from anything else; creates the schema in a new
// one when writing.
bool HistoryDb::check_schema(bool create, std::string& err, OpenError& why) {
    why = OpenError::refused;
    int rc = SQLITE_OK;
    const int app = single_int(db_, "PRAGMA application_id", rc);
    const int version = rc == SQLITE_OK ? single_int(db_, "PRAGMA user_version", rc) : 0;
    const int objects = rc == SQLITE_OK ? single_int(db_, "SELECT count(*) FROM sqlite_master", rc) : 0;
    if (rc != SQLITE_OK) {
        if (unwritable_code(rc)) why = OpenError::unwritable;
        err = path_ + ": " + ((rc & 0xFF) == SQLITE_NOTADB ? "not an SQLite database" : sqlite3_errmsg(db_));
        return false;
    }
    if (app == 0 && version == 0 && objects == 0) {
        if (!create) {
            err = path_ + ": holds no history";
            return false;
        }
    } else if (app != APPLICATION_ID) {
        err = path_ + ": an SQLite database of another program, not a history file";
        return false;
    } else if (version != HISTORY_SCHEMA_VERSION) {
        err = path_ + ": history schema version " + std::to_string(version) + " is unknown (this program reads version " +
              std::to_string(HISTORY_SCHEMA_VERSION) + ")";
        return false;
    }
    if (create) {
        std::string journal;
        {
            Statement wal(db_, "PRAGMA journal_mode = WAL");
            if (wal.ok() && sqlite3_step(wal.get()) == SQLITE_ROW)
                journal = reinterpret_cast<const char*>(sqlite3_column_text(wal.get(), 0));
        }
        if (journal != "wal") {
            if (unwritable_code(sqlite3_errcode(db_))) why = OpenError::unwritable;
            err = path_ + ": cannot use a write-ahead log: " + sqlite3_errmsg(db_);
            return false;
        }
        // A commit survives the program's death; a power cut may lose the
        // last commits, never the database.
        if (!exec("PRAGMA synchronous = NORMAL", err)) return false;
        if (objects == 0) {
            const std::string sql = "BEGIN IMMEDIATE;" + create_sql() + "COMMIT;";
            if (!exec(sql.c_str(), err)) {
                if (unwritable_code(sqlite3_errcode(db_))) why = OpenError::unwritable;
                err = path_ + ": " + err;
                exec("ROLLBACK", err);
                return false;
            }
        }
    }
    why = OpenError::none;
    return true;
}

std::unique_ptr<HistoryDb> HistoryDb::open_writer(const std::string& path, std::string& err, OpenError& why) {
    std::unique_ptr<HistoryDb> db(new HistoryDb(path));
    why = OpenError::refused;
    db->lock_fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (db->lock_fd_ < 0) {
        const int e = errno;
        if (e == EACCES || e == EROFS || e == ENOSPC || e == EDQUOT) why = OpenError::unwritable;
        err = path + ": " + std::strerror(e);
        return nullptr;
    }
    if (::flock(db->lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        err = path + ": " +
              (errno == EWOULDBLOCK ? std::string("another process is writing this history file")
                                    : std::string("cannot lock: ") + std::strerror(errno));
        return nullptr;
    }
    const int rc = sqlite3_open_v2(path.c_str(), &db->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        if (unwritable_code(rc)) why = OpenError::unwritable;
        err = path + ": " + (db->db_ ? sqlite3_errmsg(db->db_) : sqlite3_errstr(rc));
        return nullptr;
    }
    if (sqlite3_db_readonly(db->db_, "main") == 1) {
        why = OpenError::unwritable;
        err = path + ": read-only file";
        return nullptr;
    }
    // Readers never hold the writer up for long; a reader's checkpoint may.
    sqlite3_busy_timeout(db->db_, 200);
    if (!db->check_schema(true, err, why)) return nullptr;
    db->insert_round_ = std::make_unique<Statement>(db->db_, insert_round_sql().c_str());
    db->insert_alarm_ = std::make_unique<Statement>(
        db->db_, "INSERT INTO alarms(time, change, key, id, level, text1, text2, seq) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
    if (!db->insert_round_->ok() || !db->insert_alarm_->ok()) {
        err = path + ": " + sqlite3_errmsg(db->db_);
        return nullptr;
    }
    return db;
}

std::unique_ptr<HistoryDb> HistoryDb::open_reader(const std::string& path, std::string& err) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        err = path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<HistoryDb> db(new HistoryDb(path));
    const int rc = sqlite3_open_v2(path.c_str(), &db->db_, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        err = path + ": " + (db->db_ ? sqlite3_errmsg(db->db_) : sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_busy_timeout(db->db_, 2000);
    OpenError why;
    if (!db->check_schema(false, err, why)) return nullptr;
    return db;
}

bool HistoryDb::write_round(const tzv58_419_Data_t& r, int address, const std::vector<AlarmChange>& alarms,
                            std::string& err) {
    auto fail = [&] {
        err = sqlite3_errmsg(db_);
        sqlite3_reset(insert_round_->get());
        sqlite3_reset(insert_alarm_->get());
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    };
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
    sqlite3_stmt* s = insert_round_->get();
    const std::string time = record_time(r);
    sqlite3_bind_text(s, 1, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 2, address);
    sqlite3_bind_int64(s, 3, r.data_id.get());
    sqlite3_bind_blob(s, 4, &r, int(sizeof r), SQLITE_STATIC);
    int i = 5;
    for (const HistoryColumn& c : history_columns()) {
        float v = 0;
        if (c.get(r, v))
            sqlite3_bind_double(s, i, stored_value(v));
        else
            sqlite3_bind_null(s, i);
        ++i;
    }
    if (sqlite3_step(s) != SQLITE_DONE) return fail();
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
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
        if (sqlite3_step(a) != SQLITE_DONE) return fail();
        sqlite3_reset(a);
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
    return true;
}

bool HistoryDb::last_alarm_states(std::vector<std::pair<AlarmIdentity, bool>>& out, std::string& err) {
    Statement st(db_,
                 "SELECT key, id, text1, text2, change FROM alarms WHERE rowid IN "
                 "(SELECT max(rowid) FROM alarms GROUP BY key, id, text1, text2)");
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
        out.push_back({{text(0), text(1), text(2), text(3)}, text(4) == "raised"});
    }
    if (rc != SQLITE_DONE) {
        err = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

}  // namespace tzv58::tool

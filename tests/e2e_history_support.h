// What the history tests share: the database read directly, tzv58-host run
// with --history, and a running tzv58-host whose output is read as it comes.
#pragma once

#include "e2e_support.h"

#if TZV58_HAVE_SQLITE

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>

#include <sqlite3.h>

#include "model_support.h"
#include "tools/history/history_db.h"
#include "tools/history/iso_time.h"

// ---- the database, read directly ----

struct Db {
    explicit Db(const std::string& path, bool create = false) {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), nullptr) !=
            SQLITE_OK)
            ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db);
    }
    ~Db() { sqlite3_close(db); }

    // Every row of a query, every column as text ("NULL" for none).
    std::vector<std::vector<std::string>> rows(const std::string& sql) {
        std::vector<std::vector<std::string>> out;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
            return out;
        }
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* t = sqlite3_column_text(st, i);
                row.push_back(sqlite3_column_type(st, i) == SQLITE_NULL ? "NULL" : reinterpret_cast<const char*>(t));
            }
            out.push_back(row);
        }
        sqlite3_finalize(st);
        return out;
    }
    std::string one(const std::string& sql) {
        const auto r = rows(sql);
        return r.empty() || r[0].empty() ? "" : r[0][0];
    }
    std::vector<std::vector<uint8_t>> records() {
        std::vector<std::vector<uint8_t>> out;
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT record FROM history ORDER BY rowid", -1, &st, nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, 0));
            out.emplace_back(p, p + sqlite3_column_bytes(st, 0));
        }
        sqlite3_finalize(st);
        return out;
    }

    sqlite3* db = nullptr;
};

// A record's round time as the file stores it (UTC) and as the history
// command shows it (local time with its offset).
inline std::string stored_time(const tzv58_419_Data_t& r) {
    return tzv58::tool::utc_text(tzv58::tool::round_utc(view_of(r)));
}
inline std::string shown_time(const tzv58_419_Data_t& r) {
    return tzv58::tool::local_text(tzv58::tool::round_utc(view_of(r)));
}

inline std::vector<tzv58_419_Data_t> history_records(const std::vector<Json::Value>& events) {
    std::vector<tzv58_419_Data_t> out;
    for (const Json::Value& e : events)
        if (e["event"] == "history") out.push_back(published_record(e));
    return out;
}

inline HostRun simulate(const std::string& db, const std::vector<std::string>& extra,
                        std::vector<Json::Value>* events = nullptr) {
    const std::string dir = scratch_dir();
    std::vector<std::string> args{"simulate", "--fast", "--history", db, "--events", dir + "/events"};
    args.insert(args.end(), extra.begin(), extra.end());
    HostRun r = run_host(args);
    if (events) *events = read_events(dir + "/events");
    return r;
}

// RFC 4180: CRLF between records, quoted fields may hold commas, quotes
// (doubled) and line breaks.
inline std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false, was_quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && field.empty() && !was_quoted) {
            quoted = was_quoted = true;
        } else if (c == ',') {
            row.push_back(field);
            field.clear();
            was_quoted = false;
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            row.push_back(field);
            rows.push_back(row);
            row.clear();
            field.clear();
            was_quoted = false;
            ++i;
        } else {
            EXPECT_FALSE(c == '\n' || c == '\r' || c == '"') << "bare line break or quote at " << i;
            field += c;
        }
    }
    EXPECT_TRUE(field.empty() && row.empty() && !quoted) << "the last record has no CRLF";
    return rows;
}

// A running tzv58-host with its standard output and error on pipes.
struct Child {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string out_text, err_text;

    // file_limit: RLIMIT_FSIZE for the child; with ignore_sigxfsz, a write
    // past it fails with EFBIG as on a full disk, else the signal is the
    // program's to handle.
    explicit Child(const std::vector<std::string>& args, rlim_t file_limit = RLIM_INFINITY,
                   bool ignore_sigxfsz = true) {
        int o[2], e[2];
        if (pipe(o) != 0 || pipe(e) != 0) throw std::runtime_error("pipe");
        HostArgv argv(args);
        pid = fork();
        if (pid == 0) {
            dup2(o[1], 1);
            dup2(e[1], 2);
            close(o[0]), close(o[1]), close(e[0]), close(e[1]);
            if (file_limit != RLIM_INFINITY) {
                if (ignore_sigxfsz) signal(SIGXFSZ, SIG_IGN);
                rlimit lim{};
                getrlimit(RLIMIT_FSIZE, &lim);
                lim.rlim_cur = file_limit;  // the hard limit stays: a test may lift this one
                setrlimit(RLIMIT_FSIZE, &lim);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        out = o[0];
        err = e[0];
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            wait();
        }
        close(out);
        close(err);
    }

    // Reads what arrives until stdout holds `text` or the child ends or the
    // deadline passes. true when the text arrived.
    bool read_until(const std::string& text, int timeout_ms) {
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            if (out_text.find(text) != std::string::npos) return true;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            if (elapsed >= timeout_ms) return false;
            pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
            if (poll(fds, 2, int(timeout_ms - elapsed)) <= 0) continue;
            char buf[4096];
            bool open = false;
            for (int i = 0; i < 2; ++i) {
                if (!fds[i].revents) {
                    open = true;
                    continue;
                }
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) (i ? err_text : out_text).append(buf, size_t(n));
                open = open || n > 0;
            }
            if (!open) return out_text.find(text) != std::string::npos;
        }
    }
    int wait() {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

// The number of the last "== round N: <date>" line: a round with a reading.
inline long last_round(const std::string& out) {
    long last = 0;
    for (size_t at = out.find("== round "); at != std::string::npos; at = out.find("== round ", at + 1)) {
        char* end = nullptr;
        const long n = std::strtol(out.c_str() + at + 9, &end, 10);
        if (end[0] == ':' && end[1] == ' ' && std::isdigit(static_cast<unsigned char>(end[2]))) last = n;
    }
    return last;
}

// Rows of made-up values added to a history file that holds at least one
// row (its record image is reused): seconds after 2026-01-05T00:00:00Z
// (MADE_T0, a date before any clock that runs this) and
// the DC voltage and load current (NaN: none). One transaction.
constexpr long long MADE_T0 = 1767571200;  // 2026-01-05T00:00:00Z
struct MadeRow {
    long long t;
    double dc_v, load_i;
};
inline void add_rows(const std::string& path, const std::vector<MadeRow>& rows) {
    Db h(path);
    ASSERT_EQ(sqlite3_exec(h.db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(
                  h.db,
                  "INSERT INTO history(time, address, data_id, record, dc_v, load_i) "
                  "SELECT strftime('%Y-%m-%dT%H:%M:%SZ', '2026-01-05', ?1 || ' seconds'), 1, 1, record, ?2, ?3 "
                  "FROM history WHERE rowid = (SELECT min(rowid) FROM history)",
                  -1, &st, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(h.db);
    for (const MadeRow& r : rows) {
        sqlite3_bind_text(st, 1, ("+" + std::to_string(r.t)).c_str(), -1, SQLITE_TRANSIENT);
        for (int i : {2, 3}) {
            const double v = i == 2 ? r.dc_v : r.load_i;
            if (std::isnan(v))
                sqlite3_bind_null(st, i);
            else
                sqlite3_bind_double(st, i, v);
        }
        ASSERT_EQ(sqlite3_step(st), SQLITE_DONE) << sqlite3_errmsg(h.db);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    ASSERT_EQ(sqlite3_exec(h.db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
}

// A history file of exactly these made-up rows.
inline std::string made_history(const std::vector<MadeRow>& rows) {
    const std::string db = scratch_dir() + "/made.db";
    const HostRun r = run_host({"simulate", "--fast", "--rounds", "1", "--history", db, "--events", "/dev/null"});
    EXPECT_EQ(r.status, 0) << r.err;
    add_rows(db, rows);
    Db(db).one("DELETE FROM history WHERE rowid = 1");
    return db;
}

inline long long file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

// The last page of a history file (a leaf of the history table or of its
// index) gets a page type that does not exist.
inline void damage_last_page(const std::string& path) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(file_size(path) - 4096);
    f.put(char(0xFF));
}

inline int line_count(const std::string& s) { return int(std::count(s.begin(), s.end(), '\n')); }

#endif

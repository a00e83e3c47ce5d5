// The history writer against another connection's lock, a reader's
// snapshot, and its own end: what waits in memory, what is written, and the
// one line each case gives.
#include "e2e_support.h"

#if TZV58_HAVE_SQLITE

#include <poll.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "model_support.h"
#include "tools/common/clock.h"
#include "tools/history/history_recorder.h"
#include "tools/history/history_writer.h"

namespace tzv58::tool {
namespace {

tzv58_419_Data_t record_at(int second) {
    tzv58_419_Data_t r{};
    r.dc0.out_v.set(53.5f);
    const uint8_t when[7] = {0xEA, 0x07, 12, 7, 19, uint8_t(second / 60), uint8_t(second % 60)};
    std::memcpy(r.round_time, when, sizeof when);
    return r;
}

PendingRound round_at(int second) {
    const tzv58_419_Data_t r = record_at(second);
    return {bytes_of(r), -1, round_utc(view_of(r)), {}};
}

std::unique_ptr<HistoryDb> open_new(const std::string& path) {
    std::string err;
    HistoryDb::OpenError why;
    auto db = HistoryDb::open_writer(path, tzv58_419::model().values, err, why);
    EXPECT_TRUE(db) << err;
    return db;
}

// Another connection of the test's own: it takes the write lock, or a
// reader's snapshot, and counts rows.
struct Other {
    explicit Other(const std::string& path) { sqlite3_open(path.c_str(), &db); }
    ~Other() { sqlite3_close(db); }
    bool exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
    // The first column of every row, as text.
    std::vector<std::string> column(const char* sql) {
        std::vector<std::string> out;
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW)
            out.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        return out;
    }
    long rows() {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*) FROM history", -1, &st, nullptr);
        const long n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
        sqlite3_finalize(st);
        return n;
    }
    sqlite3* db = nullptr;
};

// What the writer said on its error stream.
struct Said {
    Said() : f(std::tmpfile()) {}
    ~Said() { std::fclose(f); }
    std::string text() {
        std::fflush(f);
        std::rewind(f);
        std::string s;
        for (int c; (c = std::fgetc(f)) != EOF;) s += char(c);
        return s;
    }
    FILE* f;
};

bool wait_for(const std::function<bool()>& done, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (done()) return true;
        ::poll(nullptr, 0, 10);
    }
    return done();
}

HistoryPace quick_pace() {
    HistoryPace pace;
    pace.busy_ms = 100;
    pace.retry_ms = 100;
    pace.final_wait_ms = 100;
    return pace;
}

int lines(const std::string& text) { return int(std::count(text.begin(), text.end(), '\n')); }

// Another connection holds the lock past the busy wait: the rounds wait in
// memory, said once, and go in, in order, once it lets go, with no new round
// needed; past the backlog the oldest are dropped and counted.
TEST(HistoryWriter, RoundsLockedOutWaitInMemoryTheOldestDroppedPastTheBacklog) {
    const std::string path = scratch_dir() + "/h.db";
    Said said;
    HistoryPace pace = quick_pace();
    pace.backlog = 3;
    HistoryWriter writer(open_new(path), tzv58_model(), 1, said.f, pace);
    Other other(path);
    const uint64_t lost = history_rounds_lost();
    writer.submit(round_at(0));
    ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
    writer.submit(round_at(2));
    ASSERT_TRUE(wait_for([&] { return said.text().find("rounds wait in memory") != std::string::npos; }, 5000));
    EXPECT_FALSE(writer.status().writing);
    for (int i = 2; i <= 5; ++i) writer.submit(round_at(2 * i));
    const HistoryStatus waiting = writer.status();
    EXPECT_EQ(waiting.waiting, 3u);
    EXPECT_EQ(waiting.dropped, 2u);
    EXPECT_EQ(history_rounds_lost() - lost, 2u);
    ASSERT_TRUE(other.exec("COMMIT"));
    ASSERT_TRUE(wait_for([&] { return writer.rows() == 4; }, 5000));
    EXPECT_TRUE(writer.status().writing);
    EXPECT_EQ(writer.status().waiting, 0u);
    // The oldest that waited were dropped (but one being written meanwhile).
    const std::vector<std::string> times = other.column("SELECT substr(time, 15, 5) FROM history ORDER BY rowid");
    ASSERT_EQ(times.size(), 4u);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(times[0], "00:00");
    EXPECT_EQ(times[2], "00:08");
    EXPECT_EQ(times[3], "00:10");
    const std::string text = said.text();
    EXPECT_EQ(lines(text), 3) << text;
    EXPECT_NE(text.find("database is locked: another connection has held the file for over 0.1 s; rounds wait in "
                        "memory (3 at most, then the oldest are dropped) and writing is tried again every 0.1 s"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("3 rounds wait in memory, all it keeps: from now on the oldest is dropped"), std::string::npos);
    EXPECT_NE(text.find("writing again: the rounds that waited are in the file (2 were dropped)"), std::string::npos);
}

TEST(HistoryWriter, AtTheEndALockedFileIsWaitedForBrieflyAndTheLossSaid) {
    const std::string path = scratch_dir() + "/h.db";
    Said said;
    auto db = open_new(path);
    const uint64_t lost = history_rounds_lost();
    {
        Other locker(path);  // ends after the writer
        HistoryWriter writer(std::move(db), tzv58_model(), 1, said.f, quick_pace());
        ASSERT_TRUE(locker.exec("BEGIN IMMEDIATE"));
        writer.submit(round_at(0));
        writer.submit(round_at(2));
    }
    EXPECT_EQ(history_rounds_lost() - lost, 2u);
    EXPECT_NE(said.text().find("2 rounds not written: database is locked: another connection has held the file for "
                               "over 0.1 s"),
              std::string::npos)
        << said.text();
}

// The file renamed (log rotation), then deleted, under the writer: noticed
// with the next round, said once each; the log goes into the file it
// belongs to, so the renamed file holds every round it was given, and a new
// file at the path takes the rounds from then on.
TEST(HistoryWriter, AFileRenamedOrDeletedUnderItKeepsItsRoundsAndANewOneTakesTheNext) {
    const std::string dir = scratch_dir(), path = dir + "/h.db", old = dir + "/h.db.1";
    Said said;
    HistoryWriter writer(open_new(path), tzv58_model(), 1, said.f, quick_pace());
    for (int i = 0; i < 3; ++i) writer.submit(round_at(i));
    ASSERT_EQ(::rename(path.c_str(), old.c_str()), 0);
    writer.submit(round_at(3));
    writer.submit(round_at(4));
    ASSERT_TRUE(wait_for([&] { return writer.rows() == 5; }, 5000));
    EXPECT_EQ(Other(old).rows(), 3);
    EXPECT_EQ(Other(path).rows(), 2);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    writer.submit(round_at(5));
    ASSERT_TRUE(wait_for([&] { return writer.rows() == 6; }, 5000));
    EXPECT_EQ(Other(path).rows(), 1);
    EXPECT_TRUE(writer.status().writing);
    EXPECT_EQ(said.text(), "tzv58-host: history " + path +
                               ": the file was renamed: its write-ahead log was moved into it, and a new " + path +
                               " takes the rounds from now on\n"
                               "tzv58-host: history " +
                               path + ": the file was deleted: its write-ahead log was moved into it, and a new " +
                               path + " takes the rounds from now on\n");
}

long long size_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

// A reader that holds a snapshot keeps the log from being cut back: a
// checkpoint waits for it a while, and truncates the log once it lets go
// within that while; the writer says once that the log is past its bound
// and tells its size.
TEST(HistoryDbLog, ACheckpointWaitsForAReaderAndALogPastItsBoundIsSaid) {
    const std::string path = scratch_dir() + "/h.db";
    auto db = open_new(path);
    std::string err;
    ASSERT_EQ(db->write_round(view_of(record_at(0)), round_utc(view_of(record_at(0))), 1, {}, err),
              HistoryDb::Write::done);
    Other reader(path);
    ASSERT_TRUE(reader.exec("BEGIN"));
    ASSERT_EQ(reader.rows(), 1);
    for (int i = 1; i < 300; ++i)
        ASSERT_EQ(db->write_round(view_of(record_at(i)), round_utc(view_of(record_at(i))), 1, {}, err),
                  HistoryDb::Write::done)
            << err;
    const long long grown = size_of(path + "-wal");
    EXPECT_FALSE(db->checkpoint()) << "the reader still holds its snapshot";
    std::thread lets_go([&] {
        ::poll(nullptr, 0, 300);
        reader.exec("COMMIT");
    });
    EXPECT_TRUE(db->checkpoint(10000)) << "waited for the reader";
    lets_go.join();
    EXPECT_GT(grown, 500000);
    EXPECT_EQ(size_of(path + "-wal"), 0);
    EXPECT_EQ(reader.rows(), 300);
    db.reset();

    Said said;
    HistoryPace pace = quick_pace();
    pace.checkpoint_s = 3600;
    pace.log_bound = 1 << 20;
    HistoryWriter writer(open_new(path), tzv58_model(), 1, said.f, pace);
    ASSERT_TRUE(reader.exec("BEGIN"));
    ASSERT_EQ(reader.rows(), 300);
    for (int i = 0; i < 300; ++i) writer.submit(round_at(i));
    ASSERT_TRUE(wait_for([&] { return writer.rows() == 300; }, 10000));
    EXPECT_GT(writer.status().log_bytes, 1 << 20);
    const std::string text = said.text();
    EXPECT_EQ(lines(text), 1) << text;
    EXPECT_NE(text.find("its write-ahead log has grown to "), std::string::npos) << text;
    EXPECT_NE(text.find(" MB, past its 1 MB bound: a reader holds an old snapshot"), std::string::npos) << text;
    ASSERT_TRUE(reader.exec("COMMIT"));
}

// A threshold check (its key is its id) carries the round's readings in its
// first text: readings that move are the same alarm, raised once and
// cleared once, across a restart of the program too.
TEST(HistoryRecorder, AThresholdAlarmWithMovingReadingsIsRaisedOnceAndClearedOnce) {
    const std::string path = scratch_dir() + "/h.db";
    const std::string id = "220600120010", name = "001#48V直流系统交流输入电压过高告警";
    const std::string readings[] = {"ua1:281 ub1:230 uc1:229", "ua1:283.5 ub1:230 uc1:229", "ua1:282 ub1:231 uc1:229",
                                    "ua1:230 ub1:231 uc1:229"};
    Said said;
    const auto round = [&](HistoryRecorder& rec, int i, bool active) {
        const tzv58_419_Data_t r = record_at(2 * i);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&r);
        rec.on_publish(5535, bytes, sizeof r);
        rec.on_alarm(1, id, id, readings[i % 4], name, active, 1);
        rec.on_history(bytes, sizeof r);
    };
    {
        HistoryRecorder rec(open_new(path), tzv58_model(), nullptr, 1, said.f);
        for (int i = 0; i < 3; ++i) round(rec, i, true);
    }
    {
        HistoryRecorder rec(open_new(path), tzv58_model(), nullptr, 1, said.f);
        round(rec, 5, true);
        round(rec, 7, false);
    }
    Other other(path);
    EXPECT_EQ(other.column("SELECT change || ' ' || text1 FROM alarms ORDER BY rowid"),
              (std::vector<std::string>{"raised " + readings[0], "cleared " + readings[3]}));
    EXPECT_EQ(other.rows(), 5);
    EXPECT_EQ(said.text(), "");
}

// The link's changes go the rounds' way: stamped by the host clock and kept
// in UTC as the rounds' times are, they wait in memory behind the rounds
// while another connection holds the file and go in, in order, once it lets
// go; they add no record row.
TEST(HistoryRecorder, TheLinksChangesAreKeptInUtcAndWaitWithTheRounds) {
    struct Zone {
        const char* was = std::getenv("TZ");
        const std::string old = was ? was : "";
        Zone() { setenv("TZ", "Asia/Shanghai", 1), tzset(); }
        ~Zone() { was ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ"), tzset(); }
    } zone;
    const std::string path = scratch_dir() + "/h.db";
    Said said;
    SimClock clock(
        boost::posix_time::ptime(boost::gregorian::date(2026, 12, 7), boost::posix_time::seconds(19 * 3600 + 5)));
    {
        HistoryRecorder rec(open_new(path), tzv58_model(), nullptr, 1, said.f, quick_pace());
        rec.set_clock(&clock);
        Other other(path);
        ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
        const tzv58_419_Data_t r = record_at(2);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&r);
        rec.on_publish(5535, bytes, sizeof r);
        rec.on_history(bytes, sizeof r);
        clock.advance_ms(1000);
        rec.link_silent(1, "2026-12-07T19:00:04");
        clock.advance_ms(3000);
        rec.link_answers(3);
        EXPECT_EQ(rec.status().waiting, 3u);
        ASSERT_TRUE(other.exec("COMMIT"));
        ASSERT_TRUE(wait_for([&] { return rec.status().waiting == 0; }, 5000));
        EXPECT_EQ(rec.rows(), 1);
    }
    Other other(path);
    EXPECT_EQ(other.column("SELECT time FROM history"), std::vector<std::string>{"2026-12-07T11:00:02Z"});
    EXPECT_EQ(other.column("SELECT time || ' ' || change || ' ' || key || ' ' || id || ' ' || level || ' ' || seq || "
                           "' ' || text1 FROM alarms ORDER BY rowid"),
              (std::vector<std::string>{
                  "2026-12-07T11:00:06Z raised link silent 0 0 no answer from the power system at address 1 since "
                  "19:00:04",
                  "2026-12-07T11:00:09Z cleared link silent 0 0 answers again after 3 s"}));
}

// A run that ends while the link is lost or silent closes both rows: a
// raised link row always has its cleared one.
TEST(HistoryRecorder, TheRunsEndClearsTheLinksOpenRows) {
    const std::string path = scratch_dir() + "/h.db";
    Said said;
    SimClock clock(boost::posix_time::ptime(boost::gregorian::date(2026, 12, 7), boost::posix_time::hours(19)));
    {
        HistoryRecorder rec(open_new(path), tzv58_model(), nullptr, 1, said.f);
        rec.set_clock(&clock);
        rec.link_silent(1, "2026-12-07T18:59:50");
        clock.advance_ms(2000);
        rec.link_lost("hang-up");
        clock.advance_ms(63000);
    }
    Other other(path);
    EXPECT_EQ(other.column("SELECT change || ' ' || id || ' ' || text1 FROM alarms ORDER BY rowid"),
              (std::vector<std::string>{"raised silent no answer from the power system at address 1 since 18:59:50",
                                        "raised down link lost (hang-up) at 2026-12-07T19:00:02",
                                        "cleared silent run ended with no answer since 18:59:50",
                                        "cleared down run ended with the link lost for 63 s"}));
    EXPECT_EQ(said.text(), "");
}

}  // namespace
}  // namespace tzv58::tool

#else

TEST(HistoryWriter, NeedsSQLite) { GTEST_SKIP() << "this build has no SQLite"; }

#endif

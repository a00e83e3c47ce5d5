// A history file one can leave running at a site: another connection's lock
// is waited for, the write-ahead log shrinks once readers let go, a file-size
// limit is a history error, a device is refused, and any user who can read
// the file can read it back. (A damaged file: e2e_history_test.)
#include "e2e_history_support.h"

#if TZV58_HAVE_SQLITE

#include <grp.h>
#include <sys/stat.h>

namespace {

// Runs tzv58-host as the user nobody when the tests run as root, else as
// this user: either way a user who may read the history file and its folder
// but write neither. Output goes to a folder of its own.
HostRun run_as_other_user(const std::vector<std::string>& args) {
    const std::string dir = scratch_dir(), out = dir + "/stdout", err = dir + "/stderr";
    HostArgv argv(args);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    HostRun r;
    r.status = wait_child(pid, 30000);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

TEST(HistoryTrust, AnyUserWhoCanReadTheFileReadsItWithOrWithoutAWriter) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    ASSERT_EQ(simulate(db, {"--rounds", "3"}).status, 0);
    ASSERT_EQ(chmod(db.c_str(), 0644), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    const HostRun idle = run_as_other_user({"history", db, "--format", "csv"});
    if (idle.status == 127 || idle.status == 126) GTEST_SKIP() << "the program cannot be run as another user here";
    EXPECT_EQ(idle.status, 0) << idle.err;
    EXPECT_EQ(parse_csv(idle.out).size(), 4u) << idle.out;
    EXPECT_EQ(file_size(db + "-shm"), -1) << "reading a file no one writes leaves nothing beside it";

    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    Child writer({"simulate", "--fast", "--history", db, "--events", "/dev/null"});
    ASSERT_TRUE(writer.read_until("== round 5:", 60000)) << writer.err_text;
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    const HostRun busy = run_as_other_user({"history", db, "--format", "csv"});
    EXPECT_EQ(busy.status, 0) << busy.err;
    EXPECT_GE(parse_csv(busy.out).size(), 4u + 5u) << busy.out;
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(kill(writer.pid, SIGTERM), 0);
    EXPECT_EQ(writer.wait(), 0);
}

// Another connection (an operator's sqlite3, a program pruning old rows)
// holds the write lock for three seconds: the poll goes on meanwhile, and
// every round is in the file once the lock is let go. On the wall clock: a
// round every two seconds, as on a line.
TEST(HistoryTrust, ALockHeldForSecondsLosesNoRowAndHoldsUpNoPoll) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    Child run({"simulate", "--rounds", "4", "--history", db, "--events", "/dev/null"});
    ASSERT_TRUE(run.read_until("== round 1:", 60000)) << run.err_text;
    {
        Db other(db);
        ASSERT_EQ(sqlite3_exec(other.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        run.read_until("== round 4:", 3000);  // the lock is held this long
        EXPECT_GE(last_round(run.out_text), 2) << "the poll waited for the lock";
        ASSERT_EQ(sqlite3_exec(other.db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ASSERT_TRUE(run.read_until("== round 4:", 60000)) << run.err_text;
    EXPECT_EQ(run.wait(), 0);
    run.read_until("\x01", 2000);
    EXPECT_EQ(run.err_text, "");
    EXPECT_EQ(Db(db).one("SELECT count(*) FROM history"), "4");
}

// A reader that holds a snapshot keeps the log from starting over, so it
// grows; once the reader lets go, the log is truncated within a minute of
// rounds (a simulated minute here, at most a second later: the fast clock
// moves 2 s a round).
TEST(HistoryTrust, TheLogShrinksOnceReadersLetGo) {
    const std::string dir = scratch_dir(), db = dir + "/h.db", wal = db + "-wal";
    Child run({"simulate", "--fast", "--history", db, "--events", "/dev/null"});
    ASSERT_TRUE(run.read_until("== round 3:", 60000)) << run.err_text;
    long long grown = 0;
    {
        Db reader(db);
        ASSERT_EQ(sqlite3_exec(reader.db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
        ASSERT_NE(reader.one("SELECT count(*) FROM history"), "");
        ASSERT_TRUE(run.read_until("== round 400:", 120000)) << run.err_text;
        grown = file_size(wal);
        ASSERT_EQ(sqlite3_exec(reader.db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    EXPECT_GT(grown, 1000000);
    bool shrunk = false;
    for (int waited = 0; waited < 20000 && !shrunk; waited += 100) {
        run.read_until("\x01", 100);
        shrunk = file_size(wal) < grown / 4;
    }
    EXPECT_TRUE(shrunk) << file_size(wal) << " bytes of log, " << grown << " at most";
    ASSERT_EQ(kill(run.pid, SIGTERM), 0);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(Db(db).one("PRAGMA integrity_check"), "ok");
}

// A file-size limit (RLIMIT_FSIZE) with SIGXFSZ left as it is: the program
// is not ended by the signal; the rounds wait in memory, polling goes on,
// and what is still not written at the end is said: the run ends with
// status 1, and its last line says why.
TEST(HistoryTrust, AFileSizeLimitIsAHistoryErrorNotTheEndOfThePoll) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    Child run({"simulate", "--fast", "--rounds", "80", "--history", db, "--events", "/dev/null"}, 256 * 1024, false);
    ASSERT_TRUE(run.read_until("== round 80:", 120000)) << run.err_text;
    EXPECT_EQ(run.wait(), 1);
    run.read_until("\x01", 2000);
    EXPECT_EQ(line_count(run.err_text), 3) << run.err_text;
    EXPECT_NE(run.err_text.find("(file too large: the program's file-size limit); rounds wait in memory"),
              std::string::npos)
        << run.err_text;
    const size_t lost = run.err_text.find(" rounds not written: ");
    ASSERT_NE(lost, std::string::npos) << run.err_text;
    const size_t n = run.err_text.rfind(' ', lost - 1) + 1;
    EXPECT_NE(run.err_text.find("\ntzv58-host: ending with status 1: history: " + run.err_text.substr(n, lost - n) +
                                " rounds lost\n"),
              std::string::npos)
        << run.err_text;
    Db h(db);
    EXPECT_EQ(h.one("PRAGMA integrity_check"), "ok");
    EXPECT_GT(std::stol(h.one("SELECT count(*) FROM history")), 0);
}

TEST(HistoryTrust, OnlyARegularFileIsTakenAsHistory) {
    const std::string dir = scratch_dir(), fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const bool journal_was_there = file_size("/dev/null-journal") >= 0;
    for (const std::string& path : {std::string("/dev/null"), fifo, dir}) {
        SCOPED_TRACE(path);
        const pid_t pid =
            start_host({"simulate", "--fast", "--rounds", "1", "--events", "/dev/null", "--history", path},
                       dir + "/out", dir + "/err");
        EXPECT_EQ(wait_child(pid, 20000), 2);
        const std::string err = slurp(dir + "/err");
        EXPECT_EQ(line_count(err), 1) << err;
        EXPECT_EQ(err.rfind("tzv58-host: option --history: " + path + ": ", 0), 0u) << err;
    }
    if (!journal_was_there) {
        EXPECT_EQ(file_size("/dev/null-journal"), -1) << "a journal was made beside /dev/null";
    }
}

// A new file is 0640 less the umask: the group may read it, others may not
// (a reader holds the log from being cut back). A file that cannot be used
// at start (here: too large for the program's file-size limit) is status 2,
// not a run without history.
TEST(HistoryTrust, ANewFileIsTheGroupsToReadAndAnUnusableOneIsRefusedAtStart) {
    const std::string dir = scratch_dir();
    for (const mode_t mask : {mode_t(022), mode_t(002), mode_t(077)}) {
        const std::string db = dir + "/h" + std::to_string(mask) + ".db";
        const mode_t old = umask(mask);
        const HostRun r = simulate(db, {"--rounds", "1"});
        umask(old);
        ASSERT_EQ(r.status, 0) << r.err;
        struct stat st {};
        ASSERT_EQ(stat(db.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640 & ~mask) << std::oct << mask;
    }
    // Others cannot open it, so cannot hold a snapshot that pins its log.
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        const HostRun other = run_as_other_user({"history", dir + "/h18.db"});
        EXPECT_EQ(other.status, 2) << other.out;
        EXPECT_NE(other.err.find("unable to open"), std::string::npos) << other.err;
    }
    Child run({"simulate", "--fast", "--rounds", "1", "--history", dir + "/big.db", "--events", "/dev/null"}, 1024);
    run.read_until("\x01", 20000);
    EXPECT_EQ(run.wait(), 2);
    EXPECT_EQ(line_count(run.err_text), 1) << run.err_text;
    EXPECT_EQ(run.err_text.rfind("tzv58-host: option --history: " + dir + "/big.db: ", 0), 0u) << run.err_text;
}

}  // namespace

#else

TEST(HistoryTrust, NeedsSQLite) { GTEST_SKIP() << "this build has no SQLite"; }

#endif

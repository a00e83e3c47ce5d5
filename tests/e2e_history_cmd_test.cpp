// The history command tells the truth and loses no file: it never writes
// over the file it reads nor over a file it did not write, refuses what it
// cannot read at once, and says when its output fails.
#include "e2e_history_support.h"

#if TZV58_HAVE_SQLITE

#include <sys/stat.h>


namespace {

std::string five_rounds() {
    const std::string db = scratch_dir() + "/h.db";
    EXPECT_EQ(simulate(db, {"--rounds", "5"}).status, 0);
    return db;
}

void expect_refused(const HostRun& r, const std::string& says) {
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(line_count(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(HistoryCommand, NeverWritesOverTheFileItReads) {
    const std::string db = five_rounds(), dir = db.substr(0, db.rfind('/'));
    ASSERT_EQ(link(db.c_str(), (dir + "/hard.db").c_str()), 0);
    ASSERT_EQ(symlink(db.c_str(), (dir + "/soft.svg").c_str()), 0);
    const std::string before = slurp(db);
    for (const std::string& plot : {db, dir + "/./h.db", dir + "/hard.db", dir + "/soft.svg", db + "-wal"}) {
        SCOPED_TRACE(plot);
        expect_refused(run_host({"history", db, "--plot", plot, "--force"}), "the same file as the history file read");
    }
    EXPECT_EQ(slurp(db), before);
    EXPECT_EQ(file_size(db + "-wal"), -1);
}

TEST(HistoryCommand, PlotWritesOverOnlyAChartOfItsOwn) {
    const std::string db = five_rounds(), dir = db.substr(0, db.rfind('/')), svg = dir + "/t.svg";
    spit(svg, "notes I keep\n");
    expect_refused(run_host({"history", db, "--plot", svg}), "is not a trend written by this program; --force");
    EXPECT_EQ(slurp(svg), "notes I keep\n");
    EXPECT_EQ(run_host({"history", db, "--plot", svg, "--force"}).status, 0);
    EXPECT_EQ(slurp(svg).rfind("<?xml", 0), 0u);
    // Its own chart is written over without --force.
    ASSERT_EQ(simulate(db, {"--rounds", "2"}).status, 0);
    const HostRun again = run_host({"history", db, "--plot", svg});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, svg + ": trend of 7 records\n");
    EXPECT_EQ(run_host({"history", db, "--plot", dir}).status, 2);
    EXPECT_EQ(run_host({"history", db, "--force"}).status, 2) << "--force is for --plot";
}

TEST(HistoryCommand, PlotDashWritesTheChartToStandardOutput) {
    const std::string db = five_rounds();
    const HostRun r = run_host({"history", db, "--plot", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("<?xml", 0), 0u);
    EXPECT_EQ(r.out.substr(r.out.size() - 7), "</svg>\n");
    EXPECT_EQ(file_size("-"), -1);
}

// A folder once said "disk I/O error", a FIFO hung for ever.
TEST(HistoryCommand, WhatIsNoHistoryFileIsOneLineAtOnce) {
    const std::string dir = scratch_dir(), fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir, fifo, dir + "/none.db"}) {
        SCOPED_TRACE(path);
        const pid_t pid = start_host({"history", path}, dir + "/out", dir + "/err");
        EXPECT_EQ(wait_child(pid, 20000), 2);
        const std::string err = slurp(dir + "/err");
        EXPECT_EQ(line_count(err), 1) << err;
        EXPECT_EQ(err.rfind("tzv58-host: " + path + ": ", 0), 0u) << err;
    }
}

TEST(HistoryCommand, SinceMustComeBeforeUntil) {
    const std::string db = five_rounds();
    expect_refused(run_host({"history", db, "--since", "2026-12-08", "--until", "2026-12-07T23:00"}),
                   "option --since 2026-12-08T00:00:00 is not before --until 2026-12-07T23:00:00");
    expect_refused(run_host({"history", db, "--since", "2026-12-08", "--until", "2026-12-08"}), "is not before");
    expect_refused(run_host({"history", db, "--since", "2026-06-31"}), "option --since needs a local time");
}

// Standard output on a full disk: one line and status 1, whatever is written.
TEST(HistoryCommand, AnOutputThatFailsIsOneLineAndStatusOne) {
    const std::string db = five_rounds(), dir = scratch_dir();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"history", db}, std::vector<std::string>{"history", db, "--format", "csv"},
          std::vector<std::string>{"history", db, "--alarms"}, std::vector<std::string>{"history", db, "--plot", "-"}}) {
        SCOPED_TRACE(args.back());
        const pid_t pid = start_host(args, "/dev/full", dir + "/err");
        EXPECT_EQ(wait_child(pid, 20000), 1);
        const std::string err = slurp(dir + "/err");
        EXPECT_EQ(err, "tzv58-host: cannot write standard output: No space left on device\n");
    }
}

}  // namespace

#else

TEST(HistoryCommand, NeedsSQLite) { GTEST_SKIP() << "this build has no SQLite"; }

#endif

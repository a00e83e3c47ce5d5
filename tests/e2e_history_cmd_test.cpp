// The history command tells the truth and loses no file: it never writes
// over the file it reads nor over a file it did not write, refuses what it
// cannot read at once, says when its output fails, and draws a chart that
// shows gaps, keeps voltage and current apart and stays small.
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
    // (Rounds of --fast lie ahead of the clock: --until takes them.)
    const HostRun again = run_host({"history", db, "--plot", svg});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out.rfind(svg + ": trend of ", 0), 0u) << again.out;
    EXPECT_EQ(run_host({"history", db, "--plot", svg, "--until", "2099-01-01"}).out, svg + ": trend of 7 records\n");
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
    expect_refused(run_host({"history", db, "--since", "2026-12-08T00:00Z", "--until", "2026-12-08T01:30+02:00"}),
                   "option --since " + tzv58::tool::local_text(1796688000) + " is not before --until " +
                       tzv58::tool::local_text(1796686200));
    expect_refused(run_host({"history", db, "--since", "2026-12-08", "--until", "2026-12-08"}), "is not before");
    expect_refused(run_host({"history", db, "--since", "2026-06-31"}), "option --since needs a time such as");
    expect_refused(run_host({"history", db, "--since", "2026-12-08T10:00+2:00"}), "option --since needs a time");
}

// Standard output on a full disk: one line and status 1, whatever is written.
TEST(HistoryCommand, AnOutputThatFailsIsOneLineAndStatusOne) {
    const std::string db = five_rounds(), dir = scratch_dir();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"history", db}, std::vector<std::string>{"history", db, "--format", "csv"},
          std::vector<std::string>{"history", db, "--alarms"},
          std::vector<std::string>{"history", db, "--plot", "-"},
          std::vector<std::string>{"history", db, "--plot", "/proc/self/fd/1"}}) {
        SCOPED_TRACE(args.back());
        const pid_t pid = start_host(args, "/dev/full", dir + "/err");
        EXPECT_EQ(wait_child(pid, 20000), 1);
        const std::string err = slurp(dir + "/err");
        EXPECT_EQ(err, "tzv58-host: cannot write standard output: No space left on device\n");
    }
}

// A file anyone may have crafted: escape sequences in its texts (a window
// title, a cleared screen), C1 and bidirectional controls, bytes that are no
// UTF-8, formulas in its cells.
TEST(HistoryCommand, TheFilesTextsReachNoTerminalRawAndNoSpreadsheetAsFormulas) {
    const std::string db = five_rounds();
    add_rows(db, {{10, 53.5, -0.5}});
    Db(db).one(
        "INSERT INTO alarms(time, change, key, id, level, text1, text2, seq) SELECT time, 'raised', "
        "'=HYPERLINK(\"http://x\",\"y\")', CAST(X'1B5D303B6F776E656407' AS "
        "TEXT), 1, CAST(X'1B5B324AFFC29BE280AE' AS TEXT), '@SUM(1)', 1 FROM history LIMIT 1");
    const HostRun table = run_host({"history", db, "--alarms"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(std::count_if(table.out.begin(), table.out.end(),
                            [](char c) { return (uint8_t(c) < 0x20 && c != '\n') || c == 0x7F || uint8_t(c) == 0xFF; }),
              0)
        << table.out;
    EXPECT_NE(
        table.out.find(
            "@SUM(1): \\x1B[2J\\xFF\\xC2\\x9B\\xE2\\x80\\xAE (=HYPERLINK(\"http://x\",\"y\") \\x1B]0;owned\\x07)"),
        std::string::npos)
        << table.out;

    const HostRun csv = run_host({"history", db, "--alarms", "--format", "csv"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_NE(csv.out.find(",raised,\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\","), std::string::npos) << csv.out;
    const auto alarms = parse_csv(csv.out);
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_EQ(alarms[1][6], "'@SUM(1)");
    // A negative current is a number, not a formula.
    const auto records = parse_csv(run_host({"history", db, "--format", "csv"}).out);
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(std::count_if(records.begin(), records.end(), [](const auto& row) { return row[4] == "-0.5"; }), 1);

    const HostRun jsonl = run_host({"history", db, "--alarms", "--format", "jsonl"});
    ASSERT_EQ(jsonl.status, 0) << jsonl.err;
    EXPECT_EQ(jsonl.out.find('\xFF'), std::string::npos) << "no invalid UTF-8 in JSON";
    EXPECT_EQ(jsonl.out.find("\xC2\x9B"), std::string::npos) << "C1 as \\u009b";
    EXPECT_EQ(jsonl.out.find("\xE2\x80\xAE"), std::string::npos) << "U+202E as \\u202e";
    spit(db + ".jsonl", jsonl.out);
    EXPECT_EQ(read_events(db + ".jsonl").at(0)["text1"].asString(), "\x1B[2J\xEF\xBF\xBD\xC2\x9B\xE2\x80\xAE");
}

// ---- simulate, poll and replay ----

// Three everyday slips that destroyed a history file (events or diagnostic
// lines written over it), and their kin: nothing is opened, nothing changes.
TEST(OutputPaths, NoOptionWritesOverAFileAnotherNames) {
    const std::string db = five_rounds(), dir = db.substr(0, db.rfind('/')), plant = dir + "/plant.json";
    spit(plant, "{}");
    const std::string kept = slurp(db);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--events", db, "--history", db}, "option --history names " + db + ", the same file as option --events"},
        {{"--diag", dir + "/./h.db", "--history", db}, "the same file as option --diag"},
        {{"--events", db + "-wal", "--history", db},
         "option --history (its write-ahead log) names " + db + "-wal, the same file as option --events"},
        {{"--events", dir + "/e.jsonl", "--diag", dir + "/e.jsonl"},
         "option --diag names " + dir + "/e.jsonl, the same file as option --events"},
        {{"--plant", plant, "--events", plant}, "option --events names " + plant + ", the same file as option --plant"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        std::vector<std::string> args{"simulate", "--fast", "--rounds", "1"};
        args.insert(args.end(), c.first.begin(), c.first.end());
        expect_refused(run_host(args), c.second + ": nothing was opened");
    }
    expect_refused(run_host({"replay", "--script", dir + "/none", "--events", dir + "/x", "--diag", dir + "/x"}),
                   "the same file as option --events");
    EXPECT_EQ(slurp(db), kept);
    EXPECT_EQ(slurp(plant), "{}");
    EXPECT_EQ(file_size(dir + "/e.jsonl"), -1);
    // Two options may both name /dev/null.
    EXPECT_EQ(run_host({"simulate", "--fast", "--rounds", "1", "--events", "/dev/null", "--diag", "/dev/null"}).status,
              0);
}

// A slip (--events for --history) or a text file named for diagnostics: a
// file that is not the option's own output is refused and left as it was,
// unless --force; the option's own output is appended to, never emptied.
TEST(OutputPaths, AnOutputAppendsAndTakesNoFileThatIsNotItsOwn) {
    const std::string db = five_rounds(), dir = db.substr(0, db.rfind('/')), notes = dir + "/notes.txt";
    spit(notes, "my notes\n");
    const std::string kept = slurp(db);
    const std::vector<std::string> run{"simulate", "--fast", "--rounds", "1"};
    auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), run.begin(), run.end());
        return run_host(extra);
    };
    expect_refused(with({"--events", db}), "option --events: " + db +
                                               " is there and is not an events file of this program: nothing was "
                                               "written to it (--force appends to it)");
    expect_refused(with({"--diag", notes}), "option --diag: " + notes + " is there and is not a diagnostics file");
    EXPECT_EQ(slurp(db), kept);
    EXPECT_EQ(slurp(notes), "my notes\n");
    EXPECT_EQ(with({"--diag", notes, "--force"}).status, 0);
    EXPECT_EQ(slurp(notes).rfind("my notes\n", 0), 0u);
    EXPECT_GT(slurp(notes).size(), 9u);
    expect_refused(with({"--force"}), "option --force goes with an --events or --diag FILE");

    const std::string events = dir + "/e.jsonl", diag = dir + "/d.log";
    for (int i = 0; i < 2; ++i) ASSERT_EQ(with({"--events", events, "--diag", diag}).status, 0);
    EXPECT_EQ(count_events(read_events(events), "publish"), 2);
    const std::string lines = slurp(diag), head = "# tzv58-host: the plug-in's diagnostic lines\n";
    EXPECT_EQ(lines.rfind(head, 0), 0u) << lines;
    EXPECT_EQ(lines.find(head, 1), std::string::npos) << "the head line once, at the top";
}

// In a folder anyone may write to (as /tmp), a symbolic link another user
// planted is not followed, dangling or not, and a file of another user is
// not written, nor a history file whose log another user put beside it; a
// file of the program's own is written.
TEST(OutputPaths, InAFolderOthersMayWriteNoPlantedLinkOrFileIsWritten) {
    const std::string dir = scratch_dir(), shared = dir + "/shared", victim = dir + "/victim.txt", db = five_rounds();
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    spit(victim, "precious\n");
    const bool root = geteuid() == 0;
    const std::vector<std::pair<std::string, std::string>> planted = {{"--events", victim},
                                                                      {"--diag", victim},
                                                                      {"--events", dir + "/none.jsonl"},
                                                                      {"--history", dir + "/none.db"},
                                                                      {"--plot", victim}};
    for (size_t i = 0; i < planted.size(); ++i) {
        SCOPED_TRACE(planted[i].first + " -> " + planted[i].second);
        const std::string link = shared + "/link" + std::to_string(i);
        ASSERT_EQ(symlink(planted[i].second.c_str(), link.c_str()), 0);
        if (root) {
            ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0);
        }
        const std::vector<std::string> args =
            planted[i].first == "--plot"
                ? std::vector<std::string>{"history", db, "--plot", link, "--force"}
                : std::vector<std::string>{"simulate", "--fast", "--rounds", "1", planted[i].first, link};
        expect_refused(run_host(args), "option " + planted[i].first + ": " + link + " is a symbolic link in " + shared +
                                           ", a folder others may write to; it is not followed");
    }
    EXPECT_EQ(slurp(victim), "precious\n");
    EXPECT_EQ(file_size(dir + "/none.jsonl"), -1);
    EXPECT_EQ(file_size(dir + "/none.db"), -1);
    const std::string mine = shared + "/mine.jsonl";
    EXPECT_EQ(run_host({"simulate", "--fast", "--rounds", "1", "--events", mine}).status, 0);
    EXPECT_EQ(count_events(read_events(mine), "publish"), 1);
    if (!root) GTEST_SKIP() << "a file of another user needs root to make";
    const std::string theirs = shared + "/theirs.jsonl", their_db = shared + "/theirs.db";
    spit(theirs, "{\"event\":\"theirs\"}\n");
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    expect_refused(run_host({"simulate", "--fast", "--rounds", "1", "--events", theirs, "--force"}),
                   theirs + " belongs to another user (uid 65534) in " + shared + ", a folder others may write to");
    EXPECT_EQ(slurp(theirs), "{\"event\":\"theirs\"}\n");
    ASSERT_EQ(simulate(their_db, {"--rounds", "1"}).status, 0);
    spit(their_db + "-wal", "");
    ASSERT_EQ(chown(their_db.c_str(), 65534, 65534), 0);
    expect_refused(run_host({"simulate", "--fast", "--rounds", "1", "--history", their_db}),
                   their_db + " belongs to another user (uid 65534)");
    ASSERT_EQ(chown(their_db.c_str(), 0, 0), 0);
    ASSERT_EQ(chown((their_db + "-wal").c_str(), 65534, 65534), 0);
    expect_refused(run_host({"simulate", "--fast", "--rounds", "1", "--history", their_db}),
                   their_db + "-wal belongs to another user (uid 65534)");
}

// ---- the chart ----

struct Shape {
    double x, y, w, h;
};

// Each element of the chart that starts with `head`, as its text up to ">".
std::vector<std::string> elements(const std::string& svg, const std::string& head) {
    std::vector<std::string> out;
    for (size_t at = svg.find(head); at != std::string::npos; at = svg.find(head, at + 1))
        out.push_back(svg.substr(at, svg.find('>', at) - at));
    return out;
}

std::string attribute(const std::string& element, const std::string& name) {
    const size_t at = element.find(" " + name + "=\"");
    if (at == std::string::npos) return "";
    const size_t from = at + name.size() + 3;
    return element.substr(from, element.find('"', from) - from);
}

// The panels' frames, top to bottom.
std::vector<Shape> panels(const std::string& svg) {
    std::vector<Shape> out;
    for (const std::string& e : elements(svg, "<rect class=\"panel\""))
        out.push_back({std::stod(attribute(e, "x")), std::stod(attribute(e, "y")), std::stod(attribute(e, "width")),
                       std::stod(attribute(e, "height"))});
    return out;
}

// Each polyline of a series, as its points.
std::vector<std::vector<std::pair<double, double>>> lines(const std::string& svg, const std::string& series) {
    std::vector<std::vector<std::pair<double, double>>> out;
    for (const std::string& e : elements(svg, "<polyline class=\"" + series + "\"")) {
        std::istringstream pts(attribute(e, "points"));
        out.emplace_back();
        for (std::string p; pts >> p;) out.back().push_back({std::stod(p), std::stod(p.substr(p.find(',') + 1))});
    }
    return out;
}

std::string plot(const std::string& db) {
    const HostRun r = run_host({"history", db, "--plot", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// Voltage and current sit at the same height on their own scales: in a
// panel each, neither can hide the other; each extreme has room above or
// below it.
TEST(HistoryChart, VoltageAndCurrentHaveAPanelEachWithRoomAtTheEnds) {
    std::vector<MadeRow> rows;
    for (int i = 0; i < 60; ++i) rows.push_back({3LL * i, 53.0 + (i % 10) / 10.0, 45.0 + (i % 10)});
    const std::string svg = plot(made_history(rows));
    const std::vector<Shape> frames = panels(svg);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_LE(frames[0].y + frames[0].h, frames[1].y) << "the panels overlap";
    for (size_t p = 0; p < 2; ++p) {
        const auto series = lines(svg, p == 0 ? "dc_v" : "load_i");
        ASSERT_EQ(series.size(), 1u);
        ASSERT_EQ(series[0].size(), 60u);
        const Shape& f = frames[p];
        for (const auto& pt : series[0]) {
            EXPECT_GE(pt.first, f.x);
            EXPECT_LE(pt.first, f.x + f.w);
            EXPECT_GT(pt.second, f.y + f.h / 50) << "an extreme on the top frame";
            EXPECT_LT(pt.second, f.y + f.h - f.h / 50) << "an extreme on the bottom frame";
        }
    }
}

// What a viewer makes of it: an image (rsvg-convert renders SVG as browsers
// and image viewers do).
TEST(HistoryChart, RendersToAnImage) {
    const std::string dir = scratch_dir(), svg = dir + "/t.svg", png = dir + "/t.png";
    spit(svg, plot(five_rounds()));
    const int rc = std::system(("rsvg-convert -o " + png + " " + svg + " 2>" + dir + "/err").c_str());
    ASSERT_TRUE(WIFEXITED(rc));
    if (WEXITSTATUS(rc) == 127) GTEST_SKIP() << "rsvg-convert is not installed (scripts/setup.sh test installs it)";
    EXPECT_EQ(WEXITSTATUS(rc), 0) << slurp(dir + "/err");
    EXPECT_EQ(slurp(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

TEST(HistoryChart, AnOutageBreaksTheLine) {
    std::vector<MadeRow> rows;
    // Rounds 3 s apart; 63 s without a round; then more. A value missing
    // for one round is no gap.
    for (int i = 0; i < 40; ++i) rows.push_back({3LL * i + (i >= 20 ? 63 : 0), 53.5, i == 30 ? NAN : 45.0});
    const std::string svg = plot(made_history(rows));
    EXPECT_EQ(lines(svg, "dc_v").size(), 2u);
    EXPECT_EQ(lines(svg, "load_i").size(), 2u);
    EXPECT_NE(svg.find("broken where no value came for over 9 s"), std::string::npos);
}

// One or two rows are dots one can see, whatever their times (two in one
// second once drew a line of no length); a row dated after now (the clock
// jumped ahead, then back) is left out and said, not a chart stretched to
// its date.
TEST(HistoryChart, OneOrTwoRowsAreVisibleDotsAndARowAfterNowIsLeftOut) {
    for (const std::vector<MadeRow>& rows :
         {std::vector<MadeRow>{{0, 53.5, 45}}, std::vector<MadeRow>{{0, 53.5, 45}, {0, 53.5, 45}},
          std::vector<MadeRow>{{0, 53.5, 45}, {2, 53.6, 46}}}) {
        const std::string svg = plot(made_history(rows));
        for (const char* series : {"dc_v", "load_i"})
            EXPECT_EQ(elements(svg, std::string("<circle class=\"") + series + "\"").size(), rows.size())
                << rows.size() << " rows, " << series;
    }
    const std::string db = made_history({{0, 53.5, 45}, {3, 53.5, 45}});
    add_rows(db, {{::time(nullptr) + 10LL * 365 * 86400 - MADE_T0, 60, 50}});
    const std::string svg = plot(db);
    EXPECT_NE(svg.find(", 2 records; 1 dated after now left out"), std::string::npos) << svg.substr(0, 800);
    EXPECT_EQ(lines(svg, "dc_v").size(), 1u);
}

// 50,000 rounds (about two days) with a discharge in the middle: the chart
// stays small, each series keeps at most 2,000 points, and the lowest
// voltage of the discharge is still drawn.
TEST(HistoryChart, ALongHistoryStaysSmallAndKeepsItsExtremes) {
    std::vector<MadeRow> rows;
    for (int i = 0; i < 50000; ++i)
        rows.push_back({3LL * i, i == 25000 ? 46.25 : 53.5 + (i % 7) / 100.0, 45.0 + (i % 13) / 10.0});
    const std::string svg = plot(made_history(rows));
    EXPECT_LT(svg.size(), 200u * 1024);
    for (const char* series : {"dc_v", "load_i"}) {
        size_t n = 0;
        for (const auto& l : lines(svg, series)) n += l.size();
        EXPECT_LE(n, 2000u) << series;
        EXPECT_GE(n, 1000u) << series;
    }
    // The voltage keeps to the top of its panel but for the dip.
    double lowest = 0;
    for (const auto& l : lines(svg, "dc_v"))
        for (const auto& pt : l) lowest = std::max(lowest, pt.second);
    const Shape top = panels(svg).at(0);
    EXPECT_GT(lowest, top.y + top.h / 2) << "the dip to 46.25 V is not drawn";
    EXPECT_NE(svg.find("50000 records"), std::string::npos);
}

}  // namespace

#else

TEST(HistoryCommand, NeedsSQLite) { GTEST_SKIP() << "this build has no SQLite"; }

#endif

// The history file of tzv58-host: what simulate --history stores, what the
// history command gives back (CSV, the SVG trend), and what survives a
// killed writer, a full disk, a second writer and files it cannot trust.
#include "e2e_history_support.h"

#include <functional>

#if TZV58_HAVE_SQLITE

namespace {

// ---- one plant, one file ----

TEST(HistoryFile, HoldsOneRowPerRoundWithThePlantsValues) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    std::vector<Json::Value> events;
    const HostRun r = simulate(db, {"--rounds", "5", "--data-id", "7"}, &events);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<tzv58_419_Data_t> stored = history_records(events);
    ASSERT_EQ(stored.size(), 5u);

    Db h(db);
    EXPECT_EQ(h.one("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(h.one("PRAGMA user_version"), "3");
    // Each row holds the record the device stored, byte for byte, and its time.
    const auto blobs = h.records();
    ASSERT_EQ(blobs.size(), 5u);
    const auto rows = h.rows(
        "SELECT time, address, data_id, dc_v, load_i, battery1_i, battery2_i, rc_out_v, ac1_a, ac1_b, ac1_c, ac2_a, "
        "ac2_b, ac2_c, dc2_v FROM history ORDER BY rowid");
    ASSERT_EQ(rows.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        ASSERT_EQ(blobs[i].size(), sizeof(tzv58_419_Data_t));
        EXPECT_EQ(0, std::memcmp(blobs[i].data(), &stored[i], sizeof(tzv58_419_Data_t)));
        // The default plant: DC 53.5 V, 45 A, one battery at 3 A, rectifiers at
        // 53 V, phases 230/231/229 and 229/230/228 V; no second DC unit.
        const std::vector<std::string> expected{stored_time(stored[i]),
                                                "1",
                                                "7",
                                                "53.5",
                                                "45.0",
                                                "3.0",
                                                "NULL",
                                                "53.0",
                                                "230.0",
                                                "231.0",
                                                "229.0",
                                                "229.0",
                                                "230.0",
                                                "228.0",
                                                "NULL"};
        EXPECT_EQ(rows[i], expected);
    }
    EXPECT_EQ(h.one("SELECT count(*) FROM alarms"), "0");
}

TEST(HistoryFile, AlarmTableHoldsTheTransitionsAcrossRuns) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    spit(dir + "/off.json", R"({"ac": {"channels": [{"a": 0, "b": 0, "c": 0, "f": 0},
                                                      {"a": 0, "b": 0, "c": 0, "f": 0}]}})");
    // Mains fail for three rounds, come back for two; then a run that starts
    // with the mains back raises nothing again.
    HostRun r = simulate(db, {"--rounds", "3", "--plant", dir + "/off.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = simulate(db, {"--rounds", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = simulate(db, {"--rounds", "2"});
    ASSERT_EQ(r.status, 0) << r.err;

    Db h(db);
    EXPECT_EQ(h.one("SELECT count(*) FROM history"), "7");
    const auto alarms = h.rows("SELECT change, key, id, level, text1, text2, seq FROM alarms ORDER BY rowid");
    const std::vector<std::vector<std::string>> expected{
        {"raised", "PowerOff", "419415001", "1", "输入电源中断告警", "输入电源中断告警", "100"},
        {"cleared", "PowerOff", "419415001", "1", "输入电源中断告警", "输入电源中断告警", "100"}};
    EXPECT_EQ(alarms, expected);
    // Raised with the first round of the failure, cleared with the first
    // round after it.
    const auto times = h.rows("SELECT time FROM history ORDER BY rowid");
    ASSERT_EQ(times.size(), 7u);
    EXPECT_EQ(h.one("SELECT time FROM alarms WHERE change = 'raised'"), times[0][0]);
    EXPECT_EQ(h.one("SELECT time FROM alarms WHERE change = 'cleared'"), times[3][0]);

    const HostRun table = run_host({"history", db, "--alarms"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("raised   [level 1] 输入电源中断告警: 输入电源中断告警 (PowerOff 419415001)"),
              std::string::npos)
        << table.out;
}

// The rectifier modules report the same key and id and differ in their
// text: one module in alarm is one alarm raised once, not raised and cleared
// again by its healthy neighbours every round.
TEST(HistoryFile, AlarmsOfModulesThatShareKeyAndIdAreToldApart) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    spit(dir + "/plant.json", R"({"rectifiers": {"out_v": 53, "modules": [{"out_i": 12},
        {"out_i": 11, "alarms": [128, 0, 0, 0, 0, 0, 0]}, {"out_i": 12}]}})");
    const HostRun r = simulate(db, {"--rounds", "3", "--plant", dir + "/plant.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    Db h(db);
    const auto alarms = h.rows("SELECT change, key, id, level, text2 FROM alarms ORDER BY rowid");
    const std::vector<std::vector<std::string>> expected{
        {"raised", "ZID06OZU_RC_0", "419430501", "4", "模块2模块通讯中断告警状态"}};
    EXPECT_EQ(alarms, expected);
}

TEST(HistoryFile, FilesItCannotTrustAreRefused) {
    const std::string dir = scratch_dir();
    struct Case {
        const char* name;
        const char* sql;  // nullptr: made by name
        const char* says;
    };
    const Case cases[] = {
        {"newer", "PRAGMA application_id = 1954182709; PRAGMA user_version = 99; CREATE TABLE history(x);",
         "history schema version 99 is unknown"},
        {"foreign", "CREATE TABLE notes(x); INSERT INTO notes VALUES(1);", "another program"},
        {"text", nullptr, "not an SQLite database"},
        // Pages overwritten: taken for writing without a word, and then read
        // back never, unless checked at open.
        {"damaged", nullptr, "the file is damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string db = dir + "/" + c.name + ".db";
        if (c.sql) {
            Db h(db, true);
            ASSERT_EQ(sqlite3_exec(h.db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK);
        } else if (std::string(c.name) == "damaged") {
            ASSERT_EQ(simulate(db, {"--rounds", "20"}).status, 0);
            damage_last_page(db);
        } else {
            spit(db, std::string(4096, 'x'));
        }
        const std::string before = slurp(db);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"simulate", "--fast", "--rounds", "1", "--events", "/dev/null", "--history", db},
              std::vector<std::string>{"history", db}}) {
            const HostRun r = run_host(args);
            EXPECT_EQ(r.status, 2) << args[0];
            EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_EQ(r.out, "") << args[0];
        }
        EXPECT_EQ(slurp(db), before) << "a refused file is left as it was";
        EXPECT_EQ(file_size(db + "-wal"), -1);
    }
}

// ---- time zones ----

// Runs the function with TZ set for this program and the ones it starts.
void in_zone(const char* zone, const std::function<void()>& fn) {
    const char* was = std::getenv("TZ");
    const std::string old = was ? was : "";
    setenv("TZ", zone, 1);
    tzset();
    fn();
    if (was)
        setenv("TZ", old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

std::vector<long long> stored_seconds(const std::string& db) {
    std::vector<long long> out;
    for (const auto& row : Db(db).rows("SELECT time FROM history ORDER BY rowid")) {
        long long t = 0;
        EXPECT_TRUE(tzv58::tool::utc_seconds(row[0], t)) << row[0];
        out.push_back(t);
    }
    return out;
}

// One run under Asia/Shanghai, the next under America/New_York, on one
// file: the rows are kept in UTC and follow one another, the chart spans the
// runs' real time, people see local time with its offset, and --since and
// --until take Z, an offset or local time. On the wall clock.
TEST(HistoryZones, RowsFollowOneAnotherWhateverTheZoneOfEachRun) {
    const std::string db = scratch_dir() + "/h.db";
    const std::vector<std::string> run{"simulate", "--rounds", "1", "--history", db, "--events", "/dev/null"};
    in_zone("Asia/Shanghai", [&] { ASSERT_EQ(run_host(run).status, 0); });
    in_zone("America/New_York", [&] { ASSERT_EQ(run_host(run).status, 0); });
    const std::vector<long long> t = stored_seconds(db);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_LE(t[0], t[1]);
    EXPECT_LT(t[1] - t[0], 600) << "13 hours apart on a local clock";
    in_zone("Asia/Shanghai", [&] {
        const auto rows = parse_csv(run_host({"history", db, "--format", "csv"}).out);
        ASSERT_EQ(rows.size(), 3u);
        for (size_t i = 0; i < 2; ++i) EXPECT_EQ(rows[i + 1][0], tzv58::tool::local_text(t[i])) << i;
        EXPECT_EQ(rows[1][0].substr(19), "+08:00");
        const std::string z = tzv58::tool::utc_text(t[1]), local = tzv58::tool::local_text(t[1]);
        for (const std::string& since : {z, local, local.substr(0, 19), z.substr(0, 19) + "-00:00"}) {
            const HostRun part = run_host({"history", db, "--format", "csv", "--since", since});
            EXPECT_EQ(parse_csv(part.out).size(), t[0] == t[1] ? 3u : 2u) << since << part.err;
        }
        const std::string svg = run_host({"history", db, "--plot", "-"}).out;
        EXPECT_NE(svg.find(tzv58::tool::local_text(t[0], ' ') + " to " + tzv58::tool::local_text(t[1], ' ')),
                  std::string::npos);
        EXPECT_NE(svg.find("local time (UTC+08:00)"), std::string::npos);
    });
}

// A file of schema version 1 (local times without an offset, one power
// system) is read as it stands, and moved to UTC by the first writer that
// opens it, its times read as local time of the zone then in force, its rows
// given the one-device name; said in one line.
TEST(HistoryZones, AnOlderFileIsMovedToUtcByItsFirstWriter) {
    const std::string db = scratch_dir() + "/h.db";
    in_zone("Asia/Shanghai", [&] {
        ASSERT_EQ(simulate(db, {"--rounds", "3"}).status, 0);
        const std::vector<long long> t = stored_seconds(db);
        ASSERT_EQ(sqlite3_exec(Db(db).db,
                               "UPDATE history SET time = strftime('%Y-%m-%dT%H:%M:%S', time, 'localtime');"
                               "DROP INDEX history_by_device; DROP INDEX alarms_by_device;"
                               "ALTER TABLE history DROP COLUMN device; ALTER TABLE alarms DROP COLUMN device;"
                               "PRAGMA user_version = 1",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        ASSERT_EQ(Db(db).one("SELECT time FROM history LIMIT 1"), tzv58::tool::iso_text(t[0] + 8 * 3600));
        const HostRun read = run_host({"history", db, "--format", "csv", "--since", tzv58::tool::utc_text(t[1])});
        ASSERT_EQ(read.status, 0) << read.err;
        const auto rows = parse_csv(read.out);
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[1][0], tzv58::tool::local_text(t[1]));
        EXPECT_EQ(Db(db).one("PRAGMA user_version"), "1") << "a reader changes nothing";

        const HostRun write = simulate(db, {"--rounds", "1"});
        ASSERT_EQ(write.status, 0) << write.err;
        EXPECT_EQ(write.err, "tzv58-host: history " + db +
                                 ": schema version 1 moved to 3: 3 times read as local time of the zone now in force "
                                 "(UTC+08:00 now) and kept in UTC; its 3 rows are the power system \"default\" (the "
                                 "name of a one-device run)\n");
        EXPECT_EQ(Db(db).one("PRAGMA user_version"), "3");
        EXPECT_EQ(Db(db).one("SELECT group_concat(DISTINCT device) FROM history"), "default");
        EXPECT_EQ(parse_csv(run_host({"history", db, "--format", "csv", "--device", "default"}).out).size(), 5u);
        const std::vector<long long> after = stored_seconds(db);
        ASSERT_EQ(after.size(), 4u);
        EXPECT_EQ(std::vector<long long>(after.begin(), after.begin() + 3), t);
    });
}

// ---- exports ----

TEST(HistoryExport, CsvAndJsonLinesGiveBackTheStoredNumbers) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    // Hundredths on the DC side, two units, two batteries on the first, one
    // AC channel.
    spit(dir + "/plant.json", R"({"ac": {"channels": [{"a": 220, "b": 218, "c": 219, "f": 50}]},
        "dc": [{"out_v": 53.01, "load_i": 45.67, "battery_i": [3.25, 1.5], "branch_i": [20]},
               {"out_v": 52.99, "load_i": 0.01, "battery_i": [0.5], "branch_i": [1]}]})");
    std::vector<Json::Value> events;
    const HostRun r = simulate(db, {"--rounds", "5", "--plant", dir + "/plant.json"}, &events);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<tzv58_419_Data_t> stored = history_records(events);
    ASSERT_EQ(stored.size(), 5u);

    const HostRun csv = run_host({"history", db, "--format", "csv"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    const auto rows = parse_csv(csv.out);
    ASSERT_EQ(rows.size(), 6u) << csv.out;
    const std::vector<std::string> header{"time",           "address",    "data_id", "dc_v",       "load_i",
                                          "battery1_i",     "battery2_i", "dc2_v",   "dc2_load_i", "dc2_battery1_i",
                                          "dc2_battery2_i", "rc_out_v",   "ac1_a",   "ac1_b",      "ac1_c",
                                          "ac2_a",          "ac2_b",      "ac2_c"};
    EXPECT_EQ(rows[0], header);
    auto f = [](const std::string& s) { return std::strtof(s.c_str(), nullptr); };
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const auto& row = rows[i + 1];
        const tzv58_419_Data_t& rec = stored[i];
        ASSERT_EQ(row.size(), header.size());
        EXPECT_EQ(row[0], shown_time(rec));
        EXPECT_EQ(f(row[3]), rec.dc0.out_v.get());
        EXPECT_EQ(f(row[3]), 53.01f);
        EXPECT_EQ(f(row[4]), 45.67f);
        EXPECT_EQ(f(row[5]), 3.25f);
        EXPECT_EQ(f(row[6]), 1.5f);
        EXPECT_EQ(f(row[7]), 52.99f);
        EXPECT_EQ(f(row[8]), 0.01f);
        EXPECT_EQ(f(row[9]), 0.5f);
        EXPECT_EQ(row[10], "") << "unit 2 has one battery";
        EXPECT_EQ(f(row[11]), rec.rc_out_v.get());
        EXPECT_EQ(f(row[12]), 220.0f);
        EXPECT_EQ(f(row[13]), 218.0f);
        EXPECT_EQ(f(row[14]), 219.0f);
        EXPECT_EQ(row[15], "") << "no second channel";
    }

    // JSON lines: the same numbers.
    const HostRun jsonl = run_host({"history", db, "--format", "jsonl"});
    ASSERT_EQ(jsonl.status, 0) << jsonl.err;
    spit(dir + "/rows.jsonl", jsonl.out);
    const std::vector<Json::Value> objects = read_events(dir + "/rows.jsonl");
    ASSERT_EQ(objects.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        for (size_t c = 3; c < header.size(); ++c) {
            const Json::Value& v = objects[i][header[c]];
            if (rows[i + 1][c].empty())
                EXPECT_TRUE(v.isNull()) << header[c];
            else
                EXPECT_EQ(v.asFloat(), f(rows[i + 1][c])) << header[c];
        }
    }

    // --since takes rows from that time on, --until rows before it.
    const HostRun part = run_host({"history", db, "--format", "csv", "--since", rows[2][0], "--until", rows[4][0]});
    ASSERT_EQ(part.status, 0) << part.err;
    const auto part_rows = parse_csv(part.out);
    ASSERT_EQ(part_rows.size(), 3u) << part.out;
    EXPECT_EQ(part_rows[1][0], rows[2][0]);
    EXPECT_EQ(part_rows[2][0], rows[3][0]);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"history", db, "--since", "2026-13-01"},
          std::vector<std::string>{"history", db, "--until", "yesterday"},
          std::vector<std::string>{"history", db, "--format", "xml"},
          std::vector<std::string>{"history", db, "--plot", dir + "/p.svg", "--alarms"},
          std::vector<std::string>{"history"}}) {
        const HostRun b = run_host(bad);
        EXPECT_EQ(b.status, 2) << bad.back();
        EXPECT_EQ(std::count(b.err.begin(), b.err.end(), '\n'), 1) << b.err;
    }
}

TEST(HistoryExport, PlotIsWellFormedSvgWithOnePointPerRow) {
    const std::string dir = scratch_dir(), db = dir + "/h.db", svg = dir + "/trend.svg";
    const HostRun r = simulate(db, {"--rounds", "7"});
    ASSERT_EQ(r.status, 0) << r.err;
    const HostRun plot = run_host({"history", db, "--plot", svg, "--until", "2099-01-01"});  // --fast: ahead of now
    ASSERT_EQ(plot.status, 0) << plot.err;
    const std::string text = slurp(svg);
    ASSERT_FALSE(text.empty());
    // Well-formed XML (xmllint exits 0 only for a well-formed document).
    const int lint = std::system(("xmllint --noout " + svg + " 2>" + dir + "/lint").c_str());
    ASSERT_TRUE(WIFEXITED(lint));
    if (WEXITSTATUS(lint) == 127) GTEST_SKIP() << "xmllint is not installed (scripts/setup.sh test installs it)";
    EXPECT_EQ(WEXITSTATUS(lint), 0) << slurp(dir + "/lint");
    // One point per row in each series, on the plot's scale.
    for (const char* series : {"dc_v", "load_i"}) {
        const size_t at = text.find(std::string("<polyline class=\"") + series + "\"");
        ASSERT_NE(at, std::string::npos) << series;
        const size_t from = text.find("points=\"", at) + 8, to = text.find('"', from);
        ASSERT_TRUE(from > at + 8 && to != std::string::npos && to < text.find("/>", at)) << series;
        std::istringstream pts(text.substr(from, to - from));
        int n = 0;
        for (std::string p; pts >> p; ++n) {
            const size_t comma = p.find(',');
            EXPECT_TRUE(comma != std::string::npos && p.find_first_not_of("0123456789.,") == std::string::npos &&
                        std::strtod(p.c_str(), nullptr) >= 0 && std::strtod(p.c_str() + comma + 1, nullptr) >= 0)
                << p;
        }
        EXPECT_EQ(n, 7) << series;
    }
    for (const char* label : {"DC voltage (V)", "load current (A)", "local time"})
        EXPECT_NE(text.find(label), std::string::npos) << label;
}

// ---- a writer that dies, a disk that fills, a second writer ----

TEST(HistoryCrash, SigkillKeepsEveryCompletedRoundAndAReadableFile) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    Child writer({"simulate", "--fast", "--history", db, "--events", "/dev/null"});
    ASSERT_TRUE(writer.read_until("== round 5:", 60000)) << writer.out_text << writer.err_text;

    // While it writes: a reader reads, a second writer is refused.
    const HostRun reader = run_host({"history", db, "--format", "csv"});
    EXPECT_EQ(reader.status, 0) << reader.err;
    EXPECT_GE(parse_csv(reader.out).size(), 6u);
    const HostRun second = run_host({"simulate", "--fast", "--rounds", "1", "--history", db});
    EXPECT_EQ(second.status, 2);
    EXPECT_EQ(first_line(second.err),
              "tzv58-host: option --history: " + db + ": another process is writing this history file");

    ASSERT_TRUE(writer.read_until("== round 30:", 60000)) << writer.err_text;
    ASSERT_EQ(kill(writer.pid, SIGKILL), 0);
    EXPECT_EQ(writer.wait(), 128 + SIGKILL);
    writer.read_until("\x01", 2000);  // what it printed before it died
    const long completed = last_round(writer.out_text);
    ASSERT_GE(completed, 30);

    Db h(db);
    EXPECT_EQ(h.one("PRAGMA integrity_check"), "ok");
    const long rows = std::stol(h.one("SELECT count(*) FROM history"));
    EXPECT_GE(rows, completed) << "a completed round was lost";
    EXPECT_LE(rows, completed + 1);
    for (const auto& blob : h.records()) EXPECT_EQ(blob.size(), sizeof(tzv58_419_Data_t));
}

// The file renamed under a running writer (log rotation): noticed before
// the next round, said once; the renamed file holds its rounds (its log
// moved into it), a new file the rest: every round is in one of them.
TEST(HistoryCrash, AFileRenamedUnderTheWriterKeepsEveryRound) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    Child run({"simulate", "--fast", "--history", db, "--events", "/dev/null"});
    ASSERT_TRUE(run.read_until("== round 5:", 60000)) << run.err_text;
    ASSERT_EQ(rename(db.c_str(), (db + ".1").c_str()), 0);
    ASSERT_TRUE(run.read_until("== round 30:", 60000)) << run.err_text;
    ASSERT_EQ(kill(run.pid, SIGTERM), 0);
    EXPECT_EQ(run.wait(), 0);
    run.read_until("\x01", 2000);
    EXPECT_EQ(run.err_text, "tzv58-host: history " + db +
                                ": the file was renamed: its write-ahead log was moved into it, and a new " + db +
                                " takes the rounds from now on\n");
    EXPECT_EQ(file_size(db + ".1-wal"), -1);
    const HostRun old = run_host({"history", db + ".1", "--format", "csv"});
    ASSERT_EQ(old.status, 0) << old.err;
    const long before = line_count(old.out) - 1;
    EXPECT_GE(before, 5);
    EXPECT_EQ(before + std::stol(Db(db).one("SELECT count(*) FROM history")), last_round(run.out_text));
}

// A full disk (here the file-size limit) keeps no round out for good: the
// rounds wait in memory, said in one line, and once space returns they are
// written, said in one more.
TEST(HistoryCrash, AFullDiskIsWaitedOutAndEveryRoundGoesInOnceSpaceReturns) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    Child run({"simulate", "--fast", "--rounds", "80", "--history", db, "--events", "/dev/null"}, 256 * 1024);
    ASSERT_TRUE(run.read_until("== round 40:", 120000)) << run.err_text;
    while (run.err_text.find("rounds wait in memory") == std::string::npos && run.read_until("\x01", 100)) {}
    EXPECT_NE(run.err_text.find("tzv58-host: history " + db + ": "), std::string::npos) << run.err_text;
    EXPECT_NE(run.err_text.find("; rounds wait in memory (1000 at most, then the oldest are dropped) and writing is "
                                "tried again every 5 s"),
              std::string::npos)
        << run.err_text;
    rlimit lim{};
    ASSERT_EQ(prlimit(run.pid, RLIMIT_FSIZE, nullptr, &lim), 0);
    lim.rlim_cur = lim.rlim_max;
    ASSERT_EQ(prlimit(run.pid, RLIMIT_FSIZE, &lim, nullptr), 0);
    ASSERT_TRUE(run.read_until("== round 80:", 120000)) << run.err_text;
    EXPECT_EQ(run.wait(), 0);
    run.read_until("\x01", 2000);
    EXPECT_EQ(line_count(run.err_text), 2) << run.err_text;
    EXPECT_NE(run.err_text.find("writing again: the rounds that waited are in the file"), std::string::npos)
        << run.err_text;
    Db h(db);
    EXPECT_EQ(h.one("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(h.one("SELECT count(*) FROM history"), "80");
}

}  // namespace

#else

TEST(HistoryFile, NeedsSQLite) { GTEST_SKIP() << "this build has no SQLite"; }

#endif

// The on-event runner and its notices: what a program run gets (argument,
// environment, descriptors), what of it the host shows (bounded, with the
// event named), that posting never waits for a program, that the queue is
// bounded, that a run that takes too long is stopped and every run reaped,
// and which programs --on-event refuses.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "tools/common/notify_status.h"
#include "tools/common/output_pump.h"
#include "tools/notify/notifier.h"
#include "tools/notify/runner.h"

namespace {

using namespace tzv58::tool;

constexpr int WAIT_MS = 20000;

// A runner with its report in a file of dir.
struct Rig {
    std::string dir = scratch_dir();
    std::string report = dir + "/report";
    FILE* out = std::fopen(report.c_str(), "w");
    std::unique_ptr<NoticeRunner> runner;

    void start(const std::string& program, RunnerLimits limits = {},
               std::vector<std::string> env = {"PATH=/usr/bin:/bin"}) {
        runner = std::make_unique<NoticeRunner>(program, env, limits, out);
        std::string err;
        ASSERT_TRUE(runner->start(err)) << err;
    }
    std::string finish() {
        runner->finish();
        std::fflush(out);
        return slurp(report);
    }
    ~Rig() {
        runner.reset();
        std::fclose(out);
    }
};

Notice notice(const std::string& label, const std::string& line = "the line") {
    return {label, line, {"TZV58_EVENT=raised", "TZV58_KEY=" + label}};
}

// Set while the run's program has not been reaped: a zombie is still there.
bool process_there(pid_t pid) { return kill(pid, 0) == 0; }

TEST(NotifyRunner, RunsTheProgramWithTheNoticeAndShowsItsStandardError) {
    Rig rig;
    const std::string program =
        script(rig.dir, "record",
               "env | sort > \"$(dirname \"$0\")/env\"\n"
               "printf '%s|%s' \"$#\" \"$1\" > \"$(dirname \"$0\")/args\"\n"
               "ls -l /proc/$$/fd > \"$(dirname \"$0\")/fds\"\n"
               "read -r x && echo \"stdin gave $x\" >&2\n"
               "echo 'to standard output'\n"
               "printf 'first\\nsecond \\033[31mred\\233\\302\\233\\342\\200\\256\\377\\376 告警\\n' >&2\n"
               "exit 3\n");
    rig.start(program, {}, {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"});
    rig.runner->post(notice("raised PowerOff 419415001", "2026-12-07T20:44:56  raised   level 1 critical  x / y"));
    const std::string report = rig.finish();

    EXPECT_EQ(slurp(rig.dir + "/args"), "1|2026-12-07T20:44:56  raised   level 1 critical  x / y");
    const std::string env = slurp(rig.dir + "/env");
    for (const char* v :
         {"PATH=/usr/bin:/bin\n", "LANG=C.UTF-8\n", "TZV58_EVENT=raised\n", "TZV58_KEY=raised PowerOff 419415001\n"})
        EXPECT_NE(env.find(v), std::string::npos) << v << " in\n" << env;
    EXPECT_EQ(env.find("HOME="), std::string::npos) << "only the environment given";
    // Standard input from /dev/null, standard error a pipe, nothing of the
    // host program's descriptors (its report file is open without
    // close-on-exec).
    const std::string fds = slurp(rig.dir + "/fds");
    EXPECT_NE(fds.find(" 0 -> /dev/null"), std::string::npos) << fds;
    EXPECT_NE(fds.find(" 2 -> pipe:"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("report"), std::string::npos) << fds;

    EXPECT_NE(report.find("tzv58-host: on-event raised PowerOff 419415001: first\n"), std::string::npos) << report;
    // Nothing a terminal acts on passes: C0, C1 raw or in UTF-8, a
    // bidirectional control, bytes that are no UTF-8.
    EXPECT_NE(report.find("tzv58-host: on-event raised PowerOff 419415001: second \\x1B[31mred\\x9B\\xC2\\x9B"
                          "\\xE2\\x80\\xAE\\xFF\\xFE 告警\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("tzv58-host: on-event raised PowerOff 419415001: exit status 3 after "), std::string::npos)
        << report;
    EXPECT_EQ(report.find("stdin gave"), std::string::npos) << "standard input is empty: " << report;
    EXPECT_EQ(report.find("to standard output"), std::string::npos) << report;
}

// Past 1000 bytes of standard error the host stops reading: a program that
// writes without end gets SIGPIPE and costs nothing more.
TEST(NotifyRunner, ShowsABoundedPartOfAChattyProgramAndThenStopsReading) {
    Rig rig;
    const std::string program = script(rig.dir, "chatty",
                                       "i=0; while [ $i -lt 200 ]; do echo \"line $i of a chatty program\" >&2; "
                                       "i=$((i+1)); done\n"
                                       "exec yes 'without end' >&2\n");
    RunnerLimits limits;
    limits.stderr_bytes = 1000;
    rig.start(program, limits);
    rig.runner->post(notice("cleared K"));
    const std::string report = rig.finish();
    EXPECT_NE(report.find(": line 0 of a chatty program\n"), std::string::npos) << report;
    EXPECT_EQ(report.find(": line 199 of"), std::string::npos) << report;
    EXPECT_NE(report.find("on-event cleared K: (standard error past 1000 bytes not read)\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("on-event cleared K: ended by SIGPIPE (13) after "), std::string::npos) << report;
    EXPECT_LT(report.size(), 2500u) << report;
}

// What a program leaves running in its process group (a command in the
// background) is killed when it ends; its run, status 0 without a word on
// standard error, is not said.
TEST(NotifyRunner, WhatARunLeavesBehindEndsWithIt) {
    Rig rig;
    const std::string program =
        script(rig.dir, "leaves", "sleep 60 &\necho $! > \"$(dirname \"$0\")/left\"\nexec 2>&-\nexit 0\n");
    rig.start(program);
    rig.runner->post(notice("leaves"));
    const std::string report = rig.finish();
    EXPECT_EQ(report.find("on-event leaves"), std::string::npos) << "a run that ends well and says nothing: " << report;
    const std::string left = slurp(rig.dir + "/left");
    ASSERT_FALSE(left.empty());
    // Gone, or a zombie for whoever took it over: SIGKILL takes a moment.
    const std::string proc = "/proc/" + std::to_string(std::atoi(left.c_str())) + "/stat";
    const auto ended = [&] {
        const std::string stat = slurp(proc);
        const size_t paren = stat.rfind(')');
        return paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0;
    };
    for (int waited = 0; !ended() && waited < WAIT_MS; waited += 20) usleep(20000);
    EXPECT_TRUE(ended()) << "still running: " << slurp(proc);
}

// The first run blocks until the test lets it go: every post returned while
// it ran, the queue held two, the oldest waiting were dropped for the newest,
// counted and said.
TEST(NotifyRunner, PostingNeverWaitsAndAFullQueueDropsItsOldest) {
    Rig rig;
    const std::string program = script(rig.dir, "blocks",
                                       "echo \"$TZV58_KEY\" >> \"$(dirname \"$0\")/ran\"\n"
                                       "n=0; while [ ! -e \"$(dirname \"$0\")/go\" ] && [ $n -lt 400 ]; do "
                                       "sleep 0.05; n=$((n+1)); done\n");
    RunnerLimits limits;
    limits.parallel = 1;
    limits.queued = 2;
    rig.start(program, limits);
    rig.runner->post(notice("n1"));
    ASSERT_TRUE(wait_for_lines(rig.dir + "/ran", "n1", 1, WAIT_MS));
    for (const char* n : {"n2", "n3", "n4", "n5"}) rig.runner->post(notice(n));
    EXPECT_EQ(rig.runner->dropped(), 2);
    EXPECT_EQ(slurp(rig.dir + "/ran"), "n1\n") << "one at a time";
    ASSERT_TRUE(
        wait_for_lines(rig.report, "on-event: queue full (2 events); the oldest waiting are dropped", 1, WAIT_MS));
    spit(rig.dir + "/go", "");
    const std::string report = rig.finish();
    EXPECT_EQ(slurp(rig.dir + "/ran"), "n1\nn4\nn5\n");
    EXPECT_NE(report.find("tzv58-host: on-event: queue full, 2 events dropped in "), std::string::npos) << report;
    EXPECT_GE(drop_counts()["notify"], 2u);
}

// Bursts of 20 events (20 alarms raised at once), one after the other: every
// event runs its program exactly once, however many runs end together (a
// program that sends its standard error elsewhere ends unseen until the
// runner looks).
TEST(NotifyRunner, BurstsOfEventsEachRunExactlyOnce) {
    Rig rig;
    const std::string program =
        script(rig.dir, "log", "exec 2>/dev/null\necho \"$TZV58_KEY\" >> \"$(dirname \"$0\")/ran\"\nsleep 0.1\n");
    rig.start(program);
    std::multiset<std::string> posted;
    for (int burst = 0; burst < 5; ++burst) {
        for (int i = 0; i < 20; ++i) {
            const std::string key = "b" + std::to_string(burst) + "e" + std::to_string(i);
            rig.runner->post(notice(key));
            posted.insert(key);
        }
        ASSERT_TRUE(wait_for_lines(rig.dir + "/ran", "b", int(posted.size()), WAIT_MS))
            << "burst " << burst << ": " << slurp(rig.report);
    }
    rig.finish();
    std::istringstream lines(slurp(rig.dir + "/ran"));
    std::multiset<std::string> ran;
    for (std::string line; std::getline(lines, line);) ran.insert(line);
    EXPECT_EQ(ran, posted);
    EXPECT_EQ(rig.runner->dropped(), 0);
}

// A run past its time limit gets SIGTERM, one that ignores it SIGKILL; both
// are reaped (no zombie is left), and the host says which.
TEST(NotifyRunner, StopsARunThatTakesTooLongAndReapsIt) {
    Rig rig;
    const std::string program = script(rig.dir, "slow",
                                       "[ \"$TZV58_KEY\" = stubborn ] && trap '' TERM\n"
                                       "echo $$ > \"$(dirname \"$0\")/pid.$TZV58_KEY\"\n"
                                       "sleep 60 & wait; sleep 60 & wait\n");
    RunnerLimits limits;
    limits.timeout_ms = 300;
    limits.kill_after_ms = 300;
    rig.start(program, limits);
    rig.runner->post(notice("sleeper"));
    rig.runner->post(notice("stubborn"));
    ASSERT_TRUE(wait_for_lines(rig.report, "stopped with SIGKILL", 1, WAIT_MS)) << slurp(rig.report);
    ASSERT_TRUE(wait_for_lines(rig.report, "stopped with SIGTERM", 1, WAIT_MS)) << slurp(rig.report);
    const std::string report = rig.finish();
    EXPECT_NE(report.find("on-event sleeper: stopped with SIGTERM after "), std::string::npos) << report;
    EXPECT_NE(report.find("(ran into the 0.3 s limit)"), std::string::npos) << report;
    EXPECT_NE(report.find("on-event stubborn: stopped with SIGKILL after "), std::string::npos) << report;
    for (const char* key : {"sleeper", "stubborn"}) {
        const pid_t pid = std::atoi(slurp(rig.dir + "/pid." + key).c_str());
        ASSERT_GT(pid, 0);
        EXPECT_FALSE(process_there(pid)) << key << " was not reaped";
    }
}

// At the end the runner waits a bounded time, then stops what still runs and
// drops what still waits, saying so.
TEST(NotifyRunner, TheEndWaitsABoundedTime) {
    Rig rig;
    const std::string program = script(rig.dir, "sleeps", "echo $$ > \"$(dirname \"$0\")/pid\"\nexec sleep 60\n");
    RunnerLimits limits;
    limits.parallel = 1;
    limits.end_wait_ms = 300;
    rig.start(program, limits);
    rig.runner->post(notice("first"));
    rig.runner->post(notice("second"));
    ASSERT_TRUE(wait_for_lines(rig.dir + "/pid", "", 1, WAIT_MS));
    const unsigned long long at_end = notify_failures().at_end;
    const std::string report = rig.finish();
    EXPECT_EQ(notify_failures().at_end - at_end, 2u) << "one waiting, one running: counted";
    EXPECT_NE(report.find("waiting up to 0.3 s for 1 running, 1 queued\n"), std::string::npos) << report;
    EXPECT_NE(report.find("1 event not notified: the program ends\n"), std::string::npos) << report;
    EXPECT_NE(report.find("on-event first: stopped with SIGTERM after"), std::string::npos) << report;
    EXPECT_NE(report.find("(the program ends)"), std::string::npos) << report;
    EXPECT_FALSE(process_there(std::atoi(slurp(rig.dir + "/pid").c_str())));
}

TEST(NotifyRunner, AProgramThatCannotRunIsReportedAndTheNextStillRuns) {
    Rig rig;
    const std::string program = script(rig.dir, "once", "echo ran >> \"$(dirname \"$0\")/ran\"\n");
    rig.start(program);
    std::remove(program.c_str());
    const unsigned long long cannot_run = notify_failures().cannot_run;
    rig.runner->post(notice("gone"));
    ASSERT_TRUE(wait_for_lines(rig.report, "cannot run", 1, WAIT_MS));
    EXPECT_EQ(notify_failures().cannot_run - cannot_run, 1u);
    script(rig.dir, "once", "echo ran >> \"$(dirname \"$0\")/ran\"\n");
    rig.runner->post(notice("back"));
    const std::string report = rig.finish();
    EXPECT_NE(report.find("tzv58-host: on-event gone: cannot run " + program + ": No such file or directory\n"),
              std::string::npos)
        << report;
    EXPECT_EQ(slurp(rig.dir + "/ran"), "ran\n");
}

// Alarms are notified when they change, not every round they are reported;
// link changes each time.
TEST(Notifier, NotifiesChangesOnly) {
    Rig rig;
    const std::string program =
        script(rig.dir, "record-line", "echo \"$TZV58_EVENT|$1\" >> \"$(dirname \"$0\")/log\"\n");
    RunnerLimits limits;
    limits.parallel = 1;
    rig.start(program, limits);
    const boost::posix_time::ptime t0(boost::gregorian::date(2026, 12, 7), boost::posix_time::hours(20));
    ManualClock clock(t0);
    auto n = std::make_unique<Notifier>(std::move(rig.runner), NoticeSource{"/dev/ttyS1", 1});
    n->set_clock(&clock);
    for (bool active : {false, true, true, true, false, false}) {
        n->on_alarm(1, "PowerOff", "419415001", "输入电源中断告警", "输入电源中断告警", active, 100);
        clock.advance(2);
    }
    n->link_lost("hang-up");
    n->link_restored(63);
    // The notifier owns the runner: its end waits for the runs.
    n.reset();
    std::fflush(rig.out);
    EXPECT_EQ(slurp(rig.dir + "/log"),
              "raised|2026-12-07T20:00:02  raised   level 1 critical  PowerOff 419415001  输入电源中断告警 / "
              "输入电源中断告警\n"
              "cleared|2026-12-07T20:00:08  cleared  level 1 critical  PowerOff 419415001  输入电源中断告警 / "
              "输入电源中断告警\n"
              "link-lost|link lost (hang-up) at 2026-12-07T20:00:12\n"
              "link-restored|link restored after 63 s\n");
}

TEST(Notifier, NoticesCarryTheEventInTheirEnvironment) {
    const NoticeSource from{"/dev/ttyS1", 3};
    const Notice raised = alarm_notice(
        {"2026-12-07T20:44:56", true, 3, "ZID06OZU_RC_1", "419430501", "整流模块故障告警", "模块2模块故障告警状态"},
        from);
    EXPECT_EQ(raised.label, "raised ZID06OZU_RC_1 419430501 (模块2模块故障告警状态)") << "the module named";
    EXPECT_EQ(raised.line,
              "2026-12-07T20:44:56  raised   level 3 minor     ZID06OZU_RC_1 419430501  "
              "整流模块故障告警 / 模块2模块故障告警状态");
    const std::set<std::string> env(raised.env.begin(), raised.env.end());
    EXPECT_EQ(env, (std::set<std::string>{"TZV58_EVENT=raised", "TZV58_TIME=2026-12-07T20:44:56",
                                          "TZV58_PORT=/dev/ttyS1", "TZV58_ADDRESS=3", "TZV58_DEVICE=default",
                                          "TZV58_LEVEL=3", "TZV58_LEVEL_NAME=minor", "TZV58_KEY=ZID06OZU_RC_1",
                                          "TZV58_ID=419430501", "TZV58_TEXT=整流模块故障告警 / 模块2模块故障告警状态",
                                          "TZV58_TEXT1=整流模块故障告警", "TZV58_TEXT2=模块2模块故障告警状态"}));
    // A threshold check's key is its id: named once.
    EXPECT_EQ(alarm_notice({"t", false, 1, "220600120010", "220600120010", "ua1:290", "x"}, from).label,
              "cleared 220600120010 (x)");

    const Notice lost = link_lost_notice("hang-up", "2026-12-07T20:45:00", from);
    EXPECT_EQ(lost.line, "link lost (hang-up) at 2026-12-07T20:45:00");
    EXPECT_NE(std::find(lost.env.begin(), lost.env.end(), "TZV58_EVENT=link-lost"), lost.env.end());
    EXPECT_NE(std::find(lost.env.begin(), lost.env.end(), "TZV58_CAUSE=hang-up"), lost.env.end());
    const Notice back = link_restored_notice(63, "2026-12-07T20:46:03", from);
    EXPECT_EQ(back.line, "link restored after 63 s");
    EXPECT_NE(std::find(back.env.begin(), back.env.end(), "TZV58_DOWN_SECONDS=63"), back.env.end());
}

TEST(Notifier, KeepsOnlyTheUsualVariablesOfTheEnvironment) {
    std::vector<std::string> given = {"PATH=/p", "HOME=/h",        "LANG=C.UTF-8",       "LC_TIME=C",
                                      "TZ=UTC",  "SECRET_TOKEN=x", "TZV58_EVENT=forged", "LD_PRELOAD=/evil.so"};
    std::vector<char*> env;
    for (std::string& v : given) env.push_back(&v[0]);
    env.push_back(nullptr);
    const std::vector<std::string> kept = kept_environment(env.data());
    EXPECT_EQ(std::set<std::string>(kept.begin(), kept.end()),
              (std::set<std::string>{"PATH=/p", "HOME=/h", "LANG=C.UTF-8", "LC_TIME=C", "TZ=UTC"}));
    char* none[] = {nullptr};
    EXPECT_EQ(kept_environment(none), std::vector<std::string>{"PATH=/usr/local/bin:/usr/bin:/bin"});
}

// --on-event refuses, before anything runs, what it could never run.
TEST(Notifier, RefusesAProgramItCannotRun) {
    const std::string dir = scratch_dir();
    const std::string ok = script(dir, "ok", "exit 0\n");
    spit(dir + "/plain", "#!/bin/sh\nexit 0\n");
    spit(dir + "/noshebang", "echo hi\n");
    chmod((dir + "/noshebang").c_str(), 0755);
    auto refusal = [](const std::string& program, const char* path_var = "/usr/bin:/bin") {
        CommandLine cl;
        cl.options["--on-event"] = program;
        NotifyOptions o;
        std::string err;
        setenv("PATH", path_var, 1);
        return notify_options(cl, o, err) ? "accepted " + o.program : err;
    };
    const std::string path = std::getenv("PATH");
    EXPECT_EQ(refusal(ok), "accepted " + ok);
    EXPECT_EQ(refusal("ok", ("/nowhere:" + dir).c_str()), "accepted " + dir + "/ok");
    EXPECT_EQ(refusal(dir + "/missing"), "option --on-event: " + dir + "/missing: No such file or directory");
    EXPECT_EQ(refusal(dir), "option --on-event: " + dir + ": a folder, not a program");
    EXPECT_EQ(refusal(dir + "/plain"), "option --on-event: " + dir + "/plain: not an executable file");
    EXPECT_NE(refusal(dir + "/noshebang").find("neither a script starting with #! nor a compiled program"),
              std::string::npos);
    EXPECT_EQ(refusal("no-such-program-here"), "option --on-event: no-such-program-here: no such program in PATH");
    EXPECT_EQ(refusal(""), "option --on-event needs a PROGRAM");
    setenv("PATH", path.c_str(), 1);

    CommandLine cl;
    cl.options["--on-event"] = ok;
    for (const char* bad : {"0", "50", "30001", "1e3", " 500", "-500", "0x1F4", ""}) {
        setenv("TZV58_ON_EVENT_TIMEOUT_MS", bad, 1);
        NotifyOptions o;
        std::string err;
        EXPECT_FALSE(notify_options(cl, o, err)) << bad;
        EXPECT_NE(err.find("TZV58_ON_EVENT_TIMEOUT_MS"), std::string::npos) << err;
    }
    setenv("TZV58_ON_EVENT_TIMEOUT_MS", "1500", 1);
    NotifyOptions o;
    std::string err;
    EXPECT_TRUE(notify_options(cl, o, err)) << err;
    EXPECT_EQ(o.limits.timeout_ms, 1500);
    unsetenv("TZV58_ON_EVENT_TIMEOUT_MS");
}

}  // namespace

// A poll whose serial line goes away, reached from outside: get and control
// answer at once with what is known (the link, since when, the last values
// marked as such), the metrics stop repeating old numbers, and all is as
// before once the line is back. A power system that stops answering with the
// port open is told as a link state of its own, silent, everywhere.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <chrono>

#include "e2e_live_support.h"

namespace {

// Far below the old waits for a line that is down (10 s and more); an answer
// takes well under a second.
constexpr long long ANSWER_MS = 5000;

struct Timed {
    HostRun run;
    long long ms;
};

Timed timed(const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    HostRun run = run_host(args);
    const auto took = std::chrono::steady_clock::now() - start;
    return {run, std::chrono::duration_cast<std::chrono::milliseconds>(took).count()};
}

bool one_line(const std::string& s) { return !s.empty() && s.find('\n') == s.size() - 1; }

// A plant on a named pseudo-terminal, polled with both doors open.
struct PolledPlant {
    std::string dir = scratch_dir();
    std::string link = dir + "/tty", socket = dir + "/live.sock", events = dir + "/events";
    LiveHost plant{{"plant", "--link", link}};
    std::unique_ptr<LiveHost> poll;
    int port = -1;

    bool start() {
        if (plant.wait_line(0, [](const std::string& l) { return starts(l, "ready "); }).empty()) return false;
        poll = std::make_unique<LiveHost>(std::vector<std::string>{
            "poll", "--port", link, "--data-id", "7", "--listen", socket, "--http", "127.0.0.1:0", "--events", events});
        const std::string ready = poll->wait_line(1, READY);
        if (ready.empty()) return false;
        port = std::atoi(ready.c_str() + ready.find("127.0.0.1:") + 10);
        return published(1);
    }
    bool published(int count) { return wait_for_lines(events, "\"event\":\"publish\"", count, WAIT_MS); }
    std::vector<std::string> get(std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"--socket", socket});
        return args;
    }
};

TEST(LiveLineDown, GetAndControlAnswerAtOnceWithTheLastValuesMarked) {
    PolledPlant p;
    ASSERT_TRUE(p.start()) << p.plant.all(1) << (p.poll ? p.poll->all(1) : "");
    ASSERT_EQ(kill(p.plant.pid(), SIGUSR1), 0);
    ASSERT_FALSE(p.plant.wait_line(0, [](const std::string& l) { return starts(l, "unplugged "); }).empty());
    ASSERT_TRUE(wait_for_lines(p.events, "\"lost\"", 1, WAIT_MS)) << p.poll->all(1);

    // Every value, the last ones, marked; the link and since when.
    const Timed all = timed(p.get({"get"}));
    EXPECT_LT(all.ms, ANSWER_MS);
    EXPECT_EQ(all.run.status, 1) << all.run.err;
    EXPECT_TRUE(contains(all.run.out, "link: down since ")) << all.run.out;
    EXPECT_TRUE(contains(all.run.out, " (hang-up)\n")) << all.run.out;
    EXPECT_TRUE(contains(all.run.out, ": last values, not current\n")) << all.run.out;
    EXPECT_TRUE(contains(all.run.out, "\ndc[0].out_v: 53.5 V\n")) << all.run.out;
    EXPECT_TRUE(contains(all.run.out, "\nalarms: unknown, the data is not current; the last known, from the round of "))
        << all.run.out;
    EXPECT_TRUE(contains(all.run.out, ": none active\nmains: no failure alarm (last known)\n")) << all.run.out;
    EXPECT_TRUE(one_line(all.run.err)) << all.run.err;
    EXPECT_TRUE(contains(all.run.err, "the serial line is down since ")) << all.run.err;
    EXPECT_TRUE(contains(all.run.err, "the values shown are the last ones")) << all.run.err;

    // By id: the device's own answer, marked as the last value.
    const Timed ids = timed(p.get({"get", "out_v"}));
    EXPECT_LT(ids.ms, ANSWER_MS);
    EXPECT_EQ(ids.run.status, 1) << ids.run.err;
    EXPECT_TRUE(contains(ids.run.out, "link: down since ")) << ids.run.out;
    EXPECT_TRUE(contains(ids.run.out, "\nout_v: 53.5 V (last value)\n")) << ids.run.out;
    EXPECT_TRUE(one_line(ids.run.err)) << ids.run.err;

    // A command cannot go out: refused at once, nothing sent.
    const Timed control = timed(p.get({"control", "set-time", "--wait", "5"}));
    EXPECT_LT(control.ms, ANSWER_MS);
    EXPECT_EQ(control.run.status, 1);
    EXPECT_TRUE(one_line(control.run.err)) << control.run.err;
    EXPECT_TRUE(contains(control.run.err, "the serial line is down since ")) << control.run.err;
    EXPECT_TRUE(contains(control.run.err, "nothing sent")) << control.run.err;

    // Metrics: no old voltages beside tzv58_link_up 0.
    const HttpReply down = http_get(p.port, "/metrics");
    ASSERT_EQ(down.status, 200);
    EXPECT_TRUE(contains(down.body, "\ntzv58_link_up 0\n")) << down.body;
    EXPECT_TRUE(contains(down.body, "\ntzv58_last_round_timestamp_seconds ")) << down.body;
    for (const char* gone : {"tzv58_dc_output_voltage_volts", "tzv58_ac_phase_voltage_volts", "tzv58_alarm_active{"})
        EXPECT_FALSE(contains(down.body, gone)) << gone << " while the link is down:\n" << down.body;
    const HttpReply status = http_get(p.port, "/api/status");
    EXPECT_TRUE(contains(status.body, "\"link\":{\"state\":\"down\"")) << status.body;
    EXPECT_TRUE(contains(status.body, "\"cause\":\"hang-up\"")) << status.body;
    EXPECT_TRUE(contains(status.body, "\"current\":false")) << status.body;
    EXPECT_TRUE(contains(status.body, "\"alarms_current\":false")) << status.body;

    // Plugged in again: current values, status 0.
    const int publishes = count_events(events_so_far(p.events), "publish");
    ASSERT_EQ(kill(p.plant.pid(), SIGUSR2), 0);
    ASSERT_TRUE(p.published(publishes + 1)) << p.poll->all(1);
    const HostRun back = run_host(p.get({"get", "out_v"}));
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(back.out, "out_v: 53.5 V\n");
    const HttpReply up = http_get(p.port, "/metrics");
    EXPECT_TRUE(contains(up.body, "\ntzv58_dc_output_voltage_volts{unit=\"1\"} 53.5\n")) << up.body;
    EXPECT_EQ(p.poll->stop(), 0) << p.poll->all(1);
    EXPECT_EQ(p.plant.stop(), 0);
}

// A plant stopped with its pseudo-terminal open (a powered-off controller on
// a cut RS-485 pair) and continued: the link goes silent and answers again,
// said once each on stderr, in the events, to --on-event, in the status
// object, the metrics and the history; get fails with the reason meanwhile.
TEST(LiveLineSilent, ToldEverywhereAndAnsweringAgain) {
    const std::string dir = scratch_dir();
    const std::string link = dir + "/tty", socket = dir + "/live.sock", events = dir + "/events";
    const std::string program = dir + "/on-event", log = dir + "/log";
    spit(program,
         "#!/bin/sh\necho \"$TZV58_EVENT|$TZV58_TEXT|${TZV58_SINCE:-}${TZV58_SILENT_SECONDS:-}\" >> " + log + "\n");
    chmod(program.c_str(), 0755);
    LiveHost plant({"plant", "--link", link});
    ASSERT_FALSE(plant.wait_line(0, [](const std::string& l) { return starts(l, "ready "); }).empty());
    LiveHost poll(with_history({"poll", "--port", link, "--timeout", "200", "--silent-after", "2", "--listen", socket,
                                "--http", "127.0.0.1:0", "--events", events, "--on-event", program},
                               dir + "/h.db"));
    const std::string ready = poll.wait_line(1, READY);
    ASSERT_FALSE(ready.empty()) << poll.all(1);
    const int port = std::atoi(ready.c_str() + ready.find("127.0.0.1:") + 10);
    ASSERT_TRUE(wait_for_lines(events, "\"event\":\"publish\"", 1, WAIT_MS)) << poll.all(1);

    // Stopped: its port stays open. Continued whatever the checks say.
    ASSERT_EQ(kill(plant.pid(), SIGSTOP), 0);
    struct Continue {
        pid_t pid;
        ~Continue() { kill(pid, SIGCONT); }
    } resume{plant.pid()};
    const auto silent_line = [](const std::string& l) {
        return contains(l, ": no answer from the power system at address 1 since ");
    };
    ASSERT_FALSE(poll.wait_line(1, silent_line).empty()) << poll.all(1);
    const HostRun get = run_host({"get", "--socket", socket});
    EXPECT_EQ(get.status, 1);
    EXPECT_TRUE(contains(get.out, "link: silent since ")) << get.out;
    // Every surface in the words of the line on standard error.
    EXPECT_TRUE(contains(get.err, "tzv58-host: no answer from the power system at address 1 since ")) << get.err;
    const HostRun one = run_host({"get", "--socket", socket, "out_v"});
    EXPECT_EQ(one.status, 1);
    EXPECT_TRUE(contains(one.err, "tzv58-host: no answer from the power system at address 1 since ")) << one.err;
    const HttpReply status = http_get(port, "/api/status");
    EXPECT_TRUE(contains(status.body, "\"link\":{\"state\":\"silent\",\"since\":\"")) << status.body;
    const HttpReply silent = http_get(port, "/metrics");
    for (const char* sample : {"\ntzv58_link_up 0\n", "\ntzv58_link_state{state=\"open\"} 0\n",
                               "\ntzv58_link_state{state=\"silent\"} 1\n", "\ntzv58_link_state{state=\"down\"} 0\n"})
        EXPECT_TRUE(contains(silent.body, sample)) << sample << silent.body;

    ASSERT_EQ(kill(plant.pid(), SIGCONT), 0);
    ASSERT_FALSE(poll.wait_line(1, [](const std::string& l) { return contains(l, ": answers again after "); }).empty())
        << poll.all(1);
    const int publishes = count_events(events_so_far(events), "publish");
    ASSERT_TRUE(wait_for_lines(events, "\"event\":\"publish\"", publishes + 1, WAIT_MS)) << poll.all(1);
    EXPECT_EQ(run_host({"get", "--socket", socket, "out_v"}).status, 0);
    EXPECT_TRUE(contains(http_get(port, "/metrics").body, "\ntzv58_link_state{state=\"open\"} 1\n"));
    ASSERT_TRUE(wait_for_lines(log, "link-restored|answers again after ", 1, WAIT_MS)) << slurp(log);
    EXPECT_EQ(poll.stop(), 0) << poll.all(1);

    EXPECT_EQ(poll.count_lines(1, silent_line), 1u) << poll.all(1);
    const std::vector<Json::Value> all = events_so_far(events);
    int said_silent = 0, said_back = 0;
    for (const Json::Value& e : all) {
        said_silent += e["event"] == "link" && e["state"] == "silent" && e["since"].isString();
        said_back += e["event"] == "link" && e["state"] == "open" && e["silent_s"].isInt();
    }
    EXPECT_EQ(said_silent, 1);
    EXPECT_EQ(said_back, 1);
    EXPECT_TRUE(starts(slurp(log), "link-silent|no answer from the power system at address 1 since ")) << slurp(log);
    if (HOST_HAS_HISTORY) {
        const HostRun history = run_host({"history", dir + "/h.db", "--alarms"});
        EXPECT_TRUE(
            contains(history.out, "raised   [level 0] no answer: no answer from the power system at address 1 since"))
            << history.out;
        EXPECT_TRUE(contains(history.out, "cleared  [level 0] no answer: answers again after ")) << history.out;
    }
    EXPECT_EQ(plant.stop(), 0);
}

// Standard error that nobody reads holds up nothing (a FIFO whose reader
// took the ready line and stopped): the on-event program's lines fill it,
// then the power system goes silent. The silence reaches the metrics and
// the failed rounds are counted; what standard error could not take is
// dropped, counted and told there once it is read again.
TEST(LiveLineSilent, AStandardErrorNobodyReadsHoldsUpNoRound) {
    const std::string dir = scratch_dir(), link = dir + "/tty", fifo = dir + "/stderr";
    spit(dir + "/plant.json", R"({"ac": {"channels": [{"a": 0, "b": 0, "c": 0}, {"a": 0, "b": 0, "c": 0}]}})");
    const std::string program = dir + "/on-event";
    spit(program, "#!/bin/sh\nyes x | head -c 4096 >&2\ntouch " + dir + "/spewed\n");  // 2048 lines of stderr
    chmod(program.c_str(), 0755);
    LiveHost plant({"plant", "--link", link, "--plant", dir + "/plant.json"});
    ASSERT_FALSE(plant.wait_line(0, [](const std::string& l) { return starts(l, "ready "); }).empty());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    HostArgv argv({"poll", "--port", link, "--timeout", "200", "--silent-after", "1", "--metrics", "127.0.0.1:0",
                   "--on-event", program});
    setenv("TZV58_OUTPUT_QUEUE_BYTES", "65536", 1);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_WRONLY), 1);
        dup2(open(fifo.c_str(), O_WRONLY), 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    unsetenv("TZV58_OUTPUT_QUEUE_BYTES");
    struct Stop {
        pid_t pid, plant;
        ~Stop() {
            kill(plant, SIGCONT);
            if (pid > 0 && wait_child(pid, 0) < 0) kill(pid, SIGKILL);
        }
    } stop{pid, plant.pid()};
    // Read until the ready line, then not at all.
    std::string err;
    const auto read_err = [&](const std::string& until) {
        const auto started = std::chrono::steady_clock::now();
        while (!contains(err, until) && elapsed_ms(started) < WAIT_MS) {
            pollfd p{reader, POLLIN, 0};
            char buf[4096];
            if (poll(&p, 1, 100) == 1)
                for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;) err.append(buf, size_t(n));
        }
        return contains(err, until);
    };
    ASSERT_TRUE(read_err("127.0.0.1:")) << err;
    const int port = std::atoi(err.c_str() + err.find("127.0.0.1:") + 10);
    const auto metric = [port](const std::string& sample) {
        const std::string body = http_get(port, "/metrics").body;
        const size_t at = body.find("\n" + sample + " ");
        return at == std::string::npos ? -1LL : std::atoll(body.c_str() + at + sample.size() + 2);
    };
    const auto comes = [](const std::function<bool()>& ok) {
        const auto started = std::chrono::steady_clock::now();
        while (!ok() && elapsed_ms(started) < WAIT_MS) usleep(50000);
        return ok();
    };
    struct stat st {};
    ASSERT_TRUE(comes([&] { return stat((dir + "/spewed").c_str(), &st) == 0; }));

    ASSERT_EQ(kill(plant.pid(), SIGSTOP), 0);
    EXPECT_TRUE(comes([&] { return metric("tzv58_link_state{state=\"silent\"}") == 1; }));
    const long long failed = metric("tzv58_rounds_failed_total");
    EXPECT_TRUE(comes([&] { return metric("tzv58_rounds_failed_total") > failed; })) << "the rounds go on";
    const long long dropped = metric("tzv58_output_dropped_total{output=\"stderr\"}");
    EXPECT_GT(dropped, 0);

    // Read again: standard error tells what it missed.
    ASSERT_TRUE(read_err(" lines dropped here in ")) << err.substr(err.size() - std::min<size_t>(err.size(), 500));
    const size_t at = err.rfind("\ntzv58-host: ", err.find(" lines dropped here in ")) + 13;
    EXPECT_GE(std::atoll(err.c_str() + at), dropped) << err.substr(at, 80);
    EXPECT_TRUE(contains(err.substr(at), " s: the reader stalled\n")) << err.substr(at, 80);
    ASSERT_EQ(kill(plant.pid(), SIGCONT), 0);
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_child(pid, WAIT_MS), 1) << "lines were dropped";
    stop.pid = -1;
    close(reader);
    EXPECT_EQ(plant.stop(), 0);
}

}  // namespace

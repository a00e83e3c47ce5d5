// The running program tried as an attacker and as an unlucky operator would,
// on loopback and Unix sockets only: requests that used to end it, clients
// that held its doors or its descriptors, signals that left its socket
// behind. After each attack it still polls, `get` and a scrape succeed.
//
// The cases that wait out a 10 s deadline or ride a replug run in the
// native build only; the sanitizer and emulated builds run the quick ones.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "e2e_live_support.h"

namespace {

const bool SLOW_BUILD = TZV58_SANITIZED || std::string(TZV58_EMULATOR) != "";

#define SKIP_IN_SLOW_BUILDS() \
    if (SLOW_BUILD) GTEST_SKIP() << "waits out a 10 s deadline: native build only"

std::vector<std::string> sock(const Running& r, std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--socket", r.socket});
    return args;
}

// The poll goes on, and both doors serve.
void expect_serving(Running& r) {
    EXPECT_TRUE(r.rounds_go_on()) << r.host->all(1);
    const HostRun got = run_host(sock(r, {"get", "out_v"}));
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, "out_v: 53.5 V\n");
    const HttpReply scrape = http_get(r.port, "/metrics");
    EXPECT_EQ(scrape.status, 200);
    EXPECT_TRUE(contains(scrape.body, "\ntzv58_link_up 1\n")) << scrape.body.substr(0, 200);
}

long resident_kb(pid_t pid) {
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// Raises this process's descriptor limit, for tests that hold many connections.
void allow_descriptors(rlim_t n) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min(std::max(lim.rlim_cur, n), lim.rlim_max);
    setrlimit(RLIMIT_NOFILE, &lim);
}

TEST(Attack, MalformedRequestsAreRefusedAndTheProgramServesOn) {
    Running r({}, "--http");
    ASSERT_TRUE(r.ready) << r.host->all(1);
    for (const std::string& body :
         {std::string(1000, '['), std::string(100000, '['), "{\"code\":" + std::string(500, '[')}) {
        HttpClient c(unix_connect(r.socket));
        const HttpReply reply = c.ask(http_request("POST", "/control", body));
        EXPECT_TRUE(reply.status == 400 || reply.status == 413) << reply.status << " " << reply.body;
    }
    // What the reader would not see: a second command after a NUL, a
    // misspelt member. Refused by name; no command reaches the device.
    const std::pair<std::string, std::string> refused[] = {
        {std::string("{\"code\":999}\0{\"code\":300,\"in\":\"EA070C07132500\"}", 46),
         "malformed request: a NUL byte at byte 13 of the body"},
        {"{\"code\":300,\"in\":\"EA070C07132500\",\"wait_msec\":5000}",
         "malformed request: unknown member \\\"wait_msec\\\" (a control request takes code, in, out_len and wait_ms)"},
    };
    for (const auto& body : refused) {
        HttpClient c(unix_connect(r.socket));
        const HttpReply reply = c.ask(http_request("POST", "/control", body.first));
        EXPECT_EQ(reply.status, 400);
        EXPECT_EQ(reply.body, "{\"error\":\"" + body.second + "\"}\n");
    }
    // An id that is no UTF-8, or holds a control character, is refused; the
    // answer is UTF-8. So is a query where none is read.
    const std::pair<std::string, std::string> ids[] = {
        {"/values/%ff%fe", "malformed id: not UTF-8"},
        {"/values/%00", "malformed id: a control character (0x00)"},
        {"/values?x=1", "/values takes no query, not 'x=1'"},
    };
    for (const auto& [target, says] : ids) {
        HttpClient c(unix_connect(r.socket));
        const HttpReply id = c.ask(http_request("GET", target));
        EXPECT_EQ(id.status, 400) << target;
        EXPECT_EQ(id.body.rfind("{\"error\":\"" + says, 0), 0u) << id.body;
    }
    // A body without a final newline is a whole request all the same.
    HttpClient c(unix_connect(r.socket));
    EXPECT_EQ(c.ask(http_request("POST", "/control", "{\"code\":0}")).status, 200);
    ASSERT_TRUE(r.rounds_go_on());
    EXPECT_EQ(count_events(events_so_far(r.events), "control"), 1) << "only the last request ran";
    EXPECT_EQ(count_events(events_so_far(r.events), "value"), 0);
    expect_serving(r);
    EXPECT_EQ(r.host->stop(), 0);
    struct stat st {};
    EXPECT_NE(stat(r.socket.c_str(), &st), 0) << "the socket file is removed";
}

TEST(Attack, HeadersWithoutEndAreCutOffAtTheLimit) {
    Running r({}, "--http");
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on());
    const long before = resident_kb(r.host->pid());
    for (const int fd : {tcp_connect(r.port), unix_connect(r.socket)}) {
        HttpClient c(fd);
        c.send("GET /metrics HTTP/1.1\r\nHost: x\r\n");
        // Up to 64 MB, until the program answers or closes.
        const std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
        size_t sent = 0;
        for (pollfd p{fd, POLLIN, 0}; sent < (64u << 20) && poll(&p, 1, 0) == 0 && c.send(line);) sent += line.size();
        EXPECT_LT(sent, 8u << 20) << "the program stopped reading long before";
        EXPECT_EQ(c.reply().status, 431);
        EXPECT_TRUE(closed_by_peer(fd));
    }
    const long after = resident_kb(r.host->pid());
    EXPECT_LT(after - before, 16 * 1024) << "resident memory " << before << " -> " << after << " KB";
    expect_serving(r);
}

TEST(Attack, AnotherProgramCannotListenOnTheSamePort) {
    Running first({}, "--http");
    ASSERT_TRUE(first.ready) << first.host->all(1);
    const std::string address = "127.0.0.1:" + std::to_string(first.port);
    const HostRun second = run_host({"simulate", "--fast", "--rounds", "1", "--http", address});
    EXPECT_EQ(second.status, 2);
    EXPECT_EQ(second.err, "tzv58-host: cannot serve HTTP on " + address +
                              ": the address is in use (another program listens there)\n");
    EXPECT_EQ(second.out, "");
    expect_serving(first);
}

TEST(Attack, ASocketOfAnotherUserIsNotTrusted) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to make a socket of another user";
    // A socket squatted in a folder anyone may write to, by someone else.
    const std::string dir = scratch_dir();
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    const std::string path = dir + "/live.sock";
    const int fd = unix_bind(path, true);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    const HostRun got = run_host({"get", "--socket", path, "out_v"});
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.err,
              "tzv58-host: " + path + " belongs to another user (uid 65534), neither you nor root: not trusting it\n");
    EXPECT_EQ(got.out, "");
    // Nor will the program replace it with its own.
    const HostRun squatted = run_host({"simulate", "--fast", "--rounds", "1", "--listen", path});
    EXPECT_EQ(squatted.status, 2);
    EXPECT_TRUE(contains(squatted.err, "is a socket of another user (uid 65534)")) << squatted.err;
    close(fd);
}

TEST(Attack, SigtermEndsTheProgramAtOnceWhateverItsClientsDo) {
    Running r({}, "--http");
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on());
    // Clients in the middle of a request, idle, and one whose request waits.
    std::vector<std::unique_ptr<HttpClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<HttpClient>(i % 2 ? tcp_connect(r.port) : unix_connect(r.socket)));
        if (i % 4 == 0) clients.back()->send("GET /val");
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(r.host->stop(), 0) << r.host->all(1);
    const long long took = elapsed_ms(start);
    EXPECT_LT(took, SLOW_BUILD ? 10000 : 2000) << "ms to end after SIGTERM";
    struct stat st {};
    EXPECT_NE(stat(r.socket.c_str(), &st), 0) << "the socket file is removed";
}

// SIGTERM that comes while the program starts (here pending before it
// runs): it sets up, polls no round and ends as after any SIGTERM, status 0,
// its socket file removed and its files whole.
TEST(Attack, ASigtermWhileStartingEndsTheRunCleanly) {
    const std::string dir = scratch_dir(), socket = dir + "/s", db = dir + "/h.db", events = dir + "/ev";
    HostArgv argv(with_history({"simulate", "--listen", socket, "--events", events, "--metrics", "127.0.0.1:0"}, db));
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_BLOCK, &term, nullptr);
        kill(getpid(), SIGTERM);
        execv(argv[0], argv.data());
        _exit(127);
    }
    EXPECT_EQ(wait_child(pid, WAIT_MS), 0) << slurp(dir + "/err");
    EXPECT_EQ(slurp(dir + "/out").find("== round"), std::string::npos);
    struct stat st {};
    EXPECT_NE(stat(socket.c_str(), &st), 0) << "the socket file is removed";
    if (HOST_HAS_HISTORY) {
        EXPECT_EQ(run_host({"history", db}).status, 0);
    }
    for (const Json::Value& e : read_events(events)) EXPECT_NE(e["event"].asString(), "publish");
}

// Too few descriptors (`ulimit -n`) for a start with services: told before
// anything is opened, one line and status 1 (a service manager starts it
// again), never a hang nor a file blamed. Without services, at each step of
// the start (the outputs, the pseudo-terminal, the history file): one line
// that says so, status 1.
TEST(Attack, TooFewDescriptorsEndTheStartWithOneLine) {
    // The sanitizers' own reports need descriptors of their own.
    if (TZV58_SANITIZED) GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
    const std::string dir = scratch_dir(), err = dir + "/err";
    const std::vector<std::string> plain = with_history({"simulate", "--fast", "--rounds", "2"}, dir + "/h.db");
    std::vector<std::string> served = plain;
    served.insert(served.end(), {"--listen", dir + "/s", "--metrics", "127.0.0.1:0"});
    for (rlim_t n = 8; n <= 24; ++n) {
        SCOPED_TRACE(n);
        HostArgv argv(n % 2 ? plain : served);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open("/dev/null", O_WRONLY), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            for (int fd = 3; fd < 1024; ++fd) close(fd);  // none of the test runner's
            const rlimit lim{n, n};
            setrlimit(RLIMIT_NOFILE, &lim);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const int status = wait_child(pid, WAIT_MS);
        const std::string said = slurp(err);
        if (n % 2 && status == 0) continue;  // enough for a run without services
        EXPECT_EQ(status, 1);
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        if (n % 2 == 0)
            EXPECT_EQ(said.rfind("tzv58-host: too few descriptors for the services: they need ", 0), 0u) << said;
        else
            EXPECT_NE(said.find(": Too many open files\n"), std::string::npos) << said;
    }
}

// SIGHUP reopens the outputs by the rule they were opened with at start: a
// file that another put in the place of one rotated away is left as it was,
// and the lines go on to the old file.
TEST(Attack, HangupReopensTheOutputFilesAndNothingElse) {
    const std::string dir = scratch_dir(), events = dir + "/events", diag = dir + "/diag", socket = dir + "/s";
    LiveHost host({"simulate", "--fast", "--events", events, "--diag", diag, "--listen", socket});
    ASSERT_FALSE(host.wait_line(1, READY).empty()) << host.all(1);
    ASSERT_TRUE(wait_for_lines(events, "\"publish\"", 2, WAIT_MS));
    ASSERT_EQ(rename(events.c_str(), (events + ".1").c_str()), 0);
    ASSERT_EQ(rename(diag.c_str(), (diag + ".1").c_str()), 0);
    spit(diag, "notes of someone else\n");
    ASSERT_EQ(kill(host.pid(), SIGHUP), 0);
    EXPECT_TRUE(wait_for_lines(events, "\"publish\"", 2, WAIT_MS)) << "new events go to a new file";
    const size_t old_diag = slurp(diag + ".1").size();
    bool grew = false;
    for (int waited = 0; waited < WAIT_MS && !grew; waited += 20, usleep(20000))
        grew = slurp(diag + ".1").size() > old_diag;
    EXPECT_TRUE(grew) << "the plug-in's lines go on to the old file";
    EXPECT_EQ(slurp(diag), "notes of someone else\n");
    struct stat st {};
    EXPECT_EQ(stat(socket.c_str(), &st), 0) << "still serving";
    EXPECT_EQ(host.stop(), 0) << "nothing was lost";
    const std::string said = host.all(1);
    EXPECT_EQ(said.find("tzv58-host: ready:"), 0u);
    EXPECT_NE(said.find("\ntzv58-host: option --diag: " + diag + " is there and is not a diagnostics file"),
              std::string::npos)
        << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
}

TEST(Attack, AReaderThatGoesAwayEndsTheProgramCleanly) {
    const std::string dir = scratch_dir(), fifo = dir + "/out", err = dir + "/err", socket = dir + "/s";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = start_host({"simulate", "--fast", "--events", "-", "--listen", socket}, fifo, err);
    const int reader = open(fifo.c_str(), O_RDONLY);  // once the program has it open
    ASSERT_GE(reader, 0);
    std::string got;
    char buf[4096];
    for (ssize_t n; std::count(got.begin(), got.end(), '\n') < 20 && (n = read(reader, buf, sizeof buf)) > 0;)
        got.append(buf, size_t(n));
    ASSERT_GE(std::count(got.begin(), got.end(), '\n'), 20);
    close(reader);  // as `| head -20` does
    EXPECT_EQ(wait_child(pid, WAIT_MS), 0);
    // A test kept from running a while is a reader that stalled first.
    std::string said = slurp(err).substr(slurp(err).find('\n') + 1);
    const std::string stalled = "tzv58-host: events: reader stalled; lines are dropped until it reads again\n";
    if (said.rfind(stalled, 0) == 0) said.erase(0, stalled.size());
    EXPECT_EQ(said, "tzv58-host: the reader of standard output went away (broken pipe); stopping\n");
    struct stat st {};
    EXPECT_NE(stat(socket.c_str(), &st), 0) << "the socket file is removed";
}

// Started with standard output closed (`>&-`): no file the program opens
// takes descriptor 1 by chance, and what it means is said once. A run whose
// only output it was ends at once with status 1; one with other outputs goes
// on and writes them as usual.
TEST(Attack, AClosedStandardOutputIsSaidAndNoFileTakesItsPlace) {
    const std::string dir = scratch_dir(), err = dir + "/err", diag = dir + "/diag", events = dir + "/ev";
    const auto run = [&](const std::vector<std::string>& args) {
        HostArgv argv(args);
        const pid_t pid = fork();
        if (pid == 0) {
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(e, 2);
            close(1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return wait_child(pid, WAIT_MS);
    };
    EXPECT_EQ(run({"simulate", "--fast", "--rounds", "2"}), 1);
    EXPECT_EQ(slurp(err),
              "tzv58-host: standard output is closed, and the round summary is this run's only output (--events "
              "FILE, --history, --listen, --http, --metrics, --on-event or --diag give others)\n");
    EXPECT_EQ(run({"simulate", "--fast", "--rounds", "2", "--diag", diag, "--events", events}), 0);
    EXPECT_EQ(slurp(err), "tzv58-host: standard output is closed: the round summary is not shown; the run goes on\n");
    EXPECT_EQ(slurp(diag).find("== round"), std::string::npos);
    const std::vector<Json::Value> got = read_events(events);
    EXPECT_EQ(count_events(got, "publish"), 2);
}

// The history file meets the file-size limit (as a full disk): the rounds
// wait in memory, /metrics and /api/status say that history is not
// writing and how many rounds wait; once the limit is lifted, the rounds
// go in and both say so. Rounds come faster than the retries here (--fast):
// the oldest that waited are dropped, and every round is in the file or
// counted as dropped.
TEST(Attack, AFileSizeLimitIsAHistoryErrorNotTheEnd) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    Running r({"--history", db}, "--http", {{RLIMIT_FSIZE, 128 * 1024}});
    if (!r.ready && contains(r.host->all(1), "no SQLite")) GTEST_SKIP() << "this build has no SQLite";
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_FALSE(
        r.host->wait_line(1, [](const std::string& l) { return contains(l, "rounds wait in memory"); }).empty())
        << r.host->all(1);
    // The events file meets the same limit: said once, and the poll goes on;
    // the run then ends with status 1, as it did not write all it was asked to.
    EXPECT_FALSE(r.host
                     ->wait_line(1,
                                 [](const std::string& l) {
                                     return l.rfind("tzv58-host: cannot write the --events file ", 0) == 0 &&
                                            contains(l, ": File too large");
                                 })
                     .empty())
        << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on(2));
    const std::string off = http_get(r.port, "/metrics").body;
    EXPECT_TRUE(contains(off, "\ntzv58_history_writing 0\n")) << off;
    EXPECT_FALSE(contains(off, "\ntzv58_history_rounds_waiting 0\n")) << off;
    EXPECT_TRUE(contains(http_get(r.port, "/api/status").body, "\"history\":{\"writing\":false,\"waiting\":"));
    expect_serving(r);

    rlimit lifted{};
    ASSERT_EQ(prlimit(r.host->pid(), RLIMIT_FSIZE, nullptr, &lifted), 0);
    lifted.rlim_cur = lifted.rlim_max;
    ASSERT_EQ(prlimit(r.host->pid(), RLIMIT_FSIZE, &lifted, nullptr), 0);
    ASSERT_FALSE(r.host->wait_line(1, [](const std::string& l) { return contains(l, "writing again"); }).empty())
        << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on(2));
    const std::string on = http_get(r.port, "/metrics").body;
    EXPECT_TRUE(contains(on, "\ntzv58_history_writing 1\n")) << on;
    EXPECT_TRUE(contains(http_get(r.port, "/api/status").body, "\"history\":{\"writing\":true,"));
    EXPECT_EQ(r.host->stop(), 1) << "not killed by SIGXFSZ";
    const size_t at = on.find("\ntzv58_history_rounds_dropped_total ");
    ASSERT_NE(at, std::string::npos) << on;
    const long dropped = std::atol(on.c_str() + at + 36);
    const HostRun rows = run_host({"history", db, "--format", "csv"});
    ASSERT_EQ(rows.status, 0) << rows.err;
    EXPECT_EQ(std::count(rows.out.begin(), rows.out.end(), '\n') - 1 + dropped, long(r.host->count_lines(0, ROUND)))
        << "every round is in the file or counted as dropped";
}

// More trickling clients than either door holds, each connecting again at
// once when cut: a scrape or a get sent whole takes the place of the one
// that has waited longest, so (nearly) every one is answered.
TEST(Attack, TricklingCrowdsShutOutNeitherScrapesNorGets) {
    if (std::string(TZV58_EMULATOR) != "") GTEST_SKIP() << "a crowd under emulation measures the emulator";
    Running r({}, "--http");
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on());
    size_t scrapes = 0, scraped = 0, gets = 0, got = 0;
    {
        TricklingCrowd crowd(r.port, r.socket, HTTP_DOOR + 8, SOCKET_DOOR + 4, 500);
        const auto start = std::chrono::steady_clock::now();
        while (elapsed_ms(start) < 6000) {
            const HttpReply scrape = http_get(r.port, "/metrics");
            ASSERT_NE(scrape.status, 0) << "every scrape is answered";
            ++scrapes;
            scraped += scrape.status == 200 && contains(scrape.body, "\ntzv58_link_up 1\n");
            const HostRun get = run_host(sock(r, {"get", "out_v"}));
            ++gets;
            got += get.status == 0 && get.out == "out_v: 53.5 V\n";
            pollfd none{-1, 0, 0};
            poll(&none, 1, 250);
        }
        EXPECT_GT(crowd.cut(), HTTP_DOOR + SOCKET_DOOR) << "the crowd was cut, and came back";
    }
    EXPECT_GE(scraped * 20, scrapes * 19) << scraped << " of " << scrapes << " scrapes";
    EXPECT_GE(got * 20, gets * 19) << got << " of " << gets << " gets";
    expect_serving(r);
}

// poll against a plant on a named pseudo-terminal, replugged while a crowd of
// idle connections is held: the program, under a tight descriptor limit,
// keeps enough to reopen its port.
TEST(Attack, HeldConnectionsLeaveDescriptorsToReopenThePort) {
    SKIP_IN_SLOW_BUILDS();
    allow_descriptors(4096);
    const std::string dir = scratch_dir(), link = dir + "/tty", socket = dir + "/s", events = dir + "/events";
    LiveHost plant({"plant", "--link", link});
    ASSERT_FALSE(plant.wait_line(0, [](const std::string& l) { return starts(l, "ready "); }).empty()) << plant.all(1);
    LiveHost poll({"poll", "--port", link, "--listen", socket, "--http", "127.0.0.1:0", "--events", events},
                  {{RLIMIT_NOFILE, 256}});
    const std::string ready = poll.wait_line(1, READY);
    ASSERT_FALSE(ready.empty()) << poll.all(1);
    const int port = std::atoi(ready.c_str() + ready.find("127.0.0.1:") + 10);
    ASSERT_TRUE(wait_for_lines(events, "\"publish\"", 1, WAIT_MS));

    std::vector<int> held;
    for (int i = 0; i < 600; ++i) held.push_back(i % 3 ? tcp_connect(port) : unix_connect(socket));
    ASSERT_EQ(kill(plant.pid(), SIGUSR1), 0);
    ASSERT_FALSE(plant.wait_line(0, [](const std::string& l) { return starts(l, "unplugged "); }).empty());
    ASSERT_TRUE(wait_for_lines(events, "\"lost\"", 1, WAIT_MS)) << poll.all(1);
    for (int i = 0; i < 300; ++i) held.push_back(i % 3 ? tcp_connect(port) : unix_connect(socket));
    ASSERT_EQ(kill(plant.pid(), SIGUSR2), 0);
    const int publishes = count_events(events_so_far(events), "publish");
    EXPECT_TRUE(wait_for_lines(events, "\"publish\"", publishes + 1, WAIT_MS)) << "polling again: " << poll.all(1);
    EXPECT_FALSE(contains(poll.all(1), "Too many open files")) << poll.all(1);
    const HostRun got = run_host({"get", "--socket", socket, "out_v"});
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(http_get(port, "/metrics").status, 200);
    for (int fd : held)
        if (fd >= 0) close(fd);
    EXPECT_EQ(poll.stop(), 0);
    EXPECT_EQ(plant.stop(), 0);
}

}  // namespace

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

TEST(Attack, ADeeplyNestedRequestIsRefusedAndTheProgramServesOn) {
    Running r({}, "--http");
    ASSERT_TRUE(r.ready) << r.host->all(1);
    for (const std::string& body :
         {std::string(1000, '['), std::string(100000, '['), "{\"code\":" + std::string(500, '[')}) {
        HttpClient c(unix_connect(r.socket));
        const HttpReply reply = c.ask(http_request("POST", "/control", body));
        EXPECT_TRUE(reply.status == 400 || reply.status == 413) << reply.status << " " << reply.body;
    }
    // A body without a final newline is a whole request all the same.
    HttpClient c(unix_connect(r.socket));
    EXPECT_EQ(c.ask(http_request("POST", "/control", "{\"code\":0}")).status, 200);
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

TEST(Attack, HangupReopensTheOutputFilesAndNothingElse) {
    const std::string dir = scratch_dir(), events = dir + "/events", diag = dir + "/diag", socket = dir + "/s";
    LiveHost host({"simulate", "--fast", "--events", events, "--diag", diag, "--listen", socket});
    ASSERT_FALSE(host.wait_line(1, READY).empty()) << host.all(1);
    ASSERT_TRUE(wait_for_lines(events, "\"publish\"", 2, WAIT_MS));
    ASSERT_EQ(rename(events.c_str(), (events + ".1").c_str()), 0);
    ASSERT_EQ(rename(diag.c_str(), (diag + ".1").c_str()), 0);
    ASSERT_EQ(kill(host.pid(), SIGHUP), 0);
    EXPECT_TRUE(wait_for_lines(events, "\"publish\"", 2, WAIT_MS)) << "new events go to a new file";
    EXPECT_TRUE(wait_for_lines(diag, "", 1, WAIT_MS)) << "and the plug-in's lines";
    struct stat st {};
    EXPECT_EQ(stat(socket.c_str(), &st), 0) << "still serving";
    EXPECT_EQ(host.stop(), 0);
    const std::string said = host.all(1);
    EXPECT_EQ(said.find("tzv58-host: ready:"), 0u);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
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

TEST(Attack, AFileSizeLimitIsAHistoryErrorNotTheEnd) {
    const std::string dir = scratch_dir(), db = dir + "/h.db";
    Running r({"--rounds", "400", "--history", db}, "--http", {{RLIMIT_FSIZE, 128 * 1024}});
    if (!r.ready && contains(r.host->all(1), "no SQLite")) GTEST_SKIP() << "this build has no SQLite";
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_FALSE(r.host->wait_line(1, [](const std::string& l) { return contains(l, "without history"); }).empty())
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
    expect_serving(r);
    EXPECT_EQ(r.host->stop(), 1) << "not killed by SIGXFSZ";
}

TEST(Attack, DribblingClientsAreClosedAtTheDeadlineAndStarveNobody) {
    SKIP_IN_SLOW_BUILDS();
    Running r({}, "--http");
    ASSERT_TRUE(r.ready) << r.host->all(1);
    // 4 scrapers sending a header byte a second, 16 socket clients one every
    // few seconds: every slot of the socket, a few of the port.
    std::vector<int> tcp, unix;
    for (int i = 0; i < 4; ++i) tcp.push_back(tcp_connect(r.port));
    for (int i = 0; i < 16; ++i) unix.push_back(unix_connect(r.socket));
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    std::thread dribble([&] {
        const std::string head = "GET /metrics HTTP/1.1\r\nX-Slow: " + std::string(100, 'z');
        for (size_t i = 0; !done && i < head.size(); ++i) {
            for (int fd : tcp) send_text(fd, head.substr(i, 1));
            if (i % 4 == 0)
                for (int fd : unix) send_text(fd, head.substr(i / 4, 1));
            pollfd none{-1, 0, 0};
            poll(&none, 1, 1000);
        }
    });
    // Scrapes go on meanwhile; the socket's slots are all taken, so a get is
    // refused at once with a reason, not left waiting.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(http_get(r.port, "/metrics").status, 200);
    const HostRun refused = run_host(sock(r, {"get", "out_v"}));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "tzv58-host: too many connections (16 at once); try again\n");
    // The deadline closes them all, bytes or no bytes.
    for (int fd : tcp) EXPECT_TRUE(closed_by_peer(fd, 15000));
    for (int fd : unix) EXPECT_TRUE(closed_by_peer(fd, 15000));
    const long long took = elapsed_ms(start);
    EXPECT_GE(took, 9000);
    EXPECT_LT(took, 15000);
    done = true;
    dribble.join();
    for (int fd : tcp) close(fd);
    for (int fd : unix) close(fd);
    expect_serving(r);
    EXPECT_FALSE(contains(r.host->all(0), "no complete reading"));
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

// A running simulate reached from outside: get and control through its live
// socket, metrics over HTTP, and clients that misbehave. The host program
// runs in the background; the test waits for its lines, never for a time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "e2e_support.h"
#include "host/frame.h"

namespace {

constexpr int WAIT_MS = 20000;  // bound of every wait; qemu and sanitizers are slow

using LineTest = std::function<bool(const std::string&)>;

// The host program in the background, its standard output and error read
// line by line on threads of their own, so that it never blocks on them.
class LiveHost {
public:
    explicit LiveHost(const std::vector<std::string>& args) {
        HostArgv argv(args);
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        readers_[0] = std::thread([this, fd = out[0]] { read_lines(fd, 0); });
        readers_[1] = std::thread([this, fd = err[0]] { read_lines(fd, 1); });
    }
    ~LiveHost() { stop(); }

    // The first line of standard output (0) or error (1) that matches, or ""
    // when none came within WAIT_MS.
    std::string wait_line(int stream, const LineTest& re, size_t nth = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::string found;
        cv_.wait_for(lock, std::chrono::milliseconds(WAIT_MS), [&] {
            size_t seen = 0;
            for (const std::string& l : lines_[stream])
                if (re(l) && ++seen == nth) {
                    found = l;
                    return true;
                }
            return closed_[stream];
        });
        return found;
    }
    size_t count_lines(int stream, const LineTest& re) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const std::string& l : lines_[stream]) n += re(l);
        return n;
    }
    std::string all(int stream) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string s;
        for (const std::string& l : lines_[stream]) s += l + "\n";
        return s;
    }

    // SIGTERM by pid; the program ends when both its outputs close. After
    // WAIT_MS it is killed. Returns its exit status (128 + signal if killed).
    int stop() {
        if (pid_ <= 0) return status_;
        kill(pid_, SIGTERM);
        bool ended;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ended = cv_.wait_for(lock, std::chrono::milliseconds(WAIT_MS), [&] { return closed_[0] && closed_[1]; });
        }
        if (!ended) kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        for (std::thread& t : readers_) t.join();
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }

private:
    void read_lines(int fd, int stream) {
        std::string partial;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(mutex_);
            partial.append(buf, size_t(n));
            for (size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1))
                lines_[stream].push_back(partial.substr(0, nl));
            cv_.notify_all();
        }
        close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!partial.empty()) lines_[stream].push_back(partial);
        closed_[stream] = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    int status_ = -1;
    std::thread readers_[2];
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_[2];
    bool closed_[2] = {false, false};
};

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// The events a running host has written so far: whole lines only, the one
// it may be writing is left for later.
std::vector<Json::Value> events_so_far(const std::string& path) {
    std::string text = slurp(path);
    text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    const std::string whole = path + ".whole";
    spit(whole, text);
    return read_events(whole);
}

bool starts(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

const LineTest READY = [](const std::string& l) { return starts(l, "tzv58-host: ready:"); };
// A round summary with a reading ("== round 3: 2026-..."), not a failed round.
const LineTest ROUND = [](const std::string& l) {
    const size_t colon = l.find(": ");
    return starts(l, "== round ") && colon != std::string::npos && colon + 2 < l.size() &&
           std::isdigit(static_cast<unsigned char>(l[colon + 2]));
};

// ---- raw clients, for what the real ones never send ----

int unix_connect(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), std::min(path.size(), sizeof addr.sun_path - 1));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int tcp_connect(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_text(int fd, const std::string& s) {
    return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size());
}

// What the peer sends until it closes, or until a first line when `line`;
// at most WAIT_MS.
std::string receive(int fd, bool line) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    for (;;) {
        if (line && got.find('\n') != std::string::npos) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0) break;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

// True when the peer has closed the connection (within WAIT_MS).
bool closed_by_peer(int fd) {
    receive(fd, false);
    char b;
    return recv(fd, &b, 1, MSG_DONTWAIT) == 0;
}

struct HttpReply {
    int status = 0;
    std::string body;
};

HttpReply http(int port, const std::string& request_line) {
    HttpReply r;
    const int fd = tcp_connect(port);
    if (fd < 0) return r;
    send_text(fd, request_line + "\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    const std::string all = receive(fd, false);
    close(fd);
    std::sscanf(all.c_str(), "HTTP/1.%*d %d", &r.status);
    const size_t body = all.find("\r\n\r\n");
    if (body != std::string::npos) r.body = all.substr(body + 4);
    return r;
}


// The wire frame the host builds for a command (without CR).
std::string frame_of(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info) {
    char buf[256];
    const size_t n = tzv58::build_frame(buf, sizeof buf, 0x20, 0x01, cid1, cid2, info.data(), int(info.size()));
    return std::string(buf, n ? n - 1 : 0);
}

// Every name `tzv58-host record` prints, nested as get prints them.
void record_names(const Json::Value& v, const std::string& path, std::set<std::string>& out) {
    if (v.isObject()) {
        for (const std::string& k : v.getMemberNames()) record_names(v[k], path.empty() ? k : path + "." + k, out);
    } else if (v.isArray() && !v.empty() && v[0].isObject()) {
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) record_names(v[i], path + "[" + std::to_string(i) + "]", out);
    } else {
        out.insert(path);
    }
}

// A simulate with a live socket and metrics on a free port. A build
// without the HTTP library says so; the socket is then tested alone.
struct Running {
    std::string dir, socket, events;
    int port = -1;
    bool ready = false, metrics_built = true;
    std::unique_ptr<LiveHost> host;

    Running() {
        dir = scratch_dir();
        socket = dir + "/live.sock";
        events = dir + "/events";
        std::vector<std::string> args{"simulate", "--fast",  "--data-id", "7",         "--events", events, "--summary",
                                      "--listen", socket, "--metrics", "127.0.0.1:0"};
        host = std::make_unique<LiveHost>(args);
        std::string line = host->wait_line(1, READY);
        if (line.empty() && contains(host->all(1), "this build has no HTTP library")) {
            metrics_built = false;
            host->stop();
            args.resize(args.size() - 2);
            host = std::make_unique<LiveHost>(args);
            line = host->wait_line(1, READY);
        }
        ready = !line.empty();
        const std::string url = "http://127.0.0.1:";
        const size_t at = line.find(url);
        if (at != std::string::npos) port = std::atoi(line.c_str() + at + url.size());
    }
    // Waits for the round summary that follows `rounds` more rounds.
    bool rounds_go_on(size_t rounds = 1) {
        return !host->wait_line(0, ROUND, host->count_lines(0, ROUND) + rounds).empty();
    }
};

std::vector<std::string> sock(const Running& r, std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--socket", r.socket});
    return args;
}

TEST(LiveSimulate, GetControlAndMetricsOnARunningPoll) {
    Running r;
    ASSERT_TRUE(r.ready) << r.host->all(1);
    struct stat st {};
    ASSERT_EQ(stat(r.socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(r.rounds_go_on()) << r.host->all(1);

    // Every value of the last record, with the names `record` prints.
    const HostRun values = run_host(sock(r, {"get"}));
    ASSERT_EQ(values.status, 0) << values.err;
    EXPECT_TRUE(contains(values.out, "link: open")) << values.out;
    EXPECT_TRUE(contains(values.out, "\nage: ")) << values.out;
    EXPECT_TRUE(contains(values.out, "\ndc[0].out_v: 53.5\n")) << values.out;
    EXPECT_TRUE(contains(values.out, "\nchannel[1].b: 230\n")) << values.out;
    EXPECT_TRUE(contains(values.out, "\ndata_id: 7\n")) << values.out;
    std::string publish;
    for (const Json::Value& e : events_so_far(r.events))
        if (e["event"] == "publish") publish = e["record"].asString();
    ASSERT_FALSE(publish.empty());
    spit(r.dir + "/record.hex", publish);
    const HostRun dump = run_host({"record", r.dir + "/record.hex"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    Json::Value record;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(dump.out.data(), dump.out.data() + dump.out.size(), &record, nullptr));
    std::set<std::string> names;
    record_names(record, "", names);
    EXPECT_GT(names.size(), 300u);
    for (const std::string& name : names) EXPECT_TRUE(contains(values.out, "\n" + name + ": ")) << name;

    // By id, through the device's own query.
    const HostRun ids = run_host(sock(r, {"get", "out_v", "ac"}));
    EXPECT_EQ(ids.status, 0) << ids.err;
    EXPECT_EQ(ids.out, "out_v: 53.5\nac: 0\n");
    const HostRun unknown = run_host(sock(r, {"get", "out_v", "Out_V"}));
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "out_v: 53.5\nOut_V: 不支持变量 (unsupported variable: this device serves out_v and ac)\n");

    // Remote control: the frame the design gives goes out and the power
    // system replies; between this model's rounds the device takes that
    // reply for an AC reply, so its result stays -1 and the wait fails.
    const HostRun remote = run_host(sock(r, {"control", "remote", "419500201001", "--wait", "5"}));
    const std::string remote_frame = frame_of(0x41, 0x45, {0xE5, 0x01});
    EXPECT_TRUE(contains(remote.out, "control 320: result 0\n")) << remote.out;
    EXPECT_TRUE(contains(remote.out, "sent: " + remote_frame + "\nreply: answered\n")) << remote.out;
    EXPECT_TRUE(contains(remote.out, "answered: no (result -1")) << remote.out;
    EXPECT_EQ(remote.status, 1);

    // Set time and set parameter are answered.
    const HostRun time = run_host(sock(r, {"control", "set-time", "2026-12-07T19:37:00", "--wait", "5"}));
    EXPECT_EQ(time.status, 0) << time.out << time.err;
    EXPECT_TRUE(contains(time.out, "out: 01000000\n")) << time.out;
    EXPECT_TRUE(contains(time.out, "sent: " + frame_of(0x41, 0x4E, {0xEA, 0x07, 0x0C, 0x07, 0x13, 0x25, 0x00})))
        << time.out;
    EXPECT_TRUE(contains(time.out, "answered: yes")) << time.out;
    const HostRun param = run_host(sock(r, {"control", "set-param", "006201", "53.5", "--wait", "5"}));
    EXPECT_EQ(param.status, 0) << param.out << param.err;
    EXPECT_TRUE(contains(param.out, "sent: " + frame_of(0x42, 0x48, {0xDC, 0x00, 0x00, 0x56, 0x42}))) << param.out;
    // A code with its own bytes; the query reads the last command's result.
    const HostRun query = run_host(sock(r, {"control", "7", "--hex", "00", "--out", "4"}));
    EXPECT_EQ(query.status, 0);
    EXPECT_EQ(query.out, "control 7: result 0\nout: 01000000\nsent: nothing\n");

    // Every frame on the line went through the events, in this order, and
    // no control frame went out while a poll reply was awaited.
    std::vector<std::string> controls;
    bool awaiting = false;
    for (const Json::Value& e : events_so_far(r.events)) {
        const std::string cmd = e["cid1"].asString() + e["cid2"].asString();
        if (e["event"] == "send" && (cmd == "4145" || cmd == "414E" || cmd == "4248")) {
            EXPECT_FALSE(awaiting) << "control frame " << e["frame"].asString() << " cut into a poll exchange";
            controls.push_back(e["frame"].asString());
        }
        if (e["event"] == "send") awaiting = true;
        if (e["event"] == "payload" || e["event"] == "error") awaiting = false;
    }
    ASSERT_EQ(controls.size(), 3u);
    EXPECT_EQ(controls[0], remote_frame);

    // Metrics, checked by promtool.
    if (!r.metrics_built) GTEST_SKIP() << "built without cpp-httplib: no metrics";
    ASSERT_GT(r.port, 0) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on());
    const HttpReply m = http(r.port, "GET /metrics HTTP/1.1");
    ASSERT_EQ(m.status, 200);
    EXPECT_TRUE(contains(m.body, "\ntzv58_dc_output_voltage_volts{unit=\"1\"} 53.5\n")) << m.body;
    EXPECT_TRUE(contains(m.body, "\ntzv58_ac_phase_voltage_volts{channel=\"2\",phase=\"c\"} 228\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_ac_frequency_hertz{channel=\"1\"} 50\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_rectifier_output_current_amperes{module=\"4\"} 13\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_dc_battery_current_amperes{unit=\"1\",battery=\"1\"} 3\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_dc_branch_current_amperes{unit=\"1\",branch=\"2\"} 25\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_alarm_active{key=\"PowerOff\",id=\"419415001\",level=\"1\",item=\"1\""));
    EXPECT_TRUE(contains(m.body, "\ntzv58_link_up 1\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_rounds_failed_total 0\n"));
    EXPECT_TRUE(contains(m.body, "\n# TYPE tzv58_rounds_completed_total counter\n"));
    EXPECT_TRUE(contains(m.body, "\ntzv58_last_complete_round_age_seconds "));
    spit(r.dir + "/scrape", m.body);
    const int promtool = std::system(("promtool check metrics < " + r.dir + "/scrape > " + r.dir + "/promtool 2>&1").c_str());
    EXPECT_EQ(promtool, 0) << slurp(r.dir + "/promtool");
    EXPECT_EQ(http(r.port, "GET /other HTTP/1.1").status, 404);

    EXPECT_EQ(r.host->stop(), 0) << r.host->all(1);
    EXPECT_NE(stat(r.socket.c_str(), &st), 0) << "the socket file is removed on exit";
}

TEST(LiveSimulate, BadClientsNeitherStopThePollNorLoseARound) {
    Running r;
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on());

    // Malformed and oversized requests: one error line, then the host hangs up.
    for (const std::string& bad : std::vector<std::string>{"not json\n", "[1,2]\n", "{\"op\":\"get\",\"ids\":[]}\n",
                                  "{\"op\":\"control\",\"code\":\"320\"}\n", "{\"op\":\"control\",\"code\":1,\"in\":\"0\"}\n",
                                  "{\"op\":\"reboot\"}\n", std::string(5000, 'x'),
                                  "{\"op\":\"values\"" + std::string(5000, ' ') + "}\n"}) {
        const int fd = unix_connect(r.socket);
        ASSERT_GE(fd, 0);
        send_text(fd, bad);
        const std::string reply = receive(fd, true);
        EXPECT_TRUE(contains(reply, "{\"error\":")) << bad.substr(0, 40) << ": " << reply;
        EXPECT_TRUE(closed_by_peer(fd)) << bad.substr(0, 40);
        close(fd);
    }

    // Clients that go away halfway: in the middle of a request, and with a
    // request queued for the device.
    for (const std::string& half : std::vector<std::string>{"{\"op\":\"get\",\"ids\":[\"out", "{\"op\":\"get\",\"ids\":[\"out_v\"]}\n",
                                   "{\"op\":\"control\",\"code\":310,\"in\":\"7B7D\"}\n"}) {
        const int fd = unix_connect(r.socket);
        ASSERT_GE(fd, 0);
        send_text(fd, half);
        close(fd);
    }

    // A client that sends many requests at once, reading nothing until the
    // end, gets every reply in turn.
    {
        const int fd = unix_connect(r.socket);
        ASSERT_GE(fd, 0);
        std::string many;
        for (int i = 0; i < 40; ++i) many += i % 2 ? "{\"op\":\"values\"}\n" : "{\"op\":\"get\",\"ids\":[\"ac\"]}\n";
        ASSERT_TRUE(send_text(fd, many));
        std::string replies;
        while (std::count(replies.begin(), replies.end(), '\n') < 40) {
            const std::string more = receive(fd, true);
            if (more.empty()) break;
            replies += more;
        }
        EXPECT_EQ(std::count(replies.begin(), replies.end(), '\n'), 40);
        EXPECT_EQ(replies.substr(0, replies.find('\n')), "{\"values\":[{\"id\":\"ac\",\"value\":0}]}");
        close(fd);
    }

    // (The host lets go of those clients once their requests have run.)
    ASSERT_TRUE(r.rounds_go_on(2));

    // Many clients at once, each asking the device; then one client more
    // than the host serves at a time is turned away, and served once the
    // others are gone.
    std::vector<int> fds;
    for (int i = 0; i < 16; ++i) {
        fds.push_back(unix_connect(r.socket));
        ASSERT_GE(fds.back(), 0);
    }
    for (int fd : fds) send_text(fd, "{\"op\":\"get\",\"ids\":[\"out_v\",\"ac\"]}\n");
    for (int fd : fds)
        EXPECT_EQ(receive(fd, true), "{\"values\":[{\"id\":\"out_v\",\"value\":53.5},{\"id\":\"ac\",\"value\":0}]}\n");
    const int extra = unix_connect(r.socket);
    EXPECT_TRUE(contains(receive(extra, true), "too many clients"));
    close(extra);
    for (int fd : fds) close(fd);
    fds.clear();

    ASSERT_TRUE(r.rounds_go_on());
    EXPECT_FALSE(contains(r.host->all(0), "no complete reading")) << "no round lost to socket clients";

    // HTTP: other paths and methods, and clients that stall or never finish
    // their request: they hold the server's workers, not the poll.
    if (!r.metrics_built) GTEST_SKIP() << "built without cpp-httplib: no metrics";
    ASSERT_GT(r.port, 0) << r.host->all(1);
    EXPECT_EQ(http(r.port, "GET /metrics/../x HTTP/1.1").status, 404);
    EXPECT_EQ(http(r.port, "GET / HTTP/1.1").status, 404);
    EXPECT_NE(http(r.port, "DELETE /metrics HTTP/1.1").status, 200);
    for (int i = 0; i < 8; ++i) {
        fds.push_back(tcp_connect(r.port));
        ASSERT_GE(fds.back(), 0);
        send_text(fds.back(), i % 2 ? "GET /metr" : "");
    }
    ASSERT_TRUE(r.rounds_go_on(3)) << "rounds go on while HTTP clients are stuck";
    const HostRun during = run_host(sock(r, {"get", "out_v"}));
    EXPECT_EQ(during.status, 0) << during.err;
    for (int fd : fds) close(fd);

    // Nothing above lost a round.
    ASSERT_TRUE(r.rounds_go_on());
    const HttpReply m = http(r.port, "GET /metrics HTTP/1.1");
    ASSERT_EQ(m.status, 200);
    EXPECT_TRUE(contains(m.body, "\ntzv58_rounds_failed_total 0\n")) << m.body;
    EXPECT_FALSE(contains(r.host->all(0), "no complete reading"));
    EXPECT_EQ(count_events(events_so_far(r.events), "error"), 0);
    const HostRun after = run_host(sock(r, {"get", "ac"}));
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(r.host->stop(), 0) << r.host->all(1);
}

TEST(LiveSimulate, SocketFileStaleReplacedLiveOrForeignRefused) {
    const std::string dir = scratch_dir();
    const std::string path = dir + "/live.sock";
    {
        // A socket file whose listener is gone.
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.data(), path.size());
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        close(fd);
    }
    LiveHost first({"simulate", "--fast", "--listen", path, "--events", dir + "/events"});
    ASSERT_FALSE(first.wait_line(1, READY).empty()) << first.all(1);

    const HostRun second = run_host({"simulate", "--fast", "--listen", path, "--events", dir + "/events2"});
    EXPECT_EQ(second.status, 2);
    EXPECT_TRUE(contains(second.err, "another process is listening there")) << second.err;
    EXPECT_EQ(first.stop(), 0);
    struct stat st {};
    EXPECT_NE(stat(path.c_str(), &st), 0);

    spit(path, "not a socket");
    const HostRun foreign = run_host({"simulate", "--fast", "--listen", path, "--events", dir + "/events3"});
    EXPECT_EQ(foreign.status, 2);
    EXPECT_TRUE(contains(foreign.err, "is not a socket")) << foreign.err;
    EXPECT_EQ(slurp(path), "not a socket");
}

void expect_status(const std::vector<std::string>& args, int status, const std::string& says) {
    const HostRun r = run_host(args);
    EXPECT_EQ(r.status, status) << args[0] << " " << (args.size() > 3 ? args[3] : "") << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line on stderr: " << r.err;
    EXPECT_TRUE(contains(r.err, says)) << r.err;
}

TEST(LiveCli, HelpAndMistakesGiveOneLineAndStatusTwo) {
    for (const char* cmd : {"get", "control"}) {
        const HostRun help = run_host({cmd, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.find(std::string("usage: tzv58-host ") + cmd + " --socket PATH"), 0u) << help.out;
    }
    const std::string s = scratch_dir() + "/none.sock";
    expect_status({"get"}, 2, "--socket");
    expect_status({"control", "--socket", s}, 2, "control needs CODE");
    expect_status({"control", "--socket", s, "set-time", "2026-02-30T00:00:00"}, 2, "YYYY-MM-DDTHH:MM:SS");
    expect_status({"control", "--socket", s, "set-time", "2026-12-07 19:37:00"}, 2, "YYYY-MM-DDTHH:MM:SS");
    expect_status({"control", "--socket", s, "set-param", "006201", "53.5V"}, 2, "number");
    expect_status({"control", "--socket", s, "set-param", "006201"}, 2, "SIGNAL_ID VALUE");
    expect_status({"control", "--socket", s, "remote"}, 2, "one ID");
    expect_status({"control", "--socket", s, "3x0"}, 2, "32-bit integer");
    expect_status({"control", "--socket", s, "99999999999"}, 2, "32-bit integer");
    expect_status({"control", "--socket", s, "300", "--text", "a", "--hex", "00"}, 2, "not both");
    expect_status({"control", "--socket", s, "300", "--hex", "0"}, 2, "hex");
    expect_status({"control", "--socket", s, "remote", "419500201001", "--text", "x"}, 2, "go with a CODE");
    expect_status({"control", "--socket", s, "300", "--wait", "0"}, 2, "--wait");
    expect_status({"simulate", "--metrics", "127.0.0.1:65536"}, 2, "[HOST:]PORT");
    expect_status({"simulate", "--metrics", "localhost:"}, 2, "[HOST:]PORT");
    expect_status({"simulate", "--listen", ""}, 2, "--listen");
    expect_status({"simulate", "--listen", std::string(200, 'x')}, 2, "bytes long");
    // No running poll behind the socket: a plain failure, not a usage error.
    expect_status({"get", "--socket", s}, 1, "cannot reach a running poll");
}

}  // namespace

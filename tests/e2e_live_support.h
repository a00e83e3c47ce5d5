// A tzv58-host running in the background for the tests of its live access:
// its standard output and error read line by line, waits bounded, the
// program stopped by its pid.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "e2e_support.h"
#include "net_support.h"

namespace {

constexpr int WAIT_MS = NET_WAIT_MS;
// Connections each door holds at once (docs/live.md).
constexpr size_t SOCKET_DOOR = 16, HTTP_DOOR = 32;

using LineTest = std::function<bool(const std::string&)>;

// The host program in the background, its standard output and error read
// line by line on threads of their own, so that it never blocks on them.
class LiveHost {
public:
    // limits: resource limits (RLIMIT_NOFILE, ...) the program starts with.
    explicit LiveHost(const std::vector<std::string>& args, const std::vector<std::pair<int, rlim_t>>& limits = {}) {
        HostArgv argv(args);
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
            for (const auto& l : limits) {
                rlimit lim{};
                getrlimit(l.first, &lim);
                // A file-size limit keeps its hard limit, so that a test can
                // lift it again (as space returns to a full disk).
                lim = {l.second, l.first == RLIMIT_FSIZE ? lim.rlim_max : l.second};
                setrlimit(l.first, &lim);
            }
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

    pid_t pid() const { return pid_; }

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
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
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

inline bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// The events a running host has written so far: whole lines only, the one
// it may be writing is left for later.
inline std::vector<Json::Value> events_so_far(const std::string& path) {
    std::string text = slurp(path);
    text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    const std::string whole = path + ".whole";
    spit(whole, text);
    return read_events(whole);
}

inline bool starts(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

const LineTest READY = [](const std::string& l) { return starts(l, "tzv58-host: ready:"); };
// A round summary with a reading ("== round 3: 2026-..."), not a failed round.
const LineTest ROUND = [](const std::string& l) {
    const size_t colon = l.find(": ");
    return starts(l, "== round ") && colon != std::string::npos && colon + 2 < l.size() &&
           std::isdigit(static_cast<unsigned char>(l[colon + 2]));
};

// A simulate with a live socket and an HTTP port (a free one, which its
// ready line names), events in a file, the summary on standard output.
struct Running {
    std::string dir, socket, events;
    int port = -1;
    bool ready = false;
    std::unique_ptr<LiveHost> host;

    explicit Running(const std::vector<std::string>& extra = {}, const std::string& http_option = "--metrics",
                     const std::vector<std::pair<int, rlim_t>>& limits = {}) {
        dir = scratch_dir();
        socket = dir + "/live.sock";
        events = dir + "/events";
        std::vector<std::string> args{"simulate",  "--fast",   "--data-id", "7",         "--events",   events,
                                      "--summary", "--listen", socket,      http_option, "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        host = std::make_unique<LiveHost>(args, limits);
        const std::string line = host->wait_line(1, READY);
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

// Clients that trickle a request that never ends, a byte every every_ms
// each, and connect again as soon as they are cut: on the port and the
// socket, until the crowd is destroyed. Checked every 10 ms.
class TricklingCrowd {
public:
    TricklingCrowd(int port, const std::string& socket, size_t tcp, size_t unix, int every_ms) : every_(every_ms) {
        for (size_t i = 0; i < tcp + unix; ++i) conns_.push_back({-1, i < tcp, 0, {}});
        thread_ = std::thread([this, port, socket] { run(port, socket); });
    }
    ~TricklingCrowd() {
        done_ = true;
        thread_.join();
        for (const Conn& c : conns_) close(c.fd);
    }
    uint64_t cut() const { return cut_; }

private:
    struct Conn {
        int fd;
        bool tcp;
        size_t sent;
        std::chrono::steady_clock::time_point next;
    };
    void run(int port, const std::string& socket) {
        const std::string head = "GET /metrics HTTP/1.1\r\nX-Slow: ";
        while (!done_) {
            const auto now = std::chrono::steady_clock::now();
            for (Conn& c : conns_) {
                char junk[512];
                pollfd p{c.fd, POLLIN, 0};
                if (c.fd >= 0 && poll(&p, 1, 0) > 0 && recv(c.fd, junk, sizeof junk, MSG_DONTWAIT) <= 0) {
                    close(c.fd);
                    c.fd = -1;
                    ++cut_;
                }
                if (c.fd < 0) {
                    c = {c.tcp ? tcp_connect(port) : unix_connect(socket), c.tcp, 0, now};
                } else if (now >= c.next) {
                    send_text(c.fd, c.sent < head.size() ? head.substr(c.sent, 1) : "z");
                    ++c.sent;
                    c.next = now + std::chrono::milliseconds(every_);
                }
            }
            pollfd none{-1, 0, 0};
            poll(&none, 1, 10);
        }
    }
    int every_;
    std::vector<Conn> conns_;
    std::atomic<bool> done_{false};
    std::atomic<uint64_t> cut_{0};
    std::thread thread_;
};

}  // namespace

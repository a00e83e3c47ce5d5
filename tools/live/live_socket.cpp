#include "tools/live/live_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <json/reader.h>

#include "host/hex.h"
#include "tools/common/json_out.h"
#include "tools/common/signals.h"

namespace tzv58::tool {
namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string error_line(const std::string& why) { return JsonLine().str("error", why).text() + "\n"; }

bool fill_address(const std::string& path, sockaddr_un& addr, std::string& err) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        err = "socket path must be 1 to " + std::to_string(sizeof addr.sun_path - 1) + " bytes long: '" + path + "'";
        return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

const sockaddr* as_sockaddr(const sockaddr_un& a) { return reinterpret_cast<const sockaddr*>(&a); }

}  // namespace

std::string check_live_request(const std::string& line, Json::Value& request) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(line.data(), line.data() + line.size(), &request, nullptr))
        return "malformed request: not JSON";
    if (!request.isObject()) return "malformed request: not a JSON object";
    const Json::Value& r = request;
    if (!r["op"].isString()) return "malformed request: no \"op\" text";
    const std::string op = r["op"].asString();
    if (op == "values") return "";
    if (op == "get") {
        const Json::Value& ids = r["ids"];
        if (!ids.isArray() || ids.empty() || ids.size() > LiveSocket::MAX_IDS)
            return "malformed request: \"ids\" must list 1 to " + std::to_string(LiveSocket::MAX_IDS) + " ids";
        for (const Json::Value& id : ids)
            if (!id.isString() || id.asString().size() > LiveSocket::MAX_ID)
                return "malformed request: every id must be a text of at most " +
                       std::to_string(LiveSocket::MAX_ID) + " bytes";
        return "";
    }
    if (op == "control") {
        if (!r["code"].isInt()) return "malformed request: \"code\" must be a 32-bit integer";
        const Json::Value& in = r["in"];
        std::vector<uint8_t> bytes;
        if (!in.isNull() && (!in.isString() || in.asString().size() > 2 * LiveSocket::MAX_CONTROL_IN ||
                             !parse_hex(in.asString(), bytes)))
            return "malformed request: \"in\" must be hex of at most " +
                   std::to_string(LiveSocket::MAX_CONTROL_IN) + " bytes";
        const Json::Value& out = r["out_len"];
        if (!out.isNull() && (!out.isInt() || out.asInt() < 0 || out.asInt() > LiveSocket::MAX_CONTROL_OUT))
            return "malformed request: \"out_len\" must be 0 to " + std::to_string(LiveSocket::MAX_CONTROL_OUT);
        return "";
    }
    return "unknown request \"" + op + "\" (values, get, control)";
}

struct LiveSocket::Client {
    uint64_t serial = 0;
    int fd = -1;
    std::string in, out;
    bool waiting = false;      // a request is with the device
    bool close_after = false;  // close once `out` is written
    Clock::time_point active = Clock::now();
};

LiveSocket::~LiveSocket() { stop(); }

bool LiveSocket::open(const std::string& path, std::string& err) {
    sockaddr_un addr;
    if (!fill_address(path, addr, err)) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            err = path + " exists and is not a socket; not replacing it";
            return false;
        }
        // A socket file: in use while a process accepts on it, stale otherwise.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && (::connect(probe, as_sockaddr(addr), sizeof addr) == 0 || errno == EAGAIN);
        const int why = errno;
        if (probe >= 0) ::close(probe);
        if (live) {
            err = path + ": another process is listening there";
            return false;
        }
        if (why != ECONNREFUSED) {
            err = "cannot check " + path + ": " + std::strerror(why);
            return false;
        }
        if (::unlink(path.c_str()) != 0) {
            err = "cannot replace the stale socket " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        err = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    // Owner only, from the moment the file exists.
    const mode_t old_mask = ::umask(0177);
    const int bound = ::bind(listen_fd_, as_sockaddr(addr), sizeof addr);
    const int why = errno;
    ::umask(old_mask);
    if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(listen_fd_, 16) != 0 ||
        ::stat(path.c_str(), &st) != 0 || ::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        err = "cannot listen on " + path + ": " + std::strerror(bound != 0 ? why : errno);
        if (bound == 0) ::unlink(path.c_str());
        ::close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    path_ = path;
    return true;
}

void LiveSocket::start(std::function<std::string()> values) {
    values_ = std::move(values);
    // Stop requests are the scheduler's, and a client that goes away must
    // not end the program: the thread takes neither signal.
    thread_ = quiet_thread([this] { serve(); });
}

void LiveSocket::wake() {
    const char b = 1;
    if (wake_[1] >= 0) {
        const ssize_t ignored = ::write(wake_[1], &b, 1);  // a full pipe wakes the thread all the same
        (void)ignored;
    }
}

void LiveSocket::stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake();
        thread_.join();
    }
    for (int* fd : {&listen_fd_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    // Remove the file only if it is still ours.
    struct stat st {};
    if (!path_.empty() && ::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        ::unlink(path_.c_str());
    path_.clear();
}

void LiveSocket::run_queued(const std::function<std::string(const Json::Value&)>& run, int max_jobs) {
    for (int i = 0; i < max_jobs; ++i) {
        Job job;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queued_.empty()) return;
            job = std::move(queued_.front());
            queued_.pop_front();
        }
        if (ms_since(job.queued) > EXPIRE_MS)
            job.reply = error_line("the device could not take the request within " +
                                   std::to_string(EXPIRE_MS / 1000) + " s");
        else
            job.reply = run(job.request) + "\n";
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.push_back(std::move(job));
        }
        wake();
    }
}

void LiveSocket::serve() {
    std::map<uint64_t, Client> clients;
    uint64_t next_serial = 1;
    std::vector<pollfd> fds;
    std::vector<uint64_t> owners;
    std::deque<Job> finished;

    // Takes the complete request lines of a client, one at a time: a request
    // for the device holds the rest until its reply is back.
    auto pump = [&](Client& c) {
        size_t nl;
        // Replies are written before more requests are taken: a client that
        // asks without reading holds one reply's worth, not a growing pile.
        while (!c.waiting && !c.close_after && c.out.empty() && (nl = c.in.find('\n')) != std::string::npos) {
            if (nl > MAX_REQUEST) break;
            std::string line = c.in.substr(0, nl);
            c.in.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos) continue;
            Json::Value request;
            const std::string why = check_live_request(line, request);
            if (!why.empty()) {
                c.out += error_line(why);
                c.close_after = true;
            } else if (request["op"].asString() == "values") {
                c.out += values_() + "\n";
            } else {
                c.waiting = true;
                std::lock_guard<std::mutex> lock(mutex_);
                queued_.push_back({c.serial, std::move(request), Clock::now(), {}});
            }
        }
        const size_t line_end = c.in.find('\n');
        if (!c.close_after && (line_end == std::string::npos ? c.in.size() : line_end) > MAX_REQUEST) {
            c.out += error_line("request longer than " + std::to_string(MAX_REQUEST) + " bytes");
            c.close_after = true;
        }
        if (c.close_after) c.in.clear();
    };

    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            finished.swap(done_);
        }
        for (Job& job : finished) {
            const auto it = clients.find(job.client);
            if (it == clients.end()) continue;  // gone meanwhile
            it->second.out += job.reply;
            it->second.waiting = false;
            it->second.active = Clock::now();
            pump(it->second);
        }
        finished.clear();

        fds.assign({{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
        owners.clear();
        for (auto& [serial, c] : clients) {
            short events = 0;
            if (!c.out.empty())
                events = POLLOUT;
            else if (!c.waiting && !c.close_after)
                events = POLLIN;
            fds.push_back({c.fd, events, 0});
            owners.push_back(serial);
        }
        if (::poll(fds.data(), fds.size(), 500) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            char buf[64];
            while (::read(wake_[0], buf, sizeof buf) > 0) {
            }
        }
        for (size_t i = 0; i < owners.size(); ++i) {
            const auto it = clients.find(owners[i]);
            Client& c = it->second;
            const short re = fds[i + 2].revents;
            bool drop = false;
            if (re & POLLOUT) {
                const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) {
                    c.out.erase(0, size_t(n));
                    c.active = Clock::now();
                    if (c.out.empty()) pump(c);
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    drop = true;
                }
                if (c.out.empty() && c.close_after) drop = true;
            } else if (re & POLLIN) {
                char buf[1024];
                const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0) {
                    c.in.append(buf, size_t(n));
                    c.active = Clock::now();
                    pump(c);
                } else if (n == 0) {
                    // The client has sent all it will: answer what it asked, then close.
                    c.close_after = true;
                    c.in.clear();
                    drop = c.out.empty() && !c.waiting;
                } else if (errno != EAGAIN && errno != EINTR) {
                    drop = true;
                }
            } else if (re & (POLLHUP | POLLERR | POLLNVAL)) {
                drop = true;
            }
            // A client that neither sends nor takes anything goes; one whose
            // request is with the device waits for it.
            if (!drop && !c.waiting && ms_since(c.active) > IDLE_MS) drop = true;
            if (drop) {
                ::close(c.fd);
                clients.erase(it);
            }
        }
        if (fds[1].revents & POLLIN) {
            for (;;) {
                const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                if (clients.size() >= MAX_CLIENTS) {
                    const std::string busy = error_line("too many clients; try again");
                    const ssize_t ignored = ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    (void)ignored;
                    ::close(fd);
                    continue;
                }
                Client& c = clients[next_serial];
                c.serial = next_serial++;
                c.fd = fd;
            }
        }
    }
    for (auto& entry : clients) ::close(entry.second.fd);
}

}  // namespace tzv58::tool

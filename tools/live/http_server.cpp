#include "tools/live/http_server.h"

#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <set>
#include <thread>

#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tools/common/exit_status.h"
#include "tools/common/json_out.h"
#include "tools/common/signals.h"
#include "tools/common/text_guard.h"

namespace tzv58::tool {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using Protocol = net::generic::stream_protocol;
using Clock = std::chrono::steady_clock;

// After an accept that failed for want of a descriptor or of memory: the
// pause before the next, so that the thread does not spin.
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);
// After an error response the connection is closed; what the client still
// sends is read and dropped for this long (this many bytes at most), so that
// closing does not reset the connection before the client has read why.
constexpr auto LINGER = std::chrono::milliseconds(500);
constexpr size_t LINGER_BYTES = 64 * 1024;
// Descriptors kept free beyond the services' connections: the serial port,
// the history file and its journal, reopened output files, a connection
// being refused.
constexpr size_t RESERVE_FDS = 32;
// Connections waiting to be accepted: a crowd waits there, in order, while
// the door is full.
constexpr int BACKLOG = 256;

struct Door;

// One connection: await a request (idle deadline), read its header (header
// deadline) and the rest (request deadline, both from its first byte), hand
// it to its route, write the answer (respond deadline); again while the
// client keeps the connection alive.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Protocol::socket socket, std::shared_ptr<Door> door);
    ~Session() { forget(); }
    void start() { await_request(); }
    // Without a request in hand: awaiting one, reading one, or lingering
    // after an error. Such a connection may be closed for a new one.
    bool evictable() const { return phase_ == Phase::waiting || phase_ == Phase::lingering; }
    // Since when it has waited for its request; a lingering one comes first.
    Clock::time_point waiting_since() const {
        return phase_ == Phase::lingering ? Clock::time_point() : waiting_since_;
    }
    // Closes the connection to make room for a new one.
    void evict();
    // The server stops: a handler's answer will not come.
    void abandon() { self_.reset(); }

private:
    const DoorLimits& limits() const;
    void forget();
    void await_request();
    void read_request();
    void on_header(beast::error_code ec);
    void on_request(beast::error_code ec);
    void dispatch();
    void route(const HttpRequest& r, const Responder& reply);
    void fail(int status, const std::string& message);
    void respond(HttpResponse r, uint64_t request_no);
    void on_written(beast::error_code ec);
    void linger(size_t left);
    void close(bool timed_out);

    beast::basic_stream<Protocol> stream_;
    std::shared_ptr<Door> door_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> res_;
    std::array<char, 4096> scratch_{};
    std::shared_ptr<Session> self_;  // while a handler's answer is awaited
    net::steady_timer idle_timer_;
    enum class Phase { waiting, handling, writing, lingering } phase_ = Phase::waiting;
    bool idle_ = false, keep_alive_ = false, counted_ = true;
    Clock::time_point waiting_since_{}, request_start_{};
    uint64_t idle_round_ = 0;
    uint64_t requests_ = 0;
};

struct Door : std::enable_shared_from_this<Door> {
    Door(net::io_context& ioc, int fd, DoorConfig c);
    void accept();
    void on_accept(beast::error_code ec, Protocol::socket s);
    // The connection without a request in hand that has waited longest, if any.
    Session* longest_waiting() const;
    void refuse(Protocol::socket& s);
    // A connection has closed: a new one need not wait for the grace.
    void slot_freed();

    DoorConfig config;
    bool tcp;
    net::basic_socket_acceptor<Protocol> acceptor;
    net::steady_timer pause;
    net::steady_timer grace;  // until the longest waiting connection's grace is over
    bool in_grace = false;
    std::string busy;  // the whole 503 response
    std::set<Session*> sessions;
    // Word-sized, so that no target needs a library for its atomics.
    std::atomic<unsigned long> served{0}, refused{0}, evicted{0}, timed_out{0}, accept_errors{0};
    std::atomic<size_t> open{0};
};

Protocol protocol_of(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return addr.ss_family == AF_UNIX ? Protocol(AF_UNIX, 0) : Protocol(addr.ss_family, IPPROTO_TCP);
}

std::string busy_response(const DoorConfig& c) {
    const HttpResponse r = error_response(
        503, "too many connections (" + std::to_string(c.limits.connections) + " at once); try again", c.json_errors);
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: " + r.content_type +
           "\r\nContent-Length: " + std::to_string(r.body.size()) + "\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" +
           r.body;
}

bool is_http_error(const beast::error_code& ec) {
    return &ec.category() == &http::make_error_code(http::error::bad_method).category();
}

}  // namespace

HttpResponse error_response(int status, const std::string& message, bool json) {
    HttpResponse r;
    r.status = status;
    if (json) {
        r.body = JsonLine().str("error", message).text() + "\n";
    } else {
        r.content_type = "text/plain; charset=utf-8";
        r.body = shown(message) + "\n";  // it may quote a client's path
    }
    return r;
}

void Responder::operator()(HttpResponse r) const {
    if (!send_ || send_->done.exchange(true)) return;
    send_->send(std::move(r));
}

// ---- Session ----

Session::Session(Protocol::socket socket, std::shared_ptr<Door> door)
    : stream_(std::move(socket)),
      door_(std::move(door)),
      buffer_(door_->config.limits.header_bytes + door_->config.limits.body_bytes + 4096),
      idle_timer_(stream_.get_executor()) {
    door_->sessions.insert(this);
    door_->open = door_->sessions.size();
}

const DoorLimits& Session::limits() const { return door_->config.limits; }

// The connection no longer counts against the door's limit.
void Session::forget() {
    if (!counted_) return;
    counted_ = false;
    door_->sessions.erase(this);
    door_->open = door_->sessions.size();
}

void Session::evict() { close(false); }

// The idle wait reads nothing: it ends when the request's first bytes come,
// and the header and request deadlines start then.
void Session::await_request() {
    phase_ = Phase::waiting;
    waiting_since_ = Clock::now();
    if (buffer_.size() > 0) return read_request();  // the next request came with the last
    idle_ = true;
    const uint64_t round = ++idle_round_;
    idle_timer_.expires_after(limits().idle);
    idle_timer_.async_wait([self = shared_from_this(), round](beast::error_code ec) {
        if (!ec && self->idle_ && self->idle_round_ == round) self->close(true);
    });
    stream_.socket().async_wait(Protocol::socket::wait_read, [self = shared_from_this()](beast::error_code ec) {
        if (!self->idle_) return;  // evicted, or closed by the idle deadline
        self->idle_ = false;
        self->idle_timer_.cancel();
        if (ec) return self->close(false);
        self->read_request();
    });
}

void Session::read_request() {
    parser_.emplace();
    parser_->header_limit(std::uint32_t(limits().header_bytes));
    parser_->body_limit(limits().body_bytes);
    request_start_ = Clock::now();
    stream_.expires_at(request_start_ + std::min(limits().header, limits().request));
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, size_t) { self->on_header(ec); });
}

void Session::on_header(beast::error_code ec) {
    if (ec || parser_->is_done()) return on_request(ec);
    stream_.expires_at(request_start_ + limits().request);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) { self->on_request(ec); });
}

void Session::on_request(beast::error_code ec) {
    if (ec == beast::error::timeout) return close(true);
    if (ec == http::error::header_limit)
        return fail(431, "request header larger than " + std::to_string(limits().header_bytes) + " bytes");
    if (ec == http::error::body_limit)
        return fail(413, "request body larger than " + std::to_string(limits().body_bytes) + " bytes");
    if (ec == http::error::buffer_overflow) return fail(413, "request too large");
    if (ec && is_http_error(ec) && ec != http::error::end_of_stream && ec != http::error::partial_message)
        return fail(400, "malformed HTTP request: " + ec.message());
    if (ec) return close(false);  // the client went away
    dispatch();
}

void Session::dispatch() {
    auto& req = parser_->get();
    HttpRequest r;
    r.method = std::string(req.method_string());
    r.target = std::string(req.target());
    r.path = r.target.substr(0, r.target.find('?'));
    r.body = std::move(req.body());
    keep_alive_ = req.keep_alive();
    phase_ = Phase::handling;
    const uint64_t no = ++requests_;
    // The connection lives until its answer comes (or the server stops).
    self_ = shared_from_this();
    // The answer may come from another thread: it is posted here, and the
    // strong reference goes with it, so that the connection always ends on
    // this thread.
    Responder reply([weak = weak_from_this(), no](HttpResponse res) {
        std::shared_ptr<Session> self = weak.lock();
        if (!self) return;
        const auto ex = self->stream_.get_executor();
        net::post(ex,
                  [self = std::move(self), no, res = std::move(res)]() mutable { self->respond(std::move(res), no); });
    });
    try {
        route(r, reply);
    } catch (const std::exception& e) {
        reply(error_response(500, std::string("the request failed: ") + e.what(), door_->config.json_errors));
    }
}

void Session::route(const HttpRequest& r, const Responder& reply) {
    std::string allow;
    for (const Route& rt : door_->config.routes) {
        const bool match = rt.prefix ? r.path.size() > rt.path.size() && r.path.compare(0, rt.path.size(), rt.path) == 0
                                     : r.path == rt.path;
        if (!match) continue;
        if (rt.method != r.method) {
            allow += (allow.empty() ? "" : ", ") + rt.method;
            continue;
        }
        const std::string query = r.target.size() > r.path.size() + 1 ? r.target.substr(r.path.size() + 1) : "";
        if (!rt.query && !query.empty())
            return reply(error_response(400, r.path + " takes no query, not '" + shown(query.substr(0, 64)) + "'",
                                        door_->config.json_errors));
        return rt.handler(r, reply);
    }
    const bool json = door_->config.json_errors;
    if (allow.empty()) return reply(error_response(404, "no such path: " + r.path, json));
    HttpResponse res = error_response(405, r.method + " is not served at " + r.path + " (only " + allow + ")", json);
    res.headers.emplace_back("Allow", allow);
    reply(std::move(res));
}

// An answer to a request that could not be read: then the connection closes.
void Session::fail(int status, const std::string& message) {
    keep_alive_ = false;
    respond(error_response(status, message, door_->config.json_errors), requests_);
}

void Session::respond(HttpResponse r, uint64_t request_no) {
    if (request_no != requests_ || !stream_.socket().is_open()) return;
    const std::shared_ptr<Session> keep = std::move(self_);
    // What the connection holds that the client has not taken: on a Unix
    // socket what it has not read, on TCP what it has not acknowledged
    // (its own buffer full).
    int unread = 0;
    if (::ioctl(stream_.socket().native_handle(), TIOCOUTQ, &unread) == 0 && size_t(unread) > limits().unread_bytes) {
        ++door_->evicted;
        return close(false);
    }
    res_ = {};
    res_.version(11);
    res_.result(unsigned(r.status));
    res_.set(http::field::content_type, r.content_type);
    for (const auto& h : door_->config.headers) res_.set(h.first, h.second);
    for (const auto& h : r.headers) res_.set(h.first, h.second);
    res_.body() = std::move(r.body);
    res_.keep_alive(keep_alive_);
    res_.prepare_payload();
    phase_ = Phase::writing;
    stream_.expires_after(limits().respond);
    http::async_write(stream_, res_,
                      [self = shared_from_this()](beast::error_code ec, size_t) { self->on_written(ec); });
}

void Session::on_written(beast::error_code ec) {
    ++door_->served;
    if (ec) return close(ec == beast::error::timeout);
    if (res_.keep_alive()) return await_request();
    beast::error_code ignored;
    stream_.socket().shutdown(Protocol::socket::shutdown_send, ignored);
    linger(LINGER_BYTES);
}

void Session::linger(size_t left) {
    phase_ = Phase::lingering;
    stream_.expires_after(LINGER);
    stream_.async_read_some(net::buffer(scratch_), [self = shared_from_this(), left](beast::error_code ec, size_t n) {
        if (ec || n >= left) return self->close(false);
        self->linger(left - n);
    });
}

void Session::close(bool timed_out) {
    if (timed_out) ++door_->timed_out;
    idle_ = false;
    idle_timer_.cancel();
    const bool counted = counted_;
    forget();
    stream_.close();
    if (counted) door_->slot_freed();
}

// ---- Door ----

Door::Door(net::io_context& ioc, int fd, DoorConfig c)
    : config(std::move(c)),
      tcp(protocol_of(fd).family() != AF_UNIX),
      acceptor(ioc, protocol_of(fd), fd),
      pause(ioc),
      grace(ioc),
      busy(busy_response(config)) {}

// A full door whose connections without a request in hand are all within
// their grace accepts nothing until the longest waiting one's is over.
void Door::accept() {
    const Session* oldest = sessions.size() >= config.limits.connections ? longest_waiting() : nullptr;
    if (oldest && Clock::now() - oldest->waiting_since() < config.limits.grace) {
        in_grace = true;
        grace.expires_at(oldest->waiting_since() + config.limits.grace);
        grace.async_wait([self = shared_from_this()](beast::error_code) {
            self->in_grace = false;
            if (self->acceptor.is_open()) self->accept();
        });
        return;
    }
    acceptor.async_accept(
        [self = shared_from_this()](beast::error_code ec, Protocol::socket s) { self->on_accept(ec, std::move(s)); });
}

void Door::on_accept(beast::error_code ec, Protocol::socket s) {
    if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
    if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space || ec == net::error::no_memory ||
        ec.value() == ENFILE) {
        ++accept_errors;
        pause.expires_after(ACCEPT_PAUSE);
        pause.async_wait([self = shared_from_this()](beast::error_code e) {
            if (!e) self->accept();
        });
        return;
    }
    if (!ec) {
        Session* oldest = sessions.size() >= config.limits.connections ? longest_waiting() : nullptr;
        if (oldest) {
            ++evicted;
            oldest->evict();
        }
        if (sessions.size() >= config.limits.connections) {
            refuse(s);
        } else {
            if (tcp) {
                const int one = 1;
                ::setsockopt(s.native_handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            }
            std::make_shared<Session>(std::move(s), shared_from_this())->start();
        }
    }
    accept();
}

Session* Door::longest_waiting() const {
    Session* oldest = nullptr;
    for (Session* s : sessions)
        if (s->evictable() && (!oldest || s->waiting_since() < oldest->waiting_since())) oldest = s;
    return oldest;
}

void Door::slot_freed() {
    if (in_grace) grace.cancel();
}

// Over the limit: a 503 written without waiting, then closed. What the client
// has already sent is read first, so that the close does not reset the
// connection under the answer.
void Door::refuse(Protocol::socket& s) {
    ++refused;
    beast::error_code ec;
    s.non_blocking(true, ec);
    std::array<char, 4096> junk;
    s.read_some(net::buffer(junk), ec);
    net::write(s, net::buffer(busy), ec);
    s.shutdown(Protocol::socket::shutdown_send, ec);
    s.close(ec);
}

// ---- HttpServer ----

namespace {

struct Repeating {
    Repeating(net::io_context& ioc, std::chrono::milliseconds p, std::function<void()> f)
        : timer(ioc), period(p), fn(std::move(f)) {}
    void arm() {
        timer.expires_after(period);
        timer.async_wait([this](beast::error_code ec) {
            if (ec) return;
            fn();
            arm();
        });
    }
    net::steady_timer timer;
    std::chrono::milliseconds period;
    std::function<void()> fn;
};

}  // namespace

struct HttpServer::Impl {
    // Declared first, destroyed last: the doors and timers are its objects.
    net::io_context ioc{1};
    std::vector<std::shared_ptr<Door>> doors;
    std::vector<std::unique_ptr<Repeating>> timers;
    std::thread thread;
};

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {}

HttpServer::~HttpServer() { stop(); }

size_t HttpServer::add_door(int listen_fd, DoorConfig config) {
    impl_->doors.push_back(std::make_shared<Door>(impl_->ioc, listen_fd, std::move(config)));
    return impl_->doors.size() - 1;
}

void HttpServer::every(std::chrono::milliseconds period, std::function<void()> fn) {
    impl_->timers.push_back(std::make_unique<Repeating>(impl_->ioc, period, std::move(fn)));
}

void HttpServer::start() {
    for (const auto& d : impl_->doors) d->accept();
    for (const auto& t : impl_->timers) t->arm();
    impl_->thread = quiet_thread([this] {
        for (;;) {
            try {
                impl_->ioc.run();
                return;
            } catch (const std::exception& e) {
                // No client may end the program: say it and serve on.
                tell(stderr, std::string("HTTP server: ") + e.what());
            }
        }
    });
}

void HttpServer::stop() {
    if (!impl_) return;
    impl_->ioc.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    for (const auto& d : impl_->doors) {
        const std::set<Session*> sessions = d->sessions;
        for (Session* s : sessions) s->abandon();
    }
}

DoorStats HttpServer::stats(size_t door) const {
    const Door& d = *impl_->doors.at(door);
    return {d.served, d.refused, d.evicted, d.timed_out, d.accept_errors, d.open};
}

// ---- listening sockets and descriptors ----

namespace {

std::string address_text(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

int bind_and_listen(const addrinfo& a, int& bound_port) {
    const int fd = ::socket(a.ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    // A port still in TIME_WAIT after a restart may be taken again; a port
    // another socket listens on may not (Linux).
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage got{};
    socklen_t len = sizeof got;
    if (::bind(fd, a.ai_addr, a.ai_addrlen) != 0 || ::listen(fd, BACKLOG) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&got), &len) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    bound_port = got.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&got)->sin6_port)
                                           : ntohs(reinterpret_cast<const sockaddr_in*>(&got)->sin_port);
    return fd;
}

size_t open_descriptors() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

}  // namespace

int listen_tcp(const std::string& host, int port, int& bound_port, std::string& err) {
    const std::string where = "cannot serve HTTP on " + address_text(host, port) + ": ";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        err = where + ::gai_strerror(rc);
        return -1;
    }
    const int fd = bind_and_listen(*found, bound_port);
    const int e = errno;
    ::freeaddrinfo(found);
    if (fd < 0)
        err = where + (e == EADDRINUSE ? std::string("the address is in use (another program listens there)")
                                       : std::string(std::strerror(e)));
    return fd;
}

bool reserve_descriptors(size_t connections, std::string& err) {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        err = std::string("cannot read the descriptor limit: ") + std::strerror(errno);
        return false;
    }
    const rlim_t want = lim.rlim_max == RLIM_INFINITY ? rlim_t(65536) : std::min<rlim_t>(lim.rlim_max, 65536);
    if (lim.rlim_cur < want) {
        lim.rlim_cur = want;
        ::setrlimit(RLIMIT_NOFILE, &lim);
        ::getrlimit(RLIMIT_NOFILE, &lim);
    }
    const size_t need = open_descriptors() + connections + RESERVE_FDS;
    if (lim.rlim_cur != RLIM_INFINITY && need > lim.rlim_cur) {
        err = "too few descriptors for the services: they need " + std::to_string(need) + ", the limit is " +
              std::to_string(lim.rlim_cur) + " (ulimit -n)";
        return false;
    }
    return true;
}

}  // namespace tzv58::tool

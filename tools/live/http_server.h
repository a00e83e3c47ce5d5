// The program's HTTP server: Boost.Beast over Boost.Asio, one I/O thread
// serving every door (the live socket, the TCP port) asynchronously.
//
// A door is a listening socket with its limits and its routes. Every limit is
// the door's own: connections at once, header and body bytes, and deadlines
// that cover a whole phase, not one read:
//   idle     a connection with no request under way (new, or kept alive after
//            a response) is closed after this long;
//   header   from the first byte of a request to the end of its header;
//   request  from the first byte of a request to its last; a client that
//            dribbles a byte a second is closed all the same;
//   respond  for writing a response.
// A client that sends requests and does not read the answers (pipelining
// them, or asking again and again) is cut once more than `unread_bytes` of
// answers wait in its connection: it grows no memory and holds no slot.
// When the door is full, a new connection takes the place of the one that has
// waited longest for its request to come whole (idle, or trickling it in): a
// crowd of clients that hold connections open, silent or slow, cannot lock
// the door. Each connection has a grace to send its request before it may
// give way; while every one is within it, new connections wait in the
// listening socket's backlog, in the order they came, so that a crowd that
// connects again at once when cut cannot push out a client that connected
// and is about to send. Only when every connection has a request in hand is
// a new one refused at once (503, then closed).
//
// Handlers run on the I/O thread and answer through a Responder, at once or
// later from another thread (a request the scheduler runs between two poll
// exchanges). stop() ends the thread at once: nothing waits for a client.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tzv58::tool {

struct HttpRequest {
    std::string method;  // "GET", "POST", ...
    std::string target;  // as sent: path and query
    std::string path;    // the target up to '?'
    std::string body;
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // beyond type and length
};

// A response whose body is the error's text: {"error":"..."} on a door that
// speaks JSON, the text and a newline on another.
HttpResponse error_response(int status, const std::string& message, bool json);

struct DoorLimits {
    size_t connections = 16;
    size_t header_bytes = 16 * 1024;
    size_t body_bytes = 16 * 1024;
    std::chrono::milliseconds idle{10000};
    std::chrono::milliseconds grace{100};  // before a connection may give way
    std::chrono::milliseconds header{2000};
    std::chrono::milliseconds request{10000};
    std::chrono::milliseconds respond{10000};
    size_t unread_bytes = 64 * 1024;  // answers sent and not yet read, before the next one
};

// Answers one request, once: later calls are ignored, and so is an answer for
// a connection that has gone meanwhile. Call it on the I/O thread, or on the
// thread that owns the server while the server exists.
class Responder {
public:
    using Send = std::function<void(HttpResponse)>;
    Responder() = default;
    explicit Responder(Send send) : send_(std::make_shared<Once>(std::move(send))) {}
    void operator()(HttpResponse r) const;

private:
    struct Once {
        explicit Once(Send s) : send(std::move(s)) {}
        Send send;
        std::atomic<bool> done{false};
    };
    std::shared_ptr<Once> send_;
};

using Handler = std::function<void(const HttpRequest&, Responder)>;

struct Route {
    std::string method;
    std::string path;  // the whole path; or, when prefix, what it starts with
    bool prefix = false;
    Handler handler;
    // Whether the handler reads a query; a route that takes none refuses a
    // request with one (400) rather than ignore what it asks.
    bool query = false;
};

struct DoorConfig {
    std::string name;  // for people: "socket", "http"
    DoorLimits limits;
    std::vector<Route> routes;
    bool json_errors = false;  // the server's own error bodies as JSON
    // On every answer of the door, unless the answer sets the same header.
    std::vector<std::pair<std::string, std::string>> headers;
};

// What a door has done since the start (read from any thread).
struct DoorStats {
    uint64_t served = 0;         // responses written
    uint64_t refused = 0;        // connections over the limit, closed at once
    uint64_t evicted = 0;        // closed for a new one (without a whole request), or for answers left unread
    uint64_t timed_out = 0;      // connections closed by a deadline
    uint64_t accept_errors = 0;  // accept failures (no descriptor left, ...), each followed by a pause
    size_t open = 0;             // connections now
};

class HttpServer {
public:
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Serves a listening socket, which the server takes over and closes.
    // Returns the door's number for stats(). Before start() only.
    size_t add_door(int listen_fd, DoorConfig config);
    // Runs fn on the I/O thread every period while the server runs.
    void every(std::chrono::milliseconds period, std::function<void()> fn);

    // Starts the I/O thread (it takes no stop signal and no SIGPIPE).
    void start();
    // Ends the thread and closes every connection and door at once.
    void stop();

    DoorStats stats(size_t door) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A TCP socket listening on HOST:PORT (port 0: any free one, returned in
// bound_port). No SO_REUSEPORT: a port another program (or another instance
// of this one) listens on is refused. -1 with a one-line reason.
int listen_tcp(const std::string& host, int port, int& bound_port, std::string& err);

// Descriptors for the services: raises the soft limit to the hard one and
// checks that `connections` more, plus a reserve for the serial port and the
// files the program reopens, fit under it. false with a one-line reason.
bool reserve_descriptors(size_t connections, std::string& err);

}  // namespace tzv58::tool

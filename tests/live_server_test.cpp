// The program's HTTP server in this process, with short deadlines: routes and
// kept-alive connections, answers from another thread, and every limit a
// hostile or unlucky client meets. Then the live socket's file and the live
// API's request checks.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net_support.h"
#include "tools/common/json_out.h"
#include "tools/live/http_server.h"
#include "tools/live/live_api.h"
#include "tools/live/trend_route.h"
#include "tools/live/unix_listener.h"

using namespace tzv58::tool;
using namespace std::chrono_literals;

namespace {

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// Waits (bounded) until the condition holds.
template <class F>
bool eventually(F f) {
    const auto start = std::chrono::steady_clock::now();
    while (!f()) {
        if (elapsed_ms(start) > NET_WAIT_MS) return false;
        std::this_thread::yield();
        ::poll(nullptr, 0, 2);
    }
    return true;
}

// Requests to /later wait here until the test answers them.
struct Later {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Responder> waiting;
    Responder take() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::milliseconds(NET_WAIT_MS), [&] { return !waiting.empty(); });
        if (waiting.empty()) return Responder();
        Responder r = waiting.front();
        waiting.erase(waiting.begin());
        return r;
    }
};

HttpResponse text(const std::string& body) {
    HttpResponse r;
    r.content_type = "text/plain";
    r.body = body;
    return r;
}

// A server with one TCP door on a free loopback port.
struct Served {
    explicit Served(DoorLimits limits = short_limits(), bool json = false) {
        DoorConfig c;
        c.name = "test";
        c.limits = limits;
        c.json_errors = json;
        c.routes = {
            {"GET", "/hello", false, [](const HttpRequest&, Responder reply) { reply(text("hi")); }},
            {"GET", "/items/", true, [](const HttpRequest& r, Responder reply) { reply(text(r.path)); }, true},
            {"POST", "/echo", false, [](const HttpRequest& r, Responder reply) { reply(text(r.body)); }},
            {"GET", "/later", false,
             [this](const HttpRequest&, Responder reply) {
                 std::lock_guard<std::mutex> lock(later.mutex);
                 later.waiting.push_back(reply);
                 later.cv.notify_all();
             }},
            {"GET", "/throws", false, [](const HttpRequest&, Responder) { throw std::runtime_error("boom"); }},
            {"GET", "/own", false,
             [](const HttpRequest&, Responder reply) {
                 HttpResponse r = text("mine");
                 r.headers = {{"Cache-Control", "no-cache"}};
                 reply(std::move(r));
             }},
        };
        c.headers = {{"X-Door", "test"}, {"Cache-Control", "no-store"}};
        std::string err;
        const int fd = listen_tcp("127.0.0.1", 0, port, err);
        EXPECT_GE(fd, 0) << err;
        door = server.add_door(fd, c);
        server.start();
    }
    static DoorLimits short_limits() {
        DoorLimits l;
        l.connections = 4;
        l.header_bytes = 2048;
        l.body_bytes = 1024;
        l.idle = 400ms;
        l.request = 400ms;
        l.respond = 400ms;
        return l;
    }
    int connect() { return tcp_connect(port); }
    DoorStats stats() { return server.stats(door); }

    Later later;
    HttpServer server;
    int port = 0;
    size_t door = 0;
};

TEST(HttpServer, RoutesAnswerOnAConnectionKeptAlive) {
    Served s;
    HttpClient c(s.connect());
    HttpReply r = c.ask(http_request("GET", "/hello"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "hi");
    EXPECT_FALSE(r.closes);
    r = c.ask(http_request("GET", "/items/a%20b?x=1"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "/items/a%20b");
    // A route that reads no query refuses one rather than ignore it.
    r = c.ask(http_request("GET", "/hello?x=1"));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "/hello takes no query, not 'x=1'\n");
    EXPECT_EQ(c.ask(http_request("GET", "/hello?")).status, 200);
    r = c.ask(http_request("POST", "/echo", "{\"a\":1}"));
    EXPECT_EQ(r.body, "{\"a\":1}");
    // Two requests in one write: two answers, in order.
    ASSERT_TRUE(c.send(http_request("GET", "/items/1") + http_request("GET", "/items/2")));
    EXPECT_EQ(c.reply().body, "/items/1");
    EXPECT_EQ(c.reply().body, "/items/2");
    r = c.ask(http_request("GET", "/nothing"));
    EXPECT_EQ(r.status, 404);
    r = c.ask(http_request("DELETE", "/hello"));
    EXPECT_EQ(r.status, 405);
    EXPECT_TRUE(has(r.head, "Allow: GET")) << r.head;
    EXPECT_EQ(c.ask(http_request("GET", "/items/")).status, 404) << "a prefix alone is no path";
    EXPECT_EQ(c.ask(http_request("GET", "/\xC2\x9B[2J")).body, "no such path: /\\xC2\\x9B[2J\n")
        << "a path echoed reaches no terminal raw";
    // A handler that throws answers 500 and the server serves on.
    EXPECT_EQ(c.ask(http_request("GET", "/throws")).status, 500);
    EXPECT_EQ(c.ask(http_request("GET", "/hello")).status, 200);
    EXPECT_TRUE(eventually([&] { return s.stats().served == 13; })) << s.stats().served;
}

TEST(HttpServer, AnswersComeFromAnotherThreadOnceAndOnlyToTheirConnection) {
    Served s;
    HttpClient c(s.connect());
    ASSERT_TRUE(c.send(http_request("GET", "/later")));
    Responder reply = s.later.take();
    EXPECT_EQ(c.reply(50).status, 0) << "no answer before the handler's";
    std::thread answer([&] {
        reply(text("first"));
        reply(text("second"));
    });
    answer.join();
    EXPECT_EQ(c.reply().body, "first");
    EXPECT_EQ(c.ask(http_request("GET", "/hello")).body, "hi") << "the second answer went nowhere";

    // The client goes before the answer comes: the answer is dropped.
    {
        HttpClient gone(s.connect());
        ASSERT_TRUE(gone.send(http_request("GET", "/later")));
        reply = s.later.take();
    }
    reply(text("late"));
    EXPECT_EQ(c.ask(http_request("GET", "/hello")).body, "hi");
}

// The door's headers, once each: an answer's own header takes the place of
// the door's.
TEST(HttpServer, DoorHeadersGoOnEveryAnswerUnlessItSetsItsOwn) {
    Served s;
    HttpClient c(s.connect());
    const auto count = [](const std::string& head, const std::string& line) {
        size_t n = 0;
        for (size_t at = head.find(line); at != std::string::npos; at = head.find(line, at + 1)) ++n;
        return n;
    };
    for (const char* path : {"/hello", "/nothing"}) {
        const HttpReply r = c.ask(http_request("GET", path));
        EXPECT_EQ(count(r.head, "\r\nX-Door: test\r\n"), 1u) << r.head;
        EXPECT_EQ(count(r.head, "\r\nCache-Control: no-store\r\n"), 1u) << r.head;
    }
    const HttpReply own = c.ask(http_request("GET", "/own"));
    EXPECT_EQ(count(own.head, "Cache-Control: "), 1u) << own.head;
    EXPECT_EQ(count(own.head, "\r\nCache-Control: no-cache\r\n"), 1u) << own.head;
    EXPECT_EQ(count(own.head, "\r\nX-Door: test\r\n"), 1u) << own.head;
}

TEST(HttpServer, OversizedAndMalformedRequestsAreAnsweredThenClosed) {
    Served s;
    {
        // Headers beyond the limit: refused before the client is done.
        HttpClient c(s.connect());
        c.send("GET /hello HTTP/1.1\r\nHost: x\r\n");
        for (int i = 0; i < 64 && c.send("X-Filler: " + std::string(100, 'a') + "\r\n"); ++i) {}
        const HttpReply r = c.reply();
        EXPECT_EQ(r.status, 431);
        EXPECT_TRUE(r.closes);
        EXPECT_TRUE(closed_by_peer(c.fd));
    }
    {
        HttpClient c(s.connect());
        const HttpReply r =
            c.ask("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + std::string(2000, 'b'));
        EXPECT_EQ(r.status, 413);
        EXPECT_TRUE(closed_by_peer(c.fd));
    }
    for (const std::string& junk : {std::string("HELLO\r\n\r\n"), std::string("GET /hello HTTP/9.9\r\n\r\n"),
                                    std::string("GET /hello HTTP/1.1\r\nContent-Length: x\r\n\r\n")}) {
        HttpClient c(s.connect());
        EXPECT_EQ(c.ask(junk).status, 400) << junk;
        EXPECT_TRUE(closed_by_peer(c.fd));
    }
    // A door that speaks JSON says why in JSON.
    Served json(Served::short_limits(), true);
    HttpClient c(json.connect());
    const HttpReply r = c.ask(http_request("GET", "/nothing"));
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "{\"error\":\"no such path: /nothing\"}\n");
    EXPECT_TRUE(has(r.head, "Content-Type: application/json")) << r.head;
}

// Every connection with a request in hand: the next is refused at once.
TEST(HttpServer, OneConnectionOverTheLimitIsRefusedAtOnce) {
    Served s;
    std::vector<std::unique_ptr<HttpClient>> busy;
    for (int i = 0; i < 4; ++i) {
        busy.push_back(std::make_unique<HttpClient>(s.connect()));
        ASSERT_TRUE(busy.back()->send(http_request("GET", "/later")));
    }
    std::vector<Responder> answers;
    for (int i = 0; i < 4; ++i) answers.push_back(s.later.take());
    HttpClient extra(s.connect());
    const HttpReply r = extra.ask(http_request("GET", "/hello"));
    EXPECT_EQ(r.status, 503);
    EXPECT_TRUE(has(r.body, "too many connections (4 at once)")) << r.body;
    EXPECT_TRUE(closed_by_peer(extra.fd));
    EXPECT_EQ(s.stats().refused, 1u);
    EXPECT_EQ(s.stats().evicted, 0u);
    // The busy ones are still served.
    answers[0](text("done"));
    EXPECT_EQ(busy[0]->reply().body, "done");
}

// A client that pipelines requests and never reads the answers is cut once
// more than the bound of them wait unread, long before any deadline, and
// counted as evicted; the others are served meanwhile.
TEST(HttpServer, AClientThatLeavesItsAnswersUnreadIsCut) {
    DoorLimits l = Served::short_limits();
    l.idle = l.request = l.respond = 60s;
    l.unread_bytes = 8 * 1024;
    Served s(l);
    const int fd = s.connect();
    const std::string ask = http_request("GET", "/items/" + std::string(1000, 'x'));
    const auto start = std::chrono::steady_clock::now();
    long sent = 0;
    while (s.stats().evicted == 0 && elapsed_ms(start) < NET_WAIT_MS) {
        if (send(fd, ask.data(), ask.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == ssize_t(ask.size()))
            ++sent;
        else if (errno != EAGAIN)
            break;  // cut
        else
            ::poll(nullptr, 0, 2);
    }
    EXPECT_TRUE(eventually([&] { return s.stats().evicted == 1 && s.stats().open == 0; }))
        << s.stats().evicted << " after " << sent << " requests";
    EXPECT_TRUE(closed_by_peer(fd));
    close(fd);
    EXPECT_EQ(s.stats().timed_out, 0u);
    EXPECT_EQ(http_get(s.port, "/hello").status, 200);
}

// A full door takes a new connection in the place of the one that has
// waited longest for its request, idle or trickling it in; never of one
// whose request is in hand.
TEST(HttpServer, ConnectionsWithoutAWholeRequestGiveWayLongestWaitingFirst) {
    DoorLimits l = Served::short_limits();
    l.idle = l.header = l.request = 20s;
    l.grace = 0ms;
    Served s(l);
    const auto opened = [&](size_t n) { return eventually([&] { return s.stats().open == n; }); };
    HttpClient trickling(s.connect());
    ASSERT_TRUE(trickling.send("GET /hel"));
    ASSERT_TRUE(opened(1));
    HttpClient idle(s.connect());
    ASSERT_TRUE(opened(2));
    HttpClient waiting(s.connect());
    ASSERT_TRUE(waiting.send(http_request("GET", "/later")));
    Responder pending = s.later.take();
    HttpClient later_trickling(s.connect());
    ASSERT_TRUE(later_trickling.send("GET /hello HTTP/1.1\r\nHo"));
    ASSERT_TRUE(opened(4));
    // Each new one, kept alive after its answer, keeps the door full.
    std::vector<std::unique_ptr<HttpClient>> fresh;
    for (HttpClient* gone : {&trickling, &idle, &later_trickling}) {
        fresh.push_back(std::make_unique<HttpClient>(s.connect()));
        EXPECT_EQ(fresh.back()->ask(http_request("GET", "/hello")).status, 200);
        EXPECT_TRUE(closed_by_peer(gone->fd));
    }
    EXPECT_EQ(s.stats().evicted, 3u);
    EXPECT_EQ(s.stats().refused, 0u);
    pending(text("kept"));
    EXPECT_EQ(waiting.reply().body, "kept");
}

// Within their grace, the connections stay and a new one waits its turn;
// a connection that closes lets it in at once.
TEST(HttpServer, ANewConnectionWaitsWhileEveryOneIsWithinItsGrace) {
    DoorLimits l = Served::short_limits();
    l.idle = l.header = l.request = l.grace = 60s;
    Served s(l);
    std::vector<std::unique_ptr<HttpClient>> trickling;
    for (int i = 0; i < 4; ++i) {
        trickling.push_back(std::make_unique<HttpClient>(s.connect()));
        ASSERT_TRUE(trickling.back()->send("GET /hel"));
    }
    ASSERT_TRUE(eventually([&] { return s.stats().open == 4; }));
    HttpClient fresh(s.connect());
    ASSERT_TRUE(fresh.send(http_request("GET", "/hello")));
    EXPECT_EQ(fresh.reply(200).status, 0) << "not before a connection's grace is over";
    trickling[2].reset();
    EXPECT_EQ(fresh.reply().body, "hi");
    EXPECT_EQ(s.stats().evicted, 0u);
    EXPECT_EQ(s.stats().refused, 0u);
    for (const auto& c : trickling) {
        pollfd p{c ? c->fd : -1, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0) << "still open";
    }
}

TEST(HttpServer, DeadlinesCoverTheWholeRequestNotEachByte) {
    Served s;
    // A byte every 50 ms keeps no read waiting long, but the request is
    // never done: closed at the request deadline.
    const int fd = s.connect();
    const auto start = std::chrono::steady_clock::now();
    bool closed = false;
    for (const char ch : std::string("GET /hello HTTP/1.1\r\nX-Slow: ") + std::string(400, 'z')) {
        if (!send_text(fd, std::string(1, ch))) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            closed = closed_by_peer(fd);
            break;
        }
        if (elapsed_ms(start) > NET_WAIT_MS) break;
    }
    EXPECT_TRUE(closed);
    EXPECT_GE(elapsed_ms(start), 400);
    close(fd);
    // A connection that sends nothing is closed after the idle deadline.
    const int silent = s.connect();
    EXPECT_TRUE(closed_by_peer(silent));
    close(silent);
    // (The deadline closes the socket; the count follows on the server's thread.)
    EXPECT_TRUE(eventually([&] { return s.stats().timed_out == 2 && s.stats().open == 0; }))
        << s.stats().timed_out << " " << s.stats().open;
}

// The header has a deadline of its own, shorter than the request's: a
// client that trickles its header is closed at it, one that trickles its
// body after a whole header is not.
TEST(HttpServer, TheHeaderHasAShorterDeadlineOfItsOwn) {
    DoorLimits l = Served::short_limits();
    l.header = 150ms;
    l.idle = l.request = 60s;
    Served s(l);
    const auto trickle = [](HttpClient& c, const std::string& bytes) {
        for (const char ch : bytes) {
            pollfd p{c.fd, POLLIN, 0};
            if (!c.send(std::string(1, ch)) || poll(&p, 1, 30) > 0) return;
        }
    };
    HttpClient body(s.connect());
    ASSERT_TRUE(body.send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n"));
    trickle(body, "0123456789");
    EXPECT_EQ(body.reply().body, "0123456789") << "the body came after the header's deadline";
    HttpClient header(s.connect());
    trickle(header, "GET /hello HTTP/1.1\r\nX-Slow: " + std::string(1000, 'z'));
    EXPECT_TRUE(closed_by_peer(header.fd, NET_WAIT_MS)) << "closed long before the request's deadline";
    // (The count follows the close on the server's thread.)
    EXPECT_TRUE(eventually([&] { return s.stats().timed_out == 1; })) << s.stats().timed_out;
}

TEST(HttpServer, StopsAtOnceWhateverTheClientsDo) {
    DoorLimits l = Served::short_limits();
    l.idle = l.request = 60s;
    auto s = std::make_unique<Served>(l);
    HttpClient slow(s->connect()), idle(s->connect()), waiting(s->connect());
    slow.send("GET /hel");
    waiting.send(http_request("GET", "/later"));
    Responder pending = s->later.take();
    ASSERT_TRUE(eventually([&] { return s->stats().open == 3; }));
    const auto start = std::chrono::steady_clock::now();
    s->server.stop();
    const long long took = elapsed_ms(start);
    EXPECT_LT(took, 2000) << "stopping waits for no client";
    s.reset();
    for (int fd : {slow.fd, idle.fd, waiting.fd}) EXPECT_TRUE(closed_by_peer(fd, 2000));
}

TEST(HttpServer, AcceptWithoutADescriptorPausesAndServesLater) {
    Served s;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Every descriptor taken but one, which the client's socket takes:
    // then the server has none to accept with.
    std::vector<int> hoard;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && hoard.size() < 100000;) hoard.push_back(fd);
    ASSERT_FALSE(hoard.empty());
    close(hoard.back());
    hoard.pop_back();
    const int client = s.connect();
    ASSERT_GE(client, 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return s.stats().accept_errors >= 3; }));
    const long long took = elapsed_ms(start);
    const uint64_t errors = s.stats().accept_errors;
    for (int fd : hoard) close(fd);
    EXPECT_GE(took, 150) << "two pauses at least between three failed accepts";
    EXPECT_LT(errors, 3 + uint64_t(took) / 50) << "no busy loop on accept";
    HttpClient c(client);
    EXPECT_EQ(c.ask(http_request("GET", "/hello")).body, "hi");
}

TEST(Listening, APortInUseAndTooFewDescriptorsAreRefusedWithAReason) {
    std::string err;
    int port = 0, again = 0;
    const int fd = listen_tcp("127.0.0.1", 0, port, err);
    ASSERT_GE(fd, 0) << err;
    EXPECT_EQ(listen_tcp("127.0.0.1", port, again, err), -1);
    EXPECT_EQ(err, "cannot serve HTTP on 127.0.0.1:" + std::to_string(port) +
                       ": the address is in use (another program listens there)");
    close(fd);
    EXPECT_EQ(listen_tcp("no.such.host.invalid", 1, again, err), -1);
    EXPECT_TRUE(has(err, "cannot serve HTTP on no.such.host.invalid:1: ")) << err;

    EXPECT_TRUE(reserve_descriptors(48, err)) << err;
    EXPECT_FALSE(reserve_descriptors(100000000, err));
    EXPECT_TRUE(has(err, "too few descriptors for the services")) << err;
}

// ---- the live socket's file ----

std::string temp_folder() {
    char tmpl[] = "/tmp/tzv58-listen-XXXXXX";
    return mkdtemp(tmpl);
}

TEST(UnixListener, BindsOwnerOnlyAndRemovesOnlyItsOwnFile) {
    const std::string dir = temp_folder(), path = dir + "/s";
    std::string err;
    {
        UnixListener l;
        ASSERT_TRUE(l.open(path, err)) << err;
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        UnixListener second;
        EXPECT_FALSE(second.open(path, err));
        EXPECT_EQ(err, path + ": another process is listening there");
    }
    struct stat st {};
    EXPECT_NE(lstat(path.c_str(), &st), 0) << "removed when done";

    // A file that took its place meanwhile is left alone.
    {
        UnixListener l;
        ASSERT_TRUE(l.open(path, err)) << err;
        unlink(path.c_str());
        close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    }
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(UnixListener, FoldersOthersCanChangeAreRefused) {
    const std::string dir = temp_folder(), path = dir + "/s";
    std::string err;
    UnixListener open_folder;
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    EXPECT_FALSE(open_folder.open(path, err));
    EXPECT_EQ(err,
              "cannot listen on " + path + ": others may write to the folder " + dir + " (and it has no sticky bit)");
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    UnixListener sticky;
    EXPECT_TRUE(sticky.open(path, err)) << err;
    ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
    if (geteuid() != 0) return;  // the rest needs a second user
    // Another user's stale socket, and a folder of another user.
    const std::string theirs = dir + "/theirs";
    ASSERT_EQ(unix_bind(theirs, false), 0);
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    UnixListener foreign;
    EXPECT_FALSE(foreign.open(theirs, err));
    EXPECT_EQ(err, theirs + " is a socket of another user (uid 65534); not replacing it");
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    UnixListener their_folder;
    EXPECT_FALSE(their_folder.open(dir + "/mine", err));
    EXPECT_TRUE(has(err, "the folder " + dir + " belongs to another user (uid 65534)")) << err;
}

// ---- the live API ----

TEST(LiveApi, IdsTravelAsPathSegments) {
    for (const std::string& id : std::vector<std::string>{"out_v", "Out_V", "out_v ", "", "a/b?c%d", "不支持"}) {
        std::string back;
        EXPECT_EQ(decode_id(encode_id(id), back), "") << id;
        EXPECT_EQ(back, id);
        EXPECT_EQ(encode_id(id).find_first_of("/?# "), std::string::npos) << encode_id(id);
    }
    EXPECT_EQ(encode_id("out v"), "out%20v");
    std::string id;
    EXPECT_EQ(decode_id("out%5fv", id), "");
    EXPECT_EQ(id, "out_v");
    for (const char* bad : {"%", "%4", "%zz", "a%g0"}) EXPECT_EQ(decode_id(bad, id), "a malformed %-escape") << bad;
    EXPECT_EQ(decode_id(std::string(LIVE_MAX_ID, 'x'), id), "");
    EXPECT_EQ(decode_id(std::string(LIVE_MAX_ID + 1, 'x'), id), "longer than 256 bytes");
    // An id that is no UTF-8, or holds a control character, names nothing
    // and could not be named back.
    for (const char* bad : {"%ff%fe", "out%C0%AF", "%ED%A0%80", "%E4%B8"}) EXPECT_EQ(decode_id(bad, id), "not UTF-8");
    EXPECT_EQ(decode_id("%E4%B8%8D", id), "");
    EXPECT_EQ(decode_id("%00x", id), "a control character (0x00)");
    EXPECT_EQ(decode_id("out%1B%5B2J", id), "a control character (0x1B)");
    EXPECT_EQ(decode_id("%7F", id), "a control character (0x7F)");
    EXPECT_EQ(decode_id("%C2%9B", id), "a control character (U+009B)");
    EXPECT_EQ(decode_id("%C2%A0", id), "") << "U+00A0 is no control character";
}

// Whatever a text holds, the JSON written from it is UTF-8: each ill-formed
// part becomes one U+FFFD.
TEST(LiveApi, JsonTextsAreAlwaysUtf8) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(json_quote("\xff\xfe"), "\"" + fffd + fffd + "\"");
    EXPECT_EQ(json_quote("a\xE4\xB8z"), "\"a" + fffd + "z\"") << "a character cut short";
    EXPECT_EQ(json_quote("\xC0\xAF\xED\xA0\x80"), "\"" + fffd + fffd + fffd + fffd + fffd + "\"")
        << "overlong forms and surrogates";
    EXPECT_EQ(json_quote("\xF4\x90\x80\x80"), "\"" + fffd + fffd + fffd + fffd + "\"") << "past U+10FFFF";
    EXPECT_EQ(json_quote("不支持 \xF0\x9F\x94\x8B\x01"), "\"不支持 \xF0\x9F\x94\x8B\\u0001\"");
    EXPECT_TRUE(is_utf8("不支持变量"));
    EXPECT_FALSE(is_utf8("\xE4\xB8"));
}

TEST(LiveApi, ControlRequestsAreCheckedBeforeTheyReachTheDevice) {
    ControlRequest c;
    EXPECT_EQ(parse_control_request(control_request_body(320, {0xE5, 0x01}, 8), c), "");
    EXPECT_EQ(c.code, 320);
    EXPECT_EQ(c.in, (std::vector<uint8_t>{0xE5, 0x01}));
    EXPECT_EQ(c.out_len, 8);
    EXPECT_EQ(parse_control_request("{\r\n\t\"code\":0\n}", c), "");
    EXPECT_EQ(c.out_len, 4);
    EXPECT_TRUE(c.in.empty());
    const std::pair<std::string, std::string> refused[] = {
        {std::string(1000, '['), "nested deeper than 8 levels"},
        {std::string(1000, '{'), "not JSON"},
        {"{\"code\":1,\"x\":[[[[[[[[[1]]]]]]]]]}", "nested deeper than 8 levels"},
        {"not json", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {"{\"code\":1}x", "not JSON"},
        {"{\"code\":\"320\"}", "\"code\" must be a 32-bit integer"},
        // Whole numbers in decimal digits, as the command line takes them.
        {"{\"code\":1e2}", "\"code\" must be a 32-bit integer in decimal digits"},
        {"{\"code\":300.0}", "\"code\" must be a 32-bit integer in decimal digits"},
        {"{\"code\":300,\"out_len\":4E0}", "\"out_len\" must be 0 to 4096 in decimal digits"},
        {"{\"code\":300,\"wait_ms\":1.5e3}", "\"wait_ms\" must be 0 to 3600000 in decimal digits"},
        {"{\"code\":999,\"in\":\"\",\"code\":300}", "malformed request: member \"code\" given twice"},
        {"{\"code\":4294967296}", "\"code\" must be a 32-bit integer"},
        {"{\"code\":1,\"in\":\"0\"}", "\"in\" must be hex"},
        {"{\"code\":1,\"in\":\"" + std::string(2 * LIVE_MAX_CONTROL_IN + 2, 'A') + "\"}", "\"in\" must be hex"},
        {"{\"code\":1,\"out_len\":-1}", "\"out_len\" must be 0 to 4096"},
        {"{\"code\":1,\"out_len\":4097}", "\"out_len\" must be 0 to 4096"},
        // The reader stops at a NUL: the command after it must not run.
        {std::string("{\"code\":999}\0{\"code\":300}", 26), "a NUL byte at byte 13 of the body"},
        {"{\"code\":300,\"in\":\"\x1b[2J\"}", "a control character (0x1B) at byte 19"},
        {"{\"code\":300,\"in\":\"\x7f\"}", "a control character (0x7F)"},
        {"{\"code\":300,\"in\":\"\xff\"}", "the body is not UTF-8"},
        {"{\"code\":300,\"wait_msec\":5000}",
         "unknown member \"wait_msec\" (a control request takes code, in, out_len and wait_ms)"},
        {"{\"code\":300,\"\\u001b\":1}", "unknown member \"\\x1B\""},
        {"{\"code\":300,\"" + std::string(100, 'x') + "\":1}", "unknown member \"" + std::string(64, 'x') + "...\""},
    };
    for (const auto& r : refused)
        EXPECT_TRUE(has(parse_control_request(r.first, c), r.second)) << r.first.substr(0, 40);
}

}  // namespace

namespace {

// A trend source that holds each reading until the test lets it go (or the
// reader gives it up), and fails for hours=13.
struct GatedTrend {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int started = 0, cancelled = 0;

    TrendSource source() {
        return [this](int hours, const std::string&, const std::atomic<bool>& cancel, std::string& json,
                      std::string& err) {
            std::unique_lock<std::mutex> lock(mutex);
            ++started;
            cv.notify_all();
            while (!open && !cancel) cv.wait_for(lock, 1ms);
            if (cancel) ++cancelled;
            if (hours == 13) {
                err = "no such file";
                return false;
            }
            json = "{\"hours\":" + std::to_string(hours) + "}";
            return true;
        };
    }
    void let_go() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
    }
    int started_count() {
        std::lock_guard<std::mutex> lock(mutex);
        return started;
    }
};

// A server with one door whose /api/trend goes to the reader.
struct TrendServed {
    explicit TrendServed(TrendReader& reader) {
        DoorConfig c;
        c.name = "http";
        c.routes = {{"GET", "/api/trend", false,
                     [&reader](const HttpRequest& r, Responder reply) { reader.handle(r, std::move(reply)); }, true}};
        std::string err;
        const int fd = listen_tcp("127.0.0.1", 0, port, err);
        EXPECT_GE(fd, 0) << err;
        server.add_door(fd, c);
        server.start();
    }
    HttpServer server;
    int port = 0;
};

}  // namespace

TEST(TrendRoute, QueriesOtherThanHoursAreRefusedAtOnce) {
    GatedTrend gate;
    gate.let_go();
    TrendReader reader(gate.source());
    TrendServed s(reader);
    HttpClient c(tcp_connect(s.port));
    for (const char* q : {"?hours=0", "?hours=169", "?hours=0x10", "?hours=-1", "?hours=6&x=1", "?days=1", "?hours="}) {
        const HttpReply r = c.ask(http_request("GET", std::string("/api/trend") + q));
        EXPECT_EQ(r.status, 400) << q;
        EXPECT_TRUE(has(r.body, "{\"error\":\"the query takes only hours=N, a whole number of hours from 1 to 168"))
            << r.body;
    }
    EXPECT_EQ(gate.started_count(), 0);
    EXPECT_EQ(c.ask(http_request("GET", "/api/trend")).body, "{\"hours\":6}");
    EXPECT_EQ(c.ask(http_request("GET", "/api/trend?")).body, "{\"hours\":6}");
    EXPECT_EQ(c.ask(http_request("GET", "/api/trend?hours=168")).body, "{\"hours\":168}");
    EXPECT_EQ(c.ask(http_request("GET", "/api/trend?hours=010")).body, "{\"hours\":10}") << "decimal";
    const HttpReply failed = c.ask(http_request("GET", "/api/trend?hours=13"));
    EXPECT_EQ(failed.status, 503);
    EXPECT_EQ(failed.body, "{\"error\":\"the history file: no such file\"}\n");
}

// One reading at a time, TREND_WAITING requests behind it, and the next
// refused at once: a crowd of trend requests never grows a queue.
TEST(TrendRoute, OneReadingAtATimeAFewWaitingTheRestRefused) {
    GatedTrend gate;
    TrendReader reader(gate.source());
    TrendServed s(reader);
    std::vector<std::unique_ptr<HttpClient>> clients;
    for (size_t i = 0; i <= TREND_WAITING; ++i) {
        clients.push_back(std::make_unique<HttpClient>(tcp_connect(s.port)));
        ASSERT_TRUE(clients.back()->send(http_request("GET", "/api/trend?hours=" + std::to_string(i + 1))));
        if (i == 0) {
            ASSERT_TRUE(eventually([&] { return gate.started_count() == 1; }));
        }
    }
    ASSERT_TRUE(eventually([&] { return reader.waiting() == TREND_WAITING; }));
    HttpClient late(tcp_connect(s.port));
    const HttpReply refused = late.ask(http_request("GET", "/api/trend"));
    EXPECT_EQ(refused.status, 503);
    EXPECT_TRUE(has(refused.body, "the trend is being read for 4 other requests; try again")) << refused.body;
    gate.let_go();
    for (size_t i = 0; i <= TREND_WAITING; ++i) {
        const HttpReply r = clients[i]->reply();
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "{\"hours\":" + std::to_string(i + 1) + "}");
    }
    EXPECT_EQ(gate.started_count(), int(TREND_WAITING) + 1);
}

TEST(TrendRoute, StoppingGivesUpTheReadingUnderWay) {
    GatedTrend gate;
    TrendReader reader(gate.source());
    TrendServed s(reader);
    HttpClient c(tcp_connect(s.port));
    ASSERT_TRUE(c.send(http_request("GET", "/api/trend")));
    ASSERT_TRUE(eventually([&] { return gate.started_count() == 1; }));
    s.server.stop();
    reader.stop();
    EXPECT_EQ(gate.cancelled, 1);
    EXPECT_EQ(reader.waiting(), 0u);
}

// Raw clients for the tests of the program's servers: loopback TCP and Unix
// sockets, HTTP/1.1 written and read by hand (so that a test can send what a
// real client never would), every wait bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Bound of every wait; qemu and the sanitizers are slow.
constexpr int NET_WAIT_MS = 20000;

inline int unix_connect(const std::string& path) {
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

// A socket file bound at path (-1 if it cannot be): listening, or left
// behind by a listener that is gone (closed at once).
inline int unix_bind(const std::string& path, bool listening) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), std::min(path.size(), sizeof addr.sun_path - 1));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        (listening && listen(fd, 4) != 0)) {
        if (fd >= 0) close(fd);
        return -1;
    }
    if (listening) return fd;
    close(fd);
    return 0;
}

inline int tcp_connect(int port) {
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

inline bool send_text(int fd, const std::string& s) {
    return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size());
}

inline long long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

// Appends what the peer sends to `got` until `enough(got)`, the peer closes,
// or wait_ms pass. true when enough came.
template <class Enough>
bool receive_until(int fd, std::string& got, Enough enough, int wait_ms = NET_WAIT_MS) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (enough(got)) return true;
        const long long left = wait_ms - elapsed_ms(start);
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0) return false;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return enough(got);
        got.append(buf, size_t(n));
    }
}

// What the peer sends until it closes (or wait_ms pass).
inline std::string receive_all(int fd, int wait_ms = NET_WAIT_MS) {
    std::string got;
    receive_until(
        fd, got, [](const std::string&) { return false; }, wait_ms);
    return got;
}

// True when the peer closes the connection within wait_ms.
inline bool closed_by_peer(int fd, int wait_ms = NET_WAIT_MS) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const long long left = wait_ms - elapsed_ms(start);
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0) return false;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

struct HttpReply {
    int status = 0;  // 0: no complete response
    std::string head, body;
    bool closes = false;  // "Connection: close"
};

// One connection that reads responses one after another (Content-Length
// framed; what follows a response is kept for the next).
struct HttpClient {
    explicit HttpClient(int fd_) : fd(fd_) {}
    ~HttpClient() {
        if (fd >= 0) close(fd);
    }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    bool send(const std::string& s) { return fd >= 0 && send_text(fd, s); }

    HttpReply reply(int wait_ms = NET_WAIT_MS) {
        HttpReply r;
        size_t head_end = std::string::npos, length = 0;
        const auto complete = [&](const std::string& got) {
            head_end = got.find("\r\n\r\n");
            if (head_end == std::string::npos) return false;
            std::string head = got.substr(0, head_end);
            std::transform(head.begin(), head.end(), head.begin(), ::tolower);
            const size_t cl = head.find("content-length:");
            length = cl == std::string::npos ? 0 : std::strtoul(head.c_str() + cl + 15, nullptr, 10);
            return got.size() >= head_end + 4 + length;
        };
        if (fd < 0 || !receive_until(fd, pending, complete, wait_ms)) return r;
        r.head = pending.substr(0, head_end);
        r.body = pending.substr(head_end + 4, length);
        pending.erase(0, head_end + 4 + length);
        std::sscanf(r.head.c_str(), "HTTP/1.%*d %d", &r.status);
        std::string lower = r.head;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        r.closes = lower.find("connection: close") != std::string::npos;
        return r;
    }

    HttpReply ask(const std::string& request, int wait_ms = NET_WAIT_MS) {
        send(request);
        return reply(wait_ms);
    }

    int fd;
    std::string pending;
};

// A request as a client writes it; the body gets its Content-Length.
inline std::string http_request(const std::string& method, const std::string& target, const std::string& body = "",
                                const std::string& headers = "") {
    std::string r = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headers;
    if (!body.empty() || method == "POST") r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

// One request on a connection of its own.
inline HttpReply http_once(int fd, const std::string& request) {
    HttpClient c(fd);
    return c.ask(request);
}
inline HttpReply http_get(int port, const std::string& target) {
    return http_once(tcp_connect(port), http_request("GET", target, "", "Connection: close\r\n"));
}

// Prometheus metrics of a running poll: `--metrics [HOST:]PORT` serves
// GET /metrics in the text exposition format 0.0.4, rendered at each scrape
// from the snapshot the scheduler leaves at each round end.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tools/live/live_state.h"

namespace tzv58::tool {

// The snapshot in the text exposition format. `now` gives the age of the
// last complete round.
std::string render_metrics(const LiveSnapshot& s, std::chrono::steady_clock::time_point now);

// "[HOST:]PORT" (HOST defaults to 127.0.0.1; "[::1]:9100" for IPv6; port 0
// picks a free port). false with a one-line reason.
bool parse_metrics_address(const std::string& text, std::string& host, int& port, std::string& err);

// The HTTP side, on threads of its own (cpp-httplib). Slow or stuck clients
// hold one worker each until the read or write timeout; the poll never waits
// for them.
class MetricsServer {
public:
    MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;
    ~MetricsServer();

    // false when this build has no HTTP library.
    static bool available();
    // Binds the address. false with a one-line reason.
    bool open(const std::string& host, int port, std::string& err);
    int port() const { return port_; }
    // Serves GET /metrics with `render`; any other path is 404.
    void start(std::function<std::string()> render);
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = -1;
};

}  // namespace tzv58::tool

// Live access to a running poll: the socket for `get` and `control`
// (--listen PATH) and the Prometheus metrics (--metrics [HOST:]PORT).
//
// Threads: the scheduler alone drives the device. Clients are served on the
// socket's thread and HTTP on the metrics server's; requests to the device
// wait in a queue until the scheduler calls idle() between exchanges, and
// both read a snapshot that the scheduler leaves at each round end.
#pragma once

#include <memory>
#include <string>

#include <json/value.h>

#include "tools/report/events.h"
#include "tools/line/line.h"
#include "tools/live/live_socket.h"
#include "tools/live/live_state.h"
#include "tools/live/metrics.h"
#include "tools/common/plugin_host.h"
#include "tools/line/scheduler.h"

namespace tzv58::tool {

class LiveService : public BetweenExchanges {
public:
    // Its watch on the device joins the program's observers. reply_timeout_ms:
    // how long a control command's reply is waited for.
    LiveService(LoadedDevice& device, EventPrinter& events, EventFanout& observers, int reply_timeout_ms);
    LiveService(const LiveService&) = delete;
    LiveService& operator=(const LiveService&) = delete;
    ~LiveService() override;

    // Opens the socket (empty path: none) and the metrics address (empty:
    // none). false with a one-line reason.
    bool open(const std::string& socket_path, const std::string& metrics_address, std::string& err);

    // Starts serving once the line is open; returns the ready line, which
    // names the socket and the metrics port.
    std::string start(Line& line);

    void round_ended(bool complete) override;
    void idle() override;

private:
    std::string run_request(const Json::Value& request);
    std::string run_get(const Json::Value& ids);
    std::string run_control(const Json::Value& request);
    // Serves the line until the device awaits nothing more, or the reply
    // timeout passes: what came back ("answered", "none", ...).
    std::string await_reply(uint64_t payloads_before, uint64_t errors_before);
    std::string values_reply() const;  // on the socket's thread
    void publish();

    LoadedDevice& dev_;
    EventPrinter& events_;
    int reply_timeout_ms_;
    LiveTap& tap_;  // among the program's observers
    Line* line_ = nullptr;
    SnapshotBox box_;
    LiveSnapshot state_;  // the scheduler's side of the snapshot
    std::unique_ptr<LiveSocket> socket_;
    std::unique_ptr<MetricsServer> metrics_;
    std::string metrics_host_;
};

}  // namespace tzv58::tool

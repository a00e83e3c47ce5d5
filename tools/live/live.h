// Live access to a running poll: the live socket for `get` and `control`
// (--listen PATH) and the HTTP port with the Prometheus metrics
// (--http [HOST:]PORT, or --metrics), served by one HTTP server.
//
// Threads: the scheduler alone drives the device. The server's thread serves
// both doors; requests for the device wait in a queue until the scheduler
// calls idle() between exchanges, and the rest is answered from a snapshot
// that the scheduler leaves at each round end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/history_status.h"
#include "tools/common/plugin_host.h"
#include "tools/line/line.h"
#include "tools/line/scheduler.h"
#include "tools/live/device_queue.h"
#include "tools/live/http_server.h"
#include "tools/live/live_api.h"
#include "tools/live/live_state.h"
#include "tools/live/status.h"
#include "tools/live/trend_route.h"
#include "tools/live/unix_listener.h"
#include "tools/report/events.h"

namespace tzv58::tool {

// The doors' limits (docs/live.md names them).
constexpr size_t SOCKET_CONNECTIONS = 16;
constexpr size_t HTTP_CONNECTIONS = 32;
// How long a request for the device may wait for the scheduler.
constexpr std::chrono::milliseconds DEVICE_WAIT{10000};
DoorLimits live_door_limits(size_t connections);

// Checked before the run opens anything (status 1 when short, so that a
// service manager starts it again): the descriptors a start opens at most
// (outputs and their pumps, the line, the history file and its journal, the
// doors, the notifier's pipes), the doors' connections and the reserve of
// reserve_descriptors fit under the limit.
bool live_descriptors(bool socket, bool http, std::string& err);

// One power system as the doors see it: its device's queue of requests and
// the snapshot the scheduler leaves of it.
class LiveDevice : public BetweenExchanges {
public:
    // name: a site's power system ("" in a one-device run). Its watch on the
    // device joins the device's observers. reply_timeout_ms: how long a
    // control command's reply is waited for; dc: the program's watch of the
    // DC units each reply reports.
    LiveDevice(std::string name, LoadedDevice& device, EventPrinter& events, EventFanout& observers,
               int reply_timeout_ms, const DcUnitWatch* dc = nullptr);
    LiveDevice(const LiveDevice&) = delete;
    LiveDevice& operator=(const LiveDevice&) = delete;
    ~LiveDevice() override;

    const std::string& name() const { return name_; }
    // The name a request may give it: a site's, or ONE_DEVICE_NAME.
    const std::string& known_as() const { return known_as_; }
    // What the history file is doing, for /metrics and the status object;
    // asked at each round end.
    void watch_history(HistoryStatusSource source) { history_ = std::move(source); }
    // Its line, once open: the first snapshot.
    void start(Line& line);
    // The snapshot, from any thread.
    LiveSnapshot snapshot() const { return box_.get(); }

    // On the server's thread: requests for the device, queued for the
    // scheduler.
    void get_value(const std::string& id, Responder reply);
    void post_control(const ControlRequest& request, Responder reply);
    // Answers the requests that waited too long.
    void expire();
    // Drops every request unanswered (the server is stopping).
    void clear() { jobs_.clear(); }
    // Its model's values (GET /model, /api/model): the same for the whole run.
    const std::string& model() const { return model_json_; }

    void round_ended(bool complete) override;
    void idle() override;
    void link_changed() override;

private:
    HttpResponse run_get(const std::string& id);
    HttpResponse run_control(const ControlRequest& request);
    // Serves the line until the device awaits nothing more, or wait_ms
    // passes: what came back ("answered", "none", ...).
    std::string await_reply(uint64_t payloads_before, uint64_t errors_before, int wait_ms);
    // The device's result query: 1 once it took a reply as the last
    // command's answer, -1 before.
    int32_t recorded_answer();
    // The link's state and the host clock's time, in the scheduler's side of
    // the snapshot.
    void stamp();
    HttpResponse not_taken() const;
    // "the serial line is down since T (cause)", from the snapshot.
    std::string line_down() const;
    void publish();

    const std::string name_, known_as_;
    LoadedDevice& dev_;
    EventPrinter& events_;
    int reply_timeout_ms_;
    LiveTap& tap_;                  // among the device's observers
    const std::string model_json_;  // GET /model, /api/model: the same for the whole run
    Line* line_ = nullptr;
    SnapshotBox box_;
    LiveSnapshot state_;  // the scheduler's side of the snapshot
    std::atomic<bool> link_open_{false};
    DeviceQueue jobs_{DEVICE_WAIT};
    HistoryStatusSource history_;
};

// The doors of a run: one server for every power system.
class LiveService {
public:
    LiveService() = default;
    LiveService(const LiveService&) = delete;
    LiveService& operator=(const LiveService&) = delete;
    ~LiveService();

    // A power system the doors serve (before open()); a site's are named.
    LiveDevice& add(std::unique_ptr<LiveDevice> device);
    // Opens the socket (empty path: none) and the HTTP address (empty: none;
    // "[HOST:]PORT", already checked), with descriptors for their
    // connections. false with a one-line reason.
    bool open(const std::string& socket_path, const std::string& http_address, std::string& err);
    // The history's trend for the site page at /api/trend (without it, the
    // path is not served). Before open().
    void serve_trend(TrendSource source);

    // Starts serving once every power system has started (LiveDevice::
    // start); returns the ready line, which names the socket, the metrics
    // URL and the page.
    std::string start();

private:
    std::vector<Route> socket_routes();
    // Read-only routes of the TCP door.
    std::vector<Route> http_routes();
    // The power system a request names (?device=NAME), or the one of a run
    // that has one; nullptr once the request is answered with why not.
    // query: what else the route takes, read into `query`.
    LiveDevice* device_for(const HttpRequest& r, const std::vector<std::string>& also,
                           std::map<std::string, std::string>& query, const Responder& reply);
    bool site() const { return devices_.size() > 1 || (!devices_.empty() && !devices_.front()->name().empty()); }
    std::string status_body(const HttpRequest& r, const Responder& reply);
    void model_route(const HttpRequest& r, Responder reply);

    std::vector<std::unique_ptr<LiveDevice>> devices_;
    UnixListener socket_;
    std::unique_ptr<TrendReader> trend_;  // stopped before the server goes
    std::string http_url_;
    HttpServer server_;  // last: stopped and gone before what its handlers use
};

}  // namespace tzv58::tool

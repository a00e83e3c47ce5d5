// The live socket of `poll` and `simulate --listen PATH`: a Unix stream
// socket (mode 0600) through which `tzv58-host get` and `control` reach the
// running device.
//
// One JSON object per line each way. Requests:
//   {"op":"values"}                                   the last published record
//   {"op":"get","ids":["out_v","ac"]}                 Get_Value for each id
//   {"op":"control","code":320,"in":"HEX","out_len":4} DeviceIoControl
// Replies:
//   {"link":"open","age":1.5,"record":"HEX"}          (no "record" before the first round)
//   {"values":[{"id":"out_v","value":53.5},{"id":"x","error":"..."}]}
//   {"code":320,"result":0,"out_written":0,"out":"","sent":"~...","reply":"answered"}
//   {"error":"..."}                                   a request the host refuses
//
// Clients are served on a thread of their own; requests to the device are
// queued and run by the scheduler between exchanges (run_queued), so that no
// client can cut into or delay a poll exchange.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <json/value.h>

namespace tzv58::tool {

class LiveSocket {
public:
    static constexpr size_t MAX_REQUEST = 4096;  // bytes of one request line
    static constexpr size_t MAX_CLIENTS = 16;
    static constexpr size_t MAX_IDS = 64;
    static constexpr size_t MAX_ID = 256;
    static constexpr size_t MAX_CONTROL_IN = 1024;  // input bytes of a control request
    static constexpr int MAX_CONTROL_OUT = 4096;
    // A client that sends or takes nothing for this long is dropped.
    static constexpr int IDLE_MS = 10000;
    // A queued request that the scheduler could not run for this long (a
    // port that is being reopened) is answered with an error instead.
    static constexpr int EXPIRE_MS = 10000;

    LiveSocket() = default;
    LiveSocket(const LiveSocket&) = delete;
    LiveSocket& operator=(const LiveSocket&) = delete;
    ~LiveSocket();

    // Binds PATH (mode 0600). A stale socket file is replaced; a socket with
    // a live listener, or a file that is no socket, is refused. false with a
    // one-line reason.
    bool open(const std::string& path, std::string& err);

    // Serves clients on a thread of its own; `values` answers {"op":"values"}
    // there (from a snapshot, never from the device).
    void start(std::function<std::string()> values);

    // On the scheduler's thread: runs up to max_jobs queued device requests
    // through `run` (a validated request in, a reply line out).
    void run_queued(const std::function<std::string(const Json::Value&)>& run, int max_jobs);

    // Stops the thread, closes every client and removes the socket file.
    void stop();

    const std::string& path() const { return path_; }

private:
    struct Job {
        uint64_t client;
        Json::Value request;
        std::chrono::steady_clock::time_point queued;
        std::string reply;
    };
    struct Client;

    void serve();
    void wake();

    std::string path_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::function<std::string()> values_;
    std::thread thread_;
    std::mutex mutex_;
    std::deque<Job> queued_, done_;
    bool stopping_ = false;
};

// The request line checked against what the socket accepts: "" when it may
// go on (to the device, or to the snapshot for "values"), else the reason.
std::string check_live_request(const std::string& line, Json::Value& request);

}  // namespace tzv58::tool

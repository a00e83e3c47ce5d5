// GET /api/trend?hours=N on the HTTP door: DC voltage and load current over
// the last hours, from the history file. Reading a long history takes a
// while, so a thread of its own reads it, one request at a time with a few
// waiting; the server's thread answers everyone else meanwhile, and a
// crowd of trend requests gets 503 rather than a queue without end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tools/live/http_server.h"

namespace tzv58::tool {

constexpr int TREND_HOURS_DEFAULT = 6;
constexpr int TREND_HOURS_MAX = 168;
// Requests waiting while one is read; more are refused (503).
constexpr size_t TREND_WAITING = 4;

// Reads the trend of the last `hours` hours of one power system (device: a
// site's, by name; "" for the one of a run) as the JSON answer; gives up soon
// once cancel is set. false with a one-line reason.
using TrendSource = std::function<bool(int hours, const std::string& device, const std::atomic<bool>& cancel,
                                       std::string& json, std::string& err)>;

// The hours a request target asks for: "?hours=N" (1 to TREND_HOURS_MAX),
// or TREND_HOURS_DEFAULT without one. false with a reason.
bool trend_hours(const std::string& target, int& hours, std::string& err);

class TrendReader {
public:
    explicit TrendReader(TrendSource source);
    ~TrendReader();
    TrendReader(const TrendReader&) = delete;
    TrendReader& operator=(const TrendReader&) = delete;

    // The route's handler, on the server's thread.
    void handle(const HttpRequest& r, Responder reply);
    // The same for hours and a device the caller has read from the request.
    void handle(int hours, const std::string& device, Responder reply);
    // Gives up the reading under way and ends the thread; requests still
    // waiting go unanswered. Call it before the server goes.
    void stop();
    // Requests waiting for the reading under way to end.
    size_t waiting();

private:
    struct Waiting {
        int hours;
        std::string device;
        Responder reply;
    };
    void run();

    TrendSource source_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Waiting> waiting_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace tzv58::tool

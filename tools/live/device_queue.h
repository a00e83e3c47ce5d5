// Requests for the device: queued on the HTTP server's thread, run by the
// scheduler between two poll exchanges (never while a reply is awaited). A
// request that the scheduler has not taken within its wait (a line being
// reopened, a long round) is answered from the server's thread instead.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>

#include "tools/live/http_server.h"

namespace tzv58::tool {

class DeviceQueue {
public:
    using Work = std::function<HttpResponse()>;
    explicit DeviceQueue(std::chrono::milliseconds wait) : wait_(wait) {}

    // Any thread.
    void push(Work work, Responder reply);
    // The scheduler: runs up to max_jobs requests, oldest first, and answers
    // each. Returns how many ran.
    int run(int max_jobs);
    // The server's thread: answers every request that has waited longer
    // than the wait with `why()`, which then never runs.
    void expire(const std::function<HttpResponse()>& why);
    // Drops every request unanswered (the server is stopping).
    void clear();
    std::chrono::milliseconds wait() const { return wait_; }

private:
    struct Job {
        Work work;
        Responder reply;
        std::chrono::steady_clock::time_point queued;
    };
    std::mutex mutex_;
    std::deque<Job> jobs_;
    std::chrono::milliseconds wait_;
};

}  // namespace tzv58::tool

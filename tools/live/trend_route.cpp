#include "tools/live/trend_route.h"

#include <utility>

#include "tools/common/options.h"
#include "tools/common/signals.h"

namespace tzv58::tool {

bool trend_hours(const std::string& target, int& hours, std::string& err) {
    const std::string rule = "hours=N, a whole number of hours from 1 to " + std::to_string(TREND_HOURS_MAX);
    const size_t q = target.find('?');
    hours = TREND_HOURS_DEFAULT;
    if (q == std::string::npos || q + 1 == target.size()) return true;
    const std::string query = target.substr(q + 1);
    long long n = 0;
    if (query.compare(0, 6, "hours=") != 0 || !parse_whole(query.substr(6), n) || n < 1 || n > TREND_HOURS_MAX) {
        err = "the query takes only " + rule + ", not '" + query.substr(0, 64) + "'";
        return false;
    }
    hours = int(n);
    return true;
}

TrendReader::TrendReader(TrendSource source) : source_(std::move(source)) {
    thread_ = quiet_thread([this] { run(); });
}

TrendReader::~TrendReader() { stop(); }

void TrendReader::handle(const HttpRequest& r, Responder reply) {
    int hours = 0;
    std::string err;
    if (!trend_hours(r.target, hours, err)) return reply(error_response(400, err, true));
    handle(hours, "", std::move(reply));
}

void TrendReader::handle(int hours, const std::string& device, Responder reply) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_ && waiting_.size() < TREND_WAITING) {
            waiting_.push_back({hours, device, std::move(reply)});
            cv_.notify_one();
            return;
        }
    }
    reply(error_response(
        503, "the trend is being read for " + std::to_string(TREND_WAITING) + " other requests; try again", true));
}

void TrendReader::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        waiting_.clear();
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
}

size_t TrendReader::waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.size();
}

void TrendReader::run() {
    for (;;) {
        Waiting w;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_) return;
            w = std::move(waiting_.front());
            waiting_.pop_front();
        }
        HttpResponse r;
        std::string err;
        if (!source_(w.hours, w.device, stopping_, r.body, err))
            r = error_response(503, "the history file: " + err, true);
        if (stopping_) return;
        w.reply(std::move(r));
    }
}

}  // namespace tzv58::tool

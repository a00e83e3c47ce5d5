#include "tools/notify/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/common/clock.h"
#include "tools/common/signals.h"

namespace tzv58::tool {
namespace {

// While a program runs the runner looks this often whether it has ended.
constexpr int TICK_MS = 50;
// Overflow is reported at most this often while it lasts, and at the end.
constexpr long long DROP_REPORT_MS = 5000;

}  // namespace

NoticeRunner::NoticeRunner(std::string program, std::vector<std::string> env, const RunnerLimits& limits, FILE* report)
    : program_(std::move(program)), env_(std::move(env)), limits_(limits), report_(report) {}

NoticeRunner::~NoticeRunner() {
    finish();
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
}

bool NoticeRunner::start(std::string& err) {
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        err = std::string("option --on-event: cannot start the runner: ") + std::strerror(errno);
        return false;
    }
    thread_ = quiet_thread([this] { run(); });
    return true;
}

void NoticeRunner::post(Notice notice) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ending_) return;
        if (queue_.size() >= limits_.queued) {
            ++dropped_;
            return;
        }
        wake = queue_.empty();
        queue_.push_back(std::move(notice));
    }
    // The runner drains the whole queue once woken: one byte for the first.
    if (wake && wake_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
    }
}

void NoticeRunner::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    if (!thread_.joinable()) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
    thread_.join();
}

long long NoticeRunner::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void NoticeRunner::run() {
    for (;;) {
        const long long now = now_ms();
        bool ending, waiting;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending = ending_;
            waiting = !queue_.empty();
        }
        if (ending && end_by_ms_ < 0) {
            end_by_ms_ = now + limits_.end_wait_ms;
            size_t queued = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                queued = queue_.size();
            }
            if (!runs_.empty() || queued)
                std::fprintf(report_, "tzv58-host: on-event: waiting up to %g s for %zu running, %zu queued\n",
                             limits_.end_wait_ms / 1000.0, runs_.size(), queued);
        }
        if (ending && !ended_ && now >= end_by_ms_) end_now(now);
        if (!ended_) start_queued(now);
        stop_overdue(now);
        relay_and_reap(now);
        report_dropped(now, false);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            waiting = !queue_.empty();
        }
        if (ending && runs_.empty() && !waiting) break;
        // A program that SIGKILL does not end (stuck in the kernel) is left.
        if (ended_ && now >= end_by_ms_ + limits_.kill_after_ms + 1000) {
            for (const auto& r : runs_)
                std::fprintf(report_, "tzv58-host: on-event %s: still there after SIGKILL; left behind\n",
                             r->label().c_str());
            break;
        }
        std::fflush(report_);
        wait_for_work(!runs_.empty() || ending);
    }
    report_dropped(now_ms(), true);
    std::fflush(report_);
}

void NoticeRunner::start_queued(long long now) {
    while (runs_.size() < size_t(limits_.parallel)) {
        Notice next;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty()) return;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        const std::string label = next.label;
        std::string err;
        auto run = ProgramRun::start(program_, env_, std::move(next), now, err);
        if (run)
            runs_.push_back(std::move(run));
        else
            std::fprintf(report_, "tzv58-host: on-event %s: %s\n", label.c_str(), err.c_str());
    }
}

void NoticeRunner::relay_and_reap(long long now) {
    for (auto it = runs_.begin(); it != runs_.end();) {
        ProgramRun& r = **it;
        r.relay(report_, limits_.stderr_bytes, false);
        if (!r.reap()) {
            ++it;
            continue;
        }
        r.relay(report_, limits_.stderr_bytes, true);
        std::fprintf(report_, "tzv58-host: on-event %s: %s\n", r.label().c_str(), r.outcome(now).c_str());
        it = runs_.erase(it);
    }
}

void NoticeRunner::stop_overdue(long long now) {
    for (const auto& r : runs_) {
        if (!r->stopped() && now - r->started_ms() >= limits_.timeout_ms) {
            char why[48];
            std::snprintf(why, sizeof why, "ran into the %g s limit", limits_.timeout_ms / 1000.0);
            r->stop(SIGTERM, why, now);
        } else if (r->stopped() && r->stop_signal() != SIGKILL && now - r->stopped_ms() >= limits_.kill_after_ms) {
            r->stop(SIGKILL, "", now);
        }
    }
}

// The end's wait is over: what waits is not run, what runs is stopped.
void NoticeRunner::end_now(long long now) {
    ended_ = true;
    size_t unrun = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unrun = queue_.size();
        queue_.clear();
    }
    if (unrun) std::fprintf(report_, "tzv58-host: on-event: %zu event(s) not notified: the program ends\n", unrun);
    for (const auto& r : runs_)
        if (!r->stopped()) r->stop(SIGTERM, "the program ends", now);
}

void NoticeRunner::report_dropped(long long now, bool at_end) {
    long long dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped = dropped_;
    }
    if (dropped == dropped_reported_) return;
    if (!at_end && dropped_reported_ != 0 && now - dropped_report_ms_ < DROP_REPORT_MS) return;
    std::fprintf(report_,
                 "tzv58-host: on-event: the queue was full (%zu events): %lld event(s) not notified, %lld in all\n",
                 limits_.queued, dropped - dropped_reported_, dropped);
    dropped_reported_ = dropped;
    dropped_report_ms_ = now;
}

void NoticeRunner::wait_for_work(bool ticking) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}};
    for (const auto& r : runs_)
        if (r->stderr_fd() >= 0) fds.push_back({r->stderr_fd(), POLLIN, 0});
    ::poll(fds.data(), fds.size(), ticking ? TICK_MS : -1);
    char buf[64];
    while (::read(wake_[0], buf, sizeof buf) > 0) {}
}

}  // namespace tzv58::tool

#include "tools/common/counted.h"
#include "tools/notify/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/common/clock.h"
#include "tools/common/exit_status.h"
#include "tools/common/notify_status.h"
#include "tools/common/output_pump.h"
#include "tools/common/signals.h"

namespace tzv58::tool {
namespace {

// While a program runs the runner looks this often whether it has ended.
constexpr int TICK_MS = 50;

}  // namespace

NoticeRunner::NoticeRunner(std::string program, std::vector<std::string> env, const RunnerLimits& limits, FILE* report)
    : program_(std::move(program)), env_(std::move(env)), limits_(limits), report_(report) {
    counted_ = &drop_count("notify");  // in the metrics from 0 on
}

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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ending_) return;
        if (!queue_.empty() && queue_.size() >= limits_.queued) {
            queue_.pop_front();
            ++dropped_;
            ++*counted_;
            if (dropping_since_ms_ < 0) dropping_since_ms_ = now_ms();
        }
        queue_.push_back(std::move(notice));
    }
    // Every notice wakes the runner: a byte more in a pipe it empties.
    if (wake_[1] >= 0) {
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

size_t NoticeRunner::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void NoticeRunner::run() {
    for (;;) {
        const long long now = now_ms();
        bool ending;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending = ending_;
        }
        if (ending && end_by_ms_ < 0) {
            end_by_ms_ = now + limits_.end_wait_ms;
            const size_t waiting = queued();
            if (!runs_.empty() || waiting)
                std::fprintf(report_, "tzv58-host: on-event: waiting up to %g s for %zu running, %zu queued\n",
                             limits_.end_wait_ms / 1000.0, runs_.size(), waiting);
        }
        if (ending && !ended_ && now >= end_by_ms_) end_now(now);
        stop_overdue(now);
        relay_and_reap(now);
        // After the reaping: the places it freed are taken at once.
        if (!ended_) start_queued(now);
        report_dropped(now, false);
        const size_t waiting = queued();
        if (ending && runs_.empty() && !waiting) break;
        // A program that SIGKILL does not end (stuck in the kernel) is left.
        if (ended_ && now >= end_by_ms_ + limits_.kill_after_ms + 1000) {
            for (const auto& r : runs_)
                tell(report_, "on-event " + r->label() + ": still there after SIGKILL; left behind");
            break;
        }
        std::fflush(report_);
        wait_for_work(!runs_.empty() || waiting || ending);
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
        if (run) {
            runs_.push_back(std::move(run));
        } else {
            ++notify_failures().cannot_run;
            tell(report_, "on-event " + label + ": " + err);
        }
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
        if (!r.quiet_success()) tell(report_, "on-event " + r.label() + ": " + r.outcome(now));
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
    if (unrun) std::fprintf(report_, "tzv58-host: on-event: %s not notified: the program ends\n",
                           counted(unrun, "event", "events").c_str());
    notify_failures().at_end += unrun;
    for (const auto& r : runs_) {
        if (r->stopped()) continue;
        r->stop(SIGTERM, "the program ends", now);
        ++notify_failures().at_end;
    }
}

// Drops are said when they begin and once the queue has emptied (or at the
// end), with how many and for how long.
void NoticeRunner::report_dropped(long long now, bool at_end) {
    long long dropped, since;
    bool emptied;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped = dropped_;
        since = dropping_since_ms_;
        emptied = queue_.empty() || at_end;
        if (since >= 0 && emptied) dropping_since_ms_ = -1;
    }
    if (since < 0) return;
    if (!said_full_)
        std::fprintf(report_, "tzv58-host: on-event: queue full (%zu events); the oldest waiting are dropped\n",
                     limits_.queued);
    said_full_ = !emptied;
    if (!emptied) return;
    std::fprintf(report_, "tzv58-host: on-event: queue full, %s dropped in %lld s\n",
                 counted(dropped - dropped_said_, "event", "events").c_str(),
                 (now - since + 999) / 1000);
    dropped_said_ = dropped;
}

// Until a notice comes, a run writes to its standard error, or (ticking: a
// run to look after, or notices waiting) the next tick.
void NoticeRunner::wait_for_work(bool ticking) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}};
    for (const auto& r : runs_)
        if (r->stderr_fd() >= 0) fds.push_back({r->stderr_fd(), POLLIN, 0});
    ::poll(fds.data(), fds.size(), ticking ? TICK_MS : -1);
    char buf[64];
    while (::read(wake_[0], buf, sizeof buf) > 0) {}
}

}  // namespace tzv58::tool

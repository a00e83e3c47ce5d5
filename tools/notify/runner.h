// Runs the on-event program for each notice beside the poll. The poll thread
// only queues a notice (post): a thread of the runner's own starts the runs
// in the order the notices came, at most `parallel` at once, relays their
// standard error and says how a run ended unless it is no news (status 0,
// nothing on its standard error), stops a run that takes too long (SIGTERM to its process
// group, then SIGKILL), kills what is left of a run's process group when the
// run ends, and reaps every one. While notices wait, the runner never sleeps
// longer than a tick. A full queue drops its oldest notice for the new one;
// the drops are counted (the "notify" drop count of the metrics) and said on
// standard error when they begin and when the queue has emptied. A notice
// whose program cannot be started, and one still waiting or running when
// the host ends, is counted too (notify_status.h).
#pragma once

#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/notify/program_run.h"

namespace tzv58::tool {

struct RunnerLimits {
    int parallel = 4;            // runs at once
    size_t queued = 256;         // notices waiting for a run; past it the oldest is dropped
    int timeout_ms = 30000;      // then SIGTERM to the run's process group
    int kill_after_ms = 2000;    // after SIGTERM, then SIGKILL
    size_t stderr_bytes = 4096;  // of each run's standard error shown
    int end_wait_ms = 5000;      // at the end: for the runs and the queue
};

class NoticeRunner {
public:
    // program: as find_program found it; env: the kept environment; report:
    // where outcomes and standard error go (the program's standard error).
    NoticeRunner(std::string program, std::vector<std::string> env, const RunnerLimits& limits, FILE* report);
    ~NoticeRunner();
    NoticeRunner(const NoticeRunner&) = delete;
    NoticeRunner& operator=(const NoticeRunner&) = delete;

    // Starts the runner's thread. false with a reason.
    bool start(std::string& err);
    // Queues a notice; never waits for a program. A full queue drops its
    // oldest notice.
    void post(Notice notice);
    // Waits up to end_wait_ms for the runs and the queue, then stops what
    // still runs and drops what waits (saying so); every run is reaped.
    // Then the thread ends. Called by the destructor too.
    void finish();

    // Notices dropped because the queue was full.
    long long dropped() const;

private:
    void run();
    void start_queued(long long now);
    void relay_and_reap(long long now);
    void stop_overdue(long long now);
    void end_now(long long now);
    void report_dropped(long long now, bool at_end);
    void wait_for_work(bool ticking);
    size_t queued() const;

    const std::string program_;
    const std::vector<std::string> env_;
    const RunnerLimits limits_;
    FILE* report_;

    mutable std::mutex mutex_;  // guards queue_, ending_, dropped_, dropping_since_ms_
    std::deque<Notice> queue_;
    bool ending_ = false;
    long long dropped_ = 0;
    long long dropping_since_ms_ = -1;                    // the first drop while the queue has not emptied since
    std::atomic<unsigned long long>* counted_ = nullptr;  // the drops, for the metrics

    int wake_[2] = {-1, -1};
    std::thread thread_;
    // The runner's thread alone:
    std::vector<std::unique_ptr<ProgramRun>> runs_;
    long long dropped_said_ = 0;  // by the last line about drops
    bool said_full_ = false;
    long long end_by_ms_ = -1;
    bool ended_ = false;
};

}  // namespace tzv58::tool

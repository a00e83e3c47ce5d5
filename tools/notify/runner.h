// Runs the on-event program for each notice beside the poll. The poll thread
// only queues a notice (post): a thread of the runner's own starts the runs,
// at most `parallel` at once, relays their standard error, stops a run that
// takes too long (SIGTERM to its process group, then SIGKILL) and reaps
// every one. A full queue drops the notice and counts it; the count is
// reported on standard error.
#pragma once

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
    size_t queued = 256;         // notices waiting for a run; more are dropped
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
    // Queues a notice; never waits for a program. A full queue drops it.
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

    const std::string program_;
    const std::vector<std::string> env_;
    const RunnerLimits limits_;
    FILE* report_;

    mutable std::mutex mutex_;  // guards queue_, ending_, dropped_
    std::deque<Notice> queue_;
    bool ending_ = false;
    long long dropped_ = 0;

    int wake_[2] = {-1, -1};
    std::thread thread_;
    // The runner's thread alone:
    std::vector<std::unique_ptr<ProgramRun>> runs_;
    long long dropped_reported_ = 0, dropped_report_ms_ = 0;
    long long end_by_ms_ = -1;
    bool ended_ = false;
};

}  // namespace tzv58::tool

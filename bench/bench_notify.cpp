// What alarm notifications (--on-event) cost the poll thread: the notifier
// sees every alarm report of every round, and for a change formats a notice
// and queues it; the program runs on the runner's thread.
//
//   bench_notify   BM_AlarmReportRepeated   a report that changes nothing (every alarm, every round)
//                  BM_AlarmChangeQueued     a change: notice formatted and queued
//                  BM_QueueFullDropped      a change while the queue is full: the oldest dropped, counted
#include "bench/bench_main.h"

#include <memory>
#include <string>

#include "tools/notify/notifier.h"

namespace {

using namespace tzv58::tool;

const std::string KEY = "ZID06OZU_RC_1", ID = "419430501", TEXT1 = "整流模块故障告警";

// A runner that is not started: notices stay queued, as behind four busy runs.
std::unique_ptr<NoticeRunner> idle_runner(size_t queued) {
    RunnerLimits limits;
    limits.queued = queued;
    return std::make_unique<NoticeRunner>("/bin/true", std::vector<std::string>{}, limits, stderr);
}

// The alarms of a four-module plant in table A, reported again unchanged.
void BM_AlarmReportRepeated(benchmark::State& state) {
    Notifier n(idle_runner(256), {"/dev/ttyS1", 1});
    const std::string modules[4] = {"模块1模块故障告警状态", "模块2模块故障告警状态", "模块3模块故障告警状态",
                                    "模块4模块故障告警状态"};
    for (const std::string& m : modules) n.on_alarm(3, KEY, ID, TEXT1, m, false, 1);
    int i = 0;
    for (auto _ : state) n.on_alarm(3, KEY, ID, TEXT1, modules[i++ & 3], false, 1);
}
BENCHMARK(BM_AlarmReportRepeated);

// Raised, cleared, raised...: each report a change, queued. The queue is
// emptied (untimed) every 256 notices.
void BM_AlarmChangeQueued(benchmark::State& state) {
    std::unique_ptr<Notifier> n;
    int i = 0;
    for (auto _ : state) {
        if (i % 256 == 0) {
            state.PauseTiming();
            n = std::make_unique<Notifier>(idle_runner(256), NoticeSource{"/dev/ttyS1", 1});
            state.ResumeTiming();
        }
        n->on_alarm(3, KEY, ID, TEXT1, "模块1模块故障告警状态", i++ % 2 == 0, 1);
    }
}
BENCHMARK(BM_AlarmChangeQueued);

void BM_QueueFullDropped(benchmark::State& state) {
    Notifier n(idle_runner(1), {"/dev/ttyS1", 1});
    int i = 0;
    for (auto _ : state) n.on_alarm(3, KEY, ID, TEXT1, "模块1模块故障告警状态", i++ % 2 == 0, 1);
}
BENCHMARK(BM_QueueFullDropped);

}  // namespace

int main(int argc, char** argv) { return run_benchmarks(argc, argv); }

// The scheduler polling a simulated plant on the wall clock while the host
// clock is set back and forward by minutes and hours: the rounds go on at
// their pace, the ages of the data stay true, and each step is said once.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/common/plugin_host.h"
#include "tools/common/signals.h"
#include "tools/line/line.h"
#include "tools/line/scheduler.h"
#include "tools/live/live_state.h"
#include "tools/sim/simulator.h"

namespace {

using namespace tzv58::tool;

// The wall clock moved by the test: the host clock the device and the
// program read.
class SteppedClock : public HostClock {
public:
    boost::posix_time::ptime local_time() const override {
        return boost::posix_time::second_clock::local_time() + boost::posix_time::seconds(offset.load());
    }
    std::atomic<long> offset{0};
};

// Steps the clock at the end of the first rounds.
struct StepAfterRounds : BetweenExchanges {
    StepAfterRounds(SteppedClock& c, std::vector<long> s) : clock(c), steps(std::move(s)) {}
    void round_ended(bool) override {
        if (rounds < steps.size()) clock.offset += steps[rounds];
        ++rounds;
    }
    void idle() override {}
    SteppedClock& clock;
    std::vector<long> steps;
    size_t rounds = 0;
};

TEST(SchedulerClock, StepsBackAndForwardKeepThePaceAndAreSaidOnce) {
    std::string port, err;
    int hold = -1;
    const pid_t sim = start_simulator(SimulatorOptions(), port, hold, err);
    ASSERT_GT(sim, 0) << err;
    LoadedDevice dev;
    ASSERT_TRUE(dev.load(TZV58_PLUGIN_PATH, err)) << err;
    ASSERT_TRUE(apply_config(dev.device(), Json::Value(Json::objectValue), 1, err)) << err;
    SteppedClock clock;
    dev.device().clock = &clock;
    EventFanout observers;
    EventPrinter printer(nullptr);
    LiveTap& tap = observers.add(std::make_unique<LiveTap>(dev.model()));
    dev.device().events = &observers;
    Line line(port, 9600);
    ASSERT_EQ(line.open(false, err), Line::Opened::yes) << err;
    close(hold);
    dev.device().AttachFd(line.fd(), false);

    StepAfterRounds steps(clock, {-600, 7200, -3600});
    SchedulerOptions opt;
    opt.rounds = 4;
    opt.between = &steps;
    // Bounded: a step back that held the poll would hold it for minutes.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int waited = 0; waited < 60000 && !done; waited += 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!done) g_stop = 1;
    });
    testing::internal::CaptureStderr();
    long completed = 0;
    {
        Scheduler scheduler(dev, line, printer, observers, opt);
        EXPECT_EQ(scheduler.run(), 0);
        completed = scheduler.rounds_completed();
        EXPECT_EQ(scheduler.rounds_started(), 4);
    }
    const std::string said = testing::internal::GetCapturedStderr();
    done = true;
    watchdog.join();
    dev.device().AttachFd(-1, false);
    stop_simulator(sim);

    EXPECT_EQ(completed, 4);
    EXPECT_EQ(said,
              "tzv58-host: host clock stepped back 600 s\n"
              "tzv58-host: host clock stepped forward 7200 s\n"
              "tzv58-host: host clock stepped back 3600 s\n");
    LiveSnapshot s;
    tap.fill(s);
    s.link_open = true;
    const auto now = std::chrono::steady_clock::now();
    EXPECT_TRUE(s.current(now));
    EXPECT_LT(now - s.record_at, std::chrono::seconds(2));
    EXPECT_GT(s.round_interval, std::chrono::milliseconds(1900));
    EXPECT_LT(s.round_interval, std::chrono::seconds(5));
}

}  // namespace

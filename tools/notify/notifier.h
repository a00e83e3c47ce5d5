// Alarm notifications (--on-event PROGRAM): every alarm raised or cleared and
// every link lost or restored becomes a notice for the program, with the
// event in its environment (TZV58_EVENT, TZV58_LEVEL, ...) and the summary's
// line for it as its one argument. On the poll thread the notifier only
// formats the notice and queues it with the runner (runner.h).
#pragma once

#include <memory>
#include <string>

#include "host/host_events.h"
#include "tools/common/options.h"
#include "tools/notify/runner.h"
#include "tools/report/events.h"
#include "tools/report/observers.h"

namespace tzv58::tool {

// Where the events come from: TZV58_PORT, TZV58_ADDRESS and TZV58_DEVICE.
struct NoticeSource {
    std::string port;
    int address = 1;
    std::string device = ONE_DEVICE_NAME;
};

// The notice of an alarm raised or cleared.
Notice alarm_notice(const AlarmTransition& t, const NoticeSource& from);
// The notice of the link lost (cause: "hang-up", ...) or restored after
// down_s seconds, at time (ISO 8601).
Notice link_lost_notice(const char* cause, const std::string& time, const NoticeSource& from);
Notice link_restored_notice(long long down_s, const std::string& time, const NoticeSource& from);
// The power system silent since `since` (ISO 8601) with the port open, and
// answering again after silent_s seconds: link-silent and link-restored.
Notice link_silent_notice(const std::string& since, const std::string& time, const NoticeSource& from);
Notice link_answers_notice(long long silent_s, const std::string& time, const NoticeSource& from);

class Notifier : public HostEvents, public LinkObserver {
public:
    // The runner may be shared by the power systems of a site.
    Notifier(std::shared_ptr<NoticeRunner> runner, NoticeSource from)
        : runner_(std::move(runner)), from_(std::move(from)) {}

    // The clock that stamps the events (the device's).
    void set_clock(const HostClock* clock) { clock_ = clock; }

    void on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                  const std::string& text2, bool active, unsigned short seq) override;
    void link_lost(const char* cause) override;
    void link_restored(long long down_s) override;
    void link_silent(int address, const std::string& since) override;
    void link_answers(long long silent_s) override;

private:
    std::shared_ptr<NoticeRunner> runner_;
    NoticeSource from_;
    const HostClock* clock_ = &wall_clock();
    AlarmStates alarms_;
};

// What --on-event asks for: the program, found and checked, and the limits of
// its runs (TZV58_ON_EVENT_TIMEOUT_MS shortens the 30 s limit, for tests).
struct NotifyOptions {
    std::string program;  // empty: no notifications
    RunnerLimits limits;
};

// Reads --on-event and the environment's limit; false with a one-line reason
// (a program that is not there, not executable, a folder, ...).
bool notify_options(const CommandLine& cl, NotifyOptions& options, std::string& err);

}  // namespace tzv58::tool

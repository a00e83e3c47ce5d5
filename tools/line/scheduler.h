// The host's scheduler for one device on one line: refresh when idle, deliver
// each reply to the codec, ask again after a reply timeout (twice at most),
// give the round up after that, and follow the line through hang-ups.
//
// Every wait is measured on the monotonic clock (the simulated one under
// --fast): a host clock set back or forward changes neither the pace of the
// rounds nor any timeout; the step is said once on standard error ("host
// clock stepped back 600 s").
//
// The link is silent when the port is open but no reply has reached the
// device for the silence time: three round intervals or 10 s, whichever is
// longer, or --silent-after. Entering and leaving it is told to the link
// observers of the program's fan-out.
//
// Only a reply to the request awaited reaches the device (ReplyFilter). After
// an exchange that was asked for again, the line is left to fall quiet,
// discarding what arrives, before the device sends its next request: the late
// reply to the first asking may still be on its way, and replies name only
// CID1, which the next request often shares.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/host_events.h"
#include "tools/common/clock.h"
#include "tools/common/plugin_host.h"
#include "tools/line/line.h"
#include "tools/line/reply_filter.h"
#include "tools/report/events.h"
#include "tools/report/observers.h"

namespace tzv58::tool {

// Work the host does beside the poll cycle (live clients, metrics). Called on
// the scheduler's thread, never while a reply is awaited.
class BetweenExchanges {
public:
    virtual ~BetweenExchanges() = default;
    // A round ended: complete, or given up (an attempt to reopen the line
    // that failed is one too).
    virtual void round_ended(bool complete) = 0;
    // No reply is awaited: queued requests may run on the device now.
    virtual void idle() = 0;
    // The link went silent or answers again (told to the observers just
    // now), possibly while a reply is awaited: nothing may run on the device.
    virtual void link_changed() {}
};

struct SchedulerOptions {
    int timeout_ms = 2000;                // a reply of this model takes well under 1 s at 9600 baud
    long long rounds = -1;                // complete readings wanted; -1: until stopped
    long long give_up = 5;                // with rounds: stop after this many failed rounds in a row; 0: never
    SimClock* fast_clock = nullptr;       // moved 2 s before each refresh
    long long silent_after_ms = -1;       // -1: three round intervals or 10 s, whichever is longer
    FILE* summary = nullptr;              // the human summary after each round
    RoundCollector* collected = nullptr;  // what the summary shows; cleared at each refresh
    const DcUnitWatch* dc_units = nullptr;
    BetweenExchanges* between = nullptr;
    std::function<void()> reopen_outputs;  // after SIGHUP, between rounds
};

// The device's requests and publications, as the scheduler follows them: one
// of the program's observers.
struct RoundWatch : HostEvents {
    explicit RoundWatch(Line& l) : line(l) {}
    void on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                 size_t frame_len) override;
    void on_publish(int type, const unsigned char* data, unsigned int len) override;
    void on_payload(int result, int poll_step) override;

    // In the round in progress.
    int sends = 0, publishes = 0;
    // Replies that reached the device since the start: answers of the power system.
    uint64_t payloads = 0;
    // The last request, to ask for it again.
    uint8_t cid1 = 0, cid2 = 0;
    std::vector<uint8_t> info;
    std::string frame;
    Line& line;  // told what the device writes to it
};

class Scheduler {
public:
    // Its watch on the device joins the program's observers.
    Scheduler(LoadedDevice& device, Line& line, EventPrinter& events, EventFanout& observers,
              const SchedulerOptions& options)
        : dev_(device),
          line_(line),
          events_(events),
          observers_(observers),
          opt_(options),
          filter_(observers),
          watch_(observers.add(std::make_unique<RoundWatch>(line))) {}
    ~Scheduler() { line_.wait_with(nap); }
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Runs until the rounds are done or the host is stopped: 0. 1 when a
    // run for a number of rounds saw give_up rounds in a row fail; a round
    // without a line (a failed attempt to reopen it) is a failed round.
    int run();

    long rounds_started() const { return started_; }
    long rounds_completed() const { return completed_; }
    bool silent() const { return silent_; }

    // The silence time when none is given: three round intervals, at least this.
    static constexpr long long MIN_SILENCE_MS = 10000;

private:
    enum class Outcome { done, abandoned, lost, stopped };
    Outcome drive_round();
    bool ask_again(int& attempts);
    void deliver_reply(bool retried);
    void fall_quiet();
    void wait_refresh_window();
    void timed_out();
    // Sleeps ms, serving the work beside the poll every 100 ms.
    void serve_for(int ms);
    // The clock of every interval: monotonic, or the simulated one.
    long long clock_ms() const { return opt_.fast_clock ? opt_.fast_clock->now_ms() : now_ms(); }
    // Says a step of the host clock, once.
    void watch_host_clock();
    // The line is open: silence is counted from now.
    void line_opened();
    // Notes answers, and the link going silent or answering again.
    void watch_answers();
    long long silence_ms() const;

    LoadedDevice& dev_;
    Line& line_;
    EventPrinter& events_;
    EventFanout& observers_;  // what the line drops goes to every observer
    SchedulerOptions opt_;
    ReplyFilter filter_;
    FailureThrottle timeouts_;
    long started_ = 0, completed_ = 0;
    RoundWatch& watch_;                                     // among the program's observers
    long long round_end_ms_ = -1, round_interval_ms_ = -1;  // of complete rounds, on clock_ms()
    ClockStepWatch host_clock_;
    uint64_t payloads_seen_ = 0;
    long long last_answer_ms_ = 0;  // clock_ms() of the last answer, or of the line's opening
    std::string last_answer_time_;  // the same on the host clock, ISO 8601
    bool silent_ = false;
};

}  // namespace tzv58::tool

// The host's scheduler for the power systems on one line: refresh each when
// idle, deliver each reply to its device's codec, ask again after a reply
// timeout (twice at most), give the round up after that, and follow the
// line through hang-ups.
//
// Every wait is measured on the monotonic clock (the simulated one under
// --fast): a host clock set back or forward changes neither the pace of the
// rounds nor any timeout; the step is said once on standard error ("host
// clock stepped back 600 s").
//
// The link is silent when the port is open but no reply has reached the
// device for the silence time: three round intervals or 10 s, whichever is
// longer, or --silent-after. Entering and leaving it is told to the link
// observers of the power system.
//
// Only a reply to the request awaited reaches the device (ReplyFilter). After
// an exchange that was asked for again, the line is left to fall quiet,
// discarding what arrives, before the device sends its next request: the late
// reply to the first asking may still be on its way, and replies name only
// CID1, which the next request often shares.
//
// A bus (an RS-485 port with several power systems, one per address) carries
// one request at a time: none goes out before the one before it is answered
// or timed out. The power systems take the bus in turns, a round each while
// they answer; one whose reply does not come gives the bus up at once,
// having held it for one reply timeout, and is asked again on its next turn,
// after the others that are due. Its quiet time after asking again passes
// while the others use the bus. A reply from another address of the bus is
// never taken for the one awaited: it is that power system's, come late.
// With one power system on the line, none of this changes a thing.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/frame.h"
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
    long long rounds = -1;                // complete readings wanted (of each power system); -1: until stopped
    long long give_up = 5;                // with rounds: stop after this many failed rounds in a row; 0: never
    SimClock* fast_clock = nullptr;       // moved 2 s before each refresh
    long long silent_after_ms = -1;       // -1: three round intervals or 10 s, whichever is longer
    FILE* summary = nullptr;              // the human summary after each round
    RoundCollector* collected = nullptr;  // what the summary shows; cleared at each refresh
    const DcUnitWatch* dc_units = nullptr;
    BetweenExchanges* between = nullptr;
    std::function<void()> reopen_outputs;  // after SIGHUP, between rounds
    ClockStepWatch* host_clock =
        nullptr;  // shared by the lines of a site, which say a step once; else the scheduler's own
};

// One power system on the line, as the scheduler drives it. collected,
// dc_units and between as in SchedulerOptions, for this one.
struct BusMember {
    LoadedDevice* device = nullptr;
    EventPrinter* events = nullptr;
    EventFanout* observers = nullptr;
    RoundCollector* collected = nullptr;
    const DcUnitWatch* dc_units = nullptr;
    BetweenExchanges* between = nullptr;
    std::string name;  // a site's: at the head of its summary's lines and of its plug-in's lines
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
    // One power system: its watch on the device joins the program's observers.
    Scheduler(LoadedDevice& device, Line& line, EventPrinter& events, EventFanout& observers,
              const SchedulerOptions& options);
    // The power systems of a bus, in the order they take their turns
    // (options' collected, dc_units and between are the members' own).
    Scheduler(Line& line, const std::vector<BusMember>& members, const SchedulerOptions& options);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Runs until the rounds are done or the host is stopped: 0. 1 when a
    // run for a number of rounds saw give_up rounds in a row fail (on a bus:
    // for one of its power systems, which is left; the others go on); a
    // round without a line (a failed attempt to reopen it) is a failed round.
    int run();

    // Of the first power system.
    long rounds_started() const { return stations_.front()->started; }
    long rounds_completed() const { return stations_.front()->completed; }
    bool silent() const { return stations_.front()->silent; }

    // The silence time when none is given: three round intervals, at least this.
    static constexpr long long MIN_SILENCE_MS = 10000;

private:
    enum class Outcome { done, abandoned, lost, stopped, yielded };
    // What a round left open on a bus does on its next turn.
    enum class Next { ask_again, deliver };
    struct Station {
        BusMember m;
        RoundWatch* watch = nullptr;  // among its observers
        FailureThrottle timeouts;
        long started = 0, completed = 0;
        long long round_end_ms = -1, round_interval_ms = -1;  // of complete rounds, on clock_ms()
        uint64_t payloads_seen = 0;
        long long last_answer_ms = 0;  // clock_ms() of the last answer, or of the line's opening
        std::string last_answer_time;  // the same on the host clock, ISO 8601
        bool silent = false;
        long long failed_in_a_row = 0;
        bool finished = false;  // its rounds are done, or it was given up
        // A round left open while the others take the bus (a bus only).
        bool in_round = false;
        Next next = Next::ask_again;
        int attempts = 0, sends = 0;
        long long not_before_ms = 0;  // on clock_ms()
        uint8_t held[MAX_WIRE_FRAME];
        size_t held_len = 0;
        ZMXSPDevice& device() { return m.device->device(); }
        PMBusProtocol& codec() { return m.device->codec(); }
    };

    void start_round(Station& s);
    void end_round(Station& s, Outcome outcome);
    Outcome drive_round(Station& s, bool resume);
    bool ask_again(Station& s);
    void deliver_reply(Station& s, bool retried);
    void fall_quiet();
    void wait_refresh_window(Station& s);
    void timed_out(Station& s);
    // The power system whose turn it is on a bus, when one is due; else
    // waits a little and returns nullptr.
    Station* next_on_bus();
    // A failed attempt to reopen the line: a failed round of each.
    void reopening_failed();
    bool give_up(Station& s);
    // Sleeps ms, serving the work beside the poll every 100 ms.
    void serve_for(int ms);
    // Queued requests of each power system that awaits no reply.
    void serve_idle();
    // The clock of every interval: monotonic, or the simulated one.
    long long clock_ms() const { return opt_.fast_clock ? opt_.fast_clock->now_ms() : now_ms(); }
    // Says a step of the host clock, once.
    void watch_host_clock();
    // The line is open: silence is counted from now.
    void line_opened(Station& s);
    // Notes answers, and the link going silent or answering again.
    void watch_answers(Station& s);
    long long silence_ms(const Station& s) const;

    Line& line_;
    SchedulerOptions opt_;
    std::vector<std::unique_ptr<Station>> stations_;
    const bool bus_;   // more than one power system on the line
    size_t turn_ = 0;  // the station whose turn comes next on a bus
    ReplyFilter filter_;
    ClockStepWatch own_host_clock_;
    int status_ = 0;
};

}  // namespace tzv58::tool

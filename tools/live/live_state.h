// What a running poll shows to live clients and to metrics: what the device's
// events tell, and a snapshot of it taken on the scheduler's thread at each
// round end (and when the link changes), read by other threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/host_events.h"
#include "tools/common/history_status.h"
#include "tools/common/plugin_host.h"
#include "tools/common/record_view.h"
#include "tools/report/events.h"
#include "tools/report/observers.h"

namespace tzv58::tool {

// One alarm as the device last reported it. A key and id pair is reported
// once per channel or module it covers: `item` counts the reports of the
// pair within a round (1, 2, ...), so that each alarm is one series.
struct AlarmState {
    int level = 0;
    std::string key, id, text;  // text: the alarm's second text
    int item = 1;
    bool active = false;
};

// Alarm transitions the status object keeps, newest first.
constexpr size_t RECENT_TRANSITIONS = 20;
// Data older than this many round intervals is not current.
constexpr int STALE_ROUNDS = 3;
// The shortest round interval counted: rounds on a simulated clock follow one
// another within a millisecond.
constexpr std::chrono::seconds MIN_ROUND_INTERVAL{1};

struct LiveSnapshot {
    using Steady = std::chrono::steady_clock;
    bool have_record = false;     // a round has completed since the start
    ModelRef model;               // the model whose record it is
    std::vector<uint8_t> record;  // the last published record
    int dc_reported = -1;         // DC units the last DC analog reply before it reported (-1: none came)
    Steady::time_point record_at{};
    std::chrono::system_clock::time_point record_wall{};
    Steady::duration round_interval{};         // between the last two complete rounds (or the start and the first)
    std::vector<AlarmState> alarms;            // in the order the device first reported them
    std::vector<AlarmTransition> active;       // active now, most severe first; time: since when
    std::vector<AlarmTransition> transitions;  // raised and cleared, newest first
    bool link_open = false;                    // the port is open
    bool link_silent = false;                  // open, but the power system does not answer
    std::string link_since;                    // host clock, ISO 8601: when it opened or went; silent: its last answer
    std::string link_cause;                    // while down: why ("hang-up", "no such port")
    bool last_round_complete = false;
    uint64_t rounds_completed = 0, rounds_failed = 0;
    std::string name;  // a site's power system; "" in a one-device run
    // Line errors since the start by reason, every known reason from 0 on.
    std::map<std::string, uint64_t> line_errors;
    std::string port;
    int address = 0;
    HistoryStatus history;           // kept false without --history
    boost::posix_time::ptime taken;  // host clock: when the snapshot was taken
    Steady::time_point taken_at{};
    // Lines or notices each consumer of the poll's output dropped so far
    // ("events", "summary", "diag", "notify"), as a scrape finds them.
    std::map<std::string, unsigned long long> dropped;
    // Events the on-event program did not get besides: it could not be
    // started, or the host ended first (with "notify" among dropped).
    unsigned long long notify_cannot_run = 0, notify_at_end = 0;

    // The last values are current: the link is open, the power system
    // answers, and a round completed within STALE_ROUNDS round intervals.
    bool current(Steady::time_point now) const;
    // "open", "silent" or "down".
    const char* link_state() const { return !link_open ? "down" : link_silent ? "silent" : "open"; }
    // The last record through its model's values (only with have_record).
    RecordView view() const { return RecordView(*model, record.data(), dc_reported); }
};

// Keeps what the snapshot needs from the device's events and the line's
// word on the link: one of the program's observers. Lives on the
// scheduler's thread.
class LiveTap : public HostEvents, public LinkObserver {
public:
    // model: the device's; dc: the program's watch of the DC units each
    // reply reports (nullptr: the units of the record that hold anything).
    explicit LiveTap(ModelRef model, const DcUnitWatch* dc = nullptr) : model_(std::move(model)), dc_(dc) {
        for (const char* reason : LINE_ERROR_REASONS) errors_by_reason_[reason] = 0;
    }
    // The host clock that stamps alarm transitions and the link's changes.
    void set_clock(const HostClock* clock) { clock_ = clock ? clock : &wall_clock(); }

    void on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                 size_t frame_len) override;
    void on_publish(int type, const unsigned char* data, unsigned int len) override;
    void on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                  const std::string& text2, bool active, unsigned short seq) override;
    void on_frame_error(const char* reason, const uint8_t* data, size_t len) override;
    void on_payload(int result, int poll_step) override;
    void link_lost(const char* cause) override;
    void link_restored(long long down_s) override;
    void link_silent(int address, const std::string& since) override;
    void link_answers(long long silent_s) override;
    bool silent() const { return silent_; }

    // Counters that tell one exchange from the next.
    uint64_t sends() const { return sends_; }
    uint64_t payloads() const { return payloads_; }
    uint64_t frame_errors() const { return frame_errors_; }
    const std::string& last_frame() const { return last_frame_; }
    const std::string& last_error() const { return last_error_; }

    // Fills the record and alarm parts of a snapshot, and the link's since
    // and cause once the line has told of a change.
    void fill(LiveSnapshot& s) const;

private:
    void keep_transition(const AlarmTransition& t, bool active);

    ModelRef model_;
    const DcUnitWatch* dc_;
    const HostClock* clock_ = &wall_clock();
    uint64_t sends_ = 0, payloads_ = 0, frame_errors_ = 0;
    std::string last_frame_, last_error_;
    std::map<std::string, uint64_t> errors_by_reason_;
    bool have_record_ = false;
    std::vector<uint8_t> record_;
    int dc_reported_ = -1;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now(), record_at_{};
    std::chrono::system_clock::time_point record_wall_{};
    std::chrono::steady_clock::duration round_interval_{};
    std::vector<AlarmState> alarms_;
    std::map<std::pair<std::string, std::string>, int> round_items_;  // (key, id) -> reports this round
    std::map<std::pair<std::pair<std::string, std::string>, int>, size_t> alarm_index_;  // -> alarms_
    AlarmStates states_;
    std::map<std::string, AlarmTransition> active_;  // by the alarm's identity; time: raised
    std::deque<AlarmTransition> recent_;             // newest first
    std::string link_since_, link_cause_;            // since the line's last word; "" before
    bool silent_ = false;
    std::string silent_since_;
};

// The snapshot shared between threads.
class SnapshotBox {
public:
    void put(const LiveSnapshot& s) {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot_ = s;
    }
    LiveSnapshot get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return snapshot_;
    }

private:
    mutable std::mutex mutex_;
    LiveSnapshot snapshot_;
};

}  // namespace tzv58::tool

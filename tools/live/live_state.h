// What a running poll shows to live clients and to metrics: what the device's
// events tell, and a snapshot of it taken on the scheduler's thread at each
// round end, read by other threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/host_events.h"
#include "telemetry/record.h"

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

struct LiveSnapshot {
    bool have_record = false;  // a round has completed since the start
    tzv58_419_Data_t record{};  // the last published record
    std::chrono::steady_clock::time_point record_at{};
    std::vector<AlarmState> alarms;  // in the order the device first reported them
    bool link_open = false;          // the port is open
    bool last_round_complete = false;
    uint64_t rounds_completed = 0, rounds_failed = 0;
};

// Keeps what the snapshot needs from the device's events: one of the
// program's observers. Lives on the scheduler's thread.
class LiveTap : public HostEvents {
public:
    void on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                 size_t frame_len) override;
    void on_publish(int type, const unsigned char* data, unsigned int len) override;
    void on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                  const std::string& text2, bool active, unsigned short seq) override;
    void on_frame_error(const char* reason, const uint8_t* data, size_t len) override;
    void on_payload(int result, int poll_step) override;

    // Counters that tell one exchange from the next.
    uint64_t sends() const { return sends_; }
    uint64_t payloads() const { return payloads_; }
    uint64_t frame_errors() const { return frame_errors_; }
    const std::string& last_frame() const { return last_frame_; }
    const std::string& last_error() const { return last_error_; }

    // Fills the record and alarm parts of a snapshot.
    void fill(LiveSnapshot& s) const;

private:
    uint64_t sends_ = 0, payloads_ = 0, frame_errors_ = 0;
    std::string last_frame_, last_error_;
    bool have_record_ = false;
    tzv58_419_Data_t record_{};
    std::chrono::steady_clock::time_point record_at_{};
    std::vector<AlarmState> alarms_;
    std::map<std::pair<std::string, std::string>, int> round_items_;  // (key, id) -> reports this round
    std::map<std::pair<std::pair<std::string, std::string>, int>, size_t> alarm_index_;  // -> alarms_
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

#include "tools/live/live_state.h"

#include <algorithm>
#include <cstring>

#include "tools/report/observers.h"

namespace tzv58::tool {

bool LiveSnapshot::current(Steady::time_point now) const {
    const Steady::duration interval = std::max<Steady::duration>(round_interval, MIN_ROUND_INTERVAL);
    return link_open && have_record && now - record_at <= STALE_ROUNDS * interval;
}

void LiveTap::on_send(uint8_t, uint8_t, const uint8_t*, int, const char* frame, size_t frame_len) {
    ++sends_;
    last_frame_.assign(frame, frame_len);
}

void LiveTap::on_publish(int, const unsigned char* data, unsigned int len) {
    if (data && len == sizeof record_) {
        std::memcpy(&record_, data, len);
        dc_units_ = dc_ ? dc_->decoded(record_) : dc_units_in(record_);
        const auto now = std::chrono::steady_clock::now();
        round_interval_ = now - (have_record_ ? record_at_ : started_);
        have_record_ = true;
        record_at_ = now;
        record_wall_ = std::chrono::system_clock::now();
    }
    // The round's alarm reports follow its publication.
    round_items_.clear();
}

void LiveTap::on_alarm(int level, const std::string& key, const std::string& id, const std::string&,
                       const std::string& text2, bool active, unsigned short) {
    const auto pair = std::make_pair(key, id);
    const int item = ++round_items_[pair];
    const auto found = alarm_index_.emplace(std::make_pair(pair, item), alarms_.size());
    if (found.second) alarms_.push_back({level, key, id, text2, item, active});
    AlarmState& a = alarms_[found.first->second];
    a.level = level;
    a.text = text2;
    a.active = active;
}

void LiveTap::on_frame_error(const char* reason, const uint8_t*, size_t) {
    ++frame_errors_;
    last_error_ = reason ? reason : "";
}

void LiveTap::on_payload(int, int) { ++payloads_; }

void LiveTap::fill(LiveSnapshot& s) const {
    s.have_record = have_record_;
    s.record = record_;
    s.dc_units = dc_units_;
    s.record_at = record_at_;
    s.record_wall = record_wall_;
    s.round_interval = round_interval_;
    s.alarms = alarms_;
}

}  // namespace tzv58::tool

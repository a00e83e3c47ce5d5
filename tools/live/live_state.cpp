#include "tools/live/live_state.h"

#include <cstring>

namespace tzv58::tool {

void LiveTap::on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                      size_t frame_len) {
    ++sends_;
    last_frame_.assign(frame, frame_len);
    next_.on_send(cid1, cid2, info, info_len, frame, frame_len);
}

void LiveTap::on_publish(int type, const unsigned char* data, unsigned int len) {
    if (data && len == sizeof record_) {
        std::memcpy(&record_, data, len);
        have_record_ = true;
        record_at_ = std::chrono::steady_clock::now();
    }
    // The round's alarm reports follow its publication.
    round_items_.clear();
    next_.on_publish(type, data, len);
}

void LiveTap::on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                       const std::string& text2, bool active, unsigned short seq) {
    const auto pair = std::make_pair(key, id);
    const int item = ++round_items_[pair];
    const auto found = alarm_index_.emplace(std::make_pair(pair, item), alarms_.size());
    if (found.second) alarms_.push_back({level, key, id, text2, item, active});
    AlarmState& a = alarms_[found.first->second];
    a.level = level;
    a.text = text2;
    a.active = active;
    next_.on_alarm(level, key, id, text1, text2, active, seq);
}

void LiveTap::on_frame_error(const char* reason, const uint8_t* data, size_t len) {
    ++frame_errors_;
    last_error_ = reason ? reason : "";
    next_.on_frame_error(reason, data, len);
}

void LiveTap::on_payload(int result, int poll_step) {
    ++payloads_;
    next_.on_payload(result, poll_step);
}

void LiveTap::fill(LiveSnapshot& s) const {
    s.have_record = have_record_;
    s.record = record_;
    s.record_at = record_at_;
    s.alarms = alarms_;
}

}  // namespace tzv58::tool

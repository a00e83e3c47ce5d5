#include "tools/live/live_state.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "tools/report/observers.h"

namespace tzv58::tool {

bool LiveSnapshot::current(Steady::time_point now) const {
    const Steady::duration interval = std::max<Steady::duration>(round_interval, MIN_ROUND_INTERVAL);
    return link_open && !link_silent && have_record && now - record_at <= STALE_ROUNDS * interval;
}

void LiveTap::on_send(uint8_t, uint8_t, const uint8_t*, int, const char* frame, size_t frame_len) {
    ++sends_;
    last_frame_.assign(frame, frame_len);
}

void LiveTap::on_publish(int, const unsigned char* data, unsigned int len) {
    if (data && model_ && len == model_->record_size) {
        record_.assign(data, data + len);
        dc_reported_ = dc_ ? dc_->reported() : -1;
        const auto now = std::chrono::steady_clock::now();
        round_interval_ = now - (have_record_ ? record_at_ : started_);
        have_record_ = true;
        record_at_ = now;
        record_wall_ = std::chrono::system_clock::now();
    }
    // The round's alarm reports follow its publication.
    round_items_.clear();
}

void LiveTap::on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                       const std::string& text2, bool active, unsigned short) {
    const AlarmTransition report{iso_time(clock_->local_time()), active, level, key, id, text1, text2};
    if (states_.change(key, id, text1, text2, active)) keep_transition(report, active);
    const auto held = active_.find(AlarmStates::identity(key, id, text1, text2));
    if (held != active_.end()) held->second.text1 = text1;  // a threshold check's readings of this round

    const auto pair = std::make_pair(key, id);
    const int item = ++round_items_[pair];
    const auto found = alarm_index_.emplace(std::make_pair(pair, item), alarms_.size());
    if (found.second) alarms_.push_back({level, key, id, text2, item, active});
    AlarmState& a = alarms_[found.first->second];
    a.level = level;
    a.text = text2;
    a.active = active;
}

void LiveTap::keep_transition(const AlarmTransition& t, bool active) {
    const std::string which = AlarmStates::identity(t.key, t.id, t.text1, t.text2);
    if (active)
        active_[which] = t;
    else
        active_.erase(which);
    recent_.push_front(t);
    if (recent_.size() > RECENT_TRANSITIONS) recent_.pop_back();
}

void LiveTap::link_lost(const char* cause) {
    link_since_ = iso_time(clock_->local_time());
    link_cause_ = cause ? cause : "";
    silent_ = false;
}

void LiveTap::link_restored(long long) {
    link_since_ = iso_time(clock_->local_time());
    link_cause_.clear();
}

void LiveTap::link_silent(int, const std::string& since) {
    silent_ = true;
    silent_since_ = since;
}

void LiveTap::link_answers(long long) {
    silent_ = false;
    link_since_ = iso_time(clock_->local_time());
}

void LiveTap::on_frame_error(const char* reason, const uint8_t*, size_t) {
    ++frame_errors_;
    last_error_ = reason ? reason : "unknown";
    ++errors_by_reason_[last_error_];
}

void LiveTap::on_payload(int, int) { ++payloads_; }

void LiveTap::fill(LiveSnapshot& s) const {
    s.have_record = have_record_;
    s.model = model_;
    s.record = record_;
    s.dc_reported = dc_reported_;
    s.record_at = record_at_;
    s.record_wall = record_wall_;
    s.round_interval = round_interval_;
    s.alarms = alarms_;
    s.line_errors = errors_by_reason_;
    s.active.clear();
    for (const auto& a : active_) s.active.push_back(a.second);
    std::stable_sort(s.active.begin(), s.active.end(), [](const AlarmTransition& x, const AlarmTransition& y) {
        return std::tie(x.level, x.key, x.id) < std::tie(y.level, y.key, y.id);
    });
    s.transitions.assign(recent_.begin(), recent_.end());
    if (!link_since_.empty()) {
        s.link_since = link_since_;
        s.link_cause = link_cause_;
    }
    s.link_silent = silent_;
    if (silent_) s.link_since = silent_since_;
}

}  // namespace tzv58::tool

#include "tools/report/observers.h"

#include <cstdio>
#include <cstring>

#include "host/frame.h"
#include "host/pmbus_protocol.h"
#include "telemetry/dc_layout.h"
#include "tools/common/exit_status.h"
#include "tools/report/events.h"
#include "tools/report/summary.h"

namespace tzv58::tool {

void DcUnitWatch::on_send(uint8_t cid1, uint8_t cid2, const uint8_t*, int, const char*, size_t) {
    before_last_ = last_;
    last_ = {cid1, cid2};
}

// A reply that led the device to send its next request (result 1) answered
// the request before that one; otherwise the last.
void DcUnitWatch::on_payload(int result, int) {
    const Request asked = result ? before_last_ : last_;
    if (asked.cid1 != 0x42 || (asked.cid2 != 0x41 && asked.cid2 != 0x42)) return;
    const unsigned char* f = codec_.reply_frame;
    if (!f || codec_.reply_len < int(tzv58::IMAGE_HEADER) || f[2] != 0x42) return;
    int n = (f[4] | f[5] << 8) >> 1;
    if (n > codec_.reply_len - int(tzv58::IMAGE_HEADER)) n = codec_.reply_len - int(tzv58::IMAGE_HEADER);
    const unsigned char* info = f + tzv58::IMAGE_HEADER;
    if (n < 2) {
        reported_ = 0;
        return;
    }
    if (no_dc_number_ == tzv58::NO_DC_NUMBER_UNKNOWN) {
        no_dc_number_ = tzv58::no_dc_number_shown(info, n, asked.cid2 == 0x41);
        if (no_dc_number_ == tzv58::NO_DC_NUMBER_UNKNOWN) return;
    }
    reported_ = no_dc_number_ == 1 ? 1 : info[1];
}

void LinkReport::link_state(const char* state) { events_.link(state); }

void LinkReport::link_lost(const char* cause) {
    events_.link_lost(cause);
    const std::string said = link_lost_line(cause, iso_time(events_.clock().local_time()));
    tell(console_, port_ + ": " + said);
}

void LinkReport::link_restored(long long down_s) {
    events_.link_restored(down_s);
    tell(console_, port_ + ": " + link_restored_line(down_s));
}

void LinkReport::link_silent(int address, const std::string& since) {
    events_.link_silent(since);
    const std::string said = link_silent_line(address, since, iso_time(events_.clock().local_time()));
    tell(console_, port_ + ": " + said);
}

void LinkReport::link_answers(long long silent_s) {
    events_.link_answers(silent_s);
    tell(console_, port_ + ": " + link_answers_line(silent_s));
}

bool mains_failure_alarm(const std::string& key, const std::string& id) {
    static const std::pair<const char*, const char*> MAINS_FAILURE[] = {
        {"PowerOff", "419415001"},         // mode 1: no AC input supplied
        {"220600140010", "220600140010"},  // mode 2: every AC phase below the limit
    };
    for (const auto& m : MAINS_FAILURE)
        if (key == m.first && id == m.second) return true;
    return false;
}

std::string status_byte_text(unsigned byte) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "status byte %02XH from the power system", byte & 0xFFu);
    return buf;
}

const char* level_name(int level) {
    switch (level) {
    case 1:
        return "critical";
    case 2:
        return "major";
    case 3:
        return "minor";
    case 4:
        return "warning";
    default:
        return "other";
    }
}

void RoundCollector::set_model(ModelRef model) {
    model_ = std::move(model);
    record_.assign(model_ ? model_->record_size : 0, 0);
}

void RoundCollector::on_publish(int, const unsigned char* data, unsigned int len) {
    if (model_ && len == model_->record_size) record_.assign(data, data + len);
}

std::string AlarmStates::identity(const std::string& key, const std::string& id, const std::string& text1,
                                  const std::string& text2) {
    std::string which = key + '\x1f' + id + '\x1f' + text2;
    if (key != id) which += '\x1f' + text1;
    return which;
}

bool AlarmStates::change(const std::string& key, const std::string& id, const std::string& text1,
                         const std::string& text2, bool active) {
    bool& state = state_[identity(key, id, text1, text2)];
    const bool was = state;
    state = active;
    return active != was;
}

int AlarmStates::active() const {
    int n = 0;
    for (const auto& s : state_) n += s.second;
    return n;
}

void RoundCollector::on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                              const std::string& text2, bool active, unsigned short) {
    if (alarms_.change(key, id, text1, text2, active))
        transitions_.push_back({iso_time(clock_->local_time()), active, level, key, id, text1, text2});
    if (mains_failure_alarm(key, id)) mains_failure_ = active;
}

void RoundCollector::on_frame_error(const char* reason, const uint8_t*, size_t) {
    ++frame_errors_;
    ++errors_by_reason_[reason ? reason : "unknown"];
}

void RoundCollector::on_payload(int, int) { ++payloads_; }

void RoundCollector::new_round() {
    payloads_ = frame_errors_ = 0;
    errors_by_reason_.clear();
    transitions_.clear();
}

int RoundCollector::active_alarms() const { return alarms_.active(); }

}  // namespace tzv58::tool

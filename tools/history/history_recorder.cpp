#include "tools/history/history_recorder.h"

#include <cstring>
#include <utility>

#include "tools/common/text_guard.h"
#include "tools/history/iso_time.h"
#include "tools/report/events.h"
#include "tools/report/summary.h"

namespace tzv58::tool {

HistoryRecorder::HistoryRecorder(std::unique_ptr<HistoryDb> db, ModelRef model, const DcUnitWatch* dc, int address,
                                 FILE* errors, const HistoryPace& pace)
    : path_(db ? db->path() : ""), model_(std::move(model)), dc_(dc), address_(address), errors_(errors) {
    std::vector<StoredAlarmState> states;
    if (!db || !db->last_alarm_states(states, start_error_)) return;
    take_states(states);
    writer_ = std::make_shared<HistoryWriter>(std::move(db), model_, address, errors, pace);
}

HistoryRecorder::HistoryRecorder(std::shared_ptr<HistoryWriter> writer, const std::vector<StoredAlarmState>& states,
                                 ModelRef model, const DcUnitWatch* dc, int address, std::string device, FILE* errors)
    : model_(std::move(model)),
      dc_(dc),
      address_(address),
      device_(std::move(device)),
      errors_(errors),
      writer_(std::move(writer)) {
    take_states(states);
}

// An alarm raised before this run and not cleared since is not raised again.
void HistoryRecorder::take_states(const std::vector<StoredAlarmState>& states) {
    for (const StoredAlarmState& s : states)
        if (s.device == device_) alarms_.change(s.key, s.id, s.text1, s.text2, s.raised);
}

void HistoryRecorder::on_publish(int, const unsigned char* data, unsigned int len) {
    if (len != model_->record_size) return;
    round_time_ = utc_text(round_utc(RecordView(*model_, data)));
}

void HistoryRecorder::on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                               const std::string& text2, bool active, unsigned short seq) {
    if (!recording()) return;
    // An alarm never seen is taken as cleared.
    if (alarms_.change(key, id, text1, text2, active))
        pending_.push_back({round_time_, active, level, key, id, text1, text2, seq, device_});
}

void HistoryRecorder::on_history(const unsigned char* data, unsigned int len) {
    if (!recording()) return;
    if (len != model_->record_size) {
        if (!said_size_)
            std::fprintf(errors_, "tzv58-host: history %s: a history record of %u bytes, not %u: left out\n",
                         shown(path_.empty() ? device_ : path_).c_str(), len, unsigned(model_->record_size));
        said_size_ = true;
        pending_.clear();
        return;
    }
    PendingRound round;
    round.record.assign(data, data + len);
    round.dc_reported = dc_ ? dc_->reported() : -1;
    round.utc = round_utc(RecordView(*model_, data));
    round.alarms.swap(pending_);
    round.address = address_;
    round.device = device_;
    writer_->submit(std::move(round));
}

HistoryStatus HistoryRecorder::status() const {
    if (writer_) return writer_->status();
    HistoryStatus off;
    off.kept = true;
    return off;
}

// The time of a change is the host clock's now, kept in UTC as the rounds'
// times are: the round time of the records may be far behind it.
void HistoryRecorder::link_change(bool raised, const char* id, const std::string& what, const char* state) {
    if (!recording()) return;
    PendingRound change{};
    change.has_record = false;
    change.utc = host_utc(iso_time(clock_->local_time()));
    change.address = address_;
    change.device = device_;
    change.alarms.push_back({utc_text(change.utc), raised, 0, "link", id, what, state, 0, device_});
    writer_->submit(std::move(change));
}

void HistoryRecorder::link_lost(const char* cause) {
    lost_at_ = clock_->local_time();
    link_change(true, "down", link_lost_line(cause, iso_time(lost_at_)), "link down");
}

void HistoryRecorder::link_restored(long long down_s) {
    lost_at_ = {};
    link_change(false, "down", link_restored_line(down_s), "link down");
}

void HistoryRecorder::link_silent(int address, const std::string& since) {
    silent_since_ = since;
    link_change(true, "silent", link_silent_line(address, since, iso_time(clock_->local_time())), "no answer");
}

void HistoryRecorder::link_answers(long long silent_s) {
    silent_since_.clear();
    link_change(false, "silent", link_answers_line(silent_s), "no answer");
}

HistoryRecorder::~HistoryRecorder() {
    const boost::posix_time::ptime now = clock_->local_time();
    if (!silent_since_.empty()) {
        const std::string since = link_silent_line(0, silent_since_, iso_time(now));
        link_change(false, "silent", "run ended with no answer" + since.substr(since.find(" since ")), "no answer");
    }
    if (!lost_at_.is_not_a_date_time())
        link_change(false, "down",
                    "run ended with the link lost for " + std::to_string((now - lost_at_).total_seconds()) + " s",
                    "link down");
}

}  // namespace tzv58::tool

#include "tools/history/history_recorder.h"

#include <cstring>
#include <utility>

namespace tzv58::tool {

HistoryRecorder::HistoryRecorder(std::unique_ptr<HistoryDb> db, int address, FILE* errors)
    : db_(std::move(db)), path_(db_ ? db_->path() : ""), address_(address), errors_(errors) {
    // An alarm raised before this run and not cleared since is not raised again.
    std::vector<std::pair<AlarmIdentity, bool>> states;
    std::string err;
    if (db_ && !db_->last_alarm_states(states, err)) give_up(err);
    for (const auto& s : states) active_[s.first] = s.second;
}

void HistoryRecorder::give_up(const std::string& reason) {
    std::fprintf(errors_, "tzv58-host: history %s: %s; polling goes on without history\n", path_.c_str(),
                 reason.c_str());
    std::fflush(errors_);
    db_.reset();
    pending_.clear();
}

void HistoryRecorder::on_publish(int, const unsigned char* data, unsigned int len) {
    if (len != sizeof(tzv58_419_Data_t)) return;
    tzv58_419_Data_t r;
    std::memcpy(&r, data, len);
    round_time_ = record_time(r);
}

void HistoryRecorder::on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                               const std::string& text2, bool active, unsigned short seq) {
    if (!db_) return;
    // An alarm never seen is taken as cleared.
    bool& was = active_[{key, id, text1, text2}];
    if (was != active) pending_.push_back({round_time_, active, level, key, id, text1, text2, seq});
    was = active;
}

void HistoryRecorder::on_history(const unsigned char* data, unsigned int len) {
    if (!db_) return;
    if (len != sizeof(tzv58_419_Data_t)) {
        give_up("a history record of " + std::to_string(len) + " bytes, not " + std::to_string(sizeof(tzv58_419_Data_t)));
        return;
    }
    tzv58_419_Data_t r;
    std::memcpy(&r, data, len);
    std::string err;
    if (!db_->write_round(r, address_, pending_, err)) {
        give_up(err);
        return;
    }
    ++rows_;
    pending_.clear();
}

}  // namespace tzv58::tool

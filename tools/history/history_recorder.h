// Keeps what the device stores as history in the history database: one row
// per record, and the alarm transitions that the round's alarm reports show
// (an alarm's active flag changing, per key, id and texts: the modules of a
// rectifier share key and id and differ in text), in the same transaction.
//
// The round goes to the history writer (history_writer.h) inside the round's
// end, after the last reply and before the device's next request can be sent
// (the device refuses a refresh within a second of a round's end). When the
// file fails (a full disk, a read-only file, a lock), the rounds wait in
// memory and the writer tries again; the run goes on.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "host/host_events.h"
#include "tools/history/history_db.h"
#include "tools/history/history_writer.h"
#include "tools/report/observers.h"

namespace tzv58::tool {

// The link's changes (lost and restored, silent and answering again) are
// rows of the alarm transitions with the key "link", level 0 and seq 0,
// timed by the host clock and given to the writer at once, not with the next
// round.
class HistoryRecorder : public HostEvents, public LinkObserver {
public:
    // The one power system of a run, its rows named ONE_DEVICE_NAME.
    // model: the device's; dc: the program's watch of the DC units each
    // reply reports (nullptr: the units of the record that hold anything).
    HistoryRecorder(std::unique_ptr<HistoryDb> db, ModelRef model, const DcUnitWatch* dc, int address,
                    FILE* errors = stderr, const HistoryPace& pace = {});
    // A power system of a site: the file's writer is shared; of the file's
    // last alarm states (every power system's) it takes its own.
    HistoryRecorder(std::shared_ptr<HistoryWriter> writer, const std::vector<StoredAlarmState>& states, ModelRef model,
                    const DcUnitWatch* dc, int address, std::string device, FILE* errors = stderr);
    // A run that ends with the link lost or silent clears the row it raised
    // ("run ended with the link lost for 63 s", "run ended with no answer
    // since 11:02:07"): every raised link row has its cleared one.
    ~HistoryRecorder() override;

    void on_publish(int type, const unsigned char* data, unsigned int len) override;
    void on_history(const unsigned char* data, unsigned int len) override;
    void on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                  const std::string& text2, bool active, unsigned short seq) override;

    void link_lost(const char* cause) override;
    void link_restored(long long down_s) override;
    void link_silent(int address, const std::string& since) override;
    void link_answers(long long silent_s) override;

    // The host clock that stamps the link's changes (the device's).
    void set_clock(const HostClock* clock) { clock_ = clock ? clock : &wall_clock(); }

    // false when the file's alarm states could not be read at the start:
    // start_error() says why.
    bool recording() const { return writer_ != nullptr; }
    const std::string& start_error() const { return start_error_; }
    // Rows written so far; what the file is doing (from any thread).
    long rows() const { return writer_ ? writer_->rows() : 0; }
    HistoryStatus status() const;

private:
    // id: "down" or "silent"; text1 what happened, text2 the state's name.
    void link_change(bool raised, const char* id, const std::string& what, const char* state);

    void take_states(const std::vector<StoredAlarmState>& states);

    std::string path_;
    ModelRef model_;
    const DcUnitWatch* dc_;
    int address_;
    std::string device_ = ONE_DEVICE_NAME;
    FILE* errors_;
    const HostClock* clock_ = &wall_clock();
    std::string start_error_;
    bool said_size_ = false;
    std::string round_time_;            // of the last published record, UTC as stored
    // The link's rows raised and not yet cleared: when the port was lost
    // (host clock), since when the power system is silent (ISO 8601).
    boost::posix_time::ptime lost_at_;
    std::string silent_since_;
    AlarmStates alarms_;                // raised or not, as the summary tells alarms apart
    std::vector<AlarmChange> pending_;  // since the last record
    // Last: it ends first, writing what waits, with the last recorder that
    // shares it. Set once, at the start, so that status() may be asked from
    // any thread.
    std::shared_ptr<HistoryWriter> writer_;
};

}  // namespace tzv58::tool

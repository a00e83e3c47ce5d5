#include "tools/common/counted.h"
#include "tools/history/history_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "tools/common/clock.h"
#include "tools/common/signals.h"
#include "tools/common/text_guard.h"

namespace tzv58::tool {

HistoryWriter::HistoryWriter(std::unique_ptr<HistoryDb> db, ModelRef model, int address, FILE* errors,
                             const HistoryPace& pace)
    : db_(std::move(db)), model_(std::move(model)), path_(db_->path()), address_(address), errors_(errors), pace_(pace) {
    db_->set_busy_wait(pace_.busy_ms);
    checkpoint_ms_ = now_ms();
    log_bytes_ = db_->log_bytes();
    thread_ = quiet_thread([this] { run(); });
}

HistoryWriter::~HistoryWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        stop_at_ms_ = now_ms() + pace_.final_wait_ms;
        if (db_) db_->stop_waiting_at(stop_at_ms_);
    }
    wake_.notify_all();
    thread_.join();
    history_rounds_lost() += queue_.size();
    if (!queue_.empty()) say(counted(queue_.size(), "round", "rounds") + " not written: " + reason_);
}

void HistoryWriter::say(const std::string& what) {
    std::fprintf(errors_, "tzv58-host: %s\n", shown("history " + path_ + ": " + what).c_str());
    std::fflush(errors_);
}

long HistoryWriter::rows() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rows_;
}

HistoryStatus HistoryWriter::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    HistoryStatus s;
    s.kept = true;
    s.writing = !failing_ && !gone_;
    s.waiting = queue_.size();
    s.dropped = dropped_;
    s.log_bytes = log_bytes_;
    s.newest = newest_;
    return s;
}

// Called with the lock held: the round joins those that wait; past the
// backlog the oldest that is not being written goes.
void HistoryWriter::keep(PendingRound round) {
    if (queue_.size() >= pace_.backlog && !queue_.empty()) {
        const bool front_in_flight = writing_ && in_flight_ == queue_.front().first;
        queue_.erase(queue_.begin() + (front_in_flight && queue_.size() > 1 ? 1 : 0));
        ++dropped_;
        ++history_rounds_lost();
        if (!said_full_)
            say(std::to_string(pace_.backlog) +
                " rounds wait in memory, all it keeps: from now on the oldest is dropped for each new round");
        said_full_ = true;
    }
    queue_.emplace_back(next_seq_++, std::move(round));
    wake_.notify_all();
}

// Called with the lock held: a write failed. The first failure of a spell
// is said; the rounds wait, and the thread tries again: at once for a lock
// (its busy wait paces it), after retry_ms for anything else.
void HistoryWriter::failed(const std::string& reason, bool locked) {
    char waited[32];
    std::snprintf(waited, sizeof waited, "%.1f s", pace_.busy_ms / 1000.0);
    reason_ = locked ? reason + ": another connection has held the file for over " + waited : reason;
    next_try_ms_ = now_ms() + (locked ? 0 : pace_.retry_ms);
    if (failing_) return;
    failing_ = true;
    dropped_said_ = dropped_;
    char retry[32];
    std::snprintf(retry, sizeof retry, "%g s", pace_.retry_ms / 1000.0);
    say(reason_ + "; rounds wait in memory (" + std::to_string(pace_.backlog) +
        " at most, then the oldest are dropped) and writing is tried again every " + retry);
}

// Called with the lock held, after a round or a link change is in the
// file: the log's size, said once past its bound, and after a round whether
// a checkpoint is due (a minute of the host's clock, or of the rounds' own
// times, which a simulated clock runs faster, but then once a second at
// most).
void HistoryWriter::after_write(const PendingRound& round) {
    log_bytes_ = db_->log_bytes();
    if (log_bytes_ <= pace_.log_bound) {
        said_log_ = false;
    } else if (!said_log_) {
        said_log_ = true;
        char size[64];
        std::snprintf(size, sizeof size, "%.1f MB, past its %g MB bound", log_bytes_ / 1048576.0,
                      pace_.log_bound / 1048576.0);
        say(std::string("its write-ahead log has grown to ") + size +
            ": a reader holds an old snapshot of the file; the log is cut back once readers let go");
    }
    if (!round.has_record) return;
    ++rows_;
    const long long round_s = round.utc;
    last_round_s_ = round_s;
    if (!checkpoint_round_known_) {
        checkpoint_round_s_ = round_s;
        checkpoint_round_known_ = true;
    }
    const long long since = now_ms() - checkpoint_ms_;
    if (since >= pace_.checkpoint_s * 1000LL ||
        (std::llabs(round_s - checkpoint_round_s_) >= pace_.checkpoint_s && since >= 1000)) {
        checkpoint_due_ = true;
        wake_.notify_all();
    }
}

// Writes one round, or the link's changes alone, on the calling thread,
// which holds writing_; another connection's lock is waited for only when
// asked.
HistoryWriter::Outcome HistoryWriter::write(const PendingRound& round, bool wait, std::string& err) {
    db_->set_busy_wait(wait ? pace_.busy_ms : 0);
    const HistoryDb::Write w =
        round.has_record ? db_->write_round(RecordView(*model_, round.record.data(), round.dc_reported), round.utc,
                                            round.address >= 0 ? round.address : address_, round.device, round.alarms,
                                            err)
                         : db_->write_changes(round.alarms, err);
    switch (w) {
    case HistoryDb::Write::done:
        return Outcome::done;
    case HistoryDb::Write::locked:
        return Outcome::locked;
    default:
        return Outcome::failed;
    }
}

void HistoryWriter::submit(PendingRound round) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (round.has_record) newest_ = round.utc;
    if (failing_ || gone_ || writing_ || !queue_.empty()) return keep(std::move(round));
    writing_ = true;
    lock.unlock();
    std::string err;
    const std::string gone = db_->gone();
    const Outcome written = gone.empty() ? write(round, false, err) : Outcome::failed;
    lock.lock();
    writing_ = false;
    if (!gone.empty()) {
        gone_ = true;
        gone_how_ = gone;
    } else if (written == Outcome::done) {
        return after_write(round);
    } else if (written == Outcome::failed) {
        failed(err, false);
    }
    // A lock: the thread waits for it.
    keep(std::move(round));
}

void HistoryWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    bool last_try = false;
    for (;;) {
        const bool work = !queue_.empty() || gone_;
        // Ending: one more try, then what still waits is said lost.
        const bool may_try = stopping_ ? !last_try : !failing_ || now_ms() >= next_try_ms_;
        if (!writing_ && work && may_try) {
            last_try = stopping_;
            writing_ = true;
            if (!gone_ || replace_file(lock)) write_waiting(lock);
            writing_ = false;
            continue;
        }
        if (!writing_ && checkpoint_due_ && !failing_ && !gone_ && !stopping_) {
            writing_ = true;
            checkpoint(lock);
            writing_ = false;
            continue;
        }
        if (stopping_ && (!work || last_try)) break;
        if (failing_ && work)
            wake_.wait_for(lock, std::chrono::milliseconds(std::max(next_try_ms_ - now_ms(), 1LL)));
        else
            wake_.wait(lock);
    }
}

// Writes the rounds that wait, oldest first, until none is left or one
// fails. The lock is let go meanwhile: the poll adds rounds behind.
void HistoryWriter::write_waiting(std::unique_lock<std::mutex>& lock) {
    while (!queue_.empty()) {
        in_flight_ = queue_.front().first;
        const PendingRound round = queue_.front().second;
        lock.unlock();
        std::string err;
        const std::string gone = db_->gone();
        const Outcome written = gone.empty() ? write(round, true, err) : Outcome::failed;
        lock.lock();
        if (!gone.empty()) {
            gone_ = true;
            gone_how_ = gone;
            return;
        }
        if (written != Outcome::done) return failed(err, written == Outcome::locked);
        if (!queue_.empty() && queue_.front().first == in_flight_) queue_.pop_front();
        after_write(round);
    }
    if (!failing_) return;
    failing_ = said_full_ = false;
    std::string line = "writing again: the rounds that waited are in the file";
    if (dropped_ > dropped_said_) line += " (" + std::string(dropped_ - dropped_said_ == 1 ? "1 was" : std::to_string(dropped_ - dropped_said_) + " were") + " dropped)";
    say(line);
}

// The file at the path is not the one open (deleted, renamed): the log goes
// into the file it belongs to before the file is let go, then a new file at
// the path takes the rounds. While a reader holds the old log, or the new
// file cannot be made, the rounds wait and this is tried again.
bool HistoryWriter::replace_file(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    const bool let_go = !db_ || db_->checkpoint(pace_.checkpoint_wait_ms);
    lock.lock();
    if (!let_go) {
        failed("the file was " + gone_how_ + ", and a reader still holds its write-ahead log", false);
        return false;
    }
    std::unique_ptr<HistoryDb> old = std::move(db_);
    lock.unlock();
    old.reset();  // the log is in the file: closing removes it
    std::string err;
    HistoryDb::OpenError why = HistoryDb::OpenError::none;
    std::unique_ptr<HistoryDb> fresh = HistoryDb::open_writer(path_, model_->values, err, why);
    lock.lock();
    if (!fresh) {
        failed("the file was " + gone_how_ +
                   " (its write-ahead log moved into it), and no new file can be started: " + err,
               false);
        return false;
    }
    say("the file was " + gone_how_ + ": its write-ahead log was moved into it, and a new " + path_ +
        " takes the rounds from now on");
    db_ = std::move(fresh);
    if (stopping_) db_->stop_waiting_at(stop_at_ms_);
    gone_ = false;
    log_bytes_ = db_->log_bytes();
    checkpoint_ms_ = now_ms();
    checkpoint_round_known_ = false;
    return true;
}

// A truncating checkpoint that waits a while for readers; one they still
// block is tried again retry_ms later.
void HistoryWriter::checkpoint(std::unique_lock<std::mutex>& lock) {
    checkpoint_due_ = false;
    lock.unlock();
    const bool done = db_->checkpoint(pace_.checkpoint_wait_ms);
    const long long bytes = db_->log_bytes();
    lock.lock();
    log_bytes_ = bytes;
    if (log_bytes_ <= pace_.log_bound) said_log_ = false;
    const long long now = now_ms();
    checkpoint_ms_ = done ? now : now - pace_.checkpoint_s * 1000LL + pace_.retry_ms;
    checkpoint_round_s_ = last_round_s_;
}

}  // namespace tzv58::tool

#include "tools/history/history_writer.h"

#include <cstdlib>
#include <utility>

#include "tools/common/clock.h"
#include "tools/common/signals.h"
#include "tools/history/iso_time.h"

namespace tzv58::tool {

HistoryWriter::HistoryWriter(std::unique_ptr<HistoryDb> db, int address, FILE* errors, const HistoryPace& pace)
    : db_(std::move(db)), path_(db_->path()), address_(address), errors_(errors), pace_(pace) {
    db_->set_busy_wait(pace_.busy_ms);
    checkpoint_ms_ = now_ms();
    thread_ = quiet_thread([this] { run(); });
}

HistoryWriter::~HistoryWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = retry_ = true;
    }
    db_->stop_waiting_at(now_ms() + pace_.final_wait_ms);
    wake_.notify_all();
    thread_.join();
    if (!off_ && !queue_.empty())
        say(std::to_string(queue_.size()) + " rounds not written: the file is still locked by another connection");
}

void HistoryWriter::say(const std::string& what) {
    std::fprintf(errors_, "tzv58-host: history %s: %s\n", path_.c_str(), what.c_str());
    std::fflush(errors_);
}

bool HistoryWriter::on() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !off_;
}

long HistoryWriter::rows() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rows_;
}

size_t HistoryWriter::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

bool HistoryWriter::submit(PendingRound round) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (off_) return false;
    if (queue_.empty() && !writing_) {
        writing_ = true;
        lock.unlock();
        const Outcome written = write(round, false);
        lock.lock();
        writing_ = false;
        if (checkpoint_wanted_) wake_.notify_all();
        if (written == Outcome::done) {
            ++rows_;
            return true;
        }
        if (written == Outcome::failed) return false;
    }
    if (queue_.size() >= pace_.backlog) {
        say("locked by another connection for " + std::to_string(queue_.size()) +
            " rounds; polling goes on without history");
        off_ = true;
        wake_.notify_all();
        return false;
    }
    queue_.push_back(std::move(round));
    retry_ = true;
    wake_.notify_all();
    return true;
}

// Writes one round on the calling thread, which holds writing_. Waiting
// for another connection's lock only when asked; a failure other than a
// lock turns history off, with one line.
HistoryWriter::Outcome HistoryWriter::write(const PendingRound& round, bool wait) {
    db_->set_busy_wait(wait ? pace_.busy_ms : 0);
    std::string err;
    const HistoryDb::Write w = db_->write_round(round.record, address_, round.alarms, err);
    if (w == HistoryDb::Write::done) {
        if (checkpoint_due(round.record)) {
            std::lock_guard<std::mutex> lock(mutex_);
            checkpoint_wanted_ = true;
            wake_.notify_all();
        }
        return Outcome::done;
    }
    if (w == HistoryDb::Write::locked) {
        if (wait) locked_out(err);
        return Outcome::locked;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    say(err + "; polling goes on without history");
    off_ = true;
    wake_.notify_all();
    return Outcome::failed;
}

void HistoryWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!off_) {
        wake_.wait(lock, [&] {
            return stopping_ || off_ || (!writing_ && (checkpoint_wanted_ || (retry_ && !queue_.empty())));
        });
        if (checkpoint_wanted_ && !writing_ && !off_) {
            checkpoint(lock);
            continue;
        }
        // Ending: everything is written, or the last try found the file locked.
        if (off_ || queue_.empty() || !retry_) break;
        write_front(lock);
    }
}

// On the writer's thread: a checkpoint waits for the disk (fsync), which
// the poll never does. A round that comes meanwhile waits in memory.
void HistoryWriter::checkpoint(std::unique_lock<std::mutex>& lock) {
    writing_ = true;
    checkpoint_wanted_ = false;
    lock.unlock();
    db_->checkpoint();
    lock.lock();
    writing_ = false;
}

// Writes the oldest round waiting; the lock is let go meanwhile (the poll
// may queue more: a deque keeps its front where it is).
void HistoryWriter::write_front(std::unique_lock<std::mutex>& lock) {
    writing_ = true;
    const PendingRound& round = queue_.front();
    lock.unlock();
    const Outcome written = write(round, true);
    lock.lock();
    writing_ = false;
    if (written == Outcome::locked) retry_ = false;
    if (written != Outcome::done) return;
    queue_.pop_front();
    ++rows_;
    if (said_locked_ && queue_.empty()) {
        say("the rounds kept in memory while the file was locked are written");
        said_locked_ = false;
    }
}

void HistoryWriter::locked_out(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (said_locked_) return;
    said_locked_ = true;
    char waited[32];
    std::snprintf(waited, sizeof waited, "%.1f s", pace_.busy_ms / 1000.0);
    say(reason + ": another connection has held the file for over " + waited +
        "; rounds wait in memory and are written when it lets go");
}

// A truncating checkpoint is due when a minute has passed on the host's
// clock or between the rounds' own times (a simulated clock runs faster).
bool HistoryWriter::checkpoint_due(const tzv58_419_Data_t& r) {
    long long round_s = 0;
    const bool timed = iso_seconds(record_time(r), round_s);
    if (timed && !checkpoint_round_known_) {
        checkpoint_round_s_ = round_s;
        checkpoint_round_known_ = true;
    }
    const long long now = now_ms(), since = now - checkpoint_ms_;
    // A simulated clock's minute comes often: one checkpoint a second at most.
    const bool due = since >= pace_.checkpoint_s * 1000LL ||
                     (timed && std::llabs(round_s - checkpoint_round_s_) >= pace_.checkpoint_s && since >= 1000);
    if (!due) return false;
    checkpoint_ms_ = now;
    if (timed) checkpoint_round_s_ = round_s;
    return true;
}

}  // namespace tzv58::tool

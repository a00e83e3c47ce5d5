// Writes the rounds' history rows so that a file locked by another
// connection (an operator's sqlite3, a program pruning old rows) never
// stalls the poll:
// - a round is written at once, inside the round's end, when nothing waits
//   before it; a lock held by another connection is not waited for there;
// - a round that finds the file locked waits in memory, and a thread of the
//   writer's own writes the waiting rounds in order, waiting up to busy_ms
//   for the lock each time and trying again with each new round, up to
//   backlog rounds; one line says so, and one when they are in;
// - at least once a minute (of the host's clock, or of the rounds' own
//   times but then once a second at most) the writer's thread checkpoints
//   and truncates the write-ahead log, unless a reader still holds an older
//   snapshot (the poll never waits for the disk's fsync: a round that comes
//   meanwhile waits in memory);
// - any other failure (a full disk, a file too large, an I/O error, a
//   read-only file) turns history off with one line; polling goes on.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/history/history_db.h"

namespace tzv58::tool {

struct HistoryPace {
    int busy_ms = 5000;        // a waiting round waits this long for another connection's lock
    int checkpoint_s = 60;     // a truncating checkpoint at least this often
    size_t backlog = 1000;     // rounds kept in memory while the file is locked (about an hour)
    int final_wait_ms = 1000;  // at the end, a locked file is waited for this long
};

struct PendingRound {
    tzv58_419_Data_t record;
    std::vector<AlarmChange> alarms;
};

class HistoryWriter {
public:
    HistoryWriter(std::unique_ptr<HistoryDb> db, int address, FILE* errors, const HistoryPace& pace);
    // Writes what still waits (for final_wait_ms at most if the file is
    // locked), says what could not be written, and closes the file.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Writes the round, or queues it behind rounds that wait or when the
    // file is locked. false once history is off.
    bool submit(PendingRound round);
    // Until history is turned off.
    bool on() const;
    long rows() const;
    size_t waiting() const;

private:
    enum class Outcome { done, locked, failed };
    Outcome write(const PendingRound& round, bool wait);
    void run();
    void write_front(std::unique_lock<std::mutex>& lock);
    void locked_out(const std::string& reason);
    bool checkpoint_due(const tzv58_419_Data_t& r);
    void checkpoint(std::unique_lock<std::mutex>& lock);
    void say(const std::string& what);

    std::unique_ptr<HistoryDb> db_;
    const std::string path_;
    const int address_;
    FILE* const errors_;
    const HistoryPace pace_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<PendingRound> queue_;
    bool writing_ = false;  // a thread is using the database
    bool retry_ = false;    // a round came since the last attempt failed on a lock
    bool checkpoint_wanted_ = false;
    bool stopping_ = false, off_ = false, said_locked_ = false;
    long rows_ = 0;
    // Of the last checkpoint; used by whichever thread is writing.
    long long checkpoint_ms_ = 0, checkpoint_round_s_ = 0;
    bool checkpoint_round_known_ = false;
    std::thread thread_;
};

}  // namespace tzv58::tool

// Writes the rounds' history rows on a thread of its own, so that a file
// locked by another connection (an operator's sqlite3, a program pruning
// old rows) never stalls the poll:
// - the poll hands each round over and waits for its commit for at most
//   handoff_ms (a commit takes well under a millisecond, a checkpoint with
//   its fsync some tens): normally a round's row is in the file before the
//   device's next request goes out;
// - a write waits up to busy_ms for another connection's lock; a round that
//   still cannot be written stays in memory and is written with the next
//   one, up to backlog rounds; one line says so, and one when they are in;
// - at least once a minute (of the host's clock or of the rounds' own
//   times) the write-ahead log is checkpointed and truncated, unless a
//   reader still holds an older snapshot;
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
    int busy_ms = 5000;        // a write waits this long for another connection's lock
    int handoff_ms = 250;      // the poll waits this long for a round's commit
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
    // Writes what is still queued (waiting final_wait_ms at most for a
    // lock), says what could not be written, and closes the file.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Queues a round and waits up to handoff_ms for its commit. false once
    // history is off.
    bool submit(PendingRound round);
    // Until history is turned off.
    bool on() const;
    long rows() const;
    size_t waiting() const;

private:
    void run();
    bool write_front(std::unique_lock<std::mutex>& lock);
    void locked_out(const std::string& reason);
    void maybe_checkpoint(const tzv58_419_Data_t& r);
    void say(const std::string& what);

    std::unique_ptr<HistoryDb> db_;
    const std::string path_;
    const int address_;
    FILE* const errors_;
    const HistoryPace pace_;

    mutable std::mutex mutex_;
    std::condition_variable wake_, written_;
    std::deque<PendingRound> queue_;
    bool retry_ = false;  // a round came since the last attempt failed on a lock
    bool stopping_ = false, off_ = false, said_locked_ = false;
    long rows_ = 0;
    long long checkpoint_ms_ = 0, checkpoint_round_s_ = 0;  // of the last checkpoint
    bool checkpoint_round_known_ = false;
    std::thread thread_;
};

}  // namespace tzv58::tool

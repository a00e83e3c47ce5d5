// Writes the rounds' history rows so that the file never stalls the poll and
// history is never off for good:
// - a round is written at once, inside the round's end, when nothing waits
//   before it; another connection's lock is not waited for there;
// - a round that cannot be written at once (a lock, a full disk, a
//   read-only file, an I/O error, a file too large) waits in memory, and a
//   thread of the writer's own writes the waiting rounds in order, waiting
//   up to busy_ms for a lock each time, and after any other failure trying
//   again every retry_ms; up to backlog rounds wait, then the oldest is
//   dropped for each new one and counted. One line says that rounds wait,
//   one that the memory is full, one when they are in;
// - a file deleted or renamed under the program is noticed before the next
//   round is written (device, inode, link count): one line, its log is
//   checkpointed into it, and a new file at the path takes the rounds;
// - at least once a minute (of the host's clock, or of the rounds' own
//   times but then once a second at most) the thread checkpoints the
//   write-ahead log and truncates it, waiting up to checkpoint_wait_ms for
//   readers and trying again with the next round; a log past log_bound is
//   said once. No commit checkpoints (wal_autocheckpoint is 0), so the poll
//   never waits for the disk's fsync: a round that comes during a
//   checkpoint waits in memory.
// The link's changes come alone, without a record (has_record false), and
// take the same way: written at once or waiting in order with the rounds,
// counted among them while they wait; they add no row.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/common/history_status.h"
#include "tools/common/plugin_host.h"
#include "tools/history/history_db.h"

namespace tzv58::tool {

struct HistoryPace {
    int busy_ms = 5000;                // a waiting round waits this long for another connection's lock
    int retry_ms = 5000;               // after any other failure, the next try comes this much later
    int checkpoint_s = 60;             // a truncating checkpoint at least this often
    int checkpoint_wait_ms = 1000;     // a checkpoint waits this long for readers, then the next round tries
    size_t backlog = 1000;             // rounds kept in memory (about an hour of polling)
    int final_wait_ms = 1000;          // at the end, a file that fails is waited for this long
    long long log_bound = 16LL << 20;  // a log past this is said
};

struct PendingRound {
    std::vector<uint8_t> record;  // one of the model's records
    int dc_reported = -1;         // the DC units the replies reported before it (RecordView)
    long long utc = 0;            // its time (round_utc), taken at the round's end
    std::vector<AlarmChange> alarms;
    bool has_record = true;  // false: the link's changes alone, no row
    int address = -1;        // of the power system; -1: the writer's
    std::string device = ONE_DEVICE_NAME;
};

class HistoryWriter {
public:
    // model: whose records the rounds hold; address: of the rounds that
    // name none. The power systems of a site share one writer (and one
    // model: a file's columns are one model's).
    HistoryWriter(std::unique_ptr<HistoryDb> db, ModelRef model, int address, FILE* errors, const HistoryPace& pace);
    // Writes what still waits (for final_wait_ms at most if the file
    // fails), says what could not be written, and closes the file.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Writes the round, or keeps it behind the rounds that wait.
    void submit(PendingRound round);
    // Rows written so far; what the file is doing.
    long rows() const;
    HistoryStatus status() const;

private:
    enum class Outcome { done, locked, failed };
    Outcome write(const PendingRound& round, bool wait, std::string& err);
    void run();
    void write_waiting(std::unique_lock<std::mutex>& lock);
    bool replace_file(std::unique_lock<std::mutex>& lock);
    void checkpoint(std::unique_lock<std::mutex>& lock);
    void failed(const std::string& reason, bool locked);
    void keep(PendingRound round);
    void after_write(const PendingRound& round);
    void say(const std::string& what);

    std::unique_ptr<HistoryDb> db_;  // used by the thread that holds writing_
    const ModelRef model_;
    const std::string path_;
    const int address_;
    FILE* const errors_;
    const HistoryPace pace_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<uint64_t, PendingRound>> queue_;  // by sequence number
    uint64_t next_seq_ = 1, in_flight_ = 0;                // in_flight_: the one the thread writes
    bool writing_ = false;                                 // a thread is using the database
    bool failing_ = false;                                 // rounds wait since a write failed
    bool stopping_ = false;
    long long stop_at_ms_ = 0;
    bool gone_ = false;  // the file at the path is no longer the one open
    std::string gone_how_;
    bool checkpoint_due_ = false;
    bool said_full_ = false, said_log_ = false;
    long long next_try_ms_ = 0;
    std::string reason_;  // of the last failure
    long rows_ = 0;
    long long newest_ = 0;
    uint64_t dropped_ = 0, dropped_said_ = 0;
    long long log_bytes_ = 0;
    long long checkpoint_ms_ = 0, checkpoint_round_s_ = 0, last_round_s_ = 0;
    bool checkpoint_round_known_ = false;
    std::thread thread_;
};

}  // namespace tzv58::tool

// What a running poll's history file is doing, told by the history writer
// to the status object and the metrics (which know nothing else of it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace tzv58::tool {

struct HistoryStatus {
    bool kept = false;        // the run keeps a history file
    bool writing = false;     // rounds go into the file as they end
    size_t waiting = 0;       // rounds kept in memory until the file takes them
    uint64_t dropped = 0;     // rounds let go: more waited than memory keeps
    long long log_bytes = 0;  // the write-ahead log beside the file
    long long newest = 0;     // the last round's time given to it, seconds since the epoch
};

// Read from any thread.
using HistoryStatusSource = std::function<HistoryStatus()>;

// Rounds that no history file of the process got: dropped from memory, or
// still waiting when the file was closed. A run that lost any ends with
// status 1.
inline std::atomic<uint64_t>& history_rounds_lost() {
    static std::atomic<uint64_t> lost{0};
    return lost;
}

}  // namespace tzv58::tool

// Keeping the poll's time from its readers. An output the poll writes while
// it polls (the events, the summary, the plug-in's diagnostic lines) that
// has a reader (a pipe, a FIFO, a terminal, a socket) goes through a pump: a
// write only copies whole lines into a bounded queue, and a thread of the
// pump's own writes them out on a descriptor that never blocks. A file on
// disk has no reader to wait for and is written at once, as history is.
// When the queue is full (a reader that stopped reading), new lines are
// dropped and counted (but see PumpOptions::lossless):
//   - one line on standard error says so when it begins ("events: reader
//     stalled; lines are dropped until it reads again"), and one when the
//     queue has been written out ("events: reader stalled, 212 lines dropped
//     in 64 s"), or at the end;
//   - the stream itself then gets a line saying the same: a text line from
//     the pump, or (the events) one its writer makes (take_dropped);
//   - the count is kept for the metrics (drop_counts).
// A reader that goes away, and a write that fails, are said as outputs.h
// says them.
#pragma once

#include <atomic>
#include <cstdio>
#include <map>
#include <string>

namespace tzv58::tool {

// What a pump holds at most while its reader does not read: minutes of a
// poll's events.
constexpr size_t PUMP_QUEUE_BYTES = 1u << 20;
// At the end, how long what waits is written for.
constexpr int PUMP_END_WAIT_MS = 1000;

struct PumpOptions {
    std::string label;  // "events", "summary", "diag": in the lines said and the metrics
    size_t queue_bytes = PUMP_QUEUE_BYTES;
    bool writer_says = false;  // the stream's writer tells its reader what was dropped (take_dropped)
    // A --fast run, on a clock of its own that no power system waits for: a
    // full queue makes the writer wait instead of dropping (the stall is
    // said all the same), so that its outputs are whole.
    bool lossless = false;
};

// Puts `out` (a stream of the program's own) behind a pump, unless it
// writes to a file on disk: the pump writes where out wrote, and out is
// closed and replaced by a stream into the pump's queue. name: the output in
// a message ("standard output"). false with a one-line reason.
bool pump_stream(FILE*& out, const std::string& name, const PumpOptions& options, std::string& err);

// Puts descriptor fd (1: the plug-in's lines, which stream writes) behind a
// pump, unless it is a file on disk: fd becomes a pipe that the pump empties
// as it fills.
bool pump_descriptor(int fd, FILE* stream, const std::string& name, const PumpOptions& options, std::string& err);

// For a stream whose writer says what was dropped: how many lines, over how
// many seconds, once the reader has caught up. false: nothing to say.
struct Dropped {
    long long lines = 0, seconds = 0;
};
bool take_dropped(FILE* out, Dropped& dropped);

// The descriptor a pumped stream's lines go to (for reopening it after log
// rotation); -1 for a stream that is not pumped.
int pumped_descriptor(FILE* out);

// Ends every pump: what waits is written for up to wait_ms, the rest is
// dropped and said. Lines written afterwards are dropped.
void finish_pumps(int wait_ms);

// false when a pump dropped lines or failed to write.
bool pumps_ok();

// What each consumer of the poll's output dropped so far, by name
// ("events", "summary", "diag"; "notify" for the on-event queue).
std::atomic<unsigned long long>& drop_count(const std::string& consumer);
std::map<std::string, unsigned long long> drop_counts();

}  // namespace tzv58::tool

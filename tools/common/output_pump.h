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
// The program's own standard error is such an output too (pump_stderr): its
// lines never make the poll, the notifier or the history writer wait.
#pragma once

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

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
    // Standard error's own pump: its stall is told only in the stream, once
    // the reader reads again (saying it there first would only add to the
    // lines dropped); a reader that goes away stops nothing.
    bool quiet = false;
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

// Puts the program's standard error behind a pump labelled "stderr" (the
// queue's bound from options; never lossless): from now on `stderr` is a
// stream into the pump's queue, so that say(), the notifier's and the
// history's lines only queue, and the pump's thread alone writes descriptor
// 2, through a non-blocking descriptor of its own. Descriptor 2 stays as it
// was (blocking, shared with the parent's terminal), and sanitizer and crash
// reports still write there directly. false with a one-line reason (then
// `stderr` is left as it was).
bool pump_stderr(const PumpOptions& options, std::string& err);

// In a child process just forked: `stderr` is the process's own stream again
// (the pump's thread is not in the child).
void unpump_stderr_in_child();

// Ends standard error's pump: what waits is written for up to wait_ms, the
// rest dropped (and told there once, if it takes the line at once); `stderr`
// is the process's own stream again. false when it dropped lines.
bool finish_stderr_pump(int wait_ms);

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
// What made them so, each pump's with its count ("events: 212 lines
// dropped", "summary: a write failed"), standard error's too.
std::vector<std::string> pump_troubles();

// What each consumer of the poll's output dropped so far, by name
// ("events", "summary", "diag"; "notify" for the on-event queue).
std::atomic<unsigned long long>& drop_count(const std::string& consumer);
std::map<std::string, unsigned long long> drop_counts();

}  // namespace tzv58::tool

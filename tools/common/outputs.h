// The program's outputs, opened and written with care. Opening one never
// waits (a FIFO nobody reads is refused at once). Every write is checked: the
// first failure of each output is said in one line on standard error that
// names it, and the command then ends with status 1, as it did not do all
// that was asked. The program goes on meanwhile (a poll keeps polling).
// One failure is no fault of ours: when the reader of an output goes away (a
// closed pipe, as `| head` does), that is said once and the program is asked
// to stop (g_stop), with status 0.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tzv58::tool {

// What a text output of an option is: every such file begins with head; a
// diagnostics file with a head line of its own, written to a new file.
struct OutputKind {
    const char* option;  // "--events"
    const char* what;    // "an events file", in a message
    const char* head;
    bool head_line;  // the head is a line written to a new (empty) file
};
extern const OutputKind EVENTS_OUTPUT, DIAG_OUTPUT;

// Opens PATH for appending, created if it is not there (0644), never
// emptied, on start and on every reopen alike: a FIFO only when a program
// reads it; a regular file that holds something but does not begin with the
// kind's head (a database, a document) only with force; in a folder others
// may write to, no final symbolic link and no file of another user (see
// check_shared_folder). -1 with a one-line reason naming the option.
int open_output(const std::string& path, const OutputKind& kind, bool force, std::string& err);

// Watches an output from now on: name says which in a message ("the
// --events file events.jsonl", "standard output").
void watch_output(FILE* out, const std::string& name);

// Forgets an output (before it is closed).
void unwatch_output(FILE* out);

// Flushes an output and checks it: false when it (or an earlier write to
// it) failed; the first failure is said at once.
bool flush_output(FILE* out);

// Writes text and flushes: flush_output, with the reason of a write that
// fails on the way.
bool write_output(FILE* out, const std::string& text);

// Flushes and checks every watched output: EXIT_FAIL when any of them
// failed since it was watched, or an output behind a pump (output_pump.h)
// dropped lines or failed; else EXIT_DONE.
int outputs_status();

// Every loss of the run so far that makes its status 1, each with its count,
// in one list: the outputs' (pump_troubles), an output that could not be
// written ("standard output: a write failed"), the history's ("history: 4
// rounds lost") and the notifier's ("on-event: 77 not notified": dropped
// from its full queue, its program not started, or the host ending first).
std::vector<std::string> run_troubles();

}  // namespace tzv58::tool

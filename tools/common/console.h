// Standard output belongs to the person (or, when asked, to JSON lines); the
// plug-in writes its diagnostic lines to descriptor 1 all the same. The host
// therefore keeps the real standard output on a private stream and points
// descriptor 1 at /dev/null, at standard error (--debug: each line shown
// without control characters) or at a file (--diag).
#pragma once

#include <cstdio>
#include <string>

namespace tzv58::tool {

enum class DiagTarget { discard, stderr_, file };

// First thing at start: a standard descriptor the program was started
// without (`>&-`, `2>&-`) is taken by /dev/null, so that no file the
// program opens later becomes its standard output or error by chance.
// Standard output is taken read-only: a write to it fails, and is said as
// any failed write is (status 1). true when standard output was closed.
bool hold_standard_descriptors();
// Whether it was (hold_standard_descriptors).
bool standard_output_closed();

// Moves descriptor 1 to the target and returns the real standard output as
// a stream of its own (nullptr, with a one-line reason, on failure). A
// --diag file is opened by the outputs' rule (open_output; force: --force).
FILE* divert_diagnostics(DiagTarget target, const std::string& path, bool force, std::string& err);

// Writes out what the plug-in and the host have buffered.
void flush_all_output(FILE* console);
// At the end: the plug-in's last lines shown on standard error (--debug),
// waited for a second at most. Lines after it are discarded.
void end_diagnostics();

// A site: every line of the plug-in is said after the name of the power
// system whose device wrote it ("north: InitSetting 1 b_mode_:1").
// Descriptor 1 becomes a pipe, drained on the thread that called into the
// device: calls into devices come one at a time (turns.h), and each thread
// drains what its own calls wrote before another may call, so whose lines
// they are is known without asking a reader. The named lines go where
// descriptor 1 went (name: that output, in a message). Nothing waits for a
// consumer: the pipe holds a call's lines, and is drained after it.
bool name_diagnostics(const std::string& name, std::string& err);

// While it lives, the plug-in's lines on this thread are those of the power
// system `name` (which outlives it): what came before is drained first,
// and what came meanwhile when it ends.
class SpeakingFor {
public:
    explicit SpeakingFor(const std::string& name);
    ~SpeakingFor();
    SpeakingFor(const SpeakingFor&) = delete;
    SpeakingFor& operator=(const SpeakingFor&) = delete;

private:
    const std::string* before_;
};

// Takes the plug-in's lines written so far on this thread, names them, and
// writes them out. Nothing unless name_diagnostics was called.
void drain_diagnostics();

// Log rotation: points the events stream, or descriptor 1 (the plug-in's
// lines), at PATH afresh, by the rule it was opened with at start
// (open_output): appending, created if it is gone. false with a one-line
// reason; the old file is kept then.
bool reopen_stream(FILE* out, const std::string& path, bool force, std::string& err);
bool reopen_diagnostics(const std::string& path, bool force, std::string& err);

}  // namespace tzv58::tool

// Standard output belongs to the person (or, when asked, to JSON lines); the
// plug-in writes its diagnostic lines to descriptor 1 all the same. The host
// therefore keeps the real standard output on a private stream and points
// descriptor 1 at /dev/null, at standard error (--debug) or at a file (--diag).
#pragma once

#include <cstdio>
#include <string>

namespace tzv58::tool {

enum class DiagTarget { discard, stderr_, file };

// Moves descriptor 1 to the target and returns the real standard output as
// a stream of its own (nullptr, with a one-line reason, on failure).
FILE* divert_diagnostics(DiagTarget target, const std::string& path, std::string& err);

// Writes out what the plug-in and the host have buffered.
void flush_all_output(FILE* console);

}  // namespace tzv58::tool

// Exit statuses of tzv58-host and the one-line messages that go with them.
#pragma once

#include <cstdio>
#include <string>

namespace tzv58::tool {

constexpr int EXIT_DONE = 0;
// The device or the line did not do it.
constexpr int EXIT_FAIL = 1;
// Bad input: an option, a file, a script line.
constexpr int EXIT_USAGE = 2;

// Prints "tzv58-host: MSG" on standard error and returns the status.
int say(int status, const std::string& msg);
// Prints "tzv58-host: MSG" on `to`: one line, whatever a name or a text it
// quotes holds (shown by the terminal guard, text_guard.h). Every line the
// program says about itself goes out this way.
void tell(FILE* to, const std::string& msg);
inline int usage_error(const std::string& msg) { return say(EXIT_USAGE, msg); }
inline int failure(const std::string& msg) { return say(EXIT_FAIL, msg); }
// What went wrong while opening what a run needs: for want of a resource
// (descriptors, memory, a process or a thread: `ulimit -n`, `ulimit -u`)
// no fault of the input, status 1; else status 2.
int start_error(const std::string& msg);

}  // namespace tzv58::tool

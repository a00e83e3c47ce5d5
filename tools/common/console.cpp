#include "tools/common/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "tools/common/output_pump.h"
#include "tools/common/outputs.h"
#include "tools/common/signals.h"

namespace tzv58::tool {

FILE* divert_diagnostics(DiagTarget target, const std::string& path, std::string& err) {
    std::cout.flush();
    std::fflush(stdout);
    int to = -1;
    if (target == DiagTarget::file) {
        if ((to = open_output(path, "--diag", err)) < 0) return nullptr;
    } else if (target == DiagTarget::discard) {
        to = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else {
        to = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    }
    const int keep = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    FILE* console = keep >= 0 ? ::fdopen(keep, "w") : nullptr;
    if (to < 0 || !console || ::dup2(to, 1) < 0) {
        err = std::string("cannot divert the plug-in's diagnostic lines: ") + std::strerror(errno);
        if (to >= 0) ::close(to);
        if (console) std::fclose(console);
        return nullptr;
    }
    ::close(to);
    // Whole lines as they come: they interleave with the host's own lines on
    // standard error, and none is lost if the program is stopped.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    watch_output(console, "standard output");
    if (target == DiagTarget::file) watch_output(stdout, "the --diag file " + path);
    return console;
}

void flush_all_output(FILE* console) {
    std::cout.flush();
    std::fflush(stdout);
    if (console) std::fflush(console);
}

namespace {

bool reopen_fd(int fd, const std::string& path, const char* option, std::string& err) {
    const int to = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (to < 0 || ::dup2(to, fd) < 0) {
        err = std::string("option ") + option + ": cannot reopen " + path + ": " + std::strerror(errno);
        if (to >= 0) ::close(to);
        return false;
    }
    ::close(to);
    return true;
}

}  // namespace

bool reopen_stream(FILE* out, const std::string& path, std::string& err) {
    std::fflush(out);
    const int pumped = pumped_descriptor(out);
    return reopen_fd(pumped >= 0 ? pumped : ::fileno(out), path, "--events", err);
}

bool reopen_diagnostics(const std::string& path, std::string& err) {
    std::cout.flush();
    std::fflush(stdout);
    const int pumped = pumped_descriptor(stdout);
    return reopen_fd(pumped >= 0 ? pumped : 1, path, "--diag", err);
}

}  // namespace tzv58::tool

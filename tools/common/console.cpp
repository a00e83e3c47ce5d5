#include "tools/common/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "tools/common/outputs.h"
#include "tools/common/signals.h"

namespace tzv58::tool {

FILE* divert_diagnostics(DiagTarget target, const std::string& path, bool force, std::string& err) {
    std::cout.flush();
    std::fflush(stdout);
    int to = -1;
    if (target == DiagTarget::file) {
        if ((to = open_output(path, DIAG_OUTPUT, force, err)) < 0) return nullptr;
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

bool reopen_fd(int fd, const std::string& path, const OutputKind& kind, bool force, std::string& err) {
    const int to = open_output(path, kind, force, err);
    if (to < 0) return false;
    if (::dup2(to, fd) < 0) {
        err = std::string("option ") + kind.option + ": cannot reopen " + path + ": " + std::strerror(errno);
        ::close(to);
        return false;
    }
    ::close(to);
    return true;
}

}  // namespace

bool reopen_stream(FILE* out, const std::string& path, bool force, std::string& err) {
    std::fflush(out);
    return reopen_fd(::fileno(out), path, EVENTS_OUTPUT, force, err);
}

bool reopen_diagnostics(const std::string& path, bool force, std::string& err) {
    std::cout.flush();
    std::fflush(stdout);
    return reopen_fd(1, path, DIAG_OUTPUT, force, err);
}

}  // namespace tzv58::tool

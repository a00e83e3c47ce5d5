#include "tools/common/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

#include "tools/common/output_pump.h"
#include "tools/common/outputs.h"
#include "tools/common/signals.h"
#include "tools/common/text_guard.h"

namespace tzv58::tool {
namespace {

// --debug: the plug-in's lines reach standard error through a pipe and a
// thread that shows each without control characters: a line quotes bytes of
// a reply as characters (%c), and a terminal takes an escape byte there as
// a command. Detached: ending the program never waits for it beyond
// end_diagnostics().
struct DebugRelay {
    std::mutex lock;
    std::condition_variable ended;
    bool running = false;
};
DebugRelay& relay() {
    static DebugRelay* r = new DebugRelay;  // outlives every thread that may use it
    return *r;
}

void write_all(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += size_t(n);
    }
}

void relay_lines(int from) {
    std::string pending;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, size_t(n));
        const size_t end = pending.rfind('\n');
        if (end == std::string::npos && pending.size() < sizeof buf) continue;
        const size_t cut = end == std::string::npos ? pending.size() : end + 1;
        write_all(2, shown(pending.substr(0, cut), true));
        pending.erase(0, cut);
    }
    if (!pending.empty()) write_all(2, shown(pending, true));
    ::close(from);
    DebugRelay& r = relay();
    std::lock_guard<std::mutex> hold(r.lock);
    r.running = false;
    r.ended.notify_all();
}

// The write end of a pipe whose lines go to standard error, shown.
int debug_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    relay().running = true;
    std::thread(relay_lines, fds[0]).detach();
    return fds[1];
}

}  // namespace

FILE* divert_diagnostics(DiagTarget target, const std::string& path, bool force, std::string& err) {
    std::cout.flush();
    std::fflush(stdout);
    int to = -1;
    if (target == DiagTarget::file) {
        if ((to = open_output(path, DIAG_OUTPUT, force, err)) < 0) return nullptr;
    } else if (target == DiagTarget::discard) {
        to = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else {
        to = debug_pipe();
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

void end_diagnostics() {
    std::cout.flush();
    std::fflush(stdout);
    DebugRelay& r = relay();
    std::unique_lock<std::mutex> hold(r.lock);
    if (!r.running) return;
    // The pipe's write end goes (unless a child still holds it): the relay
    // reads to its end.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, 1);
    if (null >= 0) ::close(null);
    r.ended.wait_for(hold, std::chrono::seconds(1), [&] { return !r.running; });
}

void flush_all_output(FILE* console) {
    std::cout.flush();
    std::fflush(stdout);
    if (console) std::fflush(console);
}

namespace {

// pumped: fd is a pump's, which writes without blocking (output_pump.h).
bool reopen_fd(int fd, bool pumped, const std::string& path, const OutputKind& kind, bool force, std::string& err) {
    const int to = open_output(path, kind, force, err);
    if (to < 0) return false;
    if (pumped) ::fcntl(to, F_SETFL, ::fcntl(to, F_GETFL) | O_NONBLOCK);
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
    const int pumped = pumped_descriptor(out);
    return reopen_fd(pumped >= 0 ? pumped : ::fileno(out), pumped >= 0, path, EVENTS_OUTPUT, force, err);
}

bool reopen_diagnostics(const std::string& path, bool force, std::string& err) {
    std::cout.flush();
    std::fflush(stdout);
    const int pumped = pumped_descriptor(stdout);
    return reopen_fd(pumped >= 0 ? pumped : 1, pumped >= 0, path, DIAG_OUTPUT, force, err);
}

}  // namespace tzv58::tool

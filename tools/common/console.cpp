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
#include "tools/common/turns.h"

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

// to: standard error's stream as it was when --debug began (behind its pump
// in simulate and poll, which never blocks).
void relay_lines(int from, FILE* to) {
    const auto show = [to](const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), to);
        std::fflush(to);
    };
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
        show(shown(pending.substr(0, cut), true));
        pending.erase(0, cut);
    }
    if (!pending.empty()) show(shown(pending, true));
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
    std::thread(relay_lines, fds[0], stderr).detach();
    return fds[1];
}

bool stdout_closed = false;

}  // namespace

bool hold_standard_descriptors() {
    for (const int fd : {0, 1, 2}) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor: fd itself.
        const int null = ::open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
        if (fd == 1) stdout_closed = true;
    }
    return stdout_closed;
}

bool standard_output_closed() { return stdout_closed; }

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

namespace {

// The plug-in's lines of a site, named: the pipe descriptor 1 now writes
// to, and where the named lines go.
struct Naming {
    std::mutex lock;
    int from = -1;
    FILE* to = nullptr;
    std::string pending;  // a line not yet ended
};
Naming& naming() {
    static Naming* n = new Naming;  // outlives every thread that may drain
    return *n;
}
thread_local const std::string* speaker = nullptr;

// Lines longer than this are cut into lines of this size.
constexpr size_t MAX_DIAG_LINE = 4096;

// Drains the pipe; whole: a line not yet ended is ended now (its speaker
// is about to change).
void drain(bool whole) {
    Naming& n = naming();
    if (n.from < 0) return;
    std::cout.flush();
    std::fflush(stdout);
    const std::lock_guard<std::mutex> hold(n.lock);
    char buf[4096];
    for (ssize_t got; (got = ::read(n.from, buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR);)
        if (got > 0) n.pending.append(buf, size_t(got));
    if (n.pending.empty()) return;
    const std::string prefix = speaker && !speaker->empty() ? *speaker + ": " : "";
    std::string named;
    size_t start = 0;
    for (size_t end;
         (end = n.pending.find('\n', start)) != std::string::npos || n.pending.size() - start >= MAX_DIAG_LINE;) {
        const size_t cut = end != std::string::npos && end - start < MAX_DIAG_LINE ? end + 1 : start + MAX_DIAG_LINE;
        named += prefix + n.pending.substr(start, cut - start);
        if (named.back() != '\n') named += '\n';
        start = cut;
    }
    n.pending.erase(0, start);
    if (whole && !n.pending.empty()) {
        named += prefix + n.pending + '\n';
        n.pending.clear();
    }
    if (!named.empty()) write_output(n.to, named);
}

void drain_before_turn() { drain(true); }

}  // namespace

bool name_diagnostics(const std::string& name, std::string& err) {
    Naming& n = naming();
    std::cout.flush();
    std::fflush(stdout);
    int fds[2] = {-1, -1};
    const int out = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (out < 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0 || !(n.to = ::fdopen(out, "w")) || ::dup2(fds[1], 1) < 0) {
        err = std::string("cannot name the plug-in's diagnostic lines: ") + std::strerror(errno);
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
        if (n.to)
            std::fclose(n.to);
        else if (out >= 0)
            ::close(out);
        n.to = nullptr;
        return false;
    }
    ::close(fds[1]);
    // Room for many calls' lines, should a drain come late.
    ::fcntl(1, F_SETPIPE_SZ, 1 << 20);
    n.from = fds[0];
    watch_output(n.to, name);
    before_giving_turn(drain_before_turn);
    return true;
}

SpeakingFor::SpeakingFor(const std::string& name) : before_(speaker) {
    drain(true);
    speaker = &name;
}

SpeakingFor::~SpeakingFor() {
    drain(true);
    speaker = before_;
}

void drain_diagnostics() { drain(false); }

void end_diagnostics() {
    drain(true);
    std::cout.flush();
    std::fflush(stdout);
    Naming& n = naming();
    std::lock_guard<std::mutex> named(n.lock);
    if (n.to) std::fflush(n.to);
    DebugRelay& r = relay();
    std::unique_lock<std::mutex> hold(r.lock);
    if (!r.running) return;
    // The pipe's write end goes (unless a child still holds it): the relay
    // reads to its end. A site's named lines went there too.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, n.to ? ::fileno(n.to) : 1);
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
    drain(true);
    std::cout.flush();
    std::fflush(stdout);
    const int pumped = pumped_descriptor(stdout);
    Naming& n = naming();
    const std::lock_guard<std::mutex> hold(n.lock);
    if (n.to) std::fflush(n.to);
    // A site's named lines go where descriptor 1 went: its pump, or the file.
    return reopen_fd(pumped >= 0 ? pumped : n.to ? ::fileno(n.to) : 1, pumped >= 0, path, DIAG_OUTPUT, force, err);
}

}  // namespace tzv58::tool

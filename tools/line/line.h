// The host's serial line to one power system: exclusive open, hang-up
// detection and reopening with a growing back-off. A port that is not there
// at the start, or busy, is waited for in the same way when asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "tools/common/signals.h"
#include "tools/line/line_pace.h"
#include "tools/report/events.h"

namespace tzv58::tool {

// Reports the first failures of a run in full, then every hundredth.
class FailureThrottle {
public:
    // Counts one failure; true when it should be reported.
    bool fail() {
        ++count_;
        return count_ <= 10 || count_ % 100 == 0;
    }
    void ok() { count_ = 0; }
    long count() const { return count_; }

private:
    long count_ = 0;
};

class Line {
public:
    Line(std::string path, int baud) : path_(std::move(path)), baud_(baud) {}
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    ~Line();

    enum class Opened { yes, waiting, absent, busy, failed };
    // First open. A port not there yet (an adapter still to be plugged in),
    // or held by another program, is `absent` or `busy` with a one-line
    // reason in err; with wait_port it is left to the reopening instead:
    // `waiting`, to be reported lost ("no such port", "port busy") by
    // report_waiting(). failed: a one-line reason in err (not a terminal, no
    // permission, ...). A port lost later is waited for whatever the cause.
    Opened open(bool wait_port, std::string& err);
    // A port waited for from the start is reported lost, with its cause, to
    // the observer of report_link_to: call it once every observer of the
    // program listens (the history, the live status), so that each hears the
    // loss that a later "restored" ends. Nothing when the port opened.
    void report_waiting();
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Who hears of the link's life: opened, reopening, lost and restored.
    void report_link_to(LinkObserver* observer) { link_ = observer; }

    enum class Received { bytes, timeout, hangup, interrupted };
    // Waits up to timeout_ms for the line and reads what came into buf: bytes
    // (n of them); timeout; hangup, the port is gone (a hang-up, end of file,
    // a read error); interrupted, a signal came (or nothing was there to read
    // after all).
    Received receive(uint8_t* buf, size_t cap, int timeout_ms, size_t& n);
    // Waits up to timeout_ms for input, as wait_input.
    LineWait wait_input(int timeout_ms);
    // Discards whatever is pending in the input.
    void discard();
    // The host wrote n bytes to the line.
    void wrote(size_t n) {
        if (pace_) pace_->wrote(n);
    }
    // simulate --fast: every wait passes on the simulated clock (nullptr:
    // on the monotonic one).
    void pace_with(LinePace* pace) { pace_ = pace; }
    LinePace* pace() const { return pace_; }

    // How the back-off before a reopening attempt is waited out (default:
    // a plain sleep); the scheduler serves its clients meanwhile.
    void wait_with(std::function<void(int ms)> wait) { wait_ = std::move(wait); }

    // The port hung up: close it and report it lost (to the observer of
    // report_link_to, which tells the event stream and the person).
    void lost();
    // One reopening attempt after the back-off (0.5 s, doubling to 30 s);
    // true once open again. false when it failed or the host was stopped:
    // "reopening failed 3 times in a row: PATH: no such port".
    bool try_reopen();
    // While the port is not open, why, in the words every message uses:
    // "PATH: no such port", "PATH: port busy", "PATH: no permission", the
    // system's words for another failure, "PATH: hang-up". Empty while open.
    const std::string& down_cause() const { return down_cause_; }

private:
    void went(const char* cause);
    void came_back();

    std::string path_;
    int baud_;
    LinkObserver* link_ = nullptr;
    long long lost_at_ms_ = -1;        // monotonic; -1 while the link is up
    const char* waiting_for_ = nullptr;  // the cause not yet reported of a port waited for from the start
    std::string down_cause_;
    std::function<void(int ms)> wait_ = nap;
    int fd_ = -1;
    LinePace* pace_ = nullptr;
    int delay_ms_ = 500;
    FailureThrottle failures_;
};

}  // namespace tzv58::tool

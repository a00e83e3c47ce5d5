// The host's serial line to one power system: exclusive open, hang-up
// detection and reopening with a growing back-off.
#pragma once

#include <csignal>
#include <string>

#include "tools/events.h"

namespace tzv58::tool {

// Set by SIGINT and SIGTERM: every wait of the host ends early.
extern volatile std::sig_atomic_t g_stop;
void install_stop_handlers();

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
    Line(std::string path, int baud, EventPrinter& events) : path_(std::move(path)), baud_(baud), events_(events) {}
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    ~Line();

    // First open: false with a one-line reason (missing port, busy port).
    bool open(std::string& err);
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    // The port hung up: close it and report it lost.
    void lost();
    // Reopens with a growing back-off (0.5 s doubling to 30 s) until it works
    // or the host is stopped. true once open again.
    bool reopen();

private:
    std::string path_;
    int baud_;
    EventPrinter& events_;
    int fd_ = -1;
    FailureThrottle failures_;
};

// Sleeps up to ms milliseconds; a stop request ends it early.
void nap(int ms);

}  // namespace tzv58::tool

#include "tools/line/line_pace.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "tools/common/pace.h"

namespace tzv58::tool {
namespace {

// The simulator answers at once; these only bound a simulator that hangs.
constexpr int ANSWER_MS = 10000;
constexpr int IN_FLIGHT_MS = 2000;

}  // namespace

LinePace::~LinePace() {
    if (fd_ >= 0) ::close(fd_);
}

bool LinePace::ask() {
    if (fd_ < 0) return false;
    PaceAsk a;
    a.host_bytes = host_bytes_;
    a.now_ms = clock_.now_ms();
    PaceTell t;
    if (!pace_send(fd_, a) || !pace_receive(fd_, t, ANSWER_MS)) {
        std::fprintf(stderr, "tzv58-host: the simulated power system does not keep the simulated clock; it is left\n");
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    sim_bytes_ = t.sim_bytes;
    next_ms_ = t.next_ms;
    return true;
}

LineWait LinePace::in_flight(int line_fd) {
    const LineWait w = wait_input(line_fd, IN_FLIGHT_MS);
    // Bytes that never arrive are not waited for again.
    if (w == LineWait::timeout) read_bytes_ = sim_bytes_;
    return w;
}

LineWait LinePace::wait(int line_fd, int timeout_ms) {
    const long long deadline = clock_.now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
        if (read_bytes_ < sim_bytes_) {
            const LineWait w = in_flight(line_fd);
            if (w != LineWait::timeout) return w;
        }
        if (!ask()) return LineWait::hangup;
        if (read_bytes_ < sim_bytes_) continue;
        const long long now = clock_.now_ms();
        if (next_ms_ >= 0 && next_ms_ <= deadline) {
            clock_.advance_ms(next_ms_ - now);
            if (next_ms_ > now) continue;
        }
        // Nothing comes before the deadline; a hang-up is still seen at once.
        clock_.advance_ms(deadline - now);
        const LineWait w = wait_input(line_fd, 0);
        return w == LineWait::input ? LineWait::input : w == LineWait::hangup ? LineWait::hangup : LineWait::timeout;
    }
}

// The simulator writes only when asked: what it wrote by the last asking is
// all there is.
void LinePace::discard(int line_fd) {
    char scratch[256];
    for (;;) {
        const ssize_t n = ::read(line_fd, scratch, sizeof scratch);
        if (n > 0) {
            read_bytes_ += n;
            continue;
        }
        if (read_bytes_ >= sim_bytes_ || in_flight(line_fd) != LineWait::input) return;
    }
}

}  // namespace tzv58::tool

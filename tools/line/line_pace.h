// The host's side of simulate --fast (tools/common/pace.h): every wait of
// the line passes on the simulated clock, in step with the simulated power
// system. A wait for input moves the clock to when the simulator's next
// bytes are due, or by the whole timeout when none are due before it: a
// dropped reply costs no wall time.
#pragma once

#include <cstddef>

#include "host/serial_port.h"
#include "tools/common/clock.h"

namespace tzv58::tool {

class LinePace {
public:
    // pace_fd: the host's side of the pair, owned from now on.
    LinePace(int pace_fd, SimClock& clock) : fd_(pace_fd), clock_(clock) {}
    ~LinePace();
    LinePace(const LinePace&) = delete;
    LinePace& operator=(const LinePace&) = delete;

    // The host wrote n bytes to the line, or read n from it.
    void wrote(size_t n) { host_bytes_ += (long long)n; }
    void read(size_t n) { read_bytes_ += (long long)n; }
    // As wait_input, timeout_ms on the simulated clock.
    LineWait wait(int line_fd, int timeout_ms);
    // Reads and drops everything the simulator has written so far.
    void discard(int line_fd);
    // ms pass on the simulated clock with nothing awaited.
    void pass(int ms) { clock_.advance_ms(ms); }

private:
    // Asks the simulator; false when it is gone.
    bool ask();
    // Waits (on the wall clock, briefly) for bytes the simulator has written
    // and the line still carries.
    LineWait in_flight(int line_fd);

    int fd_;
    SimClock& clock_;
    long long host_bytes_ = 0, read_bytes_ = 0, sim_bytes_ = 0, next_ms_ = -1;
};

}  // namespace tzv58::tool

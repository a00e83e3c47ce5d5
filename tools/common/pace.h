// simulate --fast: the host and the simulated power system keep one
// simulated clock, so that a reply that does not come (a dropped one, a
// stall) costs no wall time, and a run is the same at every speed.
//
// The two talk over a socket pair beside the line. The host asks (PaceAsk)
// whenever it would wait for the line: the simulator then reads every byte
// the host has written so far (they may still be on their way through the
// pseudo-terminal), answers the requests at the host's simulated time, writes
// what is due by then, and tells (PaceTell) how many bytes it has written in
// all and when its next ones are due. What it writes goes on the line itself,
// through the host's serial-port code, as without --fast.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace tzv58::tool {

struct PaceAsk {
    int64_t host_bytes = 0;  // written to the line by the host since the start
    int64_t now_ms = 0;      // the simulated clock
};

struct PaceTell {
    int64_t sim_bytes = 0;  // written to the line by the simulator since the start
    int64_t next_ms = -1;   // when its next bytes are due; -1: nothing to write
};

// One message over the pair: false when the other side is gone or does not
// answer within timeout_ms.
template <class Message>
bool pace_send(int fd, const Message& m) {
    const char* p = reinterpret_cast<const char*>(&m);
    for (size_t done = 0; done < sizeof m;) {
        const ssize_t w = ::write(fd, p + done, sizeof m - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += size_t(w);
    }
    return true;
}

template <class Message>
bool pace_receive(int fd, Message& m, int timeout_ms) {
    char* p = reinterpret_cast<char*>(&m);
    for (size_t done = 0; done < sizeof m;) {
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t n = ::read(fd, p + done, sizeof m - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace tzv58::tool

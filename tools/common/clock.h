// The host program's one monotonic clock, for deadlines and back-offs (the
// device's own time is the host clock of host/host_events.h).
#pragma once

#include <time.h>

namespace tzv58::tool {

// Milliseconds since an arbitrary point; never goes back.
inline long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace tzv58::tool

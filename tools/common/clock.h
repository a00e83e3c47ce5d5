// The host program's clocks. Every interval (timeouts, back-offs, deadlines,
// ages, silence) is measured on the monotonic clock, or under simulate --fast
// on the simulated one; the host clock of host/host_events.h, which the
// device reads, is only shown and stored, and may be set back or forward at
// any time.
#pragma once

#include <time.h>

#include <algorithm>
#include <atomic>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/host_events.h"

namespace tzv58::tool {

// Milliseconds since an arbitrary point; never goes back.
inline long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// The simulated clock of simulate --fast: milliseconds that move only when
// told to. As the host clock it gives the whole seconds since `start`.
class SimClock : public HostClock {
public:
    explicit SimClock(boost::posix_time::ptime start) : start_(start) {}
    boost::posix_time::ptime local_time() const override {
        return start_ + boost::posix_time::seconds(long(ms_.load() / 1000));
    }
    long long now_ms() const { return ms_.load(); }
    void advance_ms(long long ms) {
        if (ms > 0) ms_ += ms;
    }

private:
    const boost::posix_time::ptime start_;
    std::atomic<long long> ms_{0};
};

// Tells a step of the host clock (set back or forward by hand or by a time
// server) from its steady going. Each look takes the host clock's whole
// seconds beside the monotonic milliseconds: the offset between the two is
// then known within a second, and looks at other phases of the second narrow
// that band. A look that falls outside the band by more than TOLERANCE_MS
// starts a step; once the looks after it have narrowed its new band (or ten
// looks later), look() returns it, once, in whole seconds (negative: back).
class ClockStepWatch {
public:
    static constexpr long long TOLERANCE_MS = 2000;

    long long look(long long host_s, long long mono_ms) {
        const Band b{host_s * 1000 - mono_ms, host_s * 1000 - mono_ms + 1000};
        if (!known_) {
            band_ = b;
            known_ = true;
            return 0;
        }
        if (!stepping_) {
            if (band_.near(b)) {
                band_.narrow(b);
                return 0;
            }
            stepping_ = true;
            new_band_ = b;
            looks_ = 0;
        } else if (new_band_.near(b)) {
            new_band_.narrow(b);
        } else {
            new_band_ = b;  // stepped again before the first was said
        }
        if (new_band_.hi - new_band_.lo > 200 && ++looks_ < 10) return 0;
        const long long ms = new_band_.mid() - band_.mid();
        band_ = new_band_;
        stepping_ = false;
        return (ms + (ms < 0 ? -500 : 500)) / 1000;
    }

private:
    struct Band {
        long long lo = 0, hi = 0;  // host clock minus monotonic clock, ms
        bool near(const Band& b) const { return b.lo < hi + TOLERANCE_MS && b.hi > lo - TOLERANCE_MS; }
        // Both hold the offset; a band that the other misses (a clock that
        // drifts) follows the newer one.
        void narrow(const Band& b) {
            const Band both{std::max(lo, b.lo), std::min(hi, b.hi)};
            *this = both.lo < both.hi ? both : b;
        }
        long long mid() const { return (lo + hi) / 2; }
    };
    bool known_ = false, stepping_ = false;
    Band band_, new_band_;
    int looks_ = 0;
};

}  // namespace tzv58::tool

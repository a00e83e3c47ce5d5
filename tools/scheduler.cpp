#include "tools/scheduler.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "host/serial_port.h"
#include "tools/summary.h"

namespace tzv58::tool {
namespace {

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

constexpr int MAX_ASK_AGAIN = 2;

}  // namespace

// The device declines a refresh within one whole second of the last round's
// end; on the wall clock, wait that out instead of asking in a loop.
void Scheduler::wait_refresh_window() {
    if (opt_.fast_clock) {
        opt_.fast_clock->advance(2);
        return;
    }
    ZMXSPDevice& d = dev_.device();
    while (!g_stop && !d.last_update.is_special() && (d.LocalTime() - d.last_update).total_seconds() <= 1) {
        if (opt_.between) opt_.between->idle();
        nap(100);
    }
}

void Scheduler::on_send(uint8_t cid1, uint8_t cid2, const uint8_t* info, int info_len, const char* frame,
                        size_t frame_len) {
    ++sends_;
    last_cid1_ = cid1;
    last_cid2_ = cid2;
    last_info_.assign(info, info + (info && info_len > 0 ? info_len : 0));
    last_frame_.assign(frame, frame_len);
}

void Scheduler::on_publish(int, const unsigned char*, unsigned int) { ++publishes_; }

int Scheduler::run() {
    ZMXSPDevice& d = dev_.device();
    long long failed_in_a_row = 0;
    while (!g_stop && (opt_.rounds < 0 || completed_ < opt_.rounds)) {
        if (line_.fd() < 0) {
            if (!line_.reopen()) break;
            d.AttachFd(line_.fd(), false);
        }
        if (opt_.between) opt_.between->idle();
        wait_refresh_window();
        if (g_stop) break;
        sends_ = publishes_ = 0;
        if (opt_.collected) opt_.collected->new_round();
        const int r = d.RefreshStatus();
        events_.refresh(r);
        if (r == 0) {
            nap(opt_.fast_clock ? 0 : 250);
            continue;
        }
        ++started_;
        const Outcome outcome = drive_round();
        if (outcome == Outcome::done) ++completed_;
        if (opt_.between && outcome != Outcome::stopped) opt_.between->round_ended(outcome == Outcome::done);
        if (opt_.summary && opt_.collected && outcome != Outcome::stopped)
            print_summary(opt_.summary, started_, outcome == Outcome::done, *opt_.collected,
                          opt_.dc_units ? opt_.dc_units->reported() : -1);
        failed_in_a_row = outcome == Outcome::done ? 0 : failed_in_a_row + 1;
        // A run that was asked for a number of readings does not wait forever
        // on a silent power system.
        if (opt_.rounds > 0 && opt_.give_up > 0 && failed_in_a_row >= opt_.give_up) {
            std::fprintf(stderr, "tzv58-host: no complete reading in %lld rounds in a row; giving up\n",
                         failed_in_a_row);
            return 1;
        }
    }
    return 0;
}

// Discards the input, then sends the last request once more. false once the
// request has been asked for MAX_ASK_AGAIN more times: the round is given up.
bool Scheduler::ask_again(int& attempts) {
    PMBusProtocol& codec = dev_.codec();
    codec.flush_input();
    discard_input(line_.fd());
    if (++attempts > MAX_ASK_AGAIN) {
        dev_.device().Reset();
        return false;
    }
    events_.on_send(last_cid1_, last_cid2_, last_info_.data(), int(last_info_.size()), last_frame_.data(),
                    last_frame_.size());
    std::string frame = last_frame_ + '\r';
    dev_.device().SendData(reinterpret_cast<const unsigned char*>(frame.data()), unsigned(frame.size()));
    return true;
}

Scheduler::Outcome Scheduler::drive_round() {
    ZMXSPDevice& d = dev_.device();
    PMBusProtocol& codec = dev_.codec();
    int attempts = 0;
    int sends = sends_;
    long long deadline = now_ms() + opt_.timeout_ms;
    uint8_t buf[512];
    for (;;) {
        if (publishes_ > 0) return Outcome::done;
        if (sends_ != sends) {
            // The device answered a reply with its next request.
            sends = sends_;
            attempts = 0;
            timeouts_.ok();
            deadline = now_ms() + opt_.timeout_ms;
        } else if (!d.IsProcessing()) {
            // A reply came but nothing followed: an error reply, or one the
            // device would not take. Ask again.
            if (!ask_again(attempts)) return Outcome::abandoned;
            deadline = now_ms() + opt_.timeout_ms;
        }
        const long long left = deadline - now_ms();
        switch (wait_input(line_.fd(), int(left > 0 ? left : 0))) {
        case LineWait::interrupted:
            if (g_stop) return Outcome::stopped;
            continue;
        case LineWait::hangup:
            break;
        case LineWait::timeout:
            if (timeouts_.fail()) events_.error("timeout", nullptr, 0);
            if (!ask_again(attempts)) return Outcome::abandoned;
            deadline = now_ms() + opt_.timeout_ms;
            continue;
        case LineWait::input: {
            const ssize_t n = ::read(line_.fd(), buf, sizeof buf);
            if (n > 0) d.process(buf, unsigned(n));
            if (g_stop) return Outcome::stopped;
            if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN))) continue;
            break;  // end of file or a read error: the port is gone
        }
        }
        codec.flush_input();
        d.Reset();
        d.AttachFd(-1, false);
        line_.lost();
        return Outcome::lost;
    }
}

}  // namespace tzv58::tool

#include "tools/line/scheduler.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/serial_port.h"
#include "tools/common/clock.h"
#include "tools/common/outputs.h"
#include "tools/common/signals.h"
#include "tools/common/text_guard.h"
#include "tools/report/summary.h"

namespace tzv58::tool {
namespace {

constexpr int MAX_ASK_AGAIN = 2;
// The device declines a refresh within one whole second of the last round's
// end on its clock: two seconds after it, on the monotonic clock, it takes it.
constexpr long long REFRESH_GAP_MS = 2000;

long long seconds_of(const boost::posix_time::ptime& t) {
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    return t.is_special() ? 0 : (t - epoch).total_seconds();
}

}  // namespace

// The refresh window is waited out on the monotonic clock, serving the
// work beside the poll, rather than asked for in a loop; a host clock set
// back does not hold it.
void Scheduler::wait_refresh_window() {
    if (opt_.fast_clock) {
        opt_.fast_clock->advance_ms(REFRESH_GAP_MS);
        return;
    }
    watch_host_clock();
    if (round_end_ms_ < 0) return;
    const long long due = round_end_ms_ + REFRESH_GAP_MS;
    for (long long left = due - now_ms(); !g_stop && left > 0; left = due - now_ms()) {
        if (opt_.between) opt_.between->idle();
        nap(int(left < 100 ? left : 100));
        watch_host_clock();
    }
}

void Scheduler::serve_for(int ms) {
    if (line_.pace()) {
        line_.pace()->pass(ms);
        if (opt_.between) opt_.between->idle();
        return;
    }
    const long long until = now_ms() + ms;
    for (long long left = ms; !g_stop && left > 0; left = until - now_ms()) {
        if (opt_.between) opt_.between->idle();
        watch_host_clock();
        nap(int(left < 100 ? left : 100));
    }
}

void Scheduler::watch_host_clock() {
    if (opt_.fast_clock) return;  // moved by the program itself
    const long long step = host_clock_.look(seconds_of(dev_.device().LocalTime()), now_ms());
    if (step != 0)
        std::fprintf(stderr, "tzv58-host: host clock stepped %s %lld s\n", step < 0 ? "back" : "forward",
                     step < 0 ? -step : step);
}

void Scheduler::line_opened() {
    silent_ = false;
    payloads_seen_ = watch_.payloads;
    last_answer_ms_ = clock_ms();
    last_answer_time_ = iso_time(dev_.device().LocalTime());
}

long long Scheduler::silence_ms() const {
    if (opt_.silent_after_ms > 0) return opt_.silent_after_ms;
    return round_interval_ms_ > MIN_SILENCE_MS / 3 ? 3 * round_interval_ms_ : MIN_SILENCE_MS;
}

void Scheduler::watch_answers() {
    const long long now = clock_ms();
    if (watch_.payloads != payloads_seen_) {
        payloads_seen_ = watch_.payloads;
        if (silent_) {
            silent_ = false;
            observers_.link_answers((now - last_answer_ms_ + 500) / 1000);
            if (opt_.between) opt_.between->link_changed();
        }
        last_answer_ms_ = now;
        last_answer_time_ = iso_time(dev_.device().LocalTime());
    } else if (!silent_ && now - last_answer_ms_ >= silence_ms()) {
        silent_ = true;
        observers_.link_silent(dev_.codec().address, last_answer_time_);
        if (opt_.between) opt_.between->link_changed();
    }
}

void RoundWatch::on_send(uint8_t cid1_sent, uint8_t cid2_sent, const uint8_t* info_sent, int info_len,
                         const char* frame_sent, size_t frame_len) {
    ++sends;
    cid1 = cid1_sent;
    cid2 = cid2_sent;
    info.assign(info_sent, info_sent + (info_sent && info_len > 0 ? info_len : 0));
    frame.assign(frame_sent, frame_len);
    line.wrote(frame_len + 1);  // and CR
}

void RoundWatch::on_publish(int, const unsigned char*, unsigned int) { ++publishes; }

void RoundWatch::on_payload(int, int) { ++payloads; }

int Scheduler::run() {
    ZMXSPDevice& d = dev_.device();
    long long failed_in_a_row = 0;
    // While the line is down, clients are answered from what is known.
    line_.wait_with([this](int ms) { serve_for(ms); });
    line_opened();
    // A run that was asked for a number of readings does not wait forever
    // on a silent power system, nor on a port that is gone.
    const auto give_up = [&] {
        if (opt_.rounds < 0 || opt_.give_up == 0 || failed_in_a_row < opt_.give_up) return false;
        // While the port is down, the cause its messages named.
        const std::string cause = line_.fd() < 0 ? " (" + shown(line_.down_cause()) + ")" : "";
        std::fprintf(stderr, "tzv58-host: no complete reading in %lld rounds in a row%s; giving up\n", failed_in_a_row,
                     cause.c_str());
        return true;
    };
    while (!g_stop && (opt_.rounds < 0 || completed_ < opt_.rounds)) {
        if (g_reopen) {
            g_reopen = 0;
            if (opt_.reopen_outputs) opt_.reopen_outputs();
        }
        if (line_.fd() < 0) {
            if (!line_.try_reopen()) {
                if (g_stop) break;
                // A failed round, here as in the live status.
                if (opt_.between) opt_.between->round_ended(false);
                ++failed_in_a_row;
                if (give_up()) return 1;
                continue;
            }
            d.AttachFd(line_.fd(), false);
            line_opened();
        }
        if (opt_.between) opt_.between->idle();
        wait_refresh_window();
        if (g_stop) break;
        watch_.sends = watch_.publishes = 0;
        if (opt_.collected) opt_.collected->new_round();
        // Whatever came in between rounds is stale.
        line_.discard();
        const int r = d.RefreshStatus();
        events_.refresh(r);
        if (r == 0) {
            nap(opt_.fast_clock ? 0 : 250);
            continue;
        }
        ++started_;
        const Outcome outcome = drive_round();
        if (outcome == Outcome::done) {
            ++completed_;
            const long long now = clock_ms();
            if (round_end_ms_ >= 0) round_interval_ms_ = now - round_end_ms_;
            round_end_ms_ = now;
        }
        if (outcome != Outcome::lost) watch_answers();
        if (opt_.between && outcome != Outcome::stopped) opt_.between->round_ended(outcome == Outcome::done);
        if (opt_.summary && opt_.collected && outcome != Outcome::stopped)
            print_summary(opt_.summary, started_, outcome == Outcome::done, *opt_.collected,
                          opt_.dc_units ? opt_.dc_units->reported() : -1);
        outputs_status();  // an output that failed this round is said now; the poll goes on
        failed_in_a_row = outcome == Outcome::done ? 0 : failed_in_a_row + 1;
        if (give_up()) return 1;
    }
    return 0;
}

// Discards the input, then sends the last request once more. false once the
// request has been asked for MAX_ASK_AGAIN more times: the round is given up,
// after the line has fallen quiet.
bool Scheduler::ask_again(int& attempts) {
    PMBusProtocol& codec = dev_.codec();
    filter_.flush(true);
    codec.flush_input();
    line_.discard();
    if (++attempts > MAX_ASK_AGAIN) {
        dev_.device().Reset();
        fall_quiet();
        return false;
    }
    events_.on_send(watch_.cid1, watch_.cid2, watch_.info.data(), int(watch_.info.size()), watch_.frame.data(),
                    watch_.frame.size());
    const std::string frame = watch_.frame + '\r';
    line_.wrote(frame.size());
    dev_.device().SendData(reinterpret_cast<const unsigned char*>(frame.data()), unsigned(frame.size()));
    return true;
}

// A reply that did not come is a line error like any other. On a line that
// stays silent the events carry the first ten timeouts in a row, then every
// hundredth; every other observer (the summary, the status) counts every one.
void Scheduler::timed_out() {
    if (timeouts_.fail())
        observers_.on_frame_error("timeout", nullptr, 0);
    else
        observers_.on_frame_error_unprinted(events_, "timeout", nullptr, 0);
    watch_answers();
}

// Waits until nothing has arrived for twice the reply timeout, discarding
// what comes; a line that chatters on is given ten times that at most.
void Scheduler::fall_quiet() {
    const long long quiet_ms = 2LL * opt_.timeout_ms;
    const long long give_up_at = clock_ms() + 10 * quiet_ms;
    long long until = clock_ms() + quiet_ms;
    for (;;) {
        const long long now = clock_ms();
        if (g_stop || now >= until || now >= give_up_at) break;
        const LineWait w = line_.wait_input(int(until - now));
        if (w == LineWait::input) {
            line_.discard();
            until = clock_ms() + quiet_ms;
        } else if (w != LineWait::interrupted) {
            break;  // quiet; or hung up, which the next wait sees
        }
    }
    filter_.flush(false);
}

// The device gets the reply held by the filter, on a line with nothing stale
// pending, and sends its next request at once.
void Scheduler::deliver_reply(bool retried) {
    uint8_t reply[MAX_WIRE_FRAME];
    const size_t n = filter_.reply_len();
    std::memcpy(reply, filter_.reply(), n);
    filter_.flush(false);
    if (retried) fall_quiet();
    line_.discard();
    dev_.device().process(reply, unsigned(n));
}

Scheduler::Outcome Scheduler::drive_round() {
    ZMXSPDevice& d = dev_.device();
    PMBusProtocol& codec = dev_.codec();
    int attempts = 0;
    int sends = watch_.sends;
    filter_.expect(watch_.frame, codec.address);
    long long deadline = clock_ms() + opt_.timeout_ms;
    uint8_t buf[512];
    for (;;) {
        if (watch_.publishes > 0) return Outcome::done;
        if (watch_.sends != sends) {
            // The device answered a reply with its next request.
            sends = watch_.sends;
            attempts = 0;
            timeouts_.ok();
            filter_.expect(watch_.frame, codec.address);
            deadline = clock_ms() + opt_.timeout_ms;
        } else if (!d.IsProcessing()) {
            // A reply came but nothing followed: an error reply, or one the
            // device would not take. Ask again.
            if (!ask_again(attempts)) return Outcome::abandoned;
            deadline = clock_ms() + opt_.timeout_ms;
        }
        const long long left = deadline - clock_ms();
        size_t n = 0;
        switch (line_.receive(buf, sizeof buf, int(left > 0 ? left : 0), n)) {
        case Line::Received::interrupted:
            if (g_stop) return Outcome::stopped;
            continue;
        case Line::Received::hangup:
            break;
        case Line::Received::timeout:
            timed_out();
            if (!ask_again(attempts)) return Outcome::abandoned;
            deadline = clock_ms() + opt_.timeout_ms;
            continue;
        case Line::Received::bytes:
            if (filter_.feed(buf, n)) {
                deliver_reply(attempts > 0);
                watch_answers();
            }
            // A reply that ended the round as the stop came: the round is
            // done (published and stored), and summed up as any other.
            if (g_stop && watch_.publishes == 0) return Outcome::stopped;
            continue;
        }
        filter_.flush(false);
        codec.flush_input();
        d.Reset();
        d.AttachFd(-1, false);
        line_.lost();
        return Outcome::lost;
    }
}

}  // namespace tzv58::tool

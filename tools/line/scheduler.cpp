#include "tools/line/scheduler.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/serial_port.h"
#include "tools/common/clock.h"
#include "tools/common/console.h"
#include "tools/common/counted.h"
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
// A device that declined a refresh is asked again after this.
constexpr int DECLINED_MS = 250;

long long seconds_of(const boost::posix_time::ptime& t) {
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    return t.is_special() ? 0 : (t - epoch).total_seconds();
}

// "north: " in a site's lines on standard error; "" for one power system.
std::string named(const BusMember& m) { return m.name.empty() ? "" : m.name + ": "; }

}  // namespace

Scheduler::Scheduler(LoadedDevice& device, Line& line, EventPrinter& events, EventFanout& observers,
                     const SchedulerOptions& options)
    : Scheduler(line,
                {BusMember{&device, &events, &observers, options.collected, options.dc_units, options.between, ""}},
                options) {}

Scheduler::Scheduler(Line& line, const std::vector<BusMember>& members, const SchedulerOptions& options)
    : line_(line), opt_(options), bus_(members.size() > 1), filter_(*members.front().observers) {
    if (!opt_.host_clock) opt_.host_clock = &own_host_clock_;
    for (const BusMember& m : members) {
        auto s = std::make_unique<Station>();
        s->m = m;
        s->watch = &m.observers->add(std::make_unique<RoundWatch>(line));
        if (bus_) filter_.add_sibling(s->codec().address, *m.observers);
        stations_.push_back(std::move(s));
    }
}

Scheduler::~Scheduler() { line_.wait_with(nap); }

// The refresh window is waited out on the monotonic clock, serving the
// work beside the poll, rather than asked for in a loop; a host clock set
// back does not hold it.
void Scheduler::wait_refresh_window(Station& s) {
    if (opt_.fast_clock) {
        opt_.fast_clock->advance_ms(REFRESH_GAP_MS);
        return;
    }
    watch_host_clock();
    if (s.round_end_ms < 0) return;
    const long long due = s.round_end_ms + REFRESH_GAP_MS;
    for (long long left = due - now_ms(); !g_stop && left > 0; left = due - now_ms()) {
        serve_idle();
        nap(int(left < 100 ? left : 100));
        watch_host_clock();
    }
}

void Scheduler::serve_idle() {
    for (auto& s : stations_) {
        if (s->in_round || !s->m.between) continue;
        const SpeakingFor speaking(s->m.name);
        s->m.between->idle();
    }
}

void Scheduler::serve_for(int ms) {
    if (line_.pace()) {
        line_.pace()->pass(ms);
        serve_idle();
        return;
    }
    const long long until = now_ms() + ms;
    for (long long left = ms; !g_stop && left > 0; left = until - now_ms()) {
        serve_idle();
        watch_host_clock();
        nap(int(left < 100 ? left : 100));
    }
}

void Scheduler::watch_host_clock() {
    if (opt_.fast_clock) return;  // moved by the program itself
    const long long step = opt_.host_clock->look(seconds_of(stations_.front()->device().LocalTime()), now_ms());
    if (step != 0)
        std::fprintf(stderr, "tzv58-host: host clock stepped %s %lld s\n", step < 0 ? "back" : "forward",
                     step < 0 ? -step : step);
}

void Scheduler::line_opened(Station& s) {
    s.silent = false;
    s.payloads_seen = s.watch->payloads;
    s.last_answer_ms = clock_ms();
    s.last_answer_time = iso_time(s.device().LocalTime());
}

long long Scheduler::silence_ms(const Station& s) const {
    if (opt_.silent_after_ms > 0) return opt_.silent_after_ms;
    return s.round_interval_ms > MIN_SILENCE_MS / 3 ? 3 * s.round_interval_ms : MIN_SILENCE_MS;
}

void Scheduler::watch_answers(Station& s) {
    const long long now = clock_ms();
    if (s.watch->payloads != s.payloads_seen) {
        s.payloads_seen = s.watch->payloads;
        if (s.silent) {
            s.silent = false;
            s.m.observers->link_answers((now - s.last_answer_ms + 500) / 1000);
            if (s.m.between) s.m.between->link_changed();
        }
        s.last_answer_ms = now;
        s.last_answer_time = iso_time(s.device().LocalTime());
    } else if (!s.silent && now - s.last_answer_ms >= silence_ms(s)) {
        s.silent = true;
        s.m.observers->link_silent(s.codec().address, s.last_answer_time);
        if (s.m.between) s.m.between->link_changed();
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

// A run that was asked for a number of readings does not wait forever on a
// silent power system, nor on a port that is gone.
bool Scheduler::give_up(Station& s) {
    if (opt_.rounds < 0 || opt_.give_up == 0 || s.failed_in_a_row < opt_.give_up) return false;
    // While the port is down, the cause its messages named.
    const std::string cause = line_.fd() < 0 ? " (" + shown(line_.down_cause()) + ")" : "";
    std::fprintf(stderr, "tzv58-host: %sno complete reading in %s in a row%s; giving up%s\n",
                 named(s.m).c_str(), counted(s.failed_in_a_row, "round", "rounds").c_str(), cause.c_str(), s.m.name.empty() ? "" : " on it");
    s.finished = true;
    status_ = 1;
    return true;
}

void Scheduler::reopening_failed() {
    for (auto& s : stations_) {
        if (s->finished) continue;
        // A failed round, here as in the live status.
        if (s->m.between) s->m.between->round_ended(false);
        ++s->failed_in_a_row;
        give_up(*s);
    }
}

int Scheduler::run() {
    // While the line is down, clients are answered from what is known.
    line_.wait_with([this](int ms) { serve_for(ms); });
    for (auto& s : stations_) line_opened(*s);
    const auto unfinished = [this] {
        for (auto& s : stations_)
            if (!s->finished) return true;
        return false;
    };
    while (!g_stop && unfinished()) {
        if (g_reopen.exchange(0) && opt_.reopen_outputs) opt_.reopen_outputs();
        if (line_.fd() < 0) {
            if (!line_.try_reopen()) {
                if (g_stop) break;
                reopening_failed();
                if (!bus_ && status_) return status_;
                continue;
            }
            for (auto& s : stations_) {
                s->device().AttachFd(line_.fd(), false);
                line_opened(*s);
            }
        }
        serve_idle();
        Station* s = nullptr;
        if (bus_) {
            s = next_on_bus();
        } else if (wait_refresh_window(*stations_.front()), !g_stop) {
            s = stations_.front().get();
        }
        if (!s || g_stop) continue;
        const SpeakingFor speaking(s->m.name);
        if (s->in_round) {
            end_round(*s, drive_round(*s, true));
        } else {
            start_round(*s);
        }
        if (!bus_ && status_) return status_;
    }
    return status_;
}

// Whose turn it is: the next power system, after the last one served, whose
// open round may go on or whose refresh is due.
Scheduler::Station* Scheduler::next_on_bus() {
    const long long now = clock_ms();
    long long soonest = -1;
    for (size_t i = 0; i < stations_.size(); ++i) {
        Station& s = *stations_[(turn_ + i) % stations_.size()];
        if (s.finished) continue;
        long long due = s.not_before_ms;
        if (!s.in_round && s.round_end_ms >= 0 && s.round_end_ms + REFRESH_GAP_MS > due)
            due = s.round_end_ms + REFRESH_GAP_MS;
        if (due <= now) {
            turn_ = (turn_ + i + 1) % stations_.size();
            if (!s.in_round) watch_host_clock();
            return &s;
        }
        if (soonest < 0 || due < soonest) soonest = due;
    }
    // Nobody is due: the line rests until the first one is.
    const long long wait = soonest < 0 ? 100 : soonest - now;
    if (opt_.fast_clock)
        opt_.fast_clock->advance_ms(wait);
    else
        serve_for(int(wait < 100 ? wait : 100));
    watch_host_clock();
    return nullptr;
}

void Scheduler::start_round(Station& s) {
    ZMXSPDevice& d = s.device();
    s.watch->sends = s.watch->publishes = 0;
    if (s.m.collected) s.m.collected->new_round();
    // Whatever came in between rounds is stale.
    line_.discard();
    const int r = d.RefreshStatus();
    s.m.events->refresh(r);
    if (r == 0) {
        if (bus_)
            s.not_before_ms = clock_ms() + DECLINED_MS;
        else
            nap(opt_.fast_clock ? 0 : DECLINED_MS);
        return;
    }
    ++s.started;
    end_round(s, drive_round(s, false));
}

void Scheduler::end_round(Station& s, Outcome outcome) {
    s.in_round = outcome == Outcome::yielded;
    if (s.in_round) return;
    if (outcome == Outcome::done) {
        ++s.completed;
        const long long now = clock_ms();
        if (s.round_end_ms >= 0) s.round_interval_ms = now - s.round_end_ms;
        s.round_end_ms = now;
    }
    if (outcome != Outcome::lost) watch_answers(s);
    if (s.m.between && outcome != Outcome::stopped) s.m.between->round_ended(outcome == Outcome::done);
    if (opt_.summary && s.m.collected && outcome != Outcome::stopped)
        print_summary(opt_.summary, s.started, outcome == Outcome::done, *s.m.collected,
                      s.m.dc_units ? s.m.dc_units->reported() : -1, s.m.name);
    outputs_status();  // an output that failed this round is said now; the poll goes on
    s.failed_in_a_row = outcome == Outcome::done ? 0 : s.failed_in_a_row + 1;
    if (bus_ && s.silent && outcome == Outcome::abandoned) {
        // Gone silent on a shared bus: its rounds are spaced out, a refresh
        // gap more after each failed one, until the silent ones' timeouts
        // take at most a quarter of the bus; the others keep their pace.
        long long silent = 0;
        for (const auto& each : stations_) silent += each->silent;
        const long long most = std::max(REFRESH_GAP_MS, 4LL * opt_.timeout_ms * silent);
        s.not_before_ms = clock_ms() + std::min(most, REFRESH_GAP_MS * s.failed_in_a_row);
    }
    if (opt_.rounds >= 0 && s.completed >= opt_.rounds) s.finished = true;
    give_up(s);
    if (outcome == Outcome::lost)
        for (auto& other : stations_) {
            // The line went under every open round of the bus.
            if (!other->in_round) continue;
            other->in_round = false;
            const SpeakingFor speaking(other->m.name);
            other->device().Reset();
            end_round(*other, Outcome::lost);
        }
}

// Discards the input, then sends the last request once more. false once the
// request has been asked for MAX_ASK_AGAIN more times: the round is given up,
// after the line has fallen quiet.
bool Scheduler::ask_again(Station& s) {
    PMBusProtocol& codec = s.codec();
    filter_.flush(true);
    codec.flush_input();
    line_.discard();
    if (++s.attempts > MAX_ASK_AGAIN) {
        s.device().Reset();
        if (bus_)
            s.not_before_ms = clock_ms() + 2LL * opt_.timeout_ms;  // the others use the bus meanwhile
        else
            fall_quiet();
        return false;
    }
    RoundWatch& w = *s.watch;
    s.m.events->on_send(w.cid1, w.cid2, w.info.data(), int(w.info.size()), w.frame.data(), w.frame.size());
    const std::string frame = w.frame + '\r';
    line_.wrote(frame.size());
    s.device().SendData(reinterpret_cast<const unsigned char*>(frame.data()), unsigned(frame.size()));
    return true;
}

// A reply that did not come is a line error like any other. On a line that
// stays silent the events carry the first ten timeouts in a row, then every
// hundredth; every other observer (the summary, the status) counts every one.
void Scheduler::timed_out(Station& s) {
    if (s.timeouts.fail())
        s.m.observers->on_frame_error("timeout", nullptr, 0);
    else
        s.m.observers->on_frame_error_unprinted(*s.m.events, "timeout", nullptr, 0);
    watch_answers(s);
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
void Scheduler::deliver_reply(Station& s, bool retried) {
    uint8_t reply[MAX_WIRE_FRAME];
    const size_t n = filter_.reply_len();
    std::memcpy(reply, filter_.reply(), n);
    filter_.flush(false);
    if (retried) fall_quiet();
    line_.discard();
    s.device().process(reply, unsigned(n));
}

// A round, or on a bus its next turn (resume): what it left to do, first.
Scheduler::Outcome Scheduler::drive_round(Station& s, bool resume) {
    ZMXSPDevice& d = s.device();
    PMBusProtocol& codec = s.codec();
    RoundWatch& w = *s.watch;
    if (!resume) {
        s.attempts = 0;
        s.sends = w.sends;
    } else if (s.next == Next::deliver) {
        // Its quiet time has passed while the others used the bus.
        line_.discard();
        d.process(s.held, unsigned(s.held_len));
        watch_answers(s);
    } else if (!ask_again(s)) {
        return Outcome::abandoned;
    }
    filter_.expect(w.frame, codec.address, *s.m.observers);
    long long deadline = clock_ms() + opt_.timeout_ms;
    uint8_t buf[512];
    for (;;) {
        if (w.publishes > 0) return Outcome::done;
        if (w.sends != s.sends) {
            // The device answered a reply with its next request.
            s.sends = w.sends;
            s.attempts = 0;
            s.timeouts.ok();
            filter_.expect(w.frame, codec.address, *s.m.observers);
            deadline = clock_ms() + opt_.timeout_ms;
        } else if (!d.IsProcessing()) {
            // A reply came but nothing followed: an error reply, or one the
            // device would not take. Ask again.
            if (!ask_again(s)) return Outcome::abandoned;
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
            timed_out(s);
            if (bus_) {
                // Asked again on its next turn: the others that are due go first.
                filter_.flush(true);
                codec.flush_input();
                if (s.silent) {
                    // Gone silent: asked once a round, not again (end_round
                    // spaces its rounds out).
                    line_.discard();
                    d.Reset();
                    return Outcome::abandoned;
                }
                s.next = Next::ask_again;
                s.not_before_ms = clock_ms();
                return Outcome::yielded;
            }
            if (!ask_again(s)) return Outcome::abandoned;
            deadline = clock_ms() + opt_.timeout_ms;
            continue;
        case Line::Received::bytes:
            if (filter_.feed(buf, n)) {
                if (bus_ && s.attempts > 0) {
                    // Held through its quiet time, which the others spend on the bus.
                    s.held_len = filter_.reply_len();
                    std::memcpy(s.held, filter_.reply(), s.held_len);
                    filter_.flush(false);
                    s.next = Next::deliver;
                    s.not_before_ms = clock_ms() + 2LL * opt_.timeout_ms;
                    return Outcome::yielded;
                }
                deliver_reply(s, s.attempts > 0);
                watch_answers(s);
            }
            // A reply that ended the round as the stop came: the round is
            // done (published and stored), and summed up as any other.
            if (g_stop && w.publishes == 0) return Outcome::stopped;
            continue;
        }
        filter_.flush(false);
        codec.flush_input();
        d.Reset();
        for (auto& each : stations_) each->device().AttachFd(-1, false);
        line_.lost();
        return Outcome::lost;
    }
}

}  // namespace tzv58::tool

// simulate and poll: the device polls a power system on a serial line, a
// simulated one on a pseudo-terminal pair or a real port, until stopped or
// for a number of rounds. With --site, the devices of every power system of
// a site file: each port is served on a thread of its own, taking turns with
// the others to run the host's code (tools/common/turns.h), and the power
// systems of one port take its bus in turns (tools/line/scheduler.h).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/cli/commands.h"
#include "tools/cli/setup.h"
#include "tools/cli/site_file.h"
#include "tools/common/console.h"
#include "tools/common/exit_status.h"
#include "tools/common/output_pump.h"
#include "tools/common/outputs.h"
#include "tools/common/signals.h"
#include "tools/common/turns.h"
#include "tools/history/history_cmd.h"
#include "tools/history/trend_json.h"
#include "tools/line/line.h"
#include "tools/line/scheduler.h"
#include "tools/live/live.h"
#include "tools/live/metrics.h"
#include "tools/sim/simulator.h"

namespace tzv58::tool {
namespace {

// One line of the run: a port (for simulate, a pseudo-terminal pair with
// its simulator) and the power systems on it.
struct PortRun {
    std::string port;  // as given: the site file's port, --port; "" for the one simulated line
    std::string path;  // what is opened: the port, or the pseudo-terminal
    int baud = 9600;
    std::vector<Station*> stations;
    SimulatorOptions sim;
    pid_t sim_pid = -1;
    SimClock* fast_clock = nullptr;        // simulate --site --fast: the line's own (among the set-up's)
    std::unique_ptr<LinePace> pace;        // simulate --fast
    std::unique_ptr<Line> line;
    LinkFanout links;  // a bus's: every power system hears of the line
    std::thread thread;
    std::atomic<bool> running{false};
    int status = 0;
};

// How the outputs' pumps behave: lossless on the --fast clock; the queue's
// bound from TZV58_OUTPUT_QUEUE_BYTES (4096 to 1048576), for the tests.
bool pump_options(const CommandLine& cl, PumpOptions& pump, std::string& err) {
    pump.lossless = cl.has("--fast");
    const char* bytes = std::getenv("TZV58_OUTPUT_QUEUE_BYTES");
    long long n = 0;
    if (!bytes) return true;
    if (!parse_whole(bytes, n) || n < 4096 || n > (long long)PUMP_QUEUE_BYTES) {
        err = std::string("TZV58_OUTPUT_QUEUE_BYTES: '") + bytes + "' is not a whole number of bytes from 4096 to " +
              std::to_string(PUMP_QUEUE_BYTES);
        return false;
    }
    pump.queue_bytes = size_t(n);
    return true;
}

// One run of simulate or poll. Each step reads or opens one thing; on the way
// out the live service stops, the devices let go of the lines and the
// simulators are stopped, then the lines close and the outputs are flushed.
class PollRun {
public:
    explicit PollRun(bool simulate) : simulate_(simulate) {}
    PollRun(const PollRun&) = delete;
    PollRun& operator=(const PollRun&) = delete;
    ~PollRun();

    int run(const CommandLine& cl);

private:
    bool read_options(const CommandLine& cl, std::string& err);
    bool read_site_file(const CommandLine& cl, std::string& err);
    bool without_stdout(const CommandLine& cl, std::string& err);
    bool check_services(const CommandLine& cl, std::string& err);
    bool load(const CommandLine& cl, std::string& err);
    void follow_rounds(const CommandLine& cl);
    int open_lines(const CommandLine& cl);
    int open_line(const CommandLine& cl, PortRun& p);
    bool open_services(const CommandLine& cl, std::string& err);
    void start_live();
    int poll();
    int poll_site();
    SchedulerOptions options_for(PortRun& p) const;
    std::vector<BusMember> members_of(PortRun& p) const;

    const bool simulate_;
    bool site_ = false;
    Setup setup_;
    std::vector<SiteEntry> entries_;  // --site
    std::vector<std::unique_ptr<PortRun>> ports_;
    std::map<Station*, RoundCollector*> collected_;
    SchedulerOptions sched_;
    ClockStepWatch host_clock_;  // one for every line
    SimulatorOptions sim_;       // the one-device plant and its faults
    unsigned seed_ = 1;
    NotifyOptions notify_;
    long long baud_ = 0;        // 0: the device's own
    std::string http_address_;  // --http or --metrics; empty: none
    std::unique_ptr<LiveService> live_;
    std::map<Station*, LiveDevice*> live_of_;  // among live_'s
};

PollRun::~PollRun() {
    live_.reset();
    for (auto& p : ports_) {
        for (Station* s : p->stations)
            if (s->device.loaded()) s->device.device().AttachFd(-1, false);
        stop_simulator(p->sim_pid);
    }
}

int PollRun::run(const CommandLine& cl) {
    std::string err;
    setup_.pumped = true;
    // Before anything is opened: a stop asked for while the program starts
    // (loading the plug-in, opening the port, binding the listener) ends
    // the run cleanly once it is set up, before its first round.
    install_stop_handlers();
    if (!read_options(cl, err) || !check_services(cl, err)) return usage_error(err);
    if ((cl.has("--listen") || !http_address_.empty()) &&
        !live_descriptors(cl.has("--listen"), !http_address_.empty(), err))
        return failure(err);
    if (!without_stdout(cl, err)) return failure(err);
    // First of the outputs: the others, the notifier and the history say
    // what happens to them there.
    if (!pump_stderr(setup_.pump, err)) return failure(err);
    if (!setup_.open_outputs(cl, false, err) || !load(cl, err)) return start_error(err);
    follow_rounds(cl);
    for (auto& p : ports_)
        for (Station* s : p->stations) s->printer->throttle_errors(site_ ? p->fast_clock : sched_.fast_clock);
    if (const int status = open_lines(cl)) return status;
    if (!open_services(cl, err)) return start_error(err);
    sched_.reopen_outputs = [this, &cl] { setup_.reopen_outputs(cl); };
    return site_ ? poll_site() : poll();
}

// Every option of the run and the plant; nothing is opened yet.
bool PollRun::read_options(const CommandLine& cl, std::string& err) {
    long long timeout = 2000, seed = 1, silent_after = -1;
    site_ = cl.has("--site");
    if (site_ && !read_site_file(cl, err)) return false;
    if (!setup_.prepare(cl, err) || !option_number(cl, "--rounds", 1, 1LL << 30, sched_.rounds, err) ||
        !option_number(cl, "--give-up", 0, 1LL << 30, sched_.give_up, err) ||
        !option_number(cl, "--timeout", 50, 600000, timeout, err) || !option_baud(cl, baud_, err) ||
        !option_number(cl, "--seed", 0, 0xFFFFFFFFLL, seed, err) ||
        !option_number(cl, "--silent-after", 1, 86400, silent_after, err))
        return false;
    if (silent_after > 0) sched_.silent_after_ms = silent_after * 1000;
    if (!notify_options(cl, notify_, err) || !pump_options(cl, setup_.pump, err)) return false;
    if (setup_.events_to_console && cl.has("--summary")) {
        err = "options --summary and --events - exclude each other: standard output carries either";
        return false;
    }
    sched_.timeout_ms = int(timeout);
    seed_ = unsigned(seed);
    if (!simulate_ && !site_ && !cl.has("--port")) {
        err = "poll needs --port DEVICE or --site FILE (see poll --help)";
        return false;
    }
    if (!simulate_ || site_) return true;
    if (!simulator_options(cl, sim_, err)) return false;
    sim_.units.front().seed = seed_;
    sim_.units.front().address = uint8_t(setup_.address);
    return true;
}

// --site FILE: the power systems, in place of one device's options.
bool PollRun::read_site_file(const CommandLine& cl, std::string& err) {
    for (const char* one : {"--port", "--address", "--config", "--data-id", "--baud", "--plant", "--faults"})
        if (cl.has(one)) {
            err = std::string("option ") + one + " describes one power system: with --site, the site file " +
                  "describes each (" + cl.get("--site") + ")";
            return false;
        }
    if (!read_site(cl.get("--site"), simulate_ ? SiteUse::simulate : SiteUse::poll, entries_, err)) return false;
    // A model the plug-in does not have is the site file's mistake: said
    // before anything is opened.
    for (const SiteEntry& e : entries_) {
        ModelRef model;
        if (!e.model.empty() && !load_model(cl.get("--plugin", default_plugin_path()), e.model, model, err)) {
            err = e.model_at + ": " + err;
            return false;
        }
    }
    for (const SiteEntry& e : entries_)
        if (!e.config_path.empty())
            setup_.also_read.push_back({"the config of " + e.name + " in option --site", e.config_path, false});
    return true;
}

// Started with standard output closed (`>&-`): the summary (or the events
// of --events -) has nowhere to go. A run with an output of another kind
// goes on without it, said once; one without ends at once (status 1).
bool PollRun::without_stdout(const CommandLine& cl, std::string& err) {
    if (!standard_output_closed()) return true;
    bool others = cl.has("--events") && !setup_.events_to_console;
    for (const char* other : {"--history", "--listen", "--http", "--metrics", "--on-event", "--diag"})
        others = others || cl.has(other);
    const std::string shown = setup_.events_to_console ? "the events are" : "the round summary is";
    if (!others) {
        err = "standard output is closed, and " + shown +
              " this run's only output (--events FILE, --history, --listen, --http, --metrics, --on-event or "
              "--diag give others)";
        return false;
    }
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, 1) < 0) {
        err = std::string("cannot open /dev/null: ") + std::strerror(errno);
        return false;
    }
    ::close(null);
    say(EXIT_DONE, "standard output is closed: " + shown + " not shown; the run goes on");
    return true;
}

bool PollRun::check_services(const CommandLine& cl, std::string& err) {
    if (cl.has("--listen") && cl.get("--listen").empty()) {
        err = "--listen needs a PATH";
        return false;
    }
    if (cl.has("--http") && cl.has("--metrics")) {
        err = "options --http and --metrics are two names of one option: give one";
        return false;
    }
    const char* const option = cl.has("--metrics") ? "--metrics" : "--http";
    if (!cl.has(option)) return true;
    http_address_ = cl.get(option);
    std::string host;
    int port = 0;
    return parse_http_address(option, http_address_, host, port, err);
}

// The devices, and the lines they are on: one per port of the site file.
bool PollRun::load(const CommandLine& cl, std::string& err) {
    if (!site_) {
        if (!setup_.load(cl, err)) return false;
        auto p = std::make_unique<PortRun>();
        p->port = cl.get("--port");
        p->stations.push_back(&setup_.station());
        p->sim = sim_;
        ports_.push_back(std::move(p));
        return true;
    }
    if (!setup_.diag_discarded && !name_diagnostics(setup_.diag_name, err)) return false;
    const std::string plugin = cl.get("--plugin", default_plugin_path());
    std::map<std::string, PortRun*> by_port;
    for (const SiteEntry& e : entries_) {
        auto s = std::make_unique<Station>();
        s->name = e.name;
        s->port = e.port;
        s->address = e.address;
        s->data_id = e.data_id;
        s->baud = e.baud;
        s->config = e.config;
        s->config_path = e.config_path;
        s->model = e.model.empty() ? cl.get("--model") : e.model;
        if (!s->load(plugin, setup_.events_file, err)) {
            err = (e.model_at.empty() ? e.where + ": power_systems: " + e.name : e.model_at) + ": " + err;
            return false;
        }
        PortRun*& p = by_port[e.port_key];
        if (!p) {
            ports_.push_back(std::make_unique<PortRun>());
            p = ports_.back().get();
            p->port = e.port;
            p->baud = int(e.baud);
            p->sim.units.clear();
        }
        p->stations.push_back(s.get());
        p->sim.units.push_back(e.sim);
        p->sim.units.back().seed = seed_ + unsigned(e.address) - 1;
        setup_.stations.push_back(std::move(s));
    }
    return true;
}

// The clock of the rounds, and what the person's summary needs of them.
void PollRun::follow_rounds(const CommandLine& cl) {
    const auto now = boost::posix_time::second_clock::local_time();
    if (cl.has("--fast")) {
        if (site_) {
            for (auto& p : ports_) {
                setup_.port_clocks.push_back(std::make_unique<SimClock>(now));
                p->fast_clock = setup_.port_clocks.back().get();
                for (Station* s : p->stations) s->use_clock(p->fast_clock);
            }
        } else {
            sched_.fast_clock = &setup_.use_sim_clock(now);
        }
    }
    if (setup_.events_to_console) return;
    sched_.summary = setup_.console;
    for (auto& station : setup_.stations) {
        RoundCollector& c = station->observers.add(std::make_unique<RoundCollector>());
        c.set_clock(station->device.device().clock);
        c.set_model(station->device.model());
        collected_[station.get()] = &c;
    }
    if (!site_) {
        sched_.collected = collected_.begin()->second;
        sched_.dc_units = setup_.station().dc_units;
    }
}

int PollRun::open_lines(const CommandLine& cl) {
    for (auto& p : ports_)
        if (const int status = open_line(cl, *p)) return status;
    return 0;
}

// The simulator first, for simulate; then the port. A port that is not
// there yet (an adapter to be plugged in), or busy, is no fault of the
// input: status 1, or with --wait-port waited for like a lost one. A site's
// ports are always waited for so: the others go on meanwhile.
int PollRun::open_line(const CommandLine& cl, PortRun& p) {
    std::string err;
    int hold_fd = -1, pace_fd = -1;
    SimClock* fast = site_ ? p.fast_clock : sched_.fast_clock;
    p.path = p.port;
    if (simulate_) {
        for (Station* s : p.stations)
            if (!simulator_for_model(*s->device.model(), p.sim, err)) return usage_error(err);
        p.sim.stall_ms = sched_.timeout_ms * 3 / 2 + 100;
        // Just after the request has been asked for again, so that the late
        // reply and the second one follow each other closely.
        p.sim.late_ms = sched_.timeout_ms * 6 / 5;
        if ((p.sim_pid = start_simulator(p.sim, p.path, hold_fd, err, fast ? &pace_fd : nullptr)) < 0)
            return start_error(err);
    }
    if (pace_fd >= 0) p.pace = std::make_unique<LinePace>(pace_fd, *fast);
    for (Station* s : p.stations) {
        s->port = p.path;
        if (!notify_.program.empty() && !setup_.add_notifier(notify_, *s, err)) return start_error(err);
    }
    const int baud = site_ ? p.baud : baud_ ? int(baud_) : setup_.station().device.device().baud_rate;
    p.line = std::make_unique<Line>(p.path, baud);
    p.line->pace_with(p.pace.get());
    for (Station* s : p.stations) {
        const std::string who = s->name.empty() ? p.path : s->name + ": " + p.path;
        s->observers.add(std::make_unique<LinkReport>(*s->printer, who, stderr));
        p.links.add(&s->observers);
    }
    p.line->report_link_to(site_ ? static_cast<LinkObserver*>(&p.links) : &p.stations.front()->observers);
    const Line::Opened opened = p.line->open(site_ || cl.has("--wait-port"), err);
    if (hold_fd >= 0) ::close(hold_fd);
    switch (opened) {
    case Line::Opened::yes:
    case Line::Opened::waiting:
        return 0;
    case Line::Opened::absent:
    case Line::Opened::busy:
        return failure(err);
    case Line::Opened::failed:
        break;
    }
    if (site_) err = p.port + " (--site " + cl.get("--site") + "): " + err;
    return start_error(err);
}

// Opened after the simulator's fork: the child holds no descriptor of them.
// One history file and one pair of doors for every power system.
bool PollRun::open_services(const CommandLine& cl, std::string& err) {
    HistoryStatusSource history_status;
    if (cl.has("--history")) {
        std::vector<std::unique_ptr<HostEvents>> recorders;
        if (site_) {
            std::vector<HistorySource> sources;
            for (auto& s : setup_.stations)
                sources.push_back({s->name, int(s->address), s->device.device().clock, s->device.model(), s->dc_units});
            if (!open_site_history(cl.get("--history"), sources, recorders, history_status, err))
                return false;
        } else {
            Station& station = setup_.station();
            recorders.emplace_back();
            if (!open_history(cl.get("--history"), int(setup_.address), station.device.device().clock,
                              station.device.model(), station.dc_units, recorders.front(), history_status, err))
                return false;
        }
        for (size_t i = 0; i < recorders.size(); ++i) setup_.stations[i]->observers.add(std::move(recorders[i]));
    }
    if (!cl.has("--listen") && http_address_.empty()) return true;
    live_ = std::make_unique<LiveService>();
    for (auto& s : setup_.stations) {
        LiveDevice& d = live_->add(std::make_unique<LiveDevice>(s->name, s->device, *s->printer, s->observers,
                                                                sched_.timeout_ms, s->dc_units));
        d.watch_history(history_status);
        live_of_[s.get()] = &d;
    }
    // The trend's window ends now by the rounds' clock: the wall clock, or
    // under --fast the simulated one, ahead of it, as the newest round tells.
    if (cl.has("--history") && !http_address_.empty())
        live_->serve_trend([path = cl.get("--history"), fast = cl.has("--fast"), history_status,
                            model = setup_.station().device.model()](
                               int hours, const std::string& device, const std::atomic<bool>& cancel, std::string& json,
                               std::string& why) {
            const long long now = ::time(nullptr);
            return trend_json(path, model->values, hours, fast ? std::max(now, history_status().newest) : now, device,
                              cancel, json, why);
        });
    return live_->open(cl.get("--listen"), http_address_, err);
}

// The doors start once every line is open.
void PollRun::start_live() {
    if (!live_) return;
    for (auto& p : ports_)
        for (Station* s : p->stations) live_of_[s]->start(*p->line);
    tell(stderr, live_->start());
}

int PollRun::poll() {
    PortRun& p = *ports_.front();
    Station& station = setup_.station();
    station.device.device().AttachFd(p.line->fd(), false);
    // Every observer is in place: a port waited for is lost to all of them
    // with the same cause.
    p.line->report_waiting();
    start_live();
    if (live_) sched_.between = live_of_[&station];
    Scheduler scheduler(station.device, *p.line, *station.printer, station.observers, sched_);
    const int status = scheduler.run();
    station.printer->finish();
    finish_pumps(PUMP_END_WAIT_MS);
    return std::max(status, outputs_status());
}

SchedulerOptions PollRun::options_for(PortRun& p) const {
    SchedulerOptions o = sched_;
    o.fast_clock = p.fast_clock;
    o.host_clock = const_cast<ClockStepWatch*>(&host_clock_);
    return o;
}

std::vector<BusMember> PollRun::members_of(PortRun& p) const {
    std::vector<BusMember> members;
    for (Station* s : p.stations) {
        const auto c = collected_.find(s);
        const auto live = live_of_.find(s);
        members.push_back({&s->device, s->printer, &s->observers, c == collected_.end() ? nullptr : c->second,
                           s->dc_units, live == live_of_.end() ? nullptr : live->second, s->name});
    }
    return members;
}

// Each port on a thread of its own; this one waits for them, and once asked
// to stop wakes every one from its wait (a signal ends a wait at once).
int PollRun::poll_site() {
    // Every observer is in place: a port waited for is lost to all of its
    // power systems' with the same cause.
    for (auto& p : ports_) p->line->report_waiting();
    start_live();
    for (auto& p : ports_) {
        for (Station* s : p->stations) s->device.device().AttachFd(p->line->fd(), false);
        p->running = true;
        PortRun* port = p.get();
        const SchedulerOptions options = options_for(*p);
        const std::vector<BusMember> members = members_of(*p);
        p->thread = std::thread([port, options, members] {
            {
                const Turn turn;
                Scheduler scheduler(*port->line, members, options);
                port->status = scheduler.run();
            }
            port->running = false;
        });
    }
    for (bool any = true; any;) {
        nap(100);
        if (g_stop) ::poll(nullptr, 0, 20);  // nap ends at once now
        any = false;
        for (auto& p : ports_) {
            if (!p->running) continue;
            any = true;
            if (g_stop) pthread_kill(p->thread.native_handle(), SIGINT);
        }
    }
    int status = 0;
    for (auto& p : ports_) {
        p->thread.join();
        status = std::max(status, p->status);
    }
    for (auto& s : setup_.stations) s->printer->finish();
    finish_pumps(PUMP_END_WAIT_MS);
    return std::max(status, outputs_status());
}

// A run ends once all of it has: the on-event runner's last events, the
// history file closed. What it lost on the way then makes its status 1
// (a bad start stays 2), and one line names every loss with its count.
int run_and_end(bool simulate, const CommandLine& cl) {
    int status;
    {
        PollRun run(simulate);
        status = run.run(cl);
    }
    const std::vector<std::string> causes = run_troubles();
    if (causes.empty() || status > EXIT_FAIL) return status;
    std::string why;
    for (const std::string& c : causes) why += (why.empty() ? "" : "; ") + c;
    return say(EXIT_FAIL, "ending with status 1: " + why);
}

}  // namespace

int run_simulate(const CommandLine& cl) {
    if (!cl.args.empty()) return unexpected_argument(cl);
    return run_and_end(true, cl);
}

int run_poll(const CommandLine& cl) {
    if (cl.has("--fast"))
        return usage_error("option --fast is for simulate only: poll runs on the wall clock of a live line");
    if (!cl.args.empty()) return unexpected_argument(cl);
    return run_and_end(false, cl);
}

}  // namespace tzv58::tool

// simulate and poll: the device polls a power system on a serial line, a
// simulated one on a pseudo-terminal pair or a real port, until stopped or
// for a number of rounds.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/cli/commands.h"
#include "tools/cli/setup.h"
#include "tools/common/console.h"
#include "tools/common/exit_status.h"
#include "tools/common/output_pump.h"
#include "tools/common/outputs.h"
#include "tools/common/signals.h"
#include "tools/history/history_cmd.h"
#include "tools/history/trend_json.h"
#include "tools/line/line.h"
#include "tools/line/scheduler.h"
#include "tools/live/live.h"
#include "tools/live/metrics.h"
#include "tools/sim/simulator.h"

namespace tzv58::tool {
namespace {

const std::vector<long long> BAUD_RATES = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

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
// out the live service stops, the device lets go of the line and the
// simulator is stopped, then the line closes and the outputs are flushed.
class PollRun {
public:
    explicit PollRun(bool simulate) : simulate_(simulate) {}
    PollRun(const PollRun&) = delete;
    PollRun& operator=(const PollRun&) = delete;
    ~PollRun();

    int run(const CommandLine& cl);

private:
    bool read_options(const CommandLine& cl, std::string& err);
    bool without_stdout(const CommandLine& cl, std::string& err);
    bool check_services(const CommandLine& cl, std::string& err);
    void follow_rounds(const CommandLine& cl);
    int open_line(const CommandLine& cl);
    bool open_services(const CommandLine& cl, std::string& err);
    int poll();

    const bool simulate_;
    Setup setup_;
    SchedulerOptions sched_;
    SimulatorOptions sim_;
    NotifyOptions notify_;
    long long baud_ = 0;        // 0: the device's own
    std::string http_address_;  // --http or --metrics; empty: none
    pid_t sim_pid_ = -1;
    std::unique_ptr<LinePace> pace_;  // simulate --fast
    std::unique_ptr<Line> line_;
    std::unique_ptr<LiveService> live_;
};

PollRun::~PollRun() {
    live_.reset();
    if (setup_.device.loaded()) setup_.device.device().AttachFd(-1, false);
    stop_simulator(sim_pid_);
}

int PollRun::run(const CommandLine& cl) {
    std::string err;
    setup_.pumped = true;
    // Before anything is opened: a stop asked for while the program starts
    // (loading the plug-in, opening the port, binding the listener) ends
    // the run cleanly once it is set up, before its first round.
    install_stop_handlers();
    if (!read_options(cl, err)) return usage_error(err);
    if (!without_stdout(cl, err)) return failure(err);
    // First of the outputs: the others, the notifier and the history say
    // what happens to them there.
    if (!pump_stderr(setup_.pump, err)) return failure(err);
    if (!check_services(cl, err) || !setup_.open_outputs(cl, false, err) || !setup_.load(cl, err))
        return start_error(err);
    follow_rounds(cl);
    setup_.printer->throttle_errors(sched_.fast_clock);
    if (const int status = open_line(cl)) return status;
    if (!open_services(cl, err)) return start_error(err);
    sched_.reopen_outputs = [this, &cl] { setup_.reopen_outputs(cl); };
    return poll();
}

// Every option of the run and the plant; nothing is opened yet.
bool PollRun::read_options(const CommandLine& cl, std::string& err) {
    long long timeout = 2000, seed = 1, silent_after = -1;
    if (!setup_.prepare(cl, err) || !option_number(cl, "--rounds", 1, 1LL << 30, sched_.rounds, err) ||
        !option_number(cl, "--give-up", 0, 1LL << 30, sched_.give_up, err) ||
        !option_number(cl, "--timeout", 50, 600000, timeout, err) ||
        !option_choice(cl, "--baud", BAUD_RATES, baud_, err) ||
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
    if (!simulate_ && !cl.has("--port")) {
        err = "poll needs --port DEVICE (see poll --help)";
        return false;
    }
    if (!simulate_) return true;
    if (!simulator_options(cl, sim_, err)) return false;
    sim_.seed = unsigned(seed);
    sim_.address = uint8_t(setup_.address);
    sim_.stall_ms = sched_.timeout_ms * 3 / 2 + 100;
    // Just after the request has been asked for again, so that the late
    // reply and the second one follow each other closely.
    sim_.late_ms = sched_.timeout_ms * 6 / 5;
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

// The clock of the rounds, and what the person's summary needs of them.
void PollRun::follow_rounds(const CommandLine& cl) {
    if (cl.has("--fast")) sched_.fast_clock = &setup_.use_sim_clock(boost::posix_time::second_clock::local_time());
    if (setup_.events_to_console) return;
    sched_.summary = setup_.console;
    sched_.collected = &setup_.observers.add(std::make_unique<RoundCollector>());
    sched_.collected->set_clock(setup_.device.device().clock);
    sched_.collected->set_model(setup_.device.model());
    sched_.dc_units = setup_.dc_units;
}

// The simulator first, for simulate; then the port. A port that is not
// there yet (an adapter to be plugged in), or busy, is no fault of the
// input: status 1, or with --wait-port waited for like a lost one.
int PollRun::open_line(const CommandLine& cl) {
    std::string port = cl.get("--port"), err;
    int hold_fd = -1, pace_fd = -1;
    if (simulate_ && !simulator_for_model(*setup_.device.model(), sim_, err)) return usage_error(err);
    if (simulate_ && (sim_pid_ = start_simulator(sim_, port, hold_fd, err, sched_.fast_clock ? &pace_fd : nullptr)) < 0)
        return start_error(err);
    if (pace_fd >= 0) pace_ = std::make_unique<LinePace>(pace_fd, *sched_.fast_clock);
    if (!notify_.program.empty() && !setup_.add_notifier(notify_, port, err)) return start_error(err);
    const int baud = baud_ ? int(baud_) : setup_.device.device().baud_rate;
    line_ = std::make_unique<Line>(port, baud, *setup_.printer);
    line_->pace_with(pace_.get());
    setup_.observers.add(std::make_unique<LinkReport>(*setup_.printer, port, stderr));
    line_->report_link_to(&setup_.observers);
    const Line::Opened opened = line_->open(cl.has("--wait-port"), err);
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
    return start_error(err);
}

// Opened after the simulator's fork: the child holds no descriptor of them.
bool PollRun::open_services(const CommandLine& cl, std::string& err) {
    std::unique_ptr<HostEvents> history;
    HistoryStatusSource history_status;
    if (cl.has("--history") && !open_history(cl.get("--history"), int(setup_.address), setup_.device.device().clock,
                                             setup_.device.model(), setup_.dc_units, history, history_status, err))
        return false;
    if (history) setup_.observers.add(std::move(history));
    if (!cl.has("--listen") && http_address_.empty()) return true;
    live_ = std::make_unique<LiveService>(setup_.device, *setup_.printer, setup_.observers, sched_.timeout_ms,
                                          setup_.dc_units);
    live_->watch_history(history_status);
    // The trend's window ends now by the rounds' clock: the wall clock, or
    // under --fast the simulated one, ahead of it, as the newest round tells.
    if (cl.has("--history") && !http_address_.empty())
        live_->serve_trend([path = cl.get("--history"), fast = cl.has("--fast"), history_status,
                            model = setup_.device.model()](int hours, const std::atomic<bool>& cancel,
                                                           std::string& json, std::string& why) {
            const long long now = ::time(nullptr);
            return trend_json(path, model->values, hours, fast ? std::max(now, history_status().newest) : now,
                              cancel, json, why);
        });
    return live_->open(cl.get("--listen"), http_address_, err);
}

int PollRun::poll() {
    setup_.device.device().AttachFd(line_->fd(), false);
    // Every observer is in place: a port waited for is lost to all of them
    // with the same cause.
    line_->report_waiting();
    if (live_) {
        tell(stderr, live_->start(*line_));
        sched_.between = live_.get();
    }
    Scheduler scheduler(setup_.device, *line_, *setup_.printer, setup_.observers, sched_);
    const int status = scheduler.run();
    setup_.printer->finish();
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

// simulate and poll: the device polls a power system on a serial line, a
// simulated one on a pseudo-terminal pair or a real port, until stopped or
// for a number of rounds.
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/cli/commands.h"
#include "tools/cli/setup.h"
#include "tools/common/exit_status.h"
#include "tools/common/signals.h"
#include "tools/history/history_cmd.h"
#include "tools/line/line.h"
#include "tools/line/scheduler.h"
#include "tools/live/live.h"
#include "tools/live/metrics.h"
#include "tools/sim/simulator.h"

namespace tzv58::tool {
namespace {

const std::vector<long long> BAUD_RATES = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

int run_live(const CommandLine& cl, bool simulate) {
    std::string err;
    Setup setup;
    SchedulerOptions sched;
    long long timeout = 2000, baud = 0, seed = 1, give_up = 5;
    if (!setup.prepare(cl, err) || !option_number(cl, "--rounds", 1, 1LL << 30, sched.rounds, err) ||
        !option_number(cl, "--give-up", 0, 1LL << 30, give_up, err) ||
        !option_number(cl, "--timeout", 50, 600000, timeout, err) || !option_choice(cl, "--baud", BAUD_RATES, baud, err) ||
        !option_number(cl, "--seed", 0, 0xFFFFFFFFLL, seed, err))
        return usage_error(err);
    if (setup.events_to_console && cl.has("--summary"))
        return usage_error("options --summary and --events - exclude each other: standard output carries either");
    sched.timeout_ms = int(timeout);
    sched.give_up = give_up;

    SimulatorOptions sim;
    if (simulate) {
        if (!simulator_options(cl, sim, err)) return usage_error(err);
        sim.seed = unsigned(seed);
        sim.address = uint8_t(setup.address);
        sim.stall_ms = sched.timeout_ms * 3 / 2 + 100;
        // Just after the request has been asked for again, so that the late
        // reply and the second one follow each other closely.
        sim.late_ms = sched.timeout_ms * 6 / 5;
    } else if (!cl.has("--port")) {
        return usage_error("poll needs --port DEVICE (see poll --help)");
    }
    if (cl.has("--listen") && cl.get("--listen").empty()) return usage_error("--listen needs a PATH");
    if (cl.has("--http") && cl.has("--metrics"))
        return usage_error("options --http and --metrics name the same port: give one");
    const char* const http_option = cl.has("--metrics") ? "--metrics" : "--http";
    const std::string http_address = cl.get(http_option);
    if (cl.has(http_option)) {
        std::string host;
        int http_port = 0;
        if (!parse_http_address(http_option, http_address, host, http_port, err)) return usage_error(err);
    }
    if (!setup.open_outputs(cl, false, err) || !setup.load(cl, err)) return usage_error(err);
    ZMXSPDevice& device = setup.device.device();

    if (cl.has("--fast")) sched.fast_clock = &setup.use_manual_clock(boost::posix_time::second_clock::local_time());
    if (!setup.events_to_console) {
        sched.summary = setup.console;
        sched.collected = &setup.observers.add(std::make_unique<RoundCollector>());
        sched.collected->set_clock(device.clock);
        sched.dc_units = setup.dc_units;
    }

    std::string port = cl.get("--port");
    int hold_fd = -1;
    pid_t sim_pid = -1;
    if (simulate && (sim_pid = start_simulator(sim, port, hold_fd, err)) < 0) return usage_error(err);
    Line line(port, baud ? int(baud) : device.baud_rate, *setup.printer);
    const Line::Opened opened = line.open(err);
    if (hold_fd >= 0) ::close(hold_fd);
    // A port that is not there yet (an adapter to be plugged in) is waited
    // for like a lost one.
    if (opened == Line::Opened::failed || (simulate && opened != Line::Opened::yes)) {
        stop_simulator(sim_pid);
        return usage_error(err);
    }
    // Opened after the simulator's fork: the child holds no descriptor of them.
    std::unique_ptr<HostEvents> history;
    if (cl.has("--history") && !open_history(cl.get("--history"), int(setup.address), history, err)) {
        stop_simulator(sim_pid);
        return usage_error(err);
    }
    if (history) setup.observers.add(std::move(history));
    std::unique_ptr<LiveService> live;
    if (cl.has("--listen") || !http_address.empty()) {
        live = std::make_unique<LiveService>(setup.device, *setup.printer, setup.observers, sched.timeout_ms);
        if (!live->open(cl.get("--listen"), http_address, err)) {
            live.reset();
            stop_simulator(sim_pid);
            return usage_error(err);
        }
    }
    device.AttachFd(line.fd(), false);
    sched.reopen_outputs = [&] { setup.reopen_outputs(cl); };
    install_stop_handlers();
    if (live) {
        std::fprintf(stderr, "%s\n", live->start(line).c_str());
        sched.between = live.get();
    }
    Scheduler scheduler(setup.device, line, *setup.printer, setup.observers, sched);
    const int status = scheduler.run();
    live.reset();
    device.AttachFd(-1, false);
    stop_simulator(sim_pid);
    return status;
}

}  // namespace

int run_simulate(const CommandLine& cl) {
    if (!cl.args.empty()) return unexpected_argument(cl);
    return run_live(cl, true);
}

int run_poll(const CommandLine& cl) {
    if (cl.has("--fast"))
        return usage_error("option --fast is for simulate only: poll runs on the wall clock of a live line");
    if (!cl.args.empty()) return unexpected_argument(cl);
    return run_live(cl, false);
}

}  // namespace tzv58::tool

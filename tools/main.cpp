// tzv58-host: the stand-in site-monitoring host. Loads tzv58_419.so as the
// real host does, and drives one device against a simulated power system, a
// real serial port or a script; or decodes a record image.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include "tools/events.h"
#include "tools/faults.h"
#include "tools/line.h"
#include "tools/options.h"
#include "tools/plant.h"
#include "tools/plugin_host.h"
#include "tools/record_dump.h"
#include "tools/replay.h"
#include "tools/scheduler.h"
#include "tools/simulator.h"

using namespace tzv58::tool;

namespace {

constexpr int EXIT_USAGE = 2;

const char* const USAGE_MAIN =
    "tzv58-host: the stand-in host for the tzv58_419 power-system plug-in\n"
    "\n"
    "usage:\n"
    "  tzv58-host simulate [--plant FILE] [--rounds N] [--faults LIST] [--fast] [--seed N] [options]\n"
    "  tzv58-host poll --port DEVICE [--baud N] [--address N] [--rounds N] [options]\n"
    "  tzv58-host replay --script FILE [options]\n"
    "  tzv58-host record FILE          decode a 1257-byte record image (history, cache) as JSON\n"
    "  tzv58-host plant --link PATH [--plant FILE] [--faults LIST] [--seed N] [--baud N]\n"
    "\n"
    "Each command has its own --help.\n";

const char* const USAGE_COMMON =
    "common options:\n"
    "  --address N      the power system's ADR (default 1)\n"
    "  --plugin PATH    the plug-in (default: tzv58_419.so built beside this program)\n"
    "  --config FILE    the device's JSON configuration (default: {})\n"
    "  --data-id N      the device's data id (default 1)\n"
    "  --events FILE    where the JSON-lines events go (default: standard output)\n"
    "  --help           this text\n";

const char* const USAGE_LIVE =
    "  --rounds N       stop after N complete poll rounds (default: until SIGINT or\n"
    "                   SIGTERM); give up with status 1 after --give-up failed rounds\n"
    "  --give-up N      failed rounds in a row that end a --rounds run (default 5;\n"
    "                   0: never)\n"
    "  --timeout MS     reply timeout; a request is asked for twice more, then the\n"
    "                   round is given up (default 2000)\n"
    "  --summary        print the round summary even when --events is given\n"
    "Without --events, a short summary of each round follows its events.\n";

const char* const USAGE_FAULTS =
    "  --faults LIST    misbehave on purpose: NAME=R,... with R a rate from 0 to 1\n"
    "                   (e.g. drop=0.2,checksum=0.1). drop: no reply; checksum: a bad\n"
    "                   CHKSUM; noise: junk before the reply; rtn: an error reply;\n"
    "                   stall: busy, the reply after the host's timeout; truncate: a\n"
    "                   reply cut short; soi: a second SOI inside a reply; echo: the\n"
    "                   request sent back first; late: the reply after the host's\n"
    "                   timeout, later requests still answered; foreign: another\n"
    "                   address's reply first; excess: 3 AC channels or 41 modules\n"
    "  --seed N         seed of the fault draws (default 1)\n";

const char* const USAGE_SIMULATE =
    "usage: tzv58-host simulate [--plant FILE] [--rounds N] [--faults LIST] [--fast] [--seed N] [options]\n"
    "\n"
    "Polls a simulated power system on a pseudo-terminal pair, through the host's\n"
    "serial-port code.\n"
    "  --plant FILE     the plant as JSON (default: a healthy two-channel, four-module,\n"
    "                   one-DC-unit plant); see tools/plant.h for the members\n"
    "  --fast           run the device on a simulated clock moved 2 s before each\n"
    "                   refresh: rounds follow one another as fast as the line allows\n";

const char* const USAGE_POLL =
    "usage: tzv58-host poll --port DEVICE [--baud N] [--address N] [--rounds N] [options]\n"
    "\n"
    "Polls a power system on a serial port: raw 8N1, no flow control, exclusive\n"
    "(flock and TIOCEXCL). A lost port, or one not there yet, is reopened with a\n"
    "growing back-off; with --rounds, each failed attempt is a failed round.\n"
    "  --port DEVICE    the serial port, e.g. /dev/ttyS1\n"
    "  --baud N         1200 to 115200 (default: the device's own, 9600)\n";

const char* const USAGE_PLANT =
    "usage: tzv58-host plant --link PATH [--plant FILE] [--faults LIST] [--seed N] [--baud N]\n"
    "\n"
    "Serves the simulated power system on a pseudo-terminal; PATH, a symbolic\n"
    "link, names its slave side, for poll or any other program. Prints\n"
    "\"ready PATH\" when it serves. SIGUSR1 unplugs it (the pseudo-terminal is\n"
    "closed, PATH removed; prints \"unplugged PATH\"), SIGUSR2 plugs a new one\n"
    "in, SIGTERM or SIGINT stops it.\n"
    "  --link PATH      the symbolic link to make (an existing link is replaced)\n"
    "  --plant FILE     the plant as JSON (default: the healthy plant of simulate)\n"
    "  --address N      the power system's ADR (default 1)\n"
    "  --baud N         1200 to 115200 (default 9600)\n"
    "  --delay MS       how late stalled and late replies come (default 3000: after\n"
    "                   the host's default reply timeout)\n";

const char* const USAGE_REPLAY =
    "usage: tzv58-host replay --script FILE [options]\n"
    "\n"
    "Feeds a script to the device on a simulated clock that starts at\n"
    "2026-01-01 00:00:00. Script lines:\n"
    "  ~...                          reply characters (CR is added)\n"
    "  @refresh                      RefreshStatus\n"
    "  @clock +S                     move the clock S seconds\n"
    "  @get ID [N]                   Get_Value(N, ID); ID may be a JSON string\n"
    "  @control CODE OUTLEN hex:HH.. DeviceIoControl (or text:... for the rest of the line)\n"
    "  @cache hex:HH..               LoadFromCache\n"
    "Blank lines and lines starting with # are skipped.\n";

const char* const USAGE_RECORD =
    "usage: tzv58-host record FILE\n"
    "\n"
    "Prints a 1257-byte record image as JSON with the record's field names. FILE\n"
    "holds the raw image (history, cache), its hex text, or a publish event line.\n";

int usage_error(const std::string& msg) {
    std::fprintf(stderr, "tzv58-host: %s\n", msg.c_str());
    return EXIT_USAGE;
}

const std::vector<OptionSpec> COMMON = {
    {"--address", true}, {"--plugin", true}, {"--config", true},
    {"--data-id", true}, {"--events", true}, {"--help", false},
};

std::vector<OptionSpec> with(std::vector<OptionSpec> extra) {
    extra.insert(extra.end(), COMMON.begin(), COMMON.end());
    return extra;
}

// Everything a device needs before it runs: events, plug-in, configuration.
struct Setup {
    long long address = 1, data_id = 1;
    Json::Value config{Json::objectValue};
    FILE* events_file = stdout;
    std::unique_ptr<EventPrinter> events;
    LoadedDevice device;

    ~Setup() {
        if (events_file && events_file != stdout) std::fclose(events_file);
    }

    bool prepare(const CommandLine& cl, std::string& err) {
        if (!option_number(cl, "--address", 0, 255, address, err) ||
            !option_number(cl, "--data-id", 0, 0xFFFFFFFFLL, data_id, err))
            return false;
        if (cl.has("--config") && !read_json_file(cl.get("--config"), config, err)) return false;
        if (cl.has("--events")) {
            events_file = std::fopen(cl.get("--events").c_str(), "w");
            if (!events_file) {
                err = "cannot write events to " + cl.get("--events") + ": " + std::strerror(errno);
                return false;
            }
        }
        return true;
    }

    bool load(const CommandLine& cl, std::string& err) {
        if (!device.load(cl.get("--plugin", default_plugin_path()), err)) return false;
        events = std::make_unique<EventPrinter>(events_file);
        ZMXSPDevice& d = device.device();
        d.events = events.get();
        if (!apply_config(d, config, unsigned(data_id), err)) return false;
        device.codec().address = uint8_t(address);
        return true;
    }
};

// The plant and its faults, for simulate and plant.
bool simulator_options(const CommandLine& cl, SimulatorOptions& sim, std::string& err) {
    if (cl.has("--plant")) {
        Json::Value plant;
        if (!read_json_file(cl.get("--plant"), plant, err) || !plant_from_json(plant, sim.plant, err)) return false;
    }
    return !cl.has("--faults") || parse_faults(cl.get("--faults"), sim.faults, err);
}

int run_live(const CommandLine& cl, bool simulate) {
    std::string err;
    Setup setup;
    SchedulerOptions sched;
    long long timeout = 2000, baud = 0, seed = 1, give_up = 5;
    if (!setup.prepare(cl, err) || !option_number(cl, "--rounds", 1, 1LL << 30, sched.rounds, err) ||
        !option_number(cl, "--give-up", 0, 1LL << 30, give_up, err) ||
        !option_number(cl, "--timeout", 50, 600000, timeout, err) ||
        !option_number(cl, "--baud", 1200, 115200, baud, err) || !option_number(cl, "--seed", 0, 0xFFFFFFFFLL, seed, err))
        return usage_error(err);
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
    if (!setup.load(cl, err)) return usage_error(err);
    ZMXSPDevice& device = setup.device.device();

    std::unique_ptr<ManualClock> fast_clock;
    if (cl.has("--fast")) {
        fast_clock = std::make_unique<ManualClock>(boost::posix_time::second_clock::local_time());
        device.clock = fast_clock.get();
        sched.fast_clock = fast_clock.get();
    }
    if (!cl.has("--events") || cl.has("--summary")) sched.summary = stdout;

    std::string port = cl.get("--port");
    int hold_fd = -1;
    pid_t sim_pid = -1;
    if (simulate && (sim_pid = start_simulator(sim, port, hold_fd, err)) < 0) return usage_error(err);
    Line line(port, baud ? int(baud) : device.baud_rate, *setup.events);
    const Line::Opened opened = line.open(err);
    if (hold_fd >= 0) ::close(hold_fd);
    // A port that is not there yet (an adapter to be plugged in) is waited
    // for like a lost one.
    if (opened == Line::Opened::failed || (simulate && opened != Line::Opened::yes)) {
        stop_simulator(sim_pid);
        return usage_error(err);
    }
    device.AttachFd(line.fd(), false);
    install_stop_handlers();
    Scheduler scheduler(setup.device, line, *setup.events, sched);
    const int status = scheduler.run();
    device.AttachFd(-1, false);
    stop_simulator(sim_pid);
    return status;
}

int run_plant_command(const CommandLine& cl) {
    std::string err;
    SimulatorOptions sim;
    long long seed = 1, baud = 9600, address = 1, delay = 3000;
    if (!cl.has("--link")) return usage_error("plant needs --link PATH (see plant --help)");
    if (!option_number(cl, "--seed", 0, 0xFFFFFFFFLL, seed, err) || !option_number(cl, "--baud", 1200, 115200, baud, err) ||
        !option_number(cl, "--address", 0, 255, address, err) || !option_number(cl, "--delay", 0, 600000, delay, err) ||
        !simulator_options(cl, sim, err))
        return usage_error(err);
    sim.seed = unsigned(seed);
    sim.address = uint8_t(address);
    sim.stall_ms = sim.late_ms = int(delay);
    const int status = run_plant(sim, cl.get("--link"), int(baud), err);
    if (!err.empty()) std::fprintf(stderr, "tzv58-host: %s\n", err.c_str());
    return status;
}

int run_replay(const CommandLine& cl) {
    std::string err;
    Setup setup;
    if (!cl.has("--script")) return usage_error("replay needs --script FILE (see replay --help)");
    std::vector<ScriptStep> steps;
    if (!setup.prepare(cl, err) || !read_script(cl.get("--script"), steps, err)) return usage_error(err);
    if (!setup.load(cl, err)) return usage_error(err);
    ManualClock clock(boost::posix_time::ptime(boost::gregorian::date(2026, 1, 1)));
    setup.device.device().clock = &clock;
    run_script(steps, setup.device.device(), clock, *setup.events);
    return 0;
}

int run_record(const CommandLine& cl) {
    if (cl.args.size() != 1) return usage_error("record needs exactly one FILE (see record --help)");
    tzv58_419_Data_t record;
    std::string err;
    if (!read_record_file(cl.args[0], record, err)) {
        std::fprintf(stderr, "tzv58-host: %s\n", err.c_str());
        return 1;
    }
    std::fputs(record_json(record).c_str(), stdout);
    return 0;
}

int dispatch(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(USAGE_MAIN, argc < 2 ? stderr : stdout);
        return argc < 2 ? EXIT_USAGE : 0;
    }
    CommandLine cl;
    cl.command = argv[1];
    std::vector<OptionSpec> accepted;
    const char* help = nullptr;
    if (cl.command == "simulate") {
        accepted = with({{"--plant", true}, {"--rounds", true}, {"--faults", true}, {"--fast", false},
                         {"--seed", true}, {"--timeout", true}, {"--summary", false}, {"--baud", true},
                         {"--give-up", true}});
        help = USAGE_SIMULATE;
    } else if (cl.command == "poll") {
        accepted = with({{"--port", true}, {"--baud", true}, {"--rounds", true}, {"--timeout", true}, {"--give-up", true},
                         {"--summary", false}, {"--fast", false}});
        help = USAGE_POLL;
    } else if (cl.command == "plant") {
        accepted = {{"--link", true}, {"--plant", true}, {"--faults", true}, {"--seed", true}, {"--baud", true},
                    {"--address", true}, {"--delay", true}, {"--help", false}};
        help = USAGE_PLANT;
    } else if (cl.command == "replay") {
        accepted = with({{"--script", true}});
        help = USAGE_REPLAY;
    } else if (cl.command == "record") {
        accepted = {{"--help", false}};
        help = USAGE_RECORD;
    } else {
        return usage_error("unknown command '" + cl.command + "' (simulate, poll, replay, record, plant; see --help)");
    }
    std::string err;
    if (!parse_options(argc, argv, 2, accepted, cl, err)) return usage_error(err);
    if (cl.has("--help")) {
        std::fputs(help, stdout);
        if (cl.command == "simulate" || cl.command == "plant") std::fputs(USAGE_FAULTS, stdout);
        if (cl.command != "record" && cl.command != "plant") {
            std::fputs(USAGE_COMMON, stdout);
            if (cl.command != "replay") std::fputs(USAGE_LIVE, stdout);
        }
        return 0;
    }
    if (cl.command != "record" && !cl.args.empty()) return usage_error("unexpected argument '" + cl.args[0] + "'");
    if (cl.command == "simulate") return run_live(cl, true);
    if (cl.command == "poll") return run_live(cl, false);
    if (cl.command == "replay") return run_replay(cl);
    if (cl.command == "plant") return run_plant_command(cl);
    return run_record(cl);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return dispatch(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tzv58-host: %s\n", e.what());
        return EXIT_USAGE;
    }
}

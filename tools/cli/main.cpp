// tzv58-host: the stand-in site-monitoring host. Loads tzv58_419.so as the
// real host does, and drives one device against a simulated power system, a
// real serial port or a script; or decodes a record image.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include "tools/common/console.h"
#include "tools/common/exit_status.h"
#include "tools/common/signals.h"
#include "tools/cli/client.h"
#include "tools/report/events.h"
#include "tools/sim/faults.h"
#include "tools/history/history_cmd.h"
#include "tools/line/line.h"
#include "tools/report/observers.h"
#include "tools/live/live.h"
#include "tools/live/metrics.h"
#include "tools/common/options.h"
#include "tools/sim/plant.h"
#include "tools/common/plugin_host.h"
#include "tools/report/record_dump.h"
#include "tools/cli/replay.h"
#include "tools/line/scheduler.h"
#include "tools/sim/simulator.h"

using namespace tzv58::tool;

namespace {

const char* const USAGE_MAIN =
    "tzv58-host: the stand-in host for the tzv58_419 power-system plug-in\n"
    "\n"
    "usage:\n"
    "  tzv58-host simulate [--plant FILE] [--rounds N] [--faults LIST] [--fast] [--seed N] [options]\n"
    "  tzv58-host poll --port DEVICE [--baud N] [--address N] [--rounds N] [options]\n"
    "  tzv58-host replay --script FILE [options]\n"
    "  tzv58-host record FILE|-        decode a 1257-byte record image (history, cache), or the\n"
    "                                  publish/history lines of an events file, as JSON\n"
    "  tzv58-host history FILE.db [--since T] [--until T] [--format table|csv|jsonl] [--alarms]\n"
    "                             [--plot FILE.svg]   the records and alarms kept by --history\n"
    "  tzv58-host get --socket PATH [ID...]\n"
    "  tzv58-host control --socket PATH (CODE [--text T | --hex H] [--out N] | set-time [T] |\n"
    "                     set-param SIGNAL_ID VALUE | remote ID) [--wait SECONDS]\n"
    "  tzv58-host plant --link PATH [--plant FILE] [--faults LIST] [--seed N] [--baud N]\n"
    "  tzv58-host --version\n"
    "\n"
    "Each command has its own --help.\n";

const char* const USAGE_COMMON =
    "common options:\n"
    "  --address N      the power system's ADR (default 1)\n"
    "  --plugin PATH    the plug-in (default: tzv58_419.so built beside this program)\n"
    "  --config FILE    the device's JSON configuration (default: {})\n"
    "  --data-id N      the device's data id (default 1)\n"
    "  --events FILE    write the JSON-lines events to FILE; - for standard output\n"
    "  --debug          show the plug-in's diagnostic lines on standard error\n"
    "  --diag FILE      keep the plug-in's diagnostic lines in FILE (default: discarded)\n"
    "  --help           this text\n"
    "  --version        the program's version\n";

const char* const USAGE_LIVE =
    "  --rounds N       stop after N complete poll rounds (default: until SIGINT or\n"
    "                   SIGTERM); give up with status 1 after --give-up failed rounds\n"
    "  --give-up N      failed rounds in a row that end a --rounds run (default 5;\n"
    "                   0: never)\n"
    "  --timeout MS     reply timeout; a request is asked for twice more, then the\n"
    "                   round is given up (default 2000)\n"
    "  --baud N         1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200\n"
    "                   (default: the device's own, 9600)\n"
    "  --summary        the round summary on standard output (the default; kept\n"
    "                   for older command lines)\n"
    "  --listen PATH    a Unix socket (mode 0600) for tzv58-host get and control:\n"
    "                   HTTP with JSON bodies (GET /values, GET /values/ID,\n"
    "                   POST /control)\n"
    "  --http [HOST:]PORT  serve Prometheus metrics at /metrics (HOST default\n"
    "                   127.0.0.1; port 0: any free port, named in the ready line\n"
    "                   on standard error); never control\n"
    "  --metrics [HOST:]PORT  the same as --http\n"
    "Standard output shows a summary of each round and every alarm raised or\n"
    "cleared; with --events - it carries the JSON-lines events instead.\n";

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
    "                   one-DC-unit plant); see tools/sim/plant.h for the members\n"
    "  --fast           run the device on a simulated clock moved 2 s before each\n"
    "                   refresh: rounds follow one another as fast as the line allows\n";

const char* const USAGE_POLL =
    "usage: tzv58-host poll --port DEVICE [--baud N] [--address N] [--rounds N] [options]\n"
    "\n"
    "Polls a power system on a serial port: raw 8N1, no flow control, exclusive\n"
    "(flock and TIOCEXCL). A lost port, or one not there yet, is reopened with a\n"
    "growing back-off; with --rounds, each failed attempt is a failed round.\n"
    "  --port DEVICE    the serial port, e.g. /dev/ttyS1\n";

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
    "  --baud N         1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200\n"
    "                   (default 9600)\n"
    "  --delay MS       how late stalled and late replies come (default 3000: after\n"
    "                   the host's default reply timeout)\n";

const char* const USAGE_REPLAY =
    "usage: tzv58-host replay --script FILE [options]\n"
    "\n"
    "Feeds a script to the device on a simulated clock that starts at\n"
    "2026-01-01 00:00:00, and writes the events to standard output (or --events\n"
    "FILE). Script lines:\n"
    "  ~...                          reply characters (CR is added)\n"
    "  @refresh                      RefreshStatus\n"
    "  @clock +S                     move the clock S seconds\n"
    "  @get ID [N]                   Get_Value(N, ID); ID may be a JSON string\n"
    "  @control CODE OUTLEN hex:HH.. DeviceIoControl (or text:... for the rest of the line)\n"
    "  @cache hex:HH..               LoadFromCache\n"
    "Blank lines and lines starting with # are skipped.\n";

const char* const USAGE_RECORD =
    "usage: tzv58-host record FILE|-\n"
    "\n"
    "Prints a 1257-byte record image as JSON with the record's field names. FILE\n"
    "(- for standard input) holds the raw image (history, cache), its hex text, or\n"
    "event lines: every publish and history line is printed, one JSON object each.\n";

const char* const VERSION = "tzv58-host " TZV58_HOST_VERSION "\n";

const char* const USAGE_GET =
    "usage: tzv58-host get --socket PATH [ID...]\n"
    "\n"
    "Reads a running poll or simulate (started with --listen PATH). Without ids:\n"
    "every value of the last published record as name: value lines, the age of\n"
    "the data and the link state. With ids: the device's own answer for each\n"
    "(out_v, ac), or its refusal with an English gloss. Status 0 only when every\n"
    "id was answered with a value.\n";

const char* const USAGE_CONTROL =
    "usage: tzv58-host control --socket PATH CODE [--text T | --hex H] [--out N] [--wait SECONDS]\n"
    "       tzv58-host control --socket PATH set-time [YYYY-MM-DDTHH:MM:SS] [--wait SECONDS]\n"
    "       tzv58-host control --socket PATH set-param SIGNAL_ID VALUE [--wait SECONDS]\n"
    "       tzv58-host control --socket PATH remote ID [--wait SECONDS]\n"
    "\n"
    "Runs a control request on a running poll or simulate (started with --listen\n"
    "PATH), between two poll exchanges, and prints the result, the output bytes,\n"
    "the frame sent and whether a reply came.\n"
    "  CODE             the request code; --text or --hex give its input bytes,\n"
    "                   --out the output buffer size (default 4)\n"
    "  set-time         code 300 with the local time (default: now)\n"
    "  set-param        code 310: {\"signal_id\":SIGNAL_ID,\"SetValue\":VALUE}\n"
    "  remote           code 320 with ID\n"
    "  --wait SECONDS   then read the result (code 0) until the device has recorded\n"
    "                   the answer (result 1) or the time is up; status 0 only if so\n";

const std::vector<OptionSpec> COMMON = {
    {"--address", true}, {"--plugin", true}, {"--config", true}, {"--data-id", true}, {"--events", true},
    {"--debug", false},  {"--diag", true},   {"--help", false},  {"--version", false},
};

const std::vector<long long> BAUD_RATES = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

std::vector<OptionSpec> with(std::vector<OptionSpec> extra) {
    extra.insert(extra.end(), COMMON.begin(), COMMON.end());
    return extra;
}

// The configuration's DC reply layout, read as the device reads every key:
// its text form through atoi.
int no_dc_number_of(const Json::Value& config) {
    const Json::Value& app = config["appSetting"];
    if (!app.isObject()) return -1;
    const Json::Value& v = app["no_dc_number"];
    if (v.isNull() || v.isArray() || v.isObject()) return -1;
    return std::atoi(v.asString().c_str());
}

// Everything a device needs before it runs: outputs, plug-in, configuration,
// and the observers of its service calls.
struct Setup {
    long long address = 1, data_id = 1;
    Json::Value config{Json::objectValue};
    FILE* console = nullptr;       // the real standard output
    FILE* events_file = nullptr;   // JSON lines, or nullptr for none
    bool events_to_console = false;
    std::unique_ptr<EventPrinter> printer;
    std::unique_ptr<DcUnitWatch> dc_units;
    EventFanout fanout;
    LoadedDevice device;

    ~Setup() {
        // Observers and clocks of a run may be gone by now; the device outlives them.
        if (device.loaded()) {
            device.device().events = &null_host_events();
            device.device().clock = &wall_clock();
        }
        flush_all_output(console);
        if (events_file && events_file != console) std::fclose(events_file);
    }

    // Reads and checks every option and file; nothing runs yet.
    bool prepare(const CommandLine& cl, std::string& err) {
        if (!option_number(cl, "--address", 0, 255, address, err) ||
            !option_number(cl, "--data-id", 0, 0xFFFFFFFFLL, data_id, err))
            return false;
        if (cl.has("--debug") && cl.has("--diag")) {
            err = "options --debug and --diag exclude each other";
            return false;
        }
        if (cl.has("--config") && !read_json_file(cl.get("--config"), config, err)) return false;
        events_to_console = cl.has("--events") && cl.get("--events") == "-";
        return true;
    }

    // Diverts the plug-in's lines and opens the event stream. Events go to
    // standard output when asked (or by default, for replay).
    bool open_outputs(const CommandLine& cl, bool events_by_default, std::string& err) {
        const DiagTarget target =
            cl.has("--debug") ? DiagTarget::stderr_ : cl.has("--diag") ? DiagTarget::file : DiagTarget::discard;
        console = divert_diagnostics(target, cl.get("--diag"), err);
        if (!console) return false;
        if (events_to_console || (events_by_default && !cl.has("--events"))) {
            events_file = console;
        } else if (cl.has("--events")) {
            events_file = std::fopen(cl.get("--events").c_str(), "w");
            if (!events_file) {
                err = "option --events: cannot write " + cl.get("--events") + ": " + std::strerror(errno);
                return false;
            }
        }
        return true;
    }

    bool load(const CommandLine& cl, std::string& err) {
        if (!device.load(cl.get("--plugin", default_plugin_path()), err)) return false;
        printer = std::make_unique<EventPrinter>(events_file);
        dc_units = std::make_unique<DcUnitWatch>(device.codec(), no_dc_number_of(config));
        printer->set_dc_units(dc_units.get());
        // The unit count is read before the printer shows a publication.
        fanout.add(dc_units.get());
        fanout.add(printer.get());
        ZMXSPDevice& d = device.device();
        d.events = &fanout;
        if (!apply_config(d, config, unsigned(data_id), err)) {
            if (cl.has("--config")) err = cl.get("--config") + ": " + err;
            return false;
        }
        device.codec().address = uint8_t(address);
        return true;
    }

    // The device's clock, which also stamps the events.
    void use_clock(const HostClock* clock) {
        device.device().clock = clock;
        printer->set_clock(clock);
    }
};

// The plant and its faults, for simulate and plant.
bool simulator_options(const CommandLine& cl, SimulatorOptions& sim, std::string& err) {
    if (cl.has("--plant")) {
        Json::Value plant;
        if (!read_json_file(cl.get("--plant"), plant, err) || !plant_from_json(plant, sim.plant, err)) {
            err = cl.get("--plant") + ": " + err;
            return false;
        }
    }
    if (cl.has("--faults") && !parse_faults(cl.get("--faults"), sim.faults, err)) {
        err = "option --faults: " + err;
        return false;
    }
    return true;
}

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

    std::unique_ptr<ManualClock> fast_clock;
    if (cl.has("--fast")) {
        fast_clock = std::make_unique<ManualClock>(boost::posix_time::second_clock::local_time());
        sched.fast_clock = fast_clock.get();
        setup.use_clock(fast_clock.get());
    }
    RoundCollector collected;
    collected.set_clock(device.clock);
    if (!setup.events_to_console) {
        sched.summary = setup.console;
        sched.collected = &collected;
        sched.dc_units = setup.dc_units.get();
        setup.fanout.add(&collected);
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
    if (history) setup.fanout.add(history.get());
    std::unique_ptr<LiveService> live;
    if (cl.has("--listen") || !http_address.empty()) {
        live = std::make_unique<LiveService>(setup.device, *setup.printer, sched.timeout_ms);
        if (!live->open(cl.get("--listen"), http_address, err)) {
            live.reset();
            stop_simulator(sim_pid);
            return usage_error(err);
        }
    }
    device.AttachFd(line.fd(), false);
    install_stop_handlers();
    if (live) {
        std::fprintf(stderr, "%s\n", live->start(line).c_str());
        sched.between = live.get();
    }
    Scheduler scheduler(setup.device, line, *setup.printer, sched);
    setup.fanout.add(&scheduler);
    const int status = scheduler.run();
    live.reset();
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
    if (!setup.open_outputs(cl, true, err) || !setup.load(cl, err)) return usage_error(err);
    ManualClock clock(boost::posix_time::ptime(boost::gregorian::date(2026, 1, 1)));
    setup.use_clock(&clock);
    run_script(steps, setup.device.device(), clock, *setup.printer);
    return 0;
}

int run_record(const CommandLine& cl) {
    if (cl.args.size() != 1) return usage_error("record needs exactly one FILE, or - for standard input (see record --help)");
    std::vector<tzv58_419_Data_t> records;
    std::string err;
    if (!read_records(cl.args[0], records, err)) return usage_error(err);
    for (const tzv58_419_Data_t& r : records) std::fputs(record_json(r).c_str(), stdout);
    return 0;
}

int dispatch(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(USAGE_MAIN, argc < 2 ? stderr : stdout);
        return argc < 2 ? EXIT_USAGE : 0;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::fputs(VERSION, stdout);
        return 0;
    }
    CommandLine cl;
    cl.command = argv[1];
    std::vector<OptionSpec> accepted;
    const char* help = nullptr;
    if (cl.command == "simulate") {
        accepted = with({{"--plant", true}, {"--rounds", true}, {"--faults", true}, {"--fast", false},
                         {"--seed", true}, {"--timeout", true}, {"--summary", false}, {"--baud", true},
                         {"--give-up", true}, {"--history", true}, {"--listen", true}, {"--metrics", true},
                         {"--http", true}});
        help = USAGE_SIMULATE;
    } else if (cl.command == "poll") {
        // --fast is refused by name below: a live line never runs on the simulated clock.
        accepted = with({{"--port", true}, {"--baud", true}, {"--rounds", true}, {"--timeout", true}, {"--give-up", true},
                         {"--summary", false}, {"--fast", false}, {"--history", true}, {"--listen", true},
                         {"--metrics", true}, {"--http", true}});
        help = USAGE_POLL;
    } else if (cl.command == "plant") {
        accepted = {{"--link", true}, {"--plant", true}, {"--faults", true}, {"--seed", true}, {"--baud", true},
                    {"--address", true}, {"--delay", true}, {"--help", false}};
        help = USAGE_PLANT;
    } else if (cl.command == "replay") {
        accepted = with({{"--script", true}});
        help = USAGE_REPLAY;
    } else if (cl.command == "record") {
        accepted = {{"--help", false}, {"--version", false}};
        help = USAGE_RECORD;
    } else if (cl.command == "history") {
        accepted = history_options();
        help = USAGE_HISTORY;
    } else if (cl.command == "get") {
        accepted = {{"--socket", true}, {"--help", false}};
        help = USAGE_GET;
    } else if (cl.command == "control") {
        accepted = {{"--socket", true}, {"--text", true}, {"--hex", true}, {"--out", true}, {"--wait", true},
                    {"--help", false}};
        help = USAGE_CONTROL;
    } else {
        return usage_error("unknown command '" + cl.command +
                           "' (simulate, poll, replay, record, history, get, control, plant; see --help)");
    }
    const bool client = cl.command == "get" || cl.command == "control";
    std::string err;
    if (!parse_options(argc, argv, 2, accepted, cl, err)) return usage_error(err);
    if (cl.has("--help")) {
        std::fputs(help, stdout);
        if (cl.command == "simulate" || cl.command == "plant") std::fputs(USAGE_FAULTS, stdout);
        if (cl.command != "record" && cl.command != "history" && cl.command != "plant" && !client) {
            std::fputs(USAGE_COMMON, stdout);
            if (cl.command != "replay") {
                std::fputs(USAGE_LIVE, stdout);
                std::fputs(USAGE_HISTORY_OPTION, stdout);
            }
        }
        return 0;
    }
    if (cl.has("--version")) {
        std::fputs(VERSION, stdout);
        return 0;
    }
    if (cl.command == "poll" && cl.has("--fast"))
        return usage_error("option --fast is for simulate only: poll runs on the wall clock of a live line");
    if (cl.command == "get") return run_get(cl);
    if (cl.command == "control") return run_control(cl);
    // "-" is standard input for record; any other word is an operand.
    if (cl.command != "record" && cl.command != "history" && !cl.args.empty()) return usage_error("unexpected argument '" + cl.args[0] + "'");
    if (cl.command == "simulate") return run_live(cl, true);
    if (cl.command == "poll") return run_live(cl, false);
    if (cl.command == "replay") return run_replay(cl);
    if (cl.command == "history") return run_history(cl);
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

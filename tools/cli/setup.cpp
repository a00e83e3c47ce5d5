#include "tools/cli/setup.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device/setting_value.h"
#include "telemetry/dc_layout.h"
#include "tools/cli/device_config.h"
#include "tools/common/console.h"
#include "tools/common/exit_status.h"
#include "tools/common/json_in.h"
#include "tools/common/outputs.h"
#include "tools/common/paths.h"
#include "tools/history/history_cmd.h"
#include "tools/sim/faults.h"
#include "tools/sim/plant.h"

namespace tzv58::tool {

int32_t no_dc_number_of(const Json::Value& config) {
    int32_t no_dc_number = tzv58::NO_DC_NUMBER_UNKNOWN;
    const Json::Value& app = config["appSetting"];
    if (app.isObject()) tzv58::setting_int(app, "no_dc_number", no_dc_number);
    return no_dc_number;
}

Setup::~Setup() {
    flush_all_output(console);
    // The pumps first: the --debug relay ends once the diagnostics' pump
    // has let go of its pipe.
    finish_pumps(PUMP_END_WAIT_MS);
    end_diagnostics();
    if (events_file && events_file != console) std::fclose(events_file);
}

namespace {

// Every file the command reads, writes or keeps, told apart before any is
// opened: events written over the history file, or over the plant file
// just read, would be lost.
bool distinct_files(const CommandLine& cl, std::vector<NamedPath> paths, std::string& err) {
    for (const char* read : {"--config", "--plant", "--script", "--site"})
        if (cl.has(read)) paths.push_back({std::string("option ") + read, cl.get(read), false});
    for (const char* written : {"--events", "--diag", "--listen"})
        if (cl.has(written)) paths.push_back({std::string("option ") + written, cl.get(written)});
    if (cl.has("--history"))
        for (const NamedPath& p : history_paths(cl.get("--history"), "option --history")) paths.push_back(p);
    return paths_distinct(paths, err);
}

}  // namespace

bool Setup::prepare(const CommandLine& cl, std::string& err) {
    if (!distinct_files(cl, also_read, err)) return false;
    if (!option_number(cl, "--address", 0, 255, address, err) ||
        !option_number(cl, "--data-id", 0, 0xFFFFFFFFLL, data_id, err))
        return false;
    if (cl.has("--debug") && cl.has("--diag")) {
        err = "options --debug and --diag exclude each other";
        return false;
    }
    if (cl.has("--config")) {
        JsonFile file;
        if (!file.read(cl.get("--config"), err) || !check_device_config(file, err)) return false;
        config = file.root();
    }
    events_to_console = cl.has("--events") && cl.get("--events") == "-";
    if (cl.has("--force") && !cl.has("--diag") && (!cl.has("--events") || events_to_console)) {
        err = "option --force goes with an --events or --diag FILE";
        return false;
    }
    return true;
}

bool Setup::open_outputs(const CommandLine& cl, bool events_by_default, std::string& err) {
    const DiagTarget target = cl.has("--debug")  ? DiagTarget::stderr_
                              : cl.has("--diag") ? DiagTarget::file
                                                 : DiagTarget::discard;
    console = divert_diagnostics(target, cl.get("--diag"), cl.has("--force"), err);
    if (!console) return false;
    diag_discarded = target == DiagTarget::discard;
    diag_name = target == DiagTarget::file ? "the --diag file " + cl.get("--diag") : "standard error";
    // The events' writer tells their reader what was dropped, as an event.
    const auto labelled = [this](const char* label, bool writer_says) {
        PumpOptions o = pump;
        o.label = label;
        o.writer_says = writer_says;
        return o;
    };
    const PumpOptions events_pump = labelled("events", true);
    if (pumped &&
        !pump_stream(console, "standard output", events_to_console ? events_pump : labelled("summary", false), err))
        return false;
    if (events_to_console || (events_by_default && !cl.has("--events"))) {
        events_file = console;
    } else if (cl.has("--events")) {
        const std::string name = "the --events file " + cl.get("--events");
        const int fd = open_output(cl.get("--events"), EVENTS_OUTPUT, cl.has("--force"), err);
        if (fd < 0 || !(events_file = ::fdopen(fd, "w"))) {
            if (fd >= 0) err = std::string("option --events: ") + std::strerror(errno);
            if (fd >= 0) ::close(fd);
            return false;
        }
        watch_output(events_file, name);
        if (pumped && !pump_stream(events_file, name, events_pump, err)) return false;
    }
    if (pumped && target != DiagTarget::discard) {
        const std::string name = target == DiagTarget::file ? "the --diag file " + cl.get("--diag") : "standard error";
        if (!pump_descriptor(1, stdout, name, labelled("diag", false), err)) return false;
    }
    return true;
}

void Setup::reopen_outputs(const CommandLine& cl) {
    std::string err;
    const bool force = cl.has("--force");
    if (cl.has("--diag") && !reopen_diagnostics(cl.get("--diag"), force, err)) say(EXIT_FAIL, err);
    if (events_file && events_file != console && !reopen_stream(events_file, cl.get("--events"), force, err))
        say(EXIT_FAIL, err);
}

bool Station::load(const std::string& plugin, FILE* events, std::string& err) {
    if (!device.load(plugin, model, err)) return false;
    // The unit count is read before the printer shows a publication.
    dc_units = &observers.add(std::make_unique<DcUnitWatch>(device.codec()));
    printer = &observers.add(std::make_unique<EventPrinter>(events));
    printer->set_model(device.model());
    printer->set_dc_units(dc_units);
    printer->set_device(name);
    ZMXSPDevice& d = device.device();
    d.events = &observers;
    const SpeakingFor speaking(name);
    if (!apply_config(d, config, unsigned(data_id), err)) {
        if (!config_path.empty()) err = config_path + ": " + err;
        return false;
    }
    // A value the device could not read has been refused just now.
    dc_units->set_no_dc_number(no_dc_number_of(config));
    device.codec().address = uint8_t(address);
    return true;
}

void Station::use_clock(const HostClock* clock) {
    device.device().clock = clock;
    printer->set_clock(clock);
}

bool Setup::load(const CommandLine& cl, std::string& err) {
    auto s = std::make_unique<Station>();
    s->port = cl.get("--port");
    s->address = address;
    s->data_id = data_id;
    s->config = config;
    s->config_path = cl.get("--config");
    s->model = cl.get("--model");
    stations.push_back(std::move(s));
    return station().load(cl.get("--plugin", default_plugin_path()), events_file, err);
}

ManualClock& Setup::use_manual_clock(const boost::posix_time::ptime& start) {
    manual_clock = std::make_unique<ManualClock>(start);
    station().use_clock(manual_clock.get());
    return *manual_clock;
}

SimClock& Setup::use_sim_clock(const boost::posix_time::ptime& start) {
    sim_clock = std::make_unique<SimClock>(start);
    station().use_clock(sim_clock.get());
    return *sim_clock;
}

bool Setup::add_notifier(const NotifyOptions& notify, Station& s, std::string& err) {
    if (!notices) {
        auto runner = std::make_shared<NoticeRunner>(notify.program, kept_environment(environ), notify.limits, stderr);
        if (!runner->start(err)) return false;
        notices = std::move(runner);
    }
    Notifier& n =
        s.observers.add(std::make_unique<Notifier>(notices, NoticeSource{s.port, int(s.address), s.kept_name()}));
    n.set_clock(s.device.device().clock);
    return true;
}

bool read_plant(const std::string& path, Plant& plant, std::string& err) {
    JsonFile file;
    if (!file.read(path, err)) return false;
    if (!plant_from_json(file.root(), plant, err)) {
        // The reason begins with the member it is about: say where that is.
        err = file.where(err.substr(0, err.find(": "))) + ": " + err;
        return false;
    }
    return true;
}

bool simulator_options(const CommandLine& cl, SimulatorOptions& sim, std::string& err) {
    SimUnit& unit = sim.units.front();
    if (cl.has("--plant") && !read_plant(cl.get("--plant"), unit.plant, err)) return false;
    if (cl.has("--faults") && !parse_faults(cl.get("--faults"), unit.faults, err)) {
        err = "option --faults: " + err;
        return false;
    }
    return true;
}

}  // namespace tzv58::tool

namespace tzv58::tool {

bool simulator_for_model(const model_descriptor& model, SimulatorOptions& sim, std::string& err) {
    for (const value_row& r : model.values.rows) {
        if (r.kind != value_kind::group) continue;
        if (std::string(r.name) == "channel") sim.record_channels = r.group->capacity;
        if (std::string(r.name) == "module") sim.record_modules = r.group->capacity;
    }
    std::vector<uint8_t> info;
    for (const step_spec& s : model.steps) {
        const uint8_t cid2 = s.command.cid2 == CID2_ANALOG ? 0x42 : s.command.cid2;
        bool answered = true;
        for (const SimUnit& u : sim.units) answered = answered && reply_info(u.plant, s.command.cid1, cid2, 0, info);
        if (answered) continue;
        err = "the simulated power system does not answer " + hex_upper(&s.command.cid1, 1) + "H/" +
              hex_upper(&cid2, 1) + "H, which model " + model.name + " asks in its round";
        return false;
    }
    return true;
}

}  // namespace tzv58::tool

// What the commands that run the device share: its outputs, the plug-in, its
// configuration and the observers of its service calls; and the plant with
// its faults, for simulate and plant.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/host_events.h"
#include "tools/common/clock.h"
#include "tools/common/options.h"
#include "tools/common/output_pump.h"
#include "tools/common/paths.h"
#include "tools/common/plugin_host.h"
#include "tools/notify/notifier.h"
#include "tools/report/events.h"
#include "tools/report/observers.h"
#include "tools/sim/simulator.h"

namespace tzv58::tool {

// The configuration's DC reply layout ("no_dc_number"), read by the device's
// own reader; NO_DC_NUMBER_UNKNOWN when it gives none. Only for a
// configuration the device has taken: a value it refuses throws.
int32_t no_dc_number_of(const Json::Value& config);

// One power system of a run: its device, its clock and the program's
// observers of its service calls. The device is declared last: it goes
// first, while everything it points to is still there.
struct Station {
    std::string name;  // a site's, shown in every line about it; "" in a one-device run
    std::string port;  // as given; for simulate, the pseudo-terminal once it is open
    long long address = 1, data_id = 1;
    long long baud = 0;  // 0: the device's own
    Json::Value config{Json::objectValue};
    std::string config_path;  // "" for none
    std::string model;        // the plug-in's model by name; "": its only one
    EventFanout observers;
    EventPrinter* printer = nullptr;  // among the observers
    DcUnitWatch* dc_units = nullptr;  // among the observers
    LoadedDevice device;

    Station() = default;
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Loads the plug-in's device of the model, points it at the observers (the DC unit
    // watch, then the event printer, whose lines go to events) and applies
    // the configuration.
    bool load(const std::string& plugin, FILE* events, std::string& err);
    // Runs the device, and stamps its events, on this clock (which
    // outlives the device's calls).
    void use_clock(const HostClock* clock);
    // The name of the power system wherever one is kept: ONE_DEVICE_NAME in
    // a one-device run.
    std::string kept_name() const { return name.empty() ? ONE_DEVICE_NAME : name; }
};

// Everything a run needs before its devices run: outputs, plug-in,
// configuration, clocks and the program's observers of each device's
// service calls. The stations are declared last: they go first.
struct Setup {
    long long address = 1, data_id = 1;
    Json::Value config{Json::objectValue};
    FILE* console = nullptr;      // the real standard output
    FILE* events_file = nullptr;  // JSON lines, or nullptr for none
    bool events_to_console = false;
    bool diag_discarded = true;        // neither --debug nor --diag
    std::string diag_name;             // where the plug-in's lines go, in a message
    std::vector<NamedPath> also_read;  // files a site file names, kept apart from the outputs
    // A poll's outputs go through pumps (tools/common/output_pump.h): no
    // reader holds up the poll.
    bool pumped = false;
    PumpOptions pump;                           // the queue's bound, and lossless for --fast
    std::unique_ptr<ManualClock> manual_clock;  // replay; else the wall clock
    std::unique_ptr<SimClock> sim_clock;        // simulate --fast of one device
    // simulate --site --fast: each line's own clock, which its stations'
    // observers read to the end (a history recorder's last rows).
    std::vector<std::unique_ptr<SimClock>> port_clocks;
    std::shared_ptr<NoticeRunner> notices;      // --on-event, shared by the stations
    std::vector<std::unique_ptr<Station>> stations;

    Setup() = default;
    Setup(const Setup&) = delete;
    Setup& operator=(const Setup&) = delete;
    ~Setup();

    // Reads and checks every option and file of one device; nothing runs yet.
    bool prepare(const CommandLine& cl, std::string& err);
    // The one station of a one-device run (or the first of a site).
    Station& station() { return *stations.front(); }
    // Diverts the plug-in's lines and opens the event stream. Events go to
    // standard output when asked (or by default, for replay). Each file by
    // the outputs' rule (open_output): appended to, never emptied; one that
    // holds something else only with --force. With pumped, each of them
    // goes through a pump of its own.
    bool open_outputs(const CommandLine& cl, bool events_by_default, std::string& err);
    // SIGHUP: the --events and --diag files afresh (log rotation); a file
    // that cannot be reopened is one line on stderr, and the old one stays.
    void reopen_outputs(const CommandLine& cl);
    // Loads the one device of the options as the one station (Station::load).
    bool load(const CommandLine& cl, std::string& err);
    // Runs the device, and stamps the events, on a clock that moves only
    // when told to.
    ManualClock& use_manual_clock(const boost::posix_time::ptime& start);
    // The same with the simulated clock of simulate --fast.
    SimClock& use_sim_clock(const boost::posix_time::ptime& start);
    // Starts the on-event runner (once) and adds a notifier to the
    // station's observers, its events stamped by the device's clock.
    bool add_notifier(const NotifyOptions& notify, Station& station, std::string& err);
};

// The plant and its faults, for simulate and plant.
bool simulator_options(const CommandLine& cl, SimulatorOptions& sim, std::string& err);
// What a record of the model holds, for the excess fault; false with a
// one-line reason when the simulated power system does not answer a
// command of the model's round (its analog queries in fixed point, as the
// plant answers them).
bool simulator_for_model(const model_descriptor& model, SimulatorOptions& sim, std::string& err);
// A plant file (--plant FILE): the default plant with its members applied.
bool read_plant(const std::string& path, Plant& plant, std::string& err);

}  // namespace tzv58::tool

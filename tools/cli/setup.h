// What the commands that run the device share: its outputs, the plug-in, its
// configuration and the observers of its service calls; and the plant with
// its faults, for simulate and plant.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include <json/value.h>

#include "tools/common/options.h"
#include "tools/common/plugin_host.h"
#include "tools/report/events.h"
#include "tools/report/observers.h"
#include "tools/sim/simulator.h"

namespace tzv58::tool {

// The configuration's DC reply layout, read as the device reads every key:
// its text form through atoi.
int no_dc_number_of(const Json::Value& config);

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

    ~Setup();

    // Reads and checks every option and file; nothing runs yet.
    bool prepare(const CommandLine& cl, std::string& err);
    // Diverts the plug-in's lines and opens the event stream. Events go to
    // standard output when asked (or by default, for replay).
    bool open_outputs(const CommandLine& cl, bool events_by_default, std::string& err);
    bool load(const CommandLine& cl, std::string& err);
    // The device's clock, which also stamps the events.
    void use_clock(const HostClock* clock);
};

// The plant and its faults, for simulate and plant.
bool simulator_options(const CommandLine& cl, SimulatorOptions& sim, std::string& err);

}  // namespace tzv58::tool

// A site file (--site FILE): the power systems one poll or simulate watches,
// several per serial port where they share an RS-485 bus, each at an address
// of its own. docs/configuration.md lists its members; contrib/site.json is a
// commented example.
//
//   {"power_systems": [
//     {"name": "north", "port": "/dev/ttyUSB0", "address": 1, "config": "north.json"},
//     {"name": "south", "port": "/dev/ttyUSB0", "address": 2},
//     {"name": "annex", "port": "/dev/ttyUSB1", "baud": 19200}]}
//
// Read strictly (tools/common/json_in.h), and checked whole before anything
// starts: a name given twice, two power systems at one address of one port,
// a port given two bauds, an unknown member or a bad value is one line that
// names the file, its line, the entry and the member.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "tools/sim/simulator.h"

namespace tzv58::tool {

// A site holds at most this many power systems.
constexpr size_t MAX_POWER_SYSTEMS = 256;

// What reads the file: poll (ports are serial ports), simulate (ports name
// the simulated lines; plant, faults and silent describe the power
// systems), plant (the same, for the entries of one line).
enum class SiteUse { poll, simulate, plant };

struct SiteEntry {
    std::string name;
    std::string port;      // as written
    std::string port_key;  // what tells ports apart: the device a link names, for poll
    long long address = 1, baud = 9600, data_id = 1;
    std::string config_path;  // as the program opens it; empty: none
    Json::Value config{Json::objectValue};
    std::string model;     // the plug-in's model by name; "": --model, or the plug-in's only one
    std::string model_at;  // "site.json:4: power_systems[1].model", where it was given
    SimUnit sim;        // simulate and plant: the plant, its faults, silent; the address
    std::string where;  // "site.json:3", the entry's line
};

// false with one line naming the file, the line, the entry and the member:
// "site.json:9: power_systems[2].address: 1 on /dev/ttyUSB0 is already
// power_systems[0]'s (north)". A file named by a member (config, plant) is
// read from the site file's folder when it is a relative path.
bool read_site(const std::string& path, SiteUse use, std::vector<SiteEntry>& out, std::string& err);

}  // namespace tzv58::tool

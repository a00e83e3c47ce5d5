// plant --link PATH: the simulated power system alone, on a pseudo-terminal
// for poll or any other program; with --site, each power system of the site
// file whose port is PATH, at its own address on the one line.
#include <string>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/setup.h"
#include "tools/cli/site_file.h"
#include "tools/common/exit_status.h"
#include "tools/sim/simulator.h"

namespace tzv58::tool {
namespace {

// The power systems of a site file on this line.
bool units_on(const std::string& site, const std::string& link, unsigned seed, std::vector<SimUnit>& units,
              std::string& err) {
    std::vector<SiteEntry> entries;
    if (!read_site(site, SiteUse::plant, entries, err)) return false;
    units.clear();
    for (const SiteEntry& e : entries) {
        if (e.port != link) continue;
        units.push_back(e.sim);
        units.back().seed = seed + unsigned(e.address) - 1;
    }
    if (units.empty()) err = site + ": no power system's port is " + link + ", the --link of this plant";
    return !units.empty();
}

}  // namespace

int run_plant(const CommandLine& cl) {
    if (!cl.args.empty()) return unexpected_argument(cl);
    std::string err;
    SimulatorOptions sim;
    long long seed = 1, baud = 9600, address = 1, delay = 3000;
    if (!cl.has("--link")) return usage_error("plant needs --link PATH (see plant --help)");
    if (cl.has("--site"))
        for (const char* one : {"--plant", "--faults", "--address"})
            if (cl.has(one))
                return usage_error(std::string("option ") + one + " describes one power system: with --site, the " +
                                   "site file describes each");
    if (!option_number(cl, "--seed", 0, 0xFFFFFFFFLL, seed, err) || !option_baud(cl, baud, err) ||
        !option_number(cl, "--address", 0, 255, address, err) || !option_number(cl, "--delay", 0, 600000, delay, err) ||
        !simulator_options(cl, sim, err))
        return usage_error(err);
    sim.units.front().seed = unsigned(seed);
    sim.units.front().address = uint8_t(address);
    sim.stall_ms = sim.late_ms = int(delay);
    PlantReload reload;
    if (cl.has("--site")) {
        const std::string site = cl.get("--site"), link = cl.get("--link");
        if (!units_on(site, link, unsigned(seed), sim.units, err)) return usage_error(err);
        reload = [site, link, seed](std::vector<SimUnit>& units, std::string& why) {
            return units_on(site, link, unsigned(seed), units, why);
        };
    } else if (cl.has("--plant")) {
        reload = [path = cl.get("--plant"), unit = sim.units.front()](std::vector<SimUnit>& units, std::string& why) {
            units = {unit};
            return read_plant(path, units.front().plant, why);
        };
    }
    const int status = serve_plant(sim, cl.get("--link"), int(baud), reload, err);
    return err.empty() ? status : say(status, err);
}

}  // namespace tzv58::tool

// plant --link PATH: the simulated power system alone, on a pseudo-terminal
// for poll or any other program.
#include <string>

#include "tools/cli/commands.h"
#include "tools/cli/setup.h"
#include "tools/common/exit_status.h"
#include "tools/sim/simulator.h"

namespace tzv58::tool {

int run_plant(const CommandLine& cl) {
    if (!cl.args.empty()) return unexpected_argument(cl);
    std::string err;
    SimulatorOptions sim;
    long long seed = 1, baud = 9600, address = 1, delay = 3000;
    if (!cl.has("--link")) return usage_error("plant needs --link PATH (see plant --help)");
    if (!option_number(cl, "--seed", 0, 0xFFFFFFFFLL, seed, err) || !option_baud(cl, baud, err) ||
        !option_number(cl, "--address", 0, 255, address, err) || !option_number(cl, "--delay", 0, 600000, delay, err) ||
        !simulator_options(cl, sim, err))
        return usage_error(err);
    sim.seed = unsigned(seed);
    sim.address = uint8_t(address);
    sim.stall_ms = sim.late_ms = int(delay);
    PlantReload reload;
    if (cl.has("--plant"))
        reload = [path = cl.get("--plant")](Plant& plant, std::string& why) { return read_plant(path, plant, why); };
    const int status = serve_plant(sim, cl.get("--link"), int(baud), reload, err);
    return err.empty() ? status : say(status, err);
}

}  // namespace tzv58::tool

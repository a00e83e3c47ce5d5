// replay --script FILE: the device fed a scripted exchange on a simulated
// clock; its events on standard output.
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/cli/commands.h"
#include "tools/cli/replay.h"
#include "tools/cli/setup.h"
#include "tools/common/exit_status.h"
#include "tools/common/outputs.h"

namespace tzv58::tool {

int run_replay(const CommandLine& cl) {
    if (!cl.args.empty()) return unexpected_argument(cl);
    std::string err;
    Setup setup;
    if (!cl.has("--script")) return usage_error("replay needs --script FILE (see replay --help)");
    std::vector<ScriptStep> steps;
    if (!setup.prepare(cl, err) || !read_script(cl.get("--script"), steps, err)) return usage_error(err);
    if (!setup.open_outputs(cl, true, err) || !setup.load(cl, err)) return usage_error(err);
    ManualClock& clock = setup.use_manual_clock(boost::posix_time::ptime(boost::gregorian::date(2026, 1, 1)));
    run_script(steps, setup.station().device.device(), clock, *setup.station().printer);
    return outputs_status();
}

}  // namespace tzv58::tool

// record FILE|-: record images, or the records of an events file, as JSON.
#include <algorithm>
#include <cstdio>
#include <string>

#include "tools/cli/commands.h"
#include "tools/common/exit_status.h"
#include "tools/common/outputs.h"
#include "tools/common/plugin_host.h"
#include "tools/report/record_dump.h"

namespace tzv58::tool {

int run_record(const CommandLine& cl) {
    if (cl.args.size() != 1)
        return usage_error("record needs exactly one FILE, or - for standard input (see record --help)");
    std::string err;
    ModelRef model;
    if (!load_model(cl.get("--plugin", default_plugin_path()), cl.get("--model"), model, err)) return usage_error(err);
    int status = EXIT_DONE;
    watch_output(stdout, "standard output");
    const bool read = read_records(
        *model, cl.args[0],
        [&](const RecordView& r, const std::string& where) {
            write_output(stdout, record_json(r));
            const std::string doubts = record_doubts(r);
            if (doubts.empty()) return;
            status = failure(where + ": " + doubts);
        },
        err);
    if (!read) return usage_error(err);
    return std::max(status, outputs_status());
}

}  // namespace tzv58::tool

// record FILE|-: record images, or the records of an events file, as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/common/exit_status.h"
#include "tools/report/record_dump.h"

namespace tzv58::tool {

int run_record(const CommandLine& cl) {
    if (cl.args.size() != 1)
        return usage_error("record needs exactly one FILE, or - for standard input (see record --help)");
    std::vector<tzv58_419_Data_t> records;
    std::string err;
    if (!read_records(cl.args[0], records, err)) return usage_error(err);
    for (const tzv58_419_Data_t& r : records) std::fputs(record_json(r).c_str(), stdout);
    return 0;
}

}  // namespace tzv58::tool

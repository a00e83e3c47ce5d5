// The history command and option where the program is built without SQLite
// (a target that has no SQLite library).
#include <cstdio>

#include "tools/history/history_cmd.h"
#include "tools/history/trend_json.h"

namespace tzv58::tool {

const char* const HISTORY_HELP = "This build has no SQLite: history files can be neither written nor read.\n";

const char* const HISTORY_NOTES = "";

const char* const USAGE_HISTORY_OPTION = "  --history FILE.db  (this build has no SQLite: refused)\n";

const std::vector<OptionSpec>& history_options() {
    static const std::vector<OptionSpec> options = {
        {"--since", true}, {"--until", true},   {"--device", true}, {"--format", true}, {"--alarms", false},
        {"--plot", true},  {"--force", false},  {"--plugin", true}, {"--model", true},  {"--help", false},
        {"--version", false}};
    return options;
}

std::vector<NamedPath> history_paths(const std::string& path, const std::string& what) { return {{what, path}}; }

bool open_history(const std::string&, int, const HostClock*, const ModelRef&, const DcUnitWatch*,
                  std::unique_ptr<HostEvents>&, HistoryStatusSource&, std::string& err) {
    err = "option --history: this build has no SQLite";
    return false;
}

bool open_site_history(const std::string&, const std::vector<HistorySource>&, std::vector<std::unique_ptr<HostEvents>>&,
                       HistoryStatusSource&, std::string& err) {
    err = "option --history: this build has no SQLite";
    return false;
}

bool trend_json(const std::string&, const value_table&, int, long long, const std::string&, const std::atomic<bool>&,
                std::string&,
                std::string& err) {
    err = "this build has no SQLite";
    return false;
}

int run_history(const CommandLine&) {
    std::fprintf(stderr, "tzv58-host: history: this build has no SQLite\n");
    return 2;
}

}  // namespace tzv58::tool

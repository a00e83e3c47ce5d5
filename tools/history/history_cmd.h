// --history FILE.db for simulate and poll, and the history command that reads
// such a file: records with their main values, alarm transitions, a trend plot.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/host_events.h"
#include "tools/common/history_status.h"
#include "tools/common/options.h"
#include "tools/common/paths.h"
#include "tools/common/plugin_host.h"

namespace tzv58::tool {

class DcUnitWatch;

// The history command's help after its usage lines (which the command
// table gives) and what it says after every option; the --history option's
// lines in simulate's and poll's.
extern const char* const HISTORY_HELP;
extern const char* const HISTORY_NOTES;
extern const char* const USAGE_HISTORY_OPTION;
const std::vector<OptionSpec>& history_options();

// --history PATH: the observer that keeps the device's history records and
// alarm transitions in the file, for the device's observers. false with a
// one-line reason when the file cannot be used: refused (another program's
// database, an unknown schema version, another writer, a link or a file of
// another user in a folder others may write to) or not writable now.
// status tells what the file is doing, from any thread; clock stamps the
// link's changes (the device's host clock).
// model: the device's, whose records and values the file keeps; dc: the
// program's watch of the DC units each reply reports.
bool open_history(const std::string& path, int address, const HostClock* clock, const ModelRef& model,
                  const DcUnitWatch* dc, std::unique_ptr<HostEvents>& out, HistoryStatusSource& status,
                  std::string& err);

// One power system of a site whose rows the file keeps.
struct HistorySource {
    std::string device;
    int address = 1;
    const HostClock* clock = nullptr;
    ModelRef model;
    const DcUnitWatch* dc = nullptr;
};
// The same for the power systems of a site, one writer for them all: out
// holds an observer for each, in their order. A file's columns are one
// model's: power systems of several models are refused.
bool open_site_history(const std::string& path, const std::vector<HistorySource>& systems,
                       std::vector<std::unique_ptr<HostEvents>>& out, HistoryStatusSource& status, std::string& err);

// The files --history keeps, or that the history command reads, named
// `what` in a message: the database, its write-ahead log and its shared
// memory. For the check that no other option names one of them.
std::vector<NamedPath> history_paths(const std::string& path, const std::string& what);

// tzv58-host history FILE.db [...]: 0; 1 when the output could not be
// written; 2 after one line on stderr for bad input. The file's columns are
// those of the model (--plugin, --model).
int run_history(const CommandLine& cl);

}  // namespace tzv58::tool

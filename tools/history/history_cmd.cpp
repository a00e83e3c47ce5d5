#include "tools/history/history_cmd.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "tools/common/exit_status.h"
#include "tools/common/paths.h"
#include "tools/history/history_db.h"
#include "tools/history/history_export.h"
#include "tools/history/history_plot.h"
#include "tools/history/history_query.h"
#include "tools/history/history_recorder.h"
#include "tools/history/history_writer.h"
#include "tools/history/iso_time.h"

namespace tzv58::tool {

const char* const HISTORY_HELP =
    "Reads a history file written by simulate or poll with --history; it opens\n"
    "the file read-only, so any user who can read it can run this.\n"
    "  --since T        records from time T on: local time (2026-12-07,\n"
    "                   2026-12-07T19:37 or 2026-12-07 19:37:00), or followed by Z\n"
    "                   (UTC) or an offset (2026-12-07T11:37Z, 2026-12-07T19:37+08:00)\n"
    "  --until T        records before time T (after --since)\n"
    "  --device NAME    the records of one power system of a site (a one-device\n"
    "                   run's are named default); --plot of a file that holds\n"
    "                   several needs it\n"
    "  --format F       table (default: for people), csv (RFC 4180, header row) or\n"
    "                   jsonl (one JSON object per line)\n"
    "  --alarms         the alarm transitions (raised, cleared) instead of the records\n"
    "  --plot FILE.svg  write an SVG chart of DC voltage and load current instead\n"
    "                   (- for standard output); a file that is there is written\n"
    "                   over only if it is a chart this program wrote\n"
    "  --force          with --plot: write over any regular file\n"
    "  --plugin PATH    the plug-in (default: tzv58_419.so built beside this program)\n"
    "  --model NAME     the model whose history the file keeps (default: the\n"
    "                   plug-in's only one); its values are the file's columns\n"
    "  --help           this text\n";

const char* const HISTORY_NOTES =
    "Times are shown as local time with its offset (2026-12-07T19:37:00+08:00).\n"
    "Values a record does not hold (a channel, unit or battery not reported, a value\n"
    "marked as not supplied) are empty (csv), - (table) or null (jsonl).\n"
    "Status: 0 done, 1 the output could not be written, 2 bad input (an option, or\n"
    "a file that is not a readable history file).\n";

const char* const USAGE_HISTORY_OPTION =
    "  --history FILE.db  keep every history record and alarm transition in an SQLite\n"
    "                   file (read it with tzv58-host history)\n";

const std::vector<OptionSpec>& history_options() {
    static const std::vector<OptionSpec> options = {
        {"--since", true}, {"--until", true},   {"--device", true}, {"--format", true}, {"--alarms", false},
        {"--plot", true},  {"--force", false},  {"--plugin", true}, {"--model", true},  {"--help", false},
        {"--version", false}};
    return options;
}

std::vector<NamedPath> history_paths(const std::string& path, const std::string& what) {
    return {
        {what, path}, {what + " (its write-ahead log)", path + "-wal"}, {what + " (its shared memory)", path + "-shm"}};
}

bool open_history(const std::string& path, int address, const HostClock* clock, const ModelRef& model,
                  const DcUnitWatch* dc, std::unique_ptr<HostEvents>& out, HistoryStatusSource& status,
                  std::string& err) {
    // A file-size limit (RLIMIT_FSIZE) is a history error like a full disk:
    // the write fails with EFBIG instead of the signal ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    HistoryDb::OpenError why = HistoryDb::OpenError::none;
    // A file that cannot be used at start is a mistake to mend, not a run
    // to leave unattended without history.
    std::unique_ptr<HistoryDb> db = HistoryDb::open_writer(path, model->values, err, why);
    if (!db) {
        err = "option --history: " + err;
        return false;
    }
    if (!db->note().empty()) say(EXIT_DONE, db->note());
    auto recorder = std::make_unique<HistoryRecorder>(std::move(db), model, dc, address);
    recorder->set_clock(clock);
    if (!recorder->recording()) {
        err = "option --history: " + path + ": " + recorder->start_error();
        return false;
    }
    status = [r = recorder.get()] { return r->status(); };
    out = std::move(recorder);
    return true;
}

bool open_site_history(const std::string& path, const std::vector<HistorySource>& systems,
                       std::vector<std::unique_ptr<HostEvents>>& out, HistoryStatusSource& status, std::string& err) {
    std::signal(SIGXFSZ, SIG_IGN);
    const ModelRef& model = systems.front().model;
    for (const HistorySource& s : systems)
        if (std::string(s.model->name) != model->name) {
            err = "option --history: one history file keeps the values of one model, and the site's power systems "
                  "are of models " +
                  std::string(model->name) + " (" + systems.front().device + ") and " + s.model->name + " (" +
                  s.device + ")";
            return false;
        }
    HistoryDb::OpenError why = HistoryDb::OpenError::none;
    std::unique_ptr<HistoryDb> db = HistoryDb::open_writer(path, model->values, err, why);
    if (!db) {
        err = "option --history: " + err;
        return false;
    }
    if (!db->note().empty()) say(EXIT_DONE, db->note());
    std::vector<StoredAlarmState> states;
    if (!db->last_alarm_states(states, err)) {
        err = "option --history: " + path + ": " + err;
        return false;
    }
    auto writer = std::make_shared<HistoryWriter>(std::move(db), model, 1, stderr, HistoryPace{});
    for (const HistorySource& s : systems) {
        auto recorder = std::make_unique<HistoryRecorder>(writer, states, s.model, s.dc, s.address, s.device);
        recorder->set_clock(s.clock);
        out.push_back(std::move(recorder));
    }
    status = [w = std::weak_ptr<HistoryWriter>(writer)] {
        const auto held = w.lock();
        return held ? held->status() : HistoryStatus{};
    };
    return true;
}

namespace {

bool time_option(const CommandLine& cl, const char* name, long long& seconds, std::string& err) {
    if (!cl.has(name)) return true;
    if (parse_time(cl.get(name), seconds, err)) return true;
    err = std::string("option ") + name + " " + err;
    return false;
}

bool refuse(std::string& err, const std::string& why) {
    err = why;
    return false;
}

// Every option checked, and every file the command reads and writes, before
// anything is opened.
bool check_command(const CommandLine& cl, TimeRange& range, ExportFormat& format, std::string& err) {
    if (cl.args.size() != 1) return refuse(err, "history needs exactly one FILE.db (see history --help)");
    long long since = 0, until = 0;
    if (!time_option(cl, "--since", since, err) || !time_option(cl, "--until", until, err)) return false;
    if (cl.has("--since") && cl.has("--until") && since >= until)
        return refuse(err, "option --since " + local_text(since) + " is not before --until " + local_text(until));
    if (cl.has("--since")) range.since = utc_text(since);
    if (cl.has("--until")) range.until = utc_text(until);
    range.device = cl.get("--device");
    if (cl.has("--device") && range.device.empty()) return refuse(err, "option --device needs a NAME");
    const std::string f = cl.get("--format", "table");
    if (f != "table" && f != "csv" && f != "jsonl")
        return refuse(err, "option --format needs table, csv or jsonl, not '" + f + "'");
    format = f == "csv" ? ExportFormat::csv : f == "jsonl" ? ExportFormat::jsonl : ExportFormat::table;
    if (cl.has("--plot") && (cl.has("--alarms") || cl.has("--format")))
        return refuse(err, "option --plot writes the trend only: it takes no --alarms or --format");
    if (cl.has("--force") && !cl.has("--plot")) return refuse(err, "option --force goes with --plot");
    if (!cl.has("--plot")) return true;
    std::vector<NamedPath> paths = history_paths(cl.args[0], "the history file read");
    paths.push_back({"option --plot", cl.get("--plot")});
    return paths_distinct(paths, err) && plot_target_ok(cl.get("--plot"), cl.has("--force"), err);
}

}  // namespace

int run_history(const CommandLine& cl) {
    TimeRange range;
    ExportFormat format = ExportFormat::table;
    std::string err;
    if (!check_command(cl, range, format, err)) return usage_error(err);
    ModelRef model;
    if (!load_model(cl.get("--plugin", default_plugin_path()), cl.get("--model"), model, err)) return usage_error(err);
    std::unique_ptr<HistoryDb> db = HistoryDb::open_reader(cl.args[0], model->values, err);
    if (!db) return usage_error(err);
    // A name the file does not hold is a slip, not a stretch without rows;
    // a chart of several power systems' rows would mix them.
    std::vector<std::string> devices;
    if ((cl.has("--device") || cl.has("--plot")) && !history_devices(*db, devices, err))
        return usage_error(cl.args[0] + ": " + err);
    std::string names;
    for (const std::string& d : devices) names += (names.empty() ? "" : ", ") + d;
    if (cl.has("--device") && !devices.empty() &&
        std::find(devices.begin(), devices.end(), range.device) == devices.end())
        return usage_error("option --device: " + cl.args[0] + " holds no power system named '" + range.device +
                           "' (it holds " + names + ")");
    if (cl.has("--plot") && range.device.empty() && devices.size() > 1)
        return usage_error("option --plot: " + cl.args[0] + " holds " + std::to_string(devices.size()) +
                           " power systems (" + names + "): name one with --device");
    if (cl.has("--plot")) return write_plot(*db, range, cl.get("--plot"));
    Output out(stdout, "standard output");
    return cl.has("--alarms") ? print_alarms(*db, range, format, out) : print_records(*db, range, format, out);
}

}  // namespace tzv58::tool

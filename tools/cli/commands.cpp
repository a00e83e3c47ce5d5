#include "tools/cli/commands.h"

#include <algorithm>
#include <cstring>

#include "tools/cli/client.h"
#include "tools/common/exit_status.h"
#include "tools/history/history_cmd.h"

namespace tzv58::tool {
namespace {

// Where the program's help puts what a command does, beside its usage.
constexpr size_t GLOSS_COLUMN = 34;

const OptionGroup SIMULATE = {
    {{"--plant", true}, {"--fast", false}, {"--site", true}},
    "Polls a simulated power system on a pseudo-terminal pair, through the host's\n"
    "serial-port code.\n"
    "  --plant FILE     the plant as JSON (default: a healthy two-channel, four-module,\n"
    "                   one-DC-unit plant); docs/configuration.md lists the members\n"
    "  --fast           run the device, timeouts, retries and back-off on a simulated\n"
    "                   clock (moved 2 s before each refresh, by the timeout when a\n"
    "                   reply does not come): a run takes no wall time of its own\n"
    "  --site FILE      the power systems of a site file instead of one: their names,\n"
    "                   lines, addresses, configurations, plants and faults (each\n"
    "                   line a pseudo-terminal pair; docs/configuration.md)\n",
};

// poll takes --fast only to refuse it by name: a live line never runs on the
// simulated clock.
const OptionGroup POLL = {
    {{"--port", true}, {"--wait-port", false}, {"--fast", false}, {"--site", true}},
    "Polls a power system on a serial port: raw 8N1, no flow control, exclusive\n"
    "(flock and TIOCEXCL). A lost port is reopened with a growing back-off; with\n"
    "--rounds, each failed attempt is a failed round.\n"
    "  --port DEVICE    the serial port, e.g. /dev/ttyS1\n"
    "  --wait-port      a port not there yet, or held by another program, at the\n"
    "                   start is waited for in the same way (without it: status 1)\n"
    "  --site FILE      the power systems of a site file instead of one: names,\n"
    "                   ports, addresses, bauds, configurations (docs/configuration.md);\n"
    "                   each port on its own, the power systems of one port taking\n"
    "                   its bus in turns; a site's ports are always waited for\n",
};

const OptionGroup PLANT = {
    {{"--link", true}, {"--plant", true}, {"--address", true}, {"--baud", true}, {"--delay", true}, {"--site", true}},
    "Serves the simulated power system on a pseudo-terminal; PATH, a symbolic\n"
    "link, names its slave side, for poll or any other program. Prints\n"
    "\"ready PATH\" when it serves. SIGUSR1 unplugs it (the pseudo-terminal is\n"
    "closed, PATH removed; prints \"unplugged PATH\"), SIGUSR2 plugs a new one\n"
    "in, SIGHUP reads the --plant file again (prints \"reloaded\"; a file that\n"
    "cannot be read is one line on stderr, and the plant stays as it was),\n"
    "SIGTERM or SIGINT stops it.\n"
    "  --link PATH      the symbolic link to make (an existing link is replaced)\n"
    "  --plant FILE     the plant as JSON (default: the healthy plant of simulate)\n"
    "  --address N      the power system's ADR (default 1)\n"
    "  --baud N         1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200\n"
    "                   (default 9600)\n"
    "  --delay MS       how late stalled and late replies come (default 3000: after\n"
    "                   the host's default reply timeout)\n"
    "  --site FILE      serve every power system of the site file whose port is\n"
    "                   PATH, each at its address, with its plant, faults and\n"
    "                   silence (SIGHUP reads the file again)\n",
};

const OptionGroup REPLAY = {
    {{"--script", true}},
    "Feeds a script to the device on a simulated clock that starts at\n"
    "2026-01-01 00:00:00, and writes the events to standard output (or --events\n"
    "FILE). Script lines:\n"
    "  ~...                          reply characters (CR is added)\n"
    "  @refresh                      RefreshStatus\n"
    "  @clock +S                     move the clock S seconds\n"
    "  @get ID [N]                   Get_Value(N, ID); ID may be a JSON string\n"
    "  @control CODE OUTLEN hex:HH.. DeviceIoControl (or text:... for the rest of the line)\n"
    "  @cache hex:HH..               LoadFromCache\n"
    "Blank lines and lines starting with # are skipped.\n",
};

const OptionGroup RECORD = {
    {{"--plugin", true}, {"--model", true}, {"--version", false}},
    "Prints a record image of the model (1257 bytes for tzv58_419) as JSON with the\n"
    "record's field names. FILE (- for standard input) holds the raw image (history,\n"
    "cache), its hex text (8 KiB at most), or event lines (64 KiB each at most):\n"
    "every publish and history line is printed, one JSON object each. A record this\n"
    "device did not write (its reserved bytes hold data), or one that counts more\n"
    "channels, modules, switch states, battery strings, branches or DC user values\n"
    "than it holds, is printed and said on standard error, and the status is 1.\n"
    "  --plugin PATH    the plug-in (default: tzv58_419.so beside this program, or\n"
    "                   installed with it in ../lib/tzv58/)\n"
    "  --model NAME     the model whose records these are (default: the plug-in's\n"
    "                   only one)\n",
};

const OptionGroup GET = {
    {{"--socket", true}, {"--json", false}, {"--device", true}},
    "Reads a running poll or simulate (started with --listen PATH). Without ids:\n"
    "the link and since when, the rounds, the age of the data, then what the power\n"
    "system reported in the last complete round as name: value lines with units\n"
    "(dc[0].out_v: 53.5 V; a status byte of the power system labelled as such),\n"
    "then the alarms: how many are active (unknown while the values are not\n"
    "current: then the last known), mains failure as the device's alarm says\n"
    "it, each active alarm, each status byte. With ids: the device's own answer\n"
    "for each (out_v; ac, with what the mains-failure alarm says beside it), or\n"
    "its refusal with an English gloss.\n"
    "  --json           the status object as one JSON object instead (the same as\n"
    "                   GET /values on the socket and /api/status over --http)\n"
    "  --device NAME    the power system of a site (--site) to read; a run of one\n"
    "                   power system needs none\n"
    "Status 0: every value given, from a current round. 1: the values shown are\n"
    "not current (the link is down, or no round completed within three round\n"
    "intervals), none yet, or an id was refused; one line on stderr says why.\n"
    "2: a usage error.\n",
};

const OptionGroup CONTROL = {
    {{"--socket", true}, {"--text", true}, {"--hex", true}, {"--out", true}, {"--wait", true}, {"--device", true}},
    "Runs a control request on a running poll or simulate (started with --listen\n"
    "PATH), between two poll exchanges, and prints the result, the output bytes,\n"
    "the frame sent and what came back; the reply is awaited up to the poll's\n"
    "--timeout, and never asked for again.\n"
    "  CODE             the request code (decimal); --text or --hex give its input\n"
    "                   bytes, --out the output buffer size (default 4). A code\n"
    "                   other than 300, 310 and 320 reads whether the last\n"
    "                   command's answer was recorded (status 0 if it was)\n"
    "  set-time         code 300 with the local time (default: now)\n"
    "  set-param        code 310: {\"signal_id\":SIGNAL_ID,\"SetValue\":VALUE}\n"
    "  remote           code 320 with ID\n"
    "  --device NAME    the power system of a site (--site) to send it to; a run\n"
    "                   of one power system needs none\n"
    "  --wait SECONDS   also tell whether the device recorded the reply as this\n"
    "                   command's answer (waiting at most SECONDS); for remote,\n"
    "                   which the device does not track, the line's reply tells\n"
    "Status 0: sent and answered (with --wait: recorded as the answer). 1: the\n"
    "device or the line did not do it: refused, nothing sent (an id the device\n"
    "does not know), no reply, the line down; one line on stderr says why.\n"
    "2: a usage error.\n",
};

const OptionGroup FAULTS = {
    {{"--faults", true}, {"--seed", true}},
    "  --faults LIST    misbehave on purpose: NAME=R,... with R a rate from 0 to 1,\n"
    "                   each NAME once (e.g. drop=0.2,checksum=0.1). drop: no reply;\n"
    "                   checksum: a bad CHKSUM; noise: junk before the reply; rtn:\n"
    "                   an error reply; stall: busy, the reply after the host's\n"
    "                   timeout; truncate: a reply cut short; soi: a second SOI\n"
    "                   inside a reply; echo: the request sent back first; late: the\n"
    "                   reply after the host's timeout, later requests still\n"
    "                   answered; foreign: another address's reply first; excess: 3\n"
    "                   AC channels or 41 modules\n"
    "  --seed N         seed of the fault draws (default 1)\n",
};

// What every command that runs the device takes.
const OptionGroup DEVICE = {
    {{"--address", true},
     {"--plugin", true},
     {"--model", true},
     {"--config", true},
     {"--data-id", true},
     {"--events", true},
     {"--debug", false},
     {"--diag", true},
     {"--force", false},
     {"--version", false}},
    "common options:\n"
    "  --address N      the power system's ADR (default 1)\n"
    "  --plugin PATH    the plug-in (default: tzv58_419.so beside this program, or\n"
    "                   installed with it in ../lib/tzv58/)\n"
    "  --model NAME     the model to run, by name (default: the plug-in's only one;\n"
    "                   a name it does not have is refused with the ones it has);\n"
    "                   with --site, of each power system whose entry names none\n"
    "  --config FILE    the device's JSON configuration (default: {}), checked\n"
    "                   first; docs/configuration.md and contrib/device.json\n"
    "  --data-id N      the device's data id (default 1)\n"
    "  --events FILE    write the JSON-lines events to FILE; - for standard output\n"
    "  --debug          show the plug-in's diagnostic lines on standard error\n"
    "  --diag FILE      keep the plug-in's diagnostic lines in FILE (default: discarded)\n"
    "                   (--events and --diag files are appended to, never emptied; a\n"
    "                   file that holds anything else is refused)\n"
    "  --force          append to an --events or --diag file all the same\n"
    "  --help           this text\n"
    "  --version        the program's version\n",
};

// What simulate and poll take for the live line.
const OptionGroup LIVE = {
    {{"--rounds", true},
     {"--give-up", true},
     {"--timeout", true},
     {"--silent-after", true},
     {"--baud", true},
     {"--summary", false},
     {"--listen", true},
     {"--http", true},
     {"--metrics", true},
     {"--on-event", true}},
    "  --rounds N       stop after N complete poll rounds (default: until SIGINT or\n"
    "                   SIGTERM); give up with status 1 after --give-up failed rounds\n"
    "  --give-up N      failed rounds in a row that end a --rounds run (default 5;\n"
    "                   0: never)\n"
    "  --timeout MS     reply timeout; a request is asked for twice more, then the\n"
    "                   round is given up (default 2000)\n"
    "  --silent-after SECONDS  the link is silent (said on standard error, an\n"
    "                   event, --on-event) when no reply has come for this long\n"
    "                   with the port open (default: three round intervals or\n"
    "                   10 s, whichever is longer)\n"
    "  --baud N         1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200\n"
    "                   (default: the device's own, 9600)\n"
    "  --summary        the round summary on standard output (the default; kept\n"
    "                   for older command lines)\n"
    "  --listen PATH    a Unix socket (mode 0600) for tzv58-host get and control:\n"
    "                   HTTP with JSON bodies (GET /values, GET /values/ID,\n"
    "                   POST /control)\n"
    "  --http [HOST:]PORT  serve Prometheus metrics at /metrics and the status\n"
    "                   object at /api/status (HOST default 127.0.0.1; port 0: any\n"
    "                   free port, named in the ready line on standard error);\n"
    "                   never control\n"
    "  --metrics [HOST:]PORT  the same as --http\n"
    "  --on-event PROGRAM  run PROGRAM (no shell) for every alarm raised or cleared\n"
    "                   and every link lost or restored: the event in its\n"
    "                   environment (TZV58_EVENT, TZV58_KEY, ...), the summary's\n"
    "                   line as its argument; 4 at once, each stopped after 30 s;\n"
    "                   see docs/host-program.md and contrib/\n",
    "Standard output shows a summary of each round and every alarm raised or\n"
    "cleared; with --events - it carries the JSON-lines events instead.\n",
};

// text with each line after its first put `indent` columns in.
std::string hang(const char* text, size_t indent) {
    std::string out;
    for (const char* c = text; *c; ++c) {
        out += *c;
        if (*c == '\n') out.append(indent, ' ');
    }
    return out;
}

// A command's forms, the first after first_prefix and the others under it;
// with_gloss: what it does beside them.
std::string usage_lines(const Command& command, const char* first_prefix, bool with_gloss) {
    const std::string head = std::string("tzv58-host ") + command.name + " ";
    const size_t indent = std::strlen(first_prefix);
    std::string out;
    for (const char* form : command.usage)
        out += (out.empty() ? std::string(first_prefix) : std::string(indent, ' ')) + head +
               hang(form, indent + head.size()) + "\n";
    if (!with_gloss || !command.gloss) return out;
    // In a column of its own, or three blanks after a wider usage.
    out.pop_back();
    const size_t newline = out.rfind('\n');
    const size_t width = newline == std::string::npos ? out.size() : out.size() - newline - 1;
    const size_t column = std::max(GLOSS_COLUMN, width + 3);
    return out + std::string(column - width, ' ') + hang(command.gloss, column) + "\n";
}

}  // namespace

const std::vector<Command>& commands() {
    static const OptionGroup HISTORY = {history_options(), HISTORY_HELP, HISTORY_NOTES};
    static const OptionGroup HISTORY_OPTION = {{{"--history", true}}, USAGE_HISTORY_OPTION};
    static const std::vector<Command> table = {
        {"simulate",
         {"[--plant FILE] [--rounds N] [--faults LIST] [--fast] [--seed N] [options]",
          "--site FILE [--rounds N] [--fast] [--seed N] [options]"},
         nullptr,
         {&SIMULATE, &FAULTS, &DEVICE, &LIVE, &HISTORY_OPTION},
         run_simulate},
        {"poll",
         {"--port DEVICE [--wait-port] [--baud N] [--address N] [--rounds N] [options]",
          "--site FILE [--rounds N] [options]"},
         nullptr,
         {&POLL, &DEVICE, &LIVE, &HISTORY_OPTION},
         run_poll},
        {"replay", {"--script FILE [options]"}, nullptr, {&REPLAY, &DEVICE}, run_replay},
        {"record",
         {"FILE|- [--plugin PATH] [--model NAME]"},
         "decode a 1257-byte record image (history, cache), or the\n"
         "publish/history lines of an events file, as JSON",
         {&RECORD},
         run_record},
        {"history",
         {"FILE.db [--since T] [--until T] [--device NAME] [--format table|csv|jsonl] [--alarms]\n"
          "[--plot FILE.svg|- [--force]]"},
         "the records and alarms kept by --history",
         {&HISTORY},
         run_history},
        {"get", {"--socket PATH [--device NAME] [--json | ID...]"}, nullptr, {&GET}, run_get},
        {"control",
         {"--socket PATH [--device NAME] CODE [--text T | --hex H] [--out N] [--wait SECONDS]",
          "--socket PATH set-time [YYYY-MM-DDTHH:MM:SS] [--wait SECONDS]",
          "--socket PATH set-param SIGNAL_ID VALUE [--wait SECONDS]", "--socket PATH remote ID [--wait SECONDS]"},
         nullptr,
         {&CONTROL},
         run_control},
        {"plant",
         {"--link PATH [--plant FILE] [--faults LIST] [--seed N] [--address N] [--baud N]\n[--delay MS]",
          "--link PATH --site FILE [--seed N] [--baud N] [--delay MS]"},
         nullptr,
         {&PLANT, &FAULTS},
         run_plant},
    };
    return table;
}

const Command* find_command(const std::string& name) {
    for (const Command& c : commands())
        if (name == c.name) return &c;
    return nullptr;
}

std::string program_help() {
    std::string help =
        "tzv58-host: the stand-in host for the tzv58_419 power-system plug-in\n"
        "\n"
        "usage:\n";
    for (const Command& c : commands()) help += usage_lines(c, "  ", true);
    return help +
           "  tzv58-host --version\n"
           "\n"
           "Each command has its own --help. Numbers are decimal digits with an optional\n"
           "sign, in every option and script line (0x10 is refused).\n"
           "\n"
           "Exit status: 0 done; 1 the device or the line did not do it (refused,\n"
           "nothing sent, no answer, the line down, values not current, no complete\n"
           "reading, a record that is not sound, an output that could not be written),\n"
           "with a line on standard error that says why; 2 bad input (an option, a file,\n"
           "a script line), with one line that names it.\n";
}

std::string command_help(const Command& command) {
    std::string help = usage_lines(command, "usage: ", false) + "\n";
    for (const OptionGroup* g : command.options) help += g->help;
    for (const OptionGroup* g : command.options) help += g->notes;
    return help;
}

std::vector<OptionSpec> accepted_options(const Command& command) {
    std::vector<OptionSpec> accepted = {{"--help", false}};
    for (const OptionGroup* g : command.options) accepted.insert(accepted.end(), g->options.begin(), g->options.end());
    return accepted;
}

int unknown_command(const std::string& name) {
    std::string names;
    for (const Command& c : commands()) names += (names.empty() ? "" : ", ") + std::string(c.name);
    return usage_error("unknown command '" + name + "' (" + names + "; see --help)");
}

int unexpected_argument(const CommandLine& cl) { return usage_error("unexpected argument '" + cl.args[0] + "'"); }

}  // namespace tzv58::tool

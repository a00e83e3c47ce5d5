// The command line of tzv58-host: one command, then --name VALUE options.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tzv58::tool {

struct CommandLine {
    std::string command;
    std::map<std::string, std::string> options;  // "--fast" -> ""
    std::vector<std::string> args;               // operands (record FILE)

    bool has(const char* name) const { return options.count(name) != 0; }
    std::string get(const char* name, const std::string& fallback = "") const {
        const auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
};

struct OptionSpec {
    const char* name;
    bool takes_value;
};

// Options that go together, the lines of --help that describe them, and
// what a command's --help says after every group's options (a closing
// paragraph: output, statuses).
struct OptionGroup {
    std::vector<OptionSpec> options;
    const char* help;
    const char* notes = "";
};

// Parses argv[first..] against the options a command accepts (--name VALUE or
// --name=VALUE), each at most once. false with a one-line reason.
bool parse_options(int argc, char** argv, int first, const std::vector<OptionSpec>& accepted, CommandLine& out,
                   std::string& err);

// The program's one number syntax, for every option and script line: a whole
// number is an optional sign and decimal digits, nothing else (no blanks, no
// 0x: 0x10 is refused, 010 is ten). Numbers are 64-bit on every build
// machine, the 32-bit target included. false when text is not one, or is
// beyond 64 bits.
bool parse_whole(const std::string& text, long long& value);
// A real number in decimal notation: an optional sign, digits with an
// optional fraction, an optional exponent (0.1, 5, .5, 1e-3); no hex, no inf
// or nan.
bool parse_real(const std::string& text, double& value);

// Every option that names a file, a port or a socket names one, and --model
// a model: an empty value is refused with a line naming the option.
bool paths_named(const CommandLine& cl, std::string& err);

// An output named by one of this program's standard descriptors
// (/dev/stdout, /dev/fd/2, /proc/self/fd/1): standard output is taken as
// "-" by an option that knows "-" (--events, --plot); any other is refused
// with a line that says what to give instead.
bool standard_streams_named(CommandLine& cl, std::string& err);

// A whole number (parse_whole) within [lo, hi]. false with a reason naming
// the option.
bool option_number(const CommandLine& cl, const char* name, long long lo, long long hi, long long& value,
                   std::string& err);

// One of the allowed numbers (in ascending order). false with a reason that
// names the option and lists them.
bool option_choice(const CommandLine& cl, const char* name, const std::vector<long long>& allowed, long long& value,
                   std::string& err);

// The line speeds a serial port takes: --baud's and a site file's.
const std::vector<long long>& baud_rates();
// --baud: one of the line speeds a serial port takes (1200 to 115200, those
// of the help), by option_choice.
bool option_baud(const CommandLine& cl, long long& value, std::string& err);

}  // namespace tzv58::tool

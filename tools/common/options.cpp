#include "tools/common/options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "tools/common/paths.h"

namespace tzv58::tool {

bool parse_options(int argc, char** argv, int first, const std::vector<OptionSpec>& accepted, CommandLine& out,
                   std::string& err) {
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            out.args.push_back(arg);
            continue;
        }
        std::string value;
        const size_t eq = arg.find('=');
        const bool inline_value = eq != std::string::npos;
        if (inline_value) {
            value = arg.substr(eq + 1);
            arg.erase(eq);
        }
        const OptionSpec* known = nullptr;
        for (const OptionSpec& s : accepted)
            if (arg == s.name) known = &s;
        if (!known) {
            err = "unknown option " + arg + (out.command.empty() ? "" : " for " + out.command) + " (see --help)";
            return false;
        }
        if (known->takes_value && !inline_value) {
            if (i + 1 >= argc) {
                err = "option " + arg + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!known->takes_value && inline_value) {
            err = "option " + arg + " takes no value";
            return false;
        }
        if (out.options.count(arg)) {
            err = "option " + arg + " is given twice";
            return false;
        }
        out.options[arg] = value;
    }
    return true;
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits from pos; returns how many.
size_t digits(const std::string& s, size_t& pos) {
    const size_t start = pos;
    while (pos < s.size() && is_digit(s[pos])) ++pos;
    return pos - start;
}

size_t sign(const std::string& s, size_t pos) { return pos < s.size() && (s[pos] == '+' || s[pos] == '-'); }

}  // namespace

bool parse_whole(const std::string& text, long long& value) {
    size_t pos = sign(text, 0);
    if (digits(text, pos) == 0 || pos != text.size()) return false;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno) return false;
    value = v;
    return true;
}

bool parse_real(const std::string& text, double& value) {
    size_t pos = sign(text, 0);
    size_t mantissa = digits(text, pos);
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        mantissa += digits(text, pos);
    }
    if (mantissa == 0) return false;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        pos += 1 + sign(text, pos + 1);
        if (digits(text, pos) == 0) return false;
    }
    if (pos != text.size()) return false;
    errno = 0;
    const double v = std::strtod(text.c_str(), nullptr);
    if (errno == ERANGE && (v > 1 || v < -1)) return false;  // beyond a double
    value = v;
    return true;
}

bool paths_named(const CommandLine& cl, std::string& err) {
    static const char* const PATHS[] = {"--plant", "--config", "--events", "--diag",    "--plugin", "--script",
                                        "--port",  "--link",   "--listen", "--history", "--plot",   "--socket"};
    for (const char* name : PATHS) {
        if (!cl.has(name) || !cl.get(name).empty()) continue;
        err = "option " + std::string(name) + " needs a PATH, not an empty one";
        return false;
    }
    if (cl.has("--model") && cl.get("--model").empty()) {
        err = "option --model needs a NAME, not an empty one";
        return false;
    }
    return true;
}

bool standard_streams_named(CommandLine& cl, std::string& err) {
    static const char* const STREAMS[] = {"standard input", "standard output", "standard error"};
    static const struct {
        const char* name;
        bool dash;  // "-" is standard output
        const char* instead;
    } OUTPUTS[] = {{"--events", true, "give - for standard output, or a file"},
                   {"--plot", true, "give - for standard output, or a file"},
                   {"--diag", false, "give a file, or --debug to show the plug-in's lines on standard error"},
                   {"--history", false, "give a file"}};
    for (const auto& o : OUTPUTS) {
        if (!cl.has(o.name)) continue;
        const std::string path = cl.get(o.name);
        const int fd = standard_stream_named(path);
        if (fd == 1 && o.dash) cl.options[o.name] = "-";
        if (fd < 0 || (fd == 1 && o.dash)) continue;
        err = "option " + std::string(o.name) + ": " + path + " is this program's " + STREAMS[fd] + ": " + o.instead;
        return false;
    }
    return true;
}

bool option_number(const CommandLine& cl, const char* name, long long lo, long long hi, long long& value,
                   std::string& err) {
    if (!cl.has(name)) return true;
    const std::string text = cl.get(name);
    long long v = 0;
    if (!parse_whole(text, v) || v < lo || v > hi) {
        err = "option " + std::string(name) + " needs a whole number from " + std::to_string(lo) + " to " +
              std::to_string(hi) + " in decimal digits, not '" + text + "'";
        return false;
    }
    value = v;
    return true;
}

bool option_choice(const CommandLine& cl, const char* name, const std::vector<long long>& allowed, long long& value,
                   std::string& err) {
    if (!cl.has(name)) return true;
    long long v = 0;
    std::string list;
    for (long long a : allowed) list += (list.empty() ? "" : ", ") + std::to_string(a);
    const long long lo = allowed.empty() ? 0 : allowed.front(), hi = allowed.empty() ? 0 : allowed.back();
    bool known = option_number(cl, name, lo, hi, v, err);
    known = known && std::find(allowed.begin(), allowed.end(), v) != allowed.end();
    if (!known) {
        err = "option " + std::string(name) + " needs one of " + list + ", not '" + cl.get(name) + "'";
        return false;
    }
    value = v;
    return true;
}

const std::vector<long long>& baud_rates() {
    static const std::vector<long long> rates = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return rates;
}

bool option_baud(const CommandLine& cl, long long& value, std::string& err) {
    return option_choice(cl, "--baud", baud_rates(), value, err);
}

}  // namespace tzv58::tool

#include "tools/cli/replay.h"

#include "host/hex.h"
#include "tools/common/files.h"
#include "tools/common/options.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <json/reader.h>

namespace tzv58::tool {
namespace {

// Script numbers follow the options' one syntax (64-bit on every build
// machine, so a script means the same on the 32-bit target).
bool parse_long(const std::string& s, long long& v) { return parse_whole(s, v); }

// Splits off the next blank-separated word of s from pos.
std::string word(const std::string& s, size_t& pos) {
    while (pos < s.size() && s[pos] == ' ') ++pos;
    const size_t start = pos;
    while (pos < s.size() && s[pos] != ' ') ++pos;
    return s.substr(start, pos - start);
}

bool rest_is_blank(const std::string& s, size_t pos) { return s.find_first_not_of(' ', pos) == std::string::npos; }

// A JSON string literal at pos ("out_v ", ""); pos moves past it.
bool json_string(const std::string& s, size_t& pos, std::string& out) {
    size_t end = pos + 1;
    while (end < s.size() && s[end] != '"') end += s[end] == '\\' ? 2 : 1;
    if (end >= s.size()) return false;
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(s.data() + pos, s.data() + end + 1, &v, nullptr) || !v.isString()) return false;
    out = v.asString();
    pos = end + 1;
    return true;
}

bool parse_at_line(const std::string& s, ScriptStep& step, std::string& why) {
    size_t pos = 0;
    const std::string cmd = word(s, pos);
    if (cmd == "@refresh") {
        step.kind = ScriptStep::refresh;
        return rest_is_blank(s, pos);
    }
    if (cmd == "@clock") {
        step.kind = ScriptStep::clock;
        const std::string n = word(s, pos);
        // Seconds within 32 bits, whatever the machine's long.
        return parse_long(n, step.number) && step.number >= INT32_MIN && step.number <= INT32_MAX &&
               rest_is_blank(s, pos);
    }
    if (cmd == "@get") {
        step.kind = ScriptStep::get;
        while (pos < s.size() && s[pos] == ' ') ++pos;
        if (pos < s.size() && s[pos] == '"') {
            if (!json_string(s, pos, step.text)) return false;
        } else {
            step.text = word(s, pos);
            if (step.text.empty()) return false;
        }
        const std::string n = word(s, pos);
        step.number = 0;
        return (n.empty() || (parse_long(n, step.number) && step.number >= 0 && step.number <= 0xFFFFFFFFLL)) &&
               rest_is_blank(s, pos);
    }
    if (cmd == "@control") {
        step.kind = ScriptStep::control;
        long long out_len = 0;
        if (!parse_long(word(s, pos), step.number) || !parse_long(word(s, pos), out_len)) return false;
        // The device takes a 32-bit code: a wider one would wrap to another.
        if (step.number < INT32_MIN || step.number > INT32_MAX) {
            why = "control code " + std::to_string(step.number) + " does not fit in 32 bits";
            return false;
        }
        if (out_len < 0 || out_len > 65536) return false;
        step.out_len = int(out_len);
        if (pos >= s.size()) return false;
        const std::string payload = s.substr(pos + 1);  // after one blank
        if (payload.compare(0, 5, "text:") == 0) {
            step.bytes.assign(payload.begin() + 5, payload.end());
            return true;
        }
        return payload.compare(0, 4, "hex:") == 0 && parse_hex(payload.substr(4), step.bytes);
    }
    if (cmd == "@cache") {
        step.kind = ScriptStep::cache;
        const std::string payload = word(s, pos);
        return payload.compare(0, 4, "hex:") == 0 && parse_hex(payload.substr(4), step.bytes) && rest_is_blank(s, pos);
    }
    return false;
}

}  // namespace

bool read_script(const std::string& path, std::vector<ScriptStep>& steps, std::string& err) {
    std::string text;
    if (!read_whole_file(path, text, err)) {
        err = "option --script: " + err;
        return false;
    }
    std::istringstream in(text);
    std::string line;
    int line_no = 0;
    while (std::getline(in, line)) {
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.pop_back();  // CRLF files
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
        ScriptStep step;
        step.line_no = line_no;
        bool ok = true;
        std::string why = "cannot understand this line";
        if (line[0] == '~')
            step.text = line + '\r';
        else
            ok = line[0] == '@' && parse_at_line(line, step, why);
        if (!ok) {
            err = path + ":" + std::to_string(line_no) + ": " + why + ": " + line;
            return false;
        }
        steps.push_back(std::move(step));
    }
    return true;
}

void run_script(const std::vector<ScriptStep>& steps, ZMXSPDevice& device, ManualClock& clock, EventPrinter& events) {
    for (const ScriptStep& s : steps) {
        switch (s.kind) {
        case ScriptStep::reply: {
            std::string bytes = s.text;
            device.process(reinterpret_cast<unsigned char*>(&bytes[0]), unsigned(bytes.size()));
            break;
        }
        case ScriptStep::refresh:
            events.refresh(device.RefreshStatus());
            break;
        case ScriptStep::clock:
            clock.advance(s.number);
            break;
        case ScriptStep::get:
            try {
                events.value(s.text, device.Get_Value(unsigned(s.number), s.text));
            } catch (const std::exception& e) {
                events.value_error(s.text, e.what());
            }
            break;
        case ScriptStep::control: {
            std::vector<unsigned char> out(size_t(s.out_len) + 1, 0);  // never empty
            int written = 0;
            try {
                const int r = device.DeviceIoControl(int(s.number), s.bytes.data(), int(s.bytes.size()), out.data(),
                                                     s.out_len, written);
                const int shown = written < 0 ? 0 : written > s.out_len ? s.out_len : written;
                events.control(int(s.number), r, written, out.data(), size_t(shown));
            } catch (const std::exception& e) {
                events.control_error(int(s.number), e.what());
            }
            break;
        }
        case ScriptStep::cache:
            events.cache(device.LoadFromCache(s.bytes.data(), int(s.bytes.size())));
            break;
        }
    }
}

}  // namespace tzv58::tool

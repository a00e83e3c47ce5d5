#include "tools/report/record_dump.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include <json/reader.h>

#include "tools/common/files.h"
#include "tools/common/json_out.h"

namespace tzv58::tool {
namespace {

constexpr size_t RECORD_SIZE = sizeof(tzv58_419_Data_t);

std::string num(unsigned v) { return std::to_string(v); }
std::string real(const f32le& v) { return float_text(v.get()); }

template <size_t N>
std::string bytes_array(const uint8_t (&a)[N]) {
    std::string s = "[";
    for (size_t i = 0; i < N; ++i) s += (i ? "," : "") + num(a[i]);
    return s + "]";
}

template <size_t N>
std::string floats_array(const f32le (&a)[N]) {
    std::string s = "[";
    for (size_t i = 0; i < N; ++i) s += (i ? "," : "") + real(a[i]);
    return s + "]";
}

template <size_t N>
std::string hex_of(const uint8_t (&a)[N]) {
    return json_quote(hex_upper(a, N));
}

std::string channel_json(const tzv58_419_Data_t::ac_channel_t& c) {
    return JsonLine()
        .raw("a", real(c.a))
        .raw("b", real(c.b))
        .raw("c", real(c.c))
        .raw("f", real(c.f))
        .raw("p40_41_count", num(c.p40_41_count))
        .raw("a_alarm", num(c.a_alarm))
        .raw("b_alarm", num(c.b_alarm))
        .raw("c_alarm", num(c.c_alarm))
        .raw("f_alarm", num(c.f_alarm))
        .raw("p40_44_count", num(c.p40_44_count))
        .text();
}

std::string module_json(const tzv58_419_Data_t::rc_module_t& m) {
    return JsonLine()
        .raw("out_i", real(m.out_i))
        .raw("p41_41_count", num(m.p41_41_count))
        .raw("state", bytes_array(m.state))
        .raw("p41_43_count", num(m.p41_43_count))
        .raw("p41_43", bytes_array(m.p41_43))
        .raw("fault", num(m.fault))
        .raw("p41_44_count", num(m.p41_44_count))
        .raw("p41_44", bytes_array(m.p41_44))
        .text();
}

std::string dc_json(const tzv58_419_Data_t::dc_unit_t& u) {
    return JsonLine()
        .raw("reserved0", hex_of(u.reserved0))
        .raw("out_v", real(u.out_v))
        .raw("load_i", real(u.load_i))
        .raw("m", num(u.m))
        .raw("battery_i", floats_array(u.battery_i))
        .raw("n", num(u.n))
        .raw("branch_i", floats_array(u.branch_i))
        .raw("p", num(u.p))
        .raw("p42_41", floats_array(u.p42_41))
        .raw("v_alarm", num(u.v_alarm))
        .raw("alert_m_count", num(u.alert_m_count))
        .raw("alert_m", bytes_array(u.alert_m))
        .raw("alert_p_count", num(u.alert_p_count))
        .raw("alert_p", bytes_array(u.alert_p))
        .raw("reserved1", hex_of(u.reserved1))
        .text();
}

// The first `count` items (at most N), one per line when pretty.
template <class T, size_t N, class F>
std::string list(const T (&items)[N], size_t count, bool pretty, F each) {
    if (count > N) count = N;
    std::string s = "[";
    for (size_t i = 0; i < count; ++i)
        s += std::string(i ? "," : "") + (pretty ? "\n    " : "") + each(items[i]);
    return s + (pretty && count ? "\n  ]" : "]");
}

// The host's time value: year (low byte first), month, day, hour, minute, second.
std::string time_text(const uint8_t (&t)[7]) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t[0] | t[1] << 8), t[2], t[3], t[4],
                  t[5], t[6]);
    return json_quote(buf);
}

}  // namespace

bool read_records(const std::string& path, std::vector<tzv58_419_Data_t>& out, std::string& err) {
    std::string text;
    if (!read_whole_file(path, text, err, true)) return false;
    const std::string name = path == "-" ? "standard input" : path;
    out.clear();
    std::vector<uint8_t> image;
    const size_t first = text.find_first_not_of(" \t\r\n");
    // A raw image holds zero bytes (its reserved fields); text never does.
    const bool raw = text.size() == RECORD_SIZE && text.find('\0') != std::string::npos;
    if (raw) {
        image.assign(text.begin(), text.end());
    } else if (first != std::string::npos && text[first] == '{') {
        // Event lines: the record of every publish and history line.
        std::istringstream lines(text);
        std::string line;
        int line_no = 0;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        while (std::getline(lines, line)) {
            ++line_no;
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            Json::Value event;
            if (!reader->parse(line.data(), line.data() + line.size(), &event, nullptr) || !event.isObject()) {
                err = name + ":" + std::to_string(line_no) + ": not an event line";
                return false;
            }
            const std::string kind = event["event"].isString() ? event["event"].asString() : "";
            if (kind != "publish" && kind != "history") continue;
            std::vector<uint8_t> bytes;
            if (!event["record"].isString() || !parse_hex(event["record"].asString(), bytes) ||
                bytes.size() != RECORD_SIZE) {
                err = name + ":" + std::to_string(line_no) + ": record is not a " + std::to_string(RECORD_SIZE) +
                      "-byte image in hex";
                return false;
            }
            out.emplace_back();
            std::memcpy(&out.back(), bytes.data(), RECORD_SIZE);
        }
        if (out.empty()) err = name + " holds no publish or history event";
        return !out.empty();
    } else if (!parse_hex(text, image) || image.empty()) {
        image.assign(text.begin(), text.end());
    }
    if (image.size() != RECORD_SIZE) {
        err = name + " holds " + std::to_string(image.size()) + " bytes, not a " + std::to_string(RECORD_SIZE) +
              "-byte record image";
        return false;
    }
    out.emplace_back();
    std::memcpy(&out.back(), image.data(), RECORD_SIZE);
    return true;
}

namespace {

std::string fields_json(const tzv58_419_Data_t& r, size_t channels, size_t modules, int dc_units, bool pretty) {
    std::string dc = "[";
    for (int u = 0; u < dc_units && u < tzv58_419_Data_t::DC_UNITS; ++u)
        dc += std::string(u ? "," : "") + (pretty ? "\n    " : "") + dc_json(r.dc(u));
    dc += pretty && dc_units > 0 ? "\n  ]" : "]";
    const std::pair<const char*, std::string> fields[] = {
        {"data_id", num(r.data_id.get())},
        {"reserved0", hex_of(r.reserved0)},
        {"ac_tail", floats_array(r.ac_tail)},
        {"channel_count", num(r.channel_count)},
        {"airlock_count", num(r.airlock_count)},
        {"airlock", bytes_array(r.airlock)},
        {"p40_43_count", num(r.p40_43_count)},
        {"ac_tail_alarm", bytes_array(r.ac_tail_alarm)},
        {"reserved1", hex_of(r.reserved1)},
        {"channel", list(r.channel, channels, pretty, channel_json)},
        {"rc_out_v", real(r.rc_out_v)},
        {"module_count", num(r.module_count)},
        {"module", list(r.module, modules, pretty, module_json)},
        {"dc", dc},
        {"round_time", hex_of(r.round_time)},
        {"round_time_text", time_text(r.round_time)},
        {"ext_value", floats_array(r.ext_value)},
    };
    std::string s = "{";
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
        s += std::string(i ? "," : "") + (pretty ? "\n  " : "") + json_quote(fields[i].first) +
             (pretty ? ": " : ":") + fields[i].second;
    return s + (pretty ? "\n}\n" : "}");
}

}  // namespace

std::string record_json(const tzv58_419_Data_t& r) {
    return fields_json(r, tzv58_419_Data_t::AC_CHANNELS, tzv58_419_Data_t::RC_MODULES, tzv58_419_Data_t::DC_UNITS,
                       true);
}

std::string record_values_json(const tzv58_419_Data_t& r, int dc_units) {
    return fields_json(r, r.channel_count, r.module_count, dc_units, false);
}

}  // namespace tzv58::tool

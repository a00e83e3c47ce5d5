#include "tools/record_dump.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include <json/reader.h>

#include "tools/json_out.h"

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

template <class T, size_t N, class F>
std::string list(const T (&items)[N], F each) {
    std::string s = "[";
    for (size_t i = 0; i < N; ++i) s += std::string(i ? ",\n    " : "\n    ") + each(items[i]);
    return s + "\n  ]";
}

// The host's time value: year (low byte first), month, day, hour, minute, second.
std::string time_text(const uint8_t (&t)[7]) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t[0] | t[1] << 8), t[2], t[3], t[4],
                  t[5], t[6]);
    return json_quote(buf);
}

}  // namespace

bool read_record_file(const std::string& path, tzv58_419_Data_t& out, std::string& err) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err = "cannot read " + path;
        return false;
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    std::string text = buf.str();
    std::vector<uint8_t> image(text.begin(), text.end());
    if (image.size() != RECORD_SIZE) {
        // A publish or history event line: take its record.
        const size_t first = text.find_first_not_of(" \t\r\n");
        if (first != std::string::npos && text[first] == '{') {
            Json::Value event;
            Json::CharReaderBuilder builder;
            std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            if (reader->parse(text.data(), text.data() + text.size(), &event, nullptr) && event.isObject() &&
                event["record"].isString())
                text = event["record"].asString();
        }
        std::vector<uint8_t> decoded;
        if (parse_hex(text, decoded) && !decoded.empty()) image.swap(decoded);
    }
    if (image.size() != RECORD_SIZE) {
        err = path + " holds " + std::to_string(image.size()) + " bytes, not a " + std::to_string(RECORD_SIZE) +
              "-byte record image";
        return false;
    }
    std::memcpy(&out, image.data(), RECORD_SIZE);
    return true;
}

std::string record_json(const tzv58_419_Data_t& r) {
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
        {"channel", list(r.channel, channel_json)},
        {"rc_out_v", real(r.rc_out_v)},
        {"module_count", num(r.module_count)},
        {"module", list(r.module, module_json)},
        {"dc", "[\n    " + dc_json(r.dc0) + ",\n    " + dc_json(r.dc1) + "\n  ]"},
        {"round_time", hex_of(r.round_time)},
        {"round_time_text", time_text(r.round_time)},
        {"ext_value", floats_array(r.ext_value)},
    };
    std::string s = "{";
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
        s += std::string(i ? ",\n  " : "\n  ") + json_quote(fields[i].first) + ": " + fields[i].second;
    return s + "\n}\n";
}

}  // namespace tzv58::tool

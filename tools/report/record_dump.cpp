#include "tools/report/record_dump.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "tools/common/files.h"
#include "tools/common/json_in.h"
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
    for (size_t i = 0; i < count; ++i) s += std::string(i ? "," : "") + (pretty ? "\n    " : "") + each(items[i]);
    return s + (pretty && count ? "\n  ]" : "]");
}

// The host's time value: year (low byte first), month, day, hour, minute, second.
std::string time_text(const uint8_t (&t)[7]) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t[0] | t[1] << 8), t[2], t[3], t[4], t[5],
                  t[6]);
    return json_quote(buf);
}

}  // namespace

namespace {

// Enough for 1257 raw bytes, or their hex text with blanks between.
constexpr size_t MAX_IMAGE_TEXT = 8192;
// Longer than any event line the host writes (a publish with its values).
constexpr size_t MAX_EVENT_LINE = 1u << 16;

bool image_of(const std::string& hex, tzv58_419_Data_t& r) {
    std::vector<uint8_t> bytes;
    if (!parse_hex(hex, bytes) || bytes.size() != RECORD_SIZE) return false;
    std::memcpy(&r, bytes.data(), RECORD_SIZE);
    return true;
}

// One event line: false when it is not one; `r` set when it carries a record.
bool event_line(const std::string& line, const std::string& where, tzv58_419_Data_t& r, bool& has_record,
                std::string& err) {
    has_record = false;
    Json::Value event;
    std::string why;
    if (!parse_json_strict(line, event, why) || !event.isObject()) {
        err = where + ": not an event line";
        return false;
    }
    const std::string kind = event["event"].isString() ? event["event"].asString() : "";
    if (kind != "publish" && kind != "history") return true;
    if (!event["record"].isString() || !image_of(event["record"].asString(), r)) {
        err = where + ": record is not a " + std::to_string(RECORD_SIZE) + "-byte image in hex";
        return false;
    }
    has_record = true;
    return true;
}

bool too_long(const std::string& name, int line_no, std::string& err) {
    err = name + ":" + std::to_string(line_no) + ": longer than any event line (" + std::to_string(MAX_EVENT_LINE) +
          " bytes)";
    return false;
}

// Event lines, each handed on as it is read; text holds what was read so far.
bool event_records(InputFile& in, std::string text, const RecordSink& each, std::string& err) {
    int line_no = 0, records = 0;
    char buf[65536];
    for (bool end = false; !end;) {
        const long n = in.read(buf, sizeof buf, err);
        if (n < 0) return false;
        end = n == 0;
        text.append(buf, size_t(n));
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos || (end && start < text.size());) {
            if (nl == std::string::npos) nl = text.size();
            const std::string line = text.substr(start, nl - start);
            start = nl + 1;
            const std::string where = in.name() + ":" + std::to_string(++line_no);
            if (line.size() > MAX_EVENT_LINE) return too_long(in.name(), line_no, err);
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            tzv58_419_Data_t r;
            bool has_record = false;
            if (!event_line(line, where, r, has_record, err)) return false;
            if (has_record) each(r, where);
            records += has_record;
        }
        text.erase(0, start < text.size() ? start : text.size());
        if (text.size() > MAX_EVENT_LINE) return too_long(in.name(), line_no + 1, err);
    }
    if (records == 0) err = in.name() + " holds no publish or history event";
    return records > 0;
}

// One image, raw or in hex: what can be one is read, and no more.
bool image_record(InputFile& in, std::string text, const RecordSink& each, std::string& err) {
    char buf[4096];
    for (long n; text.size() <= MAX_IMAGE_TEXT && (n = in.read(buf, sizeof buf, err)) != 0;) {
        if (n < 0) return false;
        text.append(buf, size_t(n));
    }
    if (text.size() > MAX_IMAGE_TEXT) {
        err = in.name() + " holds more than " + std::to_string(MAX_IMAGE_TEXT) + " bytes: not a " +
              std::to_string(RECORD_SIZE) + "-byte record image, nor its hex text (and not event lines)";
        return false;
    }
    std::vector<uint8_t> image;
    // A raw image holds zero bytes (its reserved fields); text never does.
    const bool raw = text.size() == RECORD_SIZE && text.find('\0') != std::string::npos;
    if (raw || !parse_hex(text, image) || image.empty()) image.assign(text.begin(), text.end());
    if (image.size() != RECORD_SIZE) {
        err = in.name() + " holds " + std::to_string(image.size()) + " bytes, not a " + std::to_string(RECORD_SIZE) +
              "-byte record image";
        return false;
    }
    tzv58_419_Data_t r;
    std::memcpy(&r, image.data(), RECORD_SIZE);
    each(r, in.name());
    return true;
}

}  // namespace

bool read_records(const std::string& path, const RecordSink& each, std::string& err) {
    InputFile in;
    if (!in.open(path, true, SIZE_MAX, err)) return false;
    // What the input is, from its first bytes: a zero byte is a raw image's
    // (text never holds one), a '{' begins event lines, anything else is hex.
    std::string head;
    char buf[RECORD_SIZE + 1];
    for (long n; head.size() <= RECORD_SIZE && (n = in.read(buf, sizeof buf - head.size(), err)) != 0;) {
        if (n < 0) return false;
        head.append(buf, size_t(n));
    }
    const size_t first = head.find_first_not_of(" \t\r\n");
    if (head.find('\0') == std::string::npos && first != std::string::npos && head[first] == '{')
        return event_records(in, std::move(head), each, err);
    return image_record(in, std::move(head), each, err);
}

std::string record_doubts(const tzv58_419_Data_t& r) {
    std::string said;
    auto beyond = [&](const std::string& name, unsigned count, size_t held) {
        if (count > held)
            said +=
                (said.empty() ? "" : ", ") + name + " " + std::to_string(count) + " exceeds " + std::to_string(held);
    };
    beyond("channel_count", r.channel_count, tzv58_419_Data_t::AC_CHANNELS);
    beyond("module_count", r.module_count, tzv58_419_Data_t::RC_MODULES);
    bool reserved = false;
    auto zero = [&](const uint8_t* b, size_t n) {
        for (size_t i = 0; i < n; ++i) reserved = reserved || b[i] != 0;
    };
    zero(r.reserved0, sizeof r.reserved0);
    zero(r.reserved1, sizeof r.reserved1);
    for (int u = 0; u < tzv58_419_Data_t::DC_UNITS; ++u) {
        const auto& dc = r.dc(u);
        const std::string unit = "dc[" + std::to_string(u) + "].";
        beyond(unit + "m", dc.m, sizeof dc.battery_i / sizeof dc.battery_i[0]);
        beyond(unit + "n", dc.n, sizeof dc.branch_i / sizeof dc.branch_i[0]);
        zero(dc.reserved0, sizeof dc.reserved0);
        zero(dc.reserved1, sizeof dc.reserved1);
    }
    if (reserved) return said + (said.empty() ? "" : ", ") + "reserved bytes hold data: not a record of this device";
    return said.empty() ? "" : said + ": the record holds less than the power system reported";
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
        s += std::string(i ? "," : "") + (pretty ? "\n  " : "") + json_quote(fields[i].first) + (pretty ? ": " : ":") +
             fields[i].second;
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

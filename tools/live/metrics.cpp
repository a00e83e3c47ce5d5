#include "tools/live/metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>

#include "tools/common/json_out.h"
#include "tools/common/options.h"
#include "tools/live/status.h"

namespace tzv58::tool {
namespace {

using Labels = std::initializer_list<std::pair<const char*, std::string>>;

std::string label_value(const std::string& v) {
    std::string s;
    for (char c : v) {
        if (c == '\\' || c == '"') s += '\\';
        if (c == '\n') {
            s += "\\n";
            continue;
        }
        s += c;
    }
    return s;
}

std::string sample_value(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    // Readings are floats; a time in seconds since the epoch is not.
    if (double(float(v)) == v) return float_text(float(v));
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    std::string text = buf;
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text;
}

// One metric family after another; a family's HELP and TYPE lines are
// written with its first sample, so that a family with none is left out.
class Exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        name_ = name;
        header_ = std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(Labels labels, double v) {
        text_ += header_;
        header_.clear();
        text_ += name_;
        const char* sep = "{";
        for (const auto& l : labels) {
            text_ += sep;
            text_ += l.first;
            text_ += "=\"" + label_value(l.second) + "\"";
            sep = ",";
        }
        if (labels.size()) text_ += "}";
        text_ += " " + sample_value(v) + "\n";
    }
    void counter(uint64_t v) {
        text_ += header_ + name_ + " " + std::to_string(v) + "\n";
        header_.clear();
    }
    const std::string& text() const { return text_; }

private:
    std::string name_, header_, text_;
};

std::string n1(int i) { return std::to_string(i + 1); }

bool supplied(const f32le& v) { return v.get() != NOT_PROVIDED; }

using R = tzv58_419_Data_t;

void ac_families(Exposition& e, const R& r) {
    const int channels = std::min<int>(r.channel_count, R::AC_CHANNELS);
    e.family("tzv58_ac_phase_voltage_volts", "gauge", "AC input phase voltage.");
    for (int c = 0; c < channels; ++c) {
        const auto& ch = r.channel[c];
        e.sample({{"channel", n1(c)}, {"phase", "a"}}, ch.a.get());
        e.sample({{"channel", n1(c)}, {"phase", "b"}}, ch.b.get());
        e.sample({{"channel", n1(c)}, {"phase", "c"}}, ch.c.get());
    }
    e.family("tzv58_ac_frequency_hertz", "gauge", "AC input frequency.");
    for (int c = 0; c < channels; ++c) e.sample({{"channel", n1(c)}}, r.channel[c].f.get());
    e.family("tzv58_ac_extra_value", "gauge", "The analog values after the AC channels, in reply order.");
    for (int i = 0; i < 3; ++i)
        if (supplied(r.ac_tail[i])) e.sample({{"index", n1(i)}}, r.ac_tail[i].get());
}

void rectifier_families(Exposition& e, const R& r) {
    const int modules = std::min<int>(r.module_count, R::RC_MODULES);
    e.family("tzv58_rectifier_output_voltage_volts", "gauge", "Rectifier output voltage.");
    e.sample({}, r.rc_out_v.get());
    e.family("tzv58_rectifier_modules", "gauge", "Rectifier modules the power system reports.");
    e.sample({}, r.module_count);
    e.family("tzv58_rectifier_output_current_amperes", "gauge", "Output current of a rectifier module.");
    for (int m = 0; m < modules; ++m) e.sample({{"module", n1(m)}}, r.module[m].out_i.get());
    e.family("tzv58_rectifier_module_fault", "gauge",
             "Status byte of a rectifier module's fault, as the power system sends it (0: none).");
    for (int m = 0; m < modules; ++m) e.sample({{"module", n1(m)}}, r.module[m].fault);
}

// The DC units the power system reported, each group's values where the
// record holds them from the last reply (as the status object shows them).
void dc_families(Exposition& e, const R& r, int units) {
    using C = R::dc_caps;
    auto each = [&](auto fn) {
        for (int u = 0; u < units && u < R::DC_UNITS; ++u) fn(u, r.dc(u));
    };
    e.family("tzv58_dc_output_voltage_volts", "gauge", "DC output voltage.");
    each([&](int u, const R::dc_unit_t& dc) { e.sample({{"unit", n1(u)}}, dc.out_v.get()); });
    e.family("tzv58_dc_load_current_amperes", "gauge", "DC load current.");
    each([&](int u, const R::dc_unit_t& dc) { e.sample({{"unit", n1(u)}}, dc.load_i.get()); });
    e.family("tzv58_dc_battery_current_amperes", "gauge", "Battery current.");
    each([&](int u, const R::dc_unit_t& dc) {
        for (size_t b = 0; b < held_whole(dc.m, C::M_SIZE()); ++b)
            e.sample({{"unit", n1(u)}, {"battery", n1(int(b))}}, dc.battery_i[b].get());
    });
    e.family("tzv58_dc_branch_current_amperes", "gauge", "DC branch current.");
    each([&](int u, const R::dc_unit_t& dc) {
        for (size_t b = 0; b < held_whole(dc.n, C::N_SIZE()); ++b)
            e.sample({{"unit", n1(u)}, {"branch", n1(int(b))}}, dc.branch_i[b].get());
    });
    e.family("tzv58_dc_user_value", "gauge", "User-defined DC analog values, in reply order.");
    each([&](int u, const R::dc_unit_t& dc) {
        for (size_t i = 0; i < held_whole(dc.p, C::P_SIZE()); ++i)
            if (supplied(dc.p42_41[i])) e.sample({{"unit", n1(u)}, {"index", n1(int(i))}}, dc.p42_41[i].get());
    });
}

void link_families(Exposition& e, const LiveSnapshot& s, std::chrono::steady_clock::time_point now, bool current) {
    e.family("tzv58_link_up", "gauge",
             "1 while the serial port is open, the power system answers and the last poll round completed.");
    e.sample({}, s.link_open && !s.link_silent && s.last_round_complete ? 1 : 0);
    e.family("tzv58_link_state", "gauge",
             "The link's state: open, silent (the port is open but the power system does not answer) or down.");
    const std::string state = s.link_state();
    for (const char* each : {"open", "silent", "down"}) e.sample({{"state", each}}, state == each ? 1 : 0);
    e.family("tzv58_rounds_completed_total", "counter", "Poll rounds that completed.");
    e.counter(s.rounds_completed);
    e.family("tzv58_rounds_failed_total", "counter", "Poll rounds given up or lost.");
    e.counter(s.rounds_failed);
    if (s.have_record) {
        e.family("tzv58_last_complete_round_age_seconds", "gauge", "Seconds since the last complete poll round.");
        e.sample({}, std::chrono::duration<double>(now - s.record_at).count());
        e.family("tzv58_last_round_timestamp_seconds", "gauge",
                 "When the last complete poll round ended, in seconds since the Unix epoch.");
        e.sample({}, std::chrono::duration<double>(s.record_wall.time_since_epoch()).count());
    }
    e.family("tzv58_data_current", "gauge",
             "1 while the values are current: the link is open and a round completed within three round "
             "intervals; 0 while value and alarm series are left out.");
    e.sample({}, current ? 1 : 0);
}

// What the consumers of the poll's output dropped because they did not keep up.
void drop_families(Exposition& e, const std::map<std::string, unsigned long long>& dropped) {
    e.family("tzv58_output_dropped_total", "counter",
             "Lines an output (events, summary, diag, stderr) dropped because its reader did not keep up.");
    for (const auto& [output, n] : dropped)
        if (output != "notify") e.sample({{"output", output}}, double(n));
    const auto notify = dropped.find("notify");
    if (notify == dropped.end()) return;
    e.family("tzv58_notify_dropped_total", "counter",
             "Events the on-event queue dropped, the oldest waiting, because it was full.");
    e.counter(notify->second);
}

void history_families(Exposition& e, const HistoryStatus& h) {
    e.family("tzv58_history_writing", "gauge",
             "1 while rounds go into the history file as they end; 0 while they wait in memory.");
    e.sample({}, h.writing ? 1 : 0);
    e.family("tzv58_history_rounds_waiting", "gauge", "Rounds kept in memory until the history file takes them.");
    e.sample({}, double(h.waiting));
    e.family("tzv58_history_rounds_dropped_total", "counter",
             "Rounds the history file never got: more waited than memory keeps.");
    e.counter(h.dropped);
    e.family("tzv58_history_log_bytes", "gauge", "Size of the history file's write-ahead log.");
    e.sample({}, double(h.log_bytes));
}

}  // namespace

std::string render_metrics(const LiveSnapshot& s, std::chrono::steady_clock::time_point now) {
    Exposition e;
    // Old numbers are not repeated as if they were read now: while the link
    // is down or no round completed lately, only the link's own series remain.
    const bool current = s.current(now);
    if (current) {
        ac_families(e, s.record);
        rectifier_families(e, s.record);
        dc_families(e, s.record, s.dc_units);
        e.family("tzv58_vendor_value", "gauge", "The model's vendor readings.");
        for (int i = 0; i < 2; ++i) e.sample({{"index", n1(i)}}, s.record.ext_value[i].get());
        e.family("tzv58_alarm_active", "gauge", "1 while the device reports the alarm active.");
        for (const AlarmState& a : s.alarms)
            e.sample({{"key", a.key},
                      {"id", a.id},
                      {"level", std::to_string(a.level)},
                      {"item", std::to_string(a.item)},
                      {"text", a.text}},
                     a.active ? 1 : 0);
    }
    link_families(e, s, now, current);
    if (s.history.kept) history_families(e, s.history);
    drop_families(e, s.dropped);
    return e.text();
}

bool parse_http_address(const std::string& option, const std::string& text, std::string& host, int& port,
                        std::string& err) {
    host = "127.0.0.1";
    std::string p = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        p = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    }
    long long v = -1;
    if (host.empty() || !parse_whole(p, v) || v < 0 || v > 65535) {
        err = option + " needs [HOST:]PORT with a port from 0 to 65535, not '" + text + "'";
        return false;
    }
    port = int(v);
    return true;
}

}  // namespace tzv58::tool

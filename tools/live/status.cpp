#include "tools/live/status.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/common/json_out.h"
#include "tools/report/events.h"
#include "tools/report/observers.h"

namespace tzv58::tool {
namespace {

using R = tzv58_419_Data_t;
using Steady = std::chrono::steady_clock;

// A value of a group whose replies mark a value as not supplied: null then.
std::string reading(const tzv58::f32le& v, bool marked) {
    return marked && v.get() == tzv58::NOT_PROVIDED ? "null" : float_text(v.get());
}

template <size_t N>
std::string readings(const tzv58::f32le (&v)[N], size_t held, bool marked = false) {
    std::string s = "[";
    for (size_t i = 0; i < held && i < N; ++i) s += (i ? "," : "") + reading(v[i], marked);
    return s + "]";
}

template <size_t N>
std::string codes(const uint8_t (&v)[N], size_t held) {
    std::string s = "[";
    for (size_t i = 0; i < held && i < N; ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s + "]";
}

std::string channel_json(const R::ac_channel_t& c) {
    return JsonLine()
        .real("a", c.a.get())
        .real("b", c.b.get())
        .real("c", c.c.get())
        .real("f", c.f.get())
        .num("p40_41_count", c.p40_41_count)
        .num("a_alarm", c.a_alarm)
        .num("b_alarm", c.b_alarm)
        .num("c_alarm", c.c_alarm)
        .num("f_alarm", c.f_alarm)
        .num("p40_44_count", c.p40_44_count)
        .text();
}

std::string module_json(const R::rc_module_t& m) {
    return JsonLine()
        .real("out_i", m.out_i.get())
        .num("p41_41_count", m.p41_41_count)
        .raw("state", codes(m.state, 3))
        .num("p41_43_count", m.p41_43_count)
        .raw("p41_43", codes(m.p41_43, held_exactly(m.p41_43_count, R::rc_caps::P41_43_SIZE())))
        .num("fault", m.fault)
        .num("p41_44_count", m.p41_44_count)
        .raw("p41_44", codes(m.p41_44, held_exactly(m.p41_44_count, R::rc_caps::P41_44_SIZE())))
        .text();
}

std::string dc_json(const R::dc_unit_t& u) {
    using C = R::dc_caps;
    return JsonLine()
        .real("out_v", u.out_v.get())
        .real("load_i", u.load_i.get())
        .num("m", u.m)
        .raw("battery_i", readings(u.battery_i, held_whole(u.m, C::M_SIZE())))
        .num("n", u.n)
        .raw("branch_i", readings(u.branch_i, held_whole(u.n, C::N_SIZE())))
        .num("p", u.p)
        .raw("p42_41", readings(u.p42_41, held_whole(u.p, C::P_SIZE()), true))
        .num("v_alarm", u.v_alarm)
        .num("alert_m_count", u.alert_m_count)
        .raw("alert_m", codes(u.alert_m, held_first(u.alert_m_count, C::ALERT_M_SIZE())))
        .num("alert_p_count", u.alert_p_count)
        .raw("alert_p", codes(u.alert_p, held_first(u.alert_p_count, C::ALERT_P_SIZE())))
        .text();
}

// The first `count` elements (at most the record's N).
template <class T, size_t N, class F>
std::string elements(const T (&items)[N], size_t count, F each) {
    std::string s = "[";
    for (size_t i = 0; i < count && i < N; ++i) s += (i ? "," : "") + each(items[i]);
    return s + "]";
}

// The host's time value (year low byte first, month, day, hour, minute,
// second) in ISO 8601; null while no round has stamped it.
std::string time_json(const uint8_t (&t)[7]) {
    if (std::all_of(t, t + 7, [](uint8_t b) { return b == 0; })) return "null";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u", unsigned(t[0] | t[1] << 8), t[2], t[3], t[4], t[5],
                  t[6]);
    return json_quote(buf);
}

std::string seconds_json(Steady::duration d) {
    const double s = std::chrono::duration<double>(d).count();
    return float_text(float(std::round(s * 10) / 10));
}

JsonLine& alarm_fields(JsonLine& j, const AlarmTransition& a) {
    return j.num("level", a.level)
        .str("level_name", level_name(a.level))
        .str("key", a.key)
        .str("id", a.id)
        .str("text1", a.text1)
        .str("text2", a.text2);
}

// Active alarms, with since when.
std::string active_json(const std::vector<AlarmTransition>& active) {
    std::string s = "[";
    for (size_t i = 0; i < active.size(); ++i) {
        JsonLine j;
        s += (i ? "," : "") + alarm_fields(j, active[i]).str("since", active[i].time).text();
    }
    return s + "]";
}

std::string transitions_json(const std::vector<AlarmTransition>& transitions) {
    std::string s = "[";
    for (size_t i = 0; i < transitions.size(); ++i) {
        const AlarmTransition& t = transitions[i];
        JsonLine j;
        j.str("time", t.time).str("change", t.raised ? "raised" : "cleared");
        s += (i ? "," : "") + alarm_fields(j, t).text();
    }
    return s + "]";
}

// Status bytes that are not 0, each with its place in the values.
class StatusBytes {
public:
    void add(const std::string& at, uint8_t byte) {
        if (byte == 0) return;
        list_ += (list_.empty() ? "" : ",") +
                 JsonLine().str("at", at).num("byte", byte).str("text", status_byte_text(byte)).text();
    }
    template <size_t N>
    void add(const std::string& at, const uint8_t (&bytes)[N], size_t held) {
        for (size_t i = 0; i < held && i < N; ++i) add(at + "[" + std::to_string(i) + "]", bytes[i]);
    }
    std::string json() const { return "[" + list_ + "]"; }

private:
    std::string list_;
};

// Whether the device's mains-failure alarm is active: "true", "false", or
// "null" while the device reports none (another alarm mode, no AC
// distribution, no round yet).
const char* mains_failure_json(const std::vector<AlarmState>& alarms) {
    const char* said = "null";
    for (const AlarmState& a : alarms) {
        if (!mains_failure_alarm(a.key, a.id)) continue;
        if (a.active) return "true";
        said = "false";
    }
    return said;
}

// Since when the mains-failure alarm is active; null while it is not.
std::string mains_failure_since(const std::vector<AlarmTransition>& active) {
    for (const AlarmTransition& a : active)
        if (mains_failure_alarm(a.key, a.id)) return json_quote(a.time);
    return "null";
}

}  // namespace

std::string status_bytes_json(const R& r, int dc_units) {
    using C = R::dc_caps;
    StatusBytes b;
    b.add("ac_tail_alarm", r.ac_tail_alarm, 3);
    for (int i = 0; i < r.channel_count && i < R::AC_CHANNELS; ++i) {
        const R::ac_channel_t& c = r.channel[i];
        const std::string at = "channel[" + std::to_string(i) + "].";
        b.add(at + "a_alarm", c.a_alarm);
        b.add(at + "b_alarm", c.b_alarm);
        b.add(at + "c_alarm", c.c_alarm);
        b.add(at + "f_alarm", c.f_alarm);
    }
    for (int i = 0; i < r.module_count && i < R::RC_MODULES; ++i) {
        const R::rc_module_t& m = r.module[i];
        const std::string at = "module[" + std::to_string(i) + "].";
        b.add(at + "fault", m.fault);
        b.add(at + "p41_44", m.p41_44, held_exactly(m.p41_44_count, R::rc_caps::P41_44_SIZE()));
    }
    for (int u = 0; u < dc_units && u < R::DC_UNITS; ++u) {
        const R::dc_unit_t& d = r.dc(u);
        const std::string at = "dc[" + std::to_string(u) + "].";
        b.add(at + "v_alarm", d.v_alarm);
        b.add(at + "alert_m", d.alert_m, held_first(d.alert_m_count, C::ALERT_M_SIZE()));
        b.add(at + "alert_p", d.alert_p, held_first(d.alert_p_count, C::ALERT_P_SIZE()));
    }
    return b.json();
}

std::string reported_values_json(const R& r, int dc_units) {
    std::string dc = "[";
    for (int u = 0; u < dc_units && u < R::DC_UNITS; ++u) dc += (u ? "," : "") + dc_json(r.dc(u));
    return JsonLine()
        .num("data_id", r.data_id.get())
        .raw("ac_tail", readings(r.ac_tail, 3, true))
        .num("channel_count", r.channel_count)
        .num("airlock_count", r.airlock_count)
        .raw("airlock", codes(r.airlock, held_whole(r.airlock_count, R::ac_caps::AIRLOCK_MAX())))
        .num("p40_43_count", r.p40_43_count)
        .raw("ac_tail_alarm", codes(r.ac_tail_alarm, 3))
        .raw("channel", elements(r.channel, r.channel_count, channel_json))
        .real("rc_out_v", r.rc_out_v.get())
        .num("module_count", r.module_count)
        .raw("module", elements(r.module, r.module_count, module_json))
        .raw("dc", dc + "]")
        .raw("round_time", time_json(r.round_time))
        .raw("ext_value", readings(r.ext_value, 2))
        .text();
}

std::string history_json(const HistoryStatus& h) {
    if (!h.kept) return "null";
    return JsonLine()
        .boolean("writing", h.writing)
        .num("waiting", (long long)h.waiting)
        .num("dropped", (long long)h.dropped)
        .num("log_bytes", h.log_bytes)
        .text();
}

std::string link_json(const LiveSnapshot& s) {
    JsonLine j;
    j.str("state", s.link_state()).str("since", s.link_since);
    if (!s.link_open && !s.link_cause.empty()) j.str("cause", s.link_cause);
    return j.text();
}

std::string data_json(const LiveSnapshot& s, Steady::time_point now) {
    if (!s.have_record) return "null";
    return JsonLine()
        .raw("round_time", time_json(s.record.round_time))
        .raw("age_s", seconds_json(now - s.record_at))
        .boolean("current", s.current(now))
        .text();
}

std::string status_json(const LiveSnapshot& s, Steady::time_point now) {
    // The host clock as the snapshot saw it, moved on by the time since.
    const auto since_taken = std::chrono::duration_cast<std::chrono::milliseconds>(now - s.taken_at);
    const std::string time =
        s.taken.is_special() ? "" : iso_time(s.taken + boost::posix_time::milliseconds(since_taken.count()));
    const char* last = s.rounds_completed + s.rounds_failed == 0 ? "none"
                       : s.last_round_complete                   ? "complete"
                                                                 : "failed";
    JsonLine object;
    if (!s.name.empty()) object.str("name", s.name);
    return object.str("time", time)
        .str("port", s.port)
        .num("address", s.address)
        .raw("link", link_json(s))
        .raw("rounds", JsonLine()
                           .num("completed", (long long)s.rounds_completed)
                           .num("failed", (long long)s.rounds_failed)
                           .str("last", last)
                           .text())
        .raw("data", data_json(s, now))
        .raw("values", s.have_record ? reported_values_json(s.record, s.dc_units) : "null")
        .boolean("alarms_current", s.current(now))
        .raw("mains_failure", mains_failure_json(s.alarms))
        .raw("mains_failure_since", mains_failure_since(s.active))
        .raw("alarms", active_json(s.active))
        .raw("status_bytes", s.have_record ? status_bytes_json(s.record, s.dc_units) : "[]")
        .raw("transitions", transitions_json(s.transitions))
        .raw("history", history_json(s.history))
        .text();
}

std::string site_status_json(const std::vector<LiveSnapshot>& site, Steady::time_point now) {
    std::string list = "[";
    for (const LiveSnapshot& s : site) list += (list.size() > 1 ? "," : "") + status_json(s, now);
    JsonLine all;
    if (!site.empty()) {
        const LiveSnapshot& first = site.front();
        const auto since_taken = std::chrono::duration_cast<std::chrono::milliseconds>(now - first.taken_at);
        all.str("time", first.taken.is_special()
                            ? ""
                            : iso_time(first.taken + boost::posix_time::milliseconds(since_taken.count())));
    }
    return all.raw("power_systems", list + "]").text();
}

}  // namespace tzv58::tool

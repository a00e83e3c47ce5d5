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

using Steady = std::chrono::steady_clock;

// The values a row holds from the last reply, a value not supplied as null.
std::string values_json(const RecordView& v, const value_row& r, size_t base) {
    if (r.kind == value_kind::time) {
        const uint8_t* t = v.bytes() + base + r.offset;
        return time_set(t) ? json_quote(time_text(t)) : "null";
    }
    auto one = [&](int k) { return v.supplied(r, base, k) ? v.text(r, base, k) : "null"; };
    if (!r.array) return one(0);
    std::string s = "[";
    for (int k = 0; k < v.held(r, base); ++k) s += (k ? "," : "") + one(k);
    return s + "]";
}

// The rows of the record, or of one element, as an object's members.
std::string rows_json(const RecordView& v, list<value_row> rows, size_t base) {
    JsonLine j;
    for (const value_row& r : rows) {
        if (r.kind == value_kind::reserved || (r.array && r.capacity == 0)) continue;
        if (r.kind != value_kind::group) {
            j.raw(r.name, values_json(v, r, base));
            continue;
        }
        const value_group& g = *r.group;
        std::string elements = "[";
        for (int i = 0; i < v.held(g); ++i)
            elements += (i ? "," : "") + rows_json(v, g.rows, RecordView::element(g, i));
        j.raw(r.name, elements + "]");
    }
    return j.text();
}

// The round time in ISO 8601; null while no round has stamped it.
std::string round_time_json(const RecordView& v) {
    const uint8_t* t = v.round_time();
    return t && time_set(t) ? json_quote(time_text(t)) : "null";
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
    void add(const std::string& at, unsigned byte) {
        if (byte == 0) return;
        list_ += (list_.empty() ? "" : ",") +
                 JsonLine().str("at", at).num("byte", byte).str("text", status_byte_text(byte)).text();
    }
    // The alarm rows of the record or of one element, at `at` ("dc[0].").
    void rows(const RecordView& v, list<value_row> rows, size_t base, const std::string& at) {
        for (const value_row& r : rows) {
            if (r.kind == value_kind::group) {
                const value_group& g = *r.group;
                for (int i = 0; i < v.held(g); ++i)
                    this->rows(v, g.rows, RecordView::element(g, i),
                               std::string(g.name) + "[" + std::to_string(i) + "].");
                continue;
            }
            if (r.kind != value_kind::alarm) continue;
            if (!r.array) add(at + r.name, unsigned(v.number(r, base)));
            for (int k = 0; r.array && k < v.held(r, base); ++k)
                add(at + r.name + "[" + std::to_string(k) + "]", unsigned(v.number(r, base, k)));
        }
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

std::string status_bytes_json(const RecordView& v) {
    StatusBytes b;
    b.rows(v, v.table().rows, 0, "");
    return b.json();
}

std::string reported_values_json(const RecordView& v) { return rows_json(v, v.table().rows, 0); }

namespace {

const char* kind_name(value_kind k) {
    switch (k) {
    case value_kind::reading:
        return "reading";
    case value_kind::alarm:
        return "alarm";
    case value_kind::count:
        return "count";
    case value_kind::state:
        return "state";
    case value_kind::id:
        return "id";
    case value_kind::time:
        return "time";
    case value_kind::group:
        return "group";
    default:
        return "reserved";
    }
}

const char* page_name(page_role p) {
    switch (p) {
    case page_role::line:
        return "line";
    case page_role::headline:
        return "headline";
    case page_role::battery:
        return "battery";
    case page_role::supply:
        return "supply";
    case page_role::load:
        return "load";
    default:
        return nullptr;
    }
}

const char* layout_name(page_layout l) {
    return l == page_layout::table ? "table" : l == page_layout::chips ? "chips" : "blocks";
}

// What a count row bounds among the rows beside it: an array, or a group.
const char* counted(list<value_row> rows, const value_row& count) {
    for (const value_row& r : rows) {
        if (r.kind == value_kind::group && r.group->count_at == count.offset) return r.name;
        if (r.kind != value_kind::group && r.count_at == count.offset) return r.name;
    }
    return nullptr;
}

std::string model_rows_json(list<value_row> rows) {
    std::string s = "[";
    for (const value_row& r : rows) {
        if (r.kind == value_kind::reserved || (r.array && r.capacity == 0)) continue;
        JsonLine j;
        j.str("name", r.name).str("kind", kind_name(r.kind));
        if (*r.unit) j.str("unit", r.unit);
        if (r.label) j.str("label", r.label);
        if (r.section) j.str("section", r.section->id);
        if (r.array) j.boolean("array", true);
        if (r.kind == value_kind::count && counted(rows, r)) j.str("counts", counted(rows, r));
        if (page_name(r.page)) j.str("page", page_name(r.page));
        if (r.kind == value_kind::group) {
            const value_group& g = *r.group;
            j.str("noun", g.noun).str("element", g.label).str("layout", layout_name(g.page));
            if (r.section) j.str("title", r.section->summary);
            if (g.count_row) j.str("count", g.count_row);
            j.raw("values", model_rows_json(g.rows));
        }
        s += (s.size() > 1 ? "," : "") + j.text();
    }
    return s + "]";
}

}  // namespace

std::string model_json(const model_descriptor& model) {
    std::string sections = "[";
    for (const value_section* s : model.values.sections)
        sections += (sections.size() > 1 ? "," : "") + JsonLine().str("id", s->id).str("title", s->title).text();
    return JsonLine()
        .str("model", model.name)
        .num("record_type", model.record_type)
        .num("record_size", model.record_size)
        .raw("sections", sections + "]")
        .raw("values", model_rows_json(model.values.rows))
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

std::string line_errors_json(const std::map<std::string, uint64_t>& errors) {
    JsonLine j;
    for (const auto& [reason, n] : errors) j.num(reason.c_str(), (long long)n);
    return j.text();
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
        .raw("round_time", round_time_json(s.view()))
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
        .raw("line_errors", line_errors_json(s.line_errors))
        .raw("data", data_json(s, now))
        .raw("values", s.have_record ? reported_values_json(s.view()) : "null")
        .boolean("alarms_current", s.current(now))
        .raw("mains_failure", mains_failure_json(s.alarms))
        .raw("mains_failure_since", mains_failure_since(s.active))
        .raw("alarms", active_json(s.active))
        .raw("status_bytes", s.have_record ? status_bytes_json(s.view()) : "[]")
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

#include "tools/live/metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/json_out.h"
#include "tools/common/options.h"
#include "tools/live/status.h"

namespace tzv58::tool {
namespace {

using Labels = std::vector<std::pair<const char*, std::string>>;

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

// The metric families; a family's HELP and TYPE lines come with its first
// sample, so that a family with none is left out. The samples of a family
// stay together whichever power system's they are: a site's are written one
// power system after another, each family gathering its samples of every
// one, in the order the families first came.
class Exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        const auto known = index_.find(name);
        if (known != index_.end()) {
            current_ = known->second;
            return;
        }
        index_[name] = current_ = families_.size();
        families_.push_back(
            {name, std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n", ""});
    }
    // Every sample from now on carries device="NAME" first ("": none).
    void device(const std::string& name) { device_ = name; }
    void sample(const Labels& labels, double v) {
        Family& f = families_[current_];
        f.body += f.name;
        const char* sep = "{";
        if (!device_.empty()) {
            f.body += "{device=\"" + label_value(device_) + "\"";
            sep = ",";
        }
        for (const auto& l : labels) {
            f.body += sep;
            f.body += l.first;
            f.body += "=\"" + label_value(l.second) + "\"";
            sep = ",";
        }
        if (*sep == ',') f.body += "}";
        f.body += " " + sample_value(v) + "\n";
    }
    void counter(uint64_t v) {
        Family& f = families_[current_];
        f.body += f.name + (device_.empty() ? "" : "{device=\"" + label_value(device_) + "\"}") + " " +
                  std::to_string(v) + "\n";
    }
    std::string text() const {
        std::string t;
        for (const Family& f : families_)
            if (!f.body.empty()) t += f.header + f.body;
        return t;
    }

private:
    struct Family {
        std::string name, header, body;
    };
    std::vector<Family> families_;
    std::map<std::string, size_t> index_;
    size_t current_ = 0;
    std::string device_;
};

std::string n1(int i) { return std::to_string(i + 1); }

// One row's samples in one element (labels: the element's, then the row's),
// each value the record holds from the last reply, a value not supplied
// left out.
void row_samples(Exposition& e, const RecordView& v, const value_row& r, size_t base, const char* element_label,
                 int element) {
    const metric_spec& m = r.metric;
    for (int k = 0; k < v.held(r, base); ++k) {
        if (!v.supplied(r, base, k)) continue;
        std::vector<std::pair<const char*, std::string>> labels;
        if (element_label) labels.emplace_back(element_label, n1(element));
        if (r.array && m.label) labels.emplace_back(m.label, n1(k));
        if (!r.array && m.label) labels.emplace_back(m.label, m.label_value);
        e.sample(labels, v.number(r, base, k));
    }
}

// The value families, in the model's order: each family's samples, element
// by element, walking the model's values.
void value_families(Exposition& e, const RecordView& v) {
    const value_table& t = v.table();
    for (const metric_family* f : t.families) {
        e.family(f->name, "gauge", f->help);
        for (const value_row& r : t.rows) {
            if (r.kind != value_kind::group) {
                if (r.metric.family == f) row_samples(e, v, r, 0, nullptr, 0);
                continue;
            }
            const value_group& g = *r.group;
            for (int i = 0; i < v.held(g); ++i)
                for (const value_row& gr : g.rows)
                    if (gr.metric.family == f) row_samples(e, v, gr, RecordView::element(g, i), g.label, i);
        }
    }
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
    e.family("tzv58_line_errors_total", "counter",
             "Line errors by reason: replies dropped (noise, checksum, ...) and replies that did not come (timeout).");
    for (const auto& [reason, n] : s.line_errors) e.sample({{"reason", reason}}, double(n));
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

// What the consumers of the poll's output dropped because they did not keep
// up, and the events the on-event program did not get.
void drop_families(Exposition& e, const LiveSnapshot& s) {
    e.family("tzv58_output_dropped_total", "counter",
             "Lines an output (events, summary, diag, stderr) dropped because its reader did not keep up.");
    for (const auto& [output, n] : s.dropped)
        if (output != "notify") e.sample({{"output", output}}, double(n));
    const auto notify = s.dropped.find("notify");
    if (notify == s.dropped.end()) return;
    e.family("tzv58_notify_dropped_total", "counter",
             "Events the on-event queue dropped, the oldest waiting, because it was full.");
    e.counter(notify->second);
    e.family("tzv58_notify_failed_total", "counter",
             "Events the on-event program did not get: it could not be started (cannot_run), or the host "
             "ended while the event waited or its program ran (at_end).");
    e.sample({{"reason", "cannot_run"}}, double(s.notify_cannot_run));
    e.sample({{"reason", "at_end"}}, double(s.notify_at_end));
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

// One power system's families.
void device_families(Exposition& e, const LiveSnapshot& s, std::chrono::steady_clock::time_point now) {
    // Old numbers are not repeated as if they were read now: while the link
    // is down or no round completed lately, only the link's own series remain.
    const bool current = s.current(now);
    if (current) {
        value_families(e, s.view());
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
}

}  // namespace

std::string render_metrics(const LiveSnapshot& s, std::chrono::steady_clock::time_point now) {
    Exposition e;
    device_families(e, s, now);
    if (s.history.kept) history_families(e, s.history);
    drop_families(e, s);
    return e.text();
}

std::string render_site_metrics(const std::vector<LiveSnapshot>& site, std::chrono::steady_clock::time_point now) {
    Exposition e;
    for (const LiveSnapshot& s : site) {
        e.device(s.name);
        device_families(e, s, now);
    }
    // The site's own: one history file, one set of outputs.
    e.device("");
    if (!site.empty() && site.front().history.kept) history_families(e, site.front().history);
    if (!site.empty()) drop_families(e, site.front());
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

#include "tools/common/counted.h"
#include "tools/report/summary.h"

#include <cstdarg>
#include <string>
#include <vector>

#include "tools/common/json_out.h"
#include "tools/common/outputs.h"
#include "tools/common/record_view.h"
#include "tools/common/text_guard.h"

namespace tzv58::tool {
namespace {

// "41 modules reported, 40 held" when a count is above what the record holds.
std::string beyond(int reported, int held, const char* what) {
    if (reported <= held) return "";
    return std::to_string(reported) + " " + what + " reported, " + std::to_string(held) + " held";
}

// The summary's block, written at once: the lines of several power systems
// never interleave. In a site each line begins with the power system's name.
class Block {
public:
    __attribute__((format(printf, 2, 3))) void add(const char* format, ...) {
        char buf[512];
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(buf, sizeof buf, format, args);
        va_end(args);
        if (n < 0) return;
        if (size_t(n) < sizeof buf) {
            text_.append(buf, size_t(n));
            return;
        }
        std::string big(size_t(n) + 1, '\0');
        va_start(args, format);
        std::vsnprintf(&big[0], big.size(), format, args);
        va_end(args);
        big.pop_back();
        text_ += big;
    }
    void write(FILE* out, const std::string& name) const {
        if (name.empty()) {
            write_output(out, text_);
            return;
        }
        std::string named;
        for (size_t start = 0, end; start < text_.size(); start = end + 1) {
            end = text_.find('\n', start);
            if (end == std::string::npos) end = text_.size() - 1;
            named += name + ": " + text_.substr(start, end + 1 - start);
        }
        write_output(out, named);
    }

private:
    std::string text_;
};

// A line of the summary: its title in a column of ten, then its parts two
// blanks apart.
class Line {
public:
    explicit Line(Block& out) : out_(out) {}
    ~Line() { flush(); }
    void start(const std::string& title) {
        flush();
        title_ = title;
        open_ = true;
    }
    bool is(const std::string& title) const { return open_ && title_ == title; }
    void part(const std::string& p) { parts_ += (parts_.empty() ? "" : "  ") + p; }
    void flush() {
        if (!open_) return;
        const size_t pad = title_.size() < 10 ? 10 - title_.size() : 1;
        out_.add("%s%s%s\n", title_.c_str(), std::string(pad, ' ').c_str(), parts_.c_str());
        parts_.clear();
        open_ = false;
    }

private:
    Block& out_;
    std::string title_, parts_;
    bool open_ = false;
};

// "A 230 V", "load 45 A", "battery 3 1 A", "no battery", "(3 battery strings
// reported, 2 held)": a row's part, or its parts when each value is one.
void row_parts(Line& line, const RecordView& v, const value_row& r, size_t base) {
    const summary_spec& s = r.summary;
    const int n = v.held(r, base), count = v.count(r, base);
    if (count > r.capacity && s.noun) return line.part("(" + beyond(count, r.capacity, s.noun) + ")");
    if (!s.values) return;
    if (count == 0 && s.none) return line.part(s.none);
    const std::string unit = *r.unit ? std::string(" ") + r.unit : "";
    std::string values;
    for (int k = 0; k < n; ++k) {
        const std::string value = v.supplied(r, base, k) ? v.text(r, base, k) : "-";
        if (s.each) line.part(value);
        values += (k ? " " : "") + value;
    }
    if (s.each) return;
    line.part((*s.label ? std::string(s.label) + " " : "") + (values.empty() ? "-" : values) + unit);
}

// The elements of a group: a line each ("AC 1", "DC 2") and one for those
// beyond the record; or, joined, one part of the section's line ("4 modules:
// 12 11 12 13 A").
void group_lines(Line& line, const RecordView& v, const value_row& entry) {
    const value_group& g = *entry.group;
    const std::string title = entry.section ? entry.section->summary : g.name;
    const int reported = v.reported(g), held = v.held(g);
    if (g.summary == summary_layout::joined) {
        if (!line.is(title)) line.start(title);
        for (const value_row& r : g.rows) {
            if (!r.summary.shown) continue;
            std::string values;
            for (int i = 0; i < held; ++i) values += " " + v.text(r, RecordView::element(g, i));
            const std::string count =
                reported > held ? beyond(reported, held, g.noun) : counted(held, g.noun_one, g.noun);
            line.part(count + ":" + values + (*r.unit ? std::string(" ") + r.unit : ""));
        }
        return;
    }
    for (int i = 0; i < held; ++i) {
        line.start(title + " " + std::to_string(i + 1));
        for (const value_row& r : g.rows)
            if (r.summary.shown) row_parts(line, v, r, RecordView::element(g, i));
    }
    line.flush();
    if (reported > held) {
        line.start(title);
        line.part(beyond(reported, held, g.noun));
        line.flush();
    }
}

// The values of the record, walking its model's table: a line for each
// section's own values, for each element of a group that has lines.
void value_lines(Block& out, const RecordView& v) {
    Line line(out);
    for (const value_row& r : v.table().rows) {
        if (r.kind == value_kind::group) {
            if (r.group->summary != summary_layout::none) group_lines(line, v, r);
            continue;
        }
        if (!r.summary.shown || !r.section) continue;
        if (!line.is(r.section->summary)) line.start(r.section->summary);
        row_parts(line, v, r, 0);
    }
}

// "2 checksum, 2 noise, 6 timeout": the round's line errors by kind.
std::string errors_by_kind(const RoundCollector& round) {
    std::string s;
    for (const auto& kind : round.errors_by_reason())
        s += (s.empty() ? "" : ", ") + std::to_string(kind.second) + " " + kind.first;
    return s;
}

}  // namespace

std::string transition_line(const AlarmTransition& t) {
    char head[96];
    std::snprintf(head, sizeof head, "%s  %-8s level %d %-8s  ", t.time.c_str(), t.raised ? "raised" : "cleared",
                  t.level, level_name(t.level));
    return head + t.key + " " + t.id + "  " + t.text1 + " / " + t.text2;
}

std::string link_lost_line(const char* cause, const std::string& time) {
    return std::string("link lost (") + cause + ") at " + time;
}

std::string link_restored_line(long long down_s) { return "link restored after " + std::to_string(down_s) + " s"; }

std::string link_silent_line(int address, const std::string& since, const std::string& now) {
    const bool today = since.size() == 19 && now.compare(0, 11, since, 0, 11) == 0;
    return "no answer from the power system at address " + std::to_string(address) + " since " +
           (today ? since.substr(11) : since);
}

std::string link_answers_line(long long silent_s) { return "answers again after " + std::to_string(silent_s) + " s"; }

// Example:
//   == round 2: 2026-01-01 00:00:04
//   AC 1      A 230 V  B 231 V  C 229 V  50 Hz
//   AC 2      A 229 V  B 230 V  C 228 V  50 Hz
//   rectifier 53 V  4 modules: 12 11 12 13 A
//   DC 1      53.5 V  load 45 A  battery 3 A
//   vendor    50  10
//   line      errors: 1 checksum, 2 timeout               (only after errors)
//   2026-01-01T00:00:04  raised   level 1 critical  PowerOff 419415001  输入电源中断告警 / 输入电源中断告警
//   alarms    1 active: mains failure
void print_summary(FILE* out, long round_no, bool completed, const RoundCollector& round, int dc_reported,
                   const std::string& name) {
    Block b;
    if (!completed) {
        const std::string kinds = round.frame_errors() ? ": " + errors_by_kind(round) : "";
        b.add("== round %ld: no complete reading (%s, %s%s)\n", round_no,
              counted(round.payloads(), "reply", "replies").c_str(),
              counted(round.frame_errors(), "line error", "line errors").c_str(), kinds.c_str());
        b.write(out, name);
        return;
    }
    const std::vector<uint8_t>& record = round.record();
    if (!round.model() || record.size() != round.model()->record_size) {
        b.add("== round %ld\n", round_no);
    } else {
        const RecordView v(*round.model(), record.data(), dc_reported);
        const uint8_t* t = v.round_time();
        b.add("== round %ld: %s\n", round_no, t ? time_text(t, ' ').c_str() : "");
        value_lines(b, v);
    }
    // A round that had to ask again says why.
    if (round.frame_errors() > 0) b.add("line      errors: %s\n", errors_by_kind(round).c_str());
    for (const AlarmTransition& t : round.transitions()) b.add("%s\n", shown(transition_line(t)).c_str());
    const int active = round.active_alarms();
    if (active == 0)
        b.add("alarms    none\n");
    else
        b.add("alarms    %d active%s\n", active, round.mains_failure() ? ": mains failure" : "");
    b.write(out, name);
}

}  // namespace tzv58::tool

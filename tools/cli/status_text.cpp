#include "tools/cli/status_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/common/json_out.h"
#include "tools/report/events.h"
#include "tools/report/observers.h"
#include "tools/report/summary.h"

namespace tzv58::tool {
namespace {

// The members of a JSON text as "path raw" pairs, in the order they come
// (channel[0].a, dc[1].out_v): nested objects and arrays of objects are
// opened, arrays of plain values kept whole. The text has been parsed
// already: this only recovers the order, which a parsed object loses.
class Flattener {
public:
    using Entries = std::vector<std::pair<std::string, std::string>>;
    explicit Flattener(const std::string& json) : t_(json) {}
    Entries entries() {
        value("");
        return out_;
    }

private:
    char peek() {
        while (i_ < t_.size() && std::isspace(static_cast<unsigned char>(t_[i_]))) ++i_;
        return i_ < t_.size() ? t_[i_] : '\0';
    }
    // A string token at i_, quotes included; i_ moves past it.
    std::string string_token() {
        const size_t start = i_++;
        while (i_ < t_.size() && t_[i_] != '"') i_ += t_[i_] == '\\' ? 2 : 1;
        ++i_;
        return t_.substr(start, i_ - start);
    }
    void object(const std::string& path) {
        ++i_;
        while (peek() == '"') {
            const std::string token = string_token();
            const std::string key = token.size() >= 2 ? token.substr(1, token.size() - 2) : token;
            if (peek() != ':') return;
            ++i_;
            value(path.empty() ? key : path + "." + key);
            if (peek() == ',') ++i_;
        }
        if (peek() == '}') ++i_;
    }
    void value(const std::string& path) {
        const char c = peek();
        if (c == '{') return object(path);
        const size_t start = i_;
        if (c == '[') {
            ++i_;
            if (peek() == '{') {
                for (int k = 0; peek() == '{'; ++k) {
                    object(path + "[" + std::to_string(k) + "]");
                    if (peek() == ',') ++i_;
                }
                if (peek() == ']') ++i_;
                return;
            }
            const size_t end = t_.find(']', start);
            i_ = end == std::string::npos ? t_.size() : end + 1;
        } else if (c == '"') {
            string_token();
        } else {
            while (i_ < t_.size() && !std::strchr(",}] \n\t\r", t_[i_])) ++i_;
        }
        out_.emplace_back(path, t_.substr(start, i_ - start));
    }

    const std::string& t_;
    size_t i_ = 0;
    Entries out_;
};

enum class Kind { plain, alarm, count };

// What a member's name says of its values: a unit, alarm bytes, or the
// count of a group (and which member holds the group).
struct Field {
    const char* name;
    Kind kind;
    const char* unit_or_group;
};
const Field FIELDS[] = {
    {"a", Kind::plain, "V"},
    {"b", Kind::plain, "V"},
    {"c", Kind::plain, "V"},
    {"f", Kind::plain, "Hz"},
    {"rc_out_v", Kind::plain, "V"},
    {"out_i", Kind::plain, "A"},
    {"out_v", Kind::plain, "V"},
    {"load_i", Kind::plain, "A"},
    {"battery_i", Kind::plain, "A"},
    {"branch_i", Kind::plain, "A"},
    {"a_alarm", Kind::alarm, ""},
    {"b_alarm", Kind::alarm, ""},
    {"c_alarm", Kind::alarm, ""},
    {"f_alarm", Kind::alarm, ""},
    {"ac_tail_alarm", Kind::alarm, ""},
    {"fault", Kind::alarm, ""},
    {"p41_44", Kind::alarm, ""},
    {"v_alarm", Kind::alarm, ""},
    {"alert_m", Kind::alarm, ""},
    {"alert_p", Kind::alarm, ""},
    {"channel_count", Kind::count, "channel"},
    {"module_count", Kind::count, "module"},
    {"airlock_count", Kind::count, "airlock"},
    {"m", Kind::count, "battery_i"},
    {"n", Kind::count, "branch_i"},
    {"p", Kind::count, "p42_41"},
    {"p41_43_count", Kind::count, "p41_43"},
    {"p41_44_count", Kind::count, "p41_44"},
    {"alert_m_count", Kind::count, "alert_m"},
    {"alert_p_count", Kind::count, "alert_p"},
    {"p40_41_count", Kind::count, ""},
    {"p40_43_count", Kind::count, ""},
    {"p40_44_count", Kind::count, ""},
    {"p41_41_count", Kind::count, ""},
};

const Field* field(const std::string& name) {
    for (const Field& f : FIELDS)
        if (name == f.name) return &f;
    return nullptr;
}

std::string number(const Json::Value& v) {
    if (v.isNull()) return "not supplied";
    if (v.isIntegral()) return std::to_string(v.asLargestInt());
    if (v.isNumeric()) return float_text(v.asFloat());
    return v.isString() ? v.asString() : "?";
}

// Alarm bytes: 0 is normal; any other byte is the power system's own
// status byte, labelled as every surface labels it.
std::string alarm_text(const Json::Value& v) {
    if (!v.isArray()) return number(v) + (v.asUInt() == 0 ? " (normal)" : " (" + status_byte_text(v.asUInt()) + ")");
    std::string values, bytes;
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        values += (i ? " " : "") + number(v[i]);
        if (v[i].asUInt() != 0)
            bytes += (bytes.empty() ? "" : ", ") + ("[" + std::to_string(i) + "] " + status_byte_text(v[i].asUInt()));
    }
    return values + (bytes.empty() ? " (normal)" : " (" + bytes + ")");
}

// The object a dotted path ("dc[0]") names under root.
const Json::Value& at(const Json::Value& root, const std::string& path) {
    const Json::Value* v = &root;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('.', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        const size_t bracket = part.find('[');
        v = &(*v)[part.substr(0, bracket)];
        if (bracket != std::string::npos) v = &(*v)[Json::ArrayIndex(std::atoi(part.c_str() + bracket + 1))];
        start = end + 1;
    }
    return *v;
}

// One value line, or "" for a group that holds nothing.
std::string value_line(const Json::Value& values, const std::string& path) {
    const size_t dot = path.rfind('.');
    const std::string parent = dot == std::string::npos ? "" : path.substr(0, dot);
    const std::string name = dot == std::string::npos ? path : path.substr(dot + 1);
    const Json::Value& owner = parent.empty() ? values : at(values, parent);
    const Json::Value& v = owner[name];
    const Field* f = field(name);
    if (v.isArray() && v.empty()) return "";
    if (f && f->kind == Kind::alarm) return path + ": " + alarm_text(v);
    if (f && f->kind == Kind::count) {
        const unsigned held = *f->unit_or_group ? owner[f->unit_or_group].size() : 0;
        const bool beyond = v.asUInt() > held;
        return path + ": " + number(v) + (beyond ? held ? " (" + std::to_string(held) + " held)" : " (none held)" : "");
    }
    std::string text;
    if (v.isArray()) {
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) text += (i ? " " : "") + number(v[i]);
    } else {
        text = number(v);
    }
    const bool unit = f && !v.isNull() && !(v.isArray() && v[0].isNull());
    return path + ": " + text + (unit ? std::string(" ") + f->unit_or_group : "");
}

std::string seconds(const Json::Value& v) { return float_text(v.asFloat()) + " s"; }

}  // namespace

std::string age_line(const Json::Value& link, const Json::Value& data, int address, std::string& why) {
    if (!data.isObject()) {
        why = "no poll round has completed yet: there are no values to show";
        return "age: no complete round yet\n";
    }
    const std::string age = "age: " + seconds(data["age_s"]) + " (round of " + data["round_time"].asString() + ")";
    if (data["current"].asBool()) return age + "\n";
    const std::string old = "the values shown are the last ones, " + seconds(data["age_s"]) + " old";
    const std::string state = link["state"].asString();
    why = state == "open"     ? "no poll round has completed lately: " + old
          : state == "silent"
              ? link_silent_line(address, link["since"].asString(),
                                 iso_time(boost::posix_time::second_clock::local_time())) +
                    ": " + old
                              : "the serial line is " + link_words(link) + ": " + old;
    return age + ": last values, not current\n";
}

namespace {

// The link, rounds and age lines; why, when the values are not current.
std::string head_lines(const Json::Value& st, std::string& why) {
    const Json::Value& rounds = st["rounds"];
    std::string text = "link: " + link_words(st["link"]) + "\n";
    text += "rounds: " + std::to_string(rounds["completed"].asUInt64()) + " complete, " +
            std::to_string(rounds["failed"].asUInt64()) + " failed (last: " + rounds["last"].asString() + ")\n";
    return text + age_line(st["link"], st["data"], st["address"].asInt(), why);
}

// What is known of the alarms: how many are active, or while the data is not
// current that they are unknown and which were the last known; mains
// failure in the device's words; each active alarm; each status byte of
// the power system.
std::string alarm_lines(const Json::Value& st) {
    if (!st["data"].isObject()) return "alarms: unknown: no complete round yet\n";
    const Json::Value& alarms = st["alarms"];
    const bool current = st["alarms_current"].asBool();
    const std::string count = alarms.empty() ? "none active" : std::to_string(alarms.size()) + " active";
    std::string text = current ? "alarms: " + count + "\n"
                               : "alarms: unknown, the data is not current; the last known, from the round of " +
                                     st["data"]["round_time"].asString() + ": " + count + "\n";
    text += mains_words(st) + (current ? "" : " (last known)") + "\n";
    for (const Json::Value& a : alarms)
        text += "alarm: level " + std::to_string(a["level"].asInt()) + " " + a["level_name"].asString() + "  " +
                a["key"].asString() + " " + a["id"].asString() + "  " + a["text1"].asString() + " / " +
                a["text2"].asString() + "  since " + a["since"].asString() + "\n";
    for (const Json::Value& b : st["status_bytes"])
        text += "reported: " + b["at"].asString() + ": " + b["text"].asString() + "\n";
    return text;
}

}  // namespace

std::string mains_words(const Json::Value& st) {
    const Json::Value& mains = st["mains_failure"];
    if (mains.isNull()) return "mains: not checked by the device";
    if (!mains.asBool()) return "mains: no failure alarm";
    const Json::Value& since = st["mains_failure_since"];
    return since.isString() ? "mains failure since " + since.asString() : "mains failure";
}

std::string link_words(const Json::Value& link) {
    std::string words = link["state"].asString() + " since " + link["since"].asString();
    if (link["cause"].isString()) words += " (" + link["cause"].asString() + ")";
    return words;
}

std::string status_text(const std::string& body, const Json::Value& st, std::string& why) {
    why.clear();
    std::string text = head_lines(st, why);
    const std::string prefix = "values.";
    for (const auto& e : Flattener(body).entries()) {
        if (e.first.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string line = value_line(st["values"], e.first.substr(prefix.size()));
        if (!line.empty()) text += line + "\n";
    }
    return text + alarm_lines(st);
}

std::string id_value_text(const std::string& id, const Json::Value& value, const Json::Value& st) {
    if (!value.isNumeric()) return "nan";
    const std::string v = float_text(value.asFloat());
    if (id == "out_v") return v + " V";
    // The device's own reading of its AC inputs, which is not its alarm:
    // beside it, what the alarm says.
    if (id == "ac") return v + " (the device's own value, not its alarm; " + mains_words(st) + ")";
    return v;
}

}  // namespace tzv58::tool

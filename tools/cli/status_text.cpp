#include "tools/cli/status_text.h"

#include <cstdio>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tools/common/json_out.h"
#include "tools/report/events.h"
#include "tools/report/observers.h"
#include "tools/report/summary.h"

namespace tzv58::tool {
namespace {

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

// One value line of a member of `owner` (the values, or one element) as
// its model row describes it, or "" for an array that holds nothing.
std::string value_line(const Json::Value& owner, const Json::Value& row, const std::string& path) {
    const Json::Value& v = owner[row["name"].asString()];
    const std::string kind = row["kind"].asString();
    if (v.isArray() && v.empty()) return "";
    if (kind == "alarm") return path + ": " + alarm_text(v);
    if (kind == "count") {
        const unsigned held = row["counts"].isString() ? owner[row["counts"].asString()].size() : 0;
        const bool beyond = v.asUInt() > held;
        return path + ": " + number(v) + (beyond ? held ? " (" + std::to_string(held) + " held)" : " (none held)" : "");
    }
    std::string text;
    if (v.isArray()) {
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) text += (i ? " " : "") + number(v[i]);
    } else {
        text = number(v);
    }
    const std::string unit = row["unit"].asString();
    const bool with_unit = !unit.empty() && !v.isNull() && !(v.isArray() && v[0].isNull());
    return path + ": " + text + (with_unit ? " " + unit : "");
}

// The value lines of the values (or of one element, at `at`), walking the
// model's rows: a group's elements in turn.
std::string value_lines(const Json::Value& values, const Json::Value& rows, const std::string& at) {
    std::string text;
    for (const Json::Value& row : rows) {
        const std::string name = row["name"].asString();
        if (row["kind"].asString() != "group") {
            const std::string line = value_line(values, row, at + name);
            if (!line.empty()) text += line + "\n";
            continue;
        }
        const Json::Value& elements = values[name];
        for (Json::ArrayIndex i = 0; elements.isArray() && i < elements.size(); ++i)
            text += value_lines(elements[i], row["values"], at + name + "[" + std::to_string(i) + "].");
    }
    return text;
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

std::string status_text(const Json::Value& st, const Json::Value& model, std::string& why) {
    why.clear();
    // A site's power system says whose the lines are.
    std::string text = st["name"].isString() ? "power system: " + st["name"].asString() + "\n" : "";
    text += head_lines(st, why);
    if (st["values"].isObject()) text += value_lines(st["values"], model["values"], "");
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

#include "tools/cli/device_config.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <vector>

#include "tools/common/options.h"

namespace tzv58::tool {
namespace {

// A value as the file gives it: "2abc" quoted, a number as written, else its kind.
std::string shown(const Json::Value& v) {
    if (v.isString()) return "\"" + v.asString() + "\"";
    if (v.isNumeric()) return v.asString();
    return v.isArray() ? "an array" : v.isObject() ? "an object" : "null";
}

bool flag(long long v) { return v == 0 || v == 1; }
bool layout(long long v) { return v == -1 || v == 1 || v == 2; }
bool any(long long) { return true; }

// The members of "appSetting": each a whole number, given as a number or as
// a string that holds one (the device reads both the same way).
struct AppMember {
    const char* name;
    bool (*allowed)(long long);
    const char* says;  // what the member must be
};
const AppMember APP_MEMBERS[] = {
    {"has_ac", flag, "0 or 1"},
    {"has_dc", flag, "0 or 1"},
    {"has_a", flag, "0 or 1"},
    {"has_b", flag, "0 or 1"},
    {"has_c", flag, "0 or 1"},
    {"no_dc_number", layout, "-1 (told by the first DC reply), 1 or 2"},
    {"dc_i_adjust", any, "a whole number (the factor of the DC load current)"},
    {"b_mode", any, "a whole number (the alarm mode: 1, 2, 3, or another for the second alarm table)"},
};

// The checks of alarm mode 2, by alarm id.
const char* const MODE_2_IDS[] = {"220600120010", "220600130010", "220600140010", "220600160010",
                                  "220600170010", "210600320010", "210600330010", "210600340010"};

// The members of one "thresholdSetting" entry.
const char* const LEVEL = "level";
const char* const VALUE = "value";
const char* const CODES[] = {"SignalName", "NMAlarmID", "ID", "SignalNumber"};

class Checker {
public:
    Checker(const JsonFile& file, std::string& err) : file_(file), err_(err) {}

    bool top(const Json::Value& root) {
        if (!known(root, "", {"appSetting", "thresholdSetting"})) return false;
        const Json::Value& app = root["appSetting"];
        if (!app.isNull() && !app_setting(app)) return false;
        long long mode = 1;
        if (app.isObject() && !app["b_mode"].isNull()) whole(app["b_mode"], mode);
        const Json::Value& thresholds = root["thresholdSetting"];
        return thresholds.isNull() || threshold_setting(thresholds, mode);
    }

private:
    bool fail(const Json::Value& at, const std::string& member, const std::string& what) {
        err_ = file_.at(at) + ": " + member + ": " + what;
        return false;
    }

    bool known(const Json::Value& obj, const std::string& where, const std::vector<std::string>& names) {
        for (const std::string& m : obj.getMemberNames()) {
            if (std::find(names.begin(), names.end(), m) != names.end()) continue;
            std::string list;
            for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
            return fail(obj[m], where.empty() ? m : where + "." + m, "unknown member (known: " + list + ")");
        }
        return true;
    }

    bool app_setting(const Json::Value& app) {
        if (!app.isObject()) return fail(app, "appSetting", "must be an object");
        std::vector<std::string> names;
        for (const AppMember& a : APP_MEMBERS) names.push_back(a.name);
        if (!known(app, "appSetting", names)) return false;
        for (const AppMember& member : APP_MEMBERS) {
            const Json::Value& v = app[member.name];
            const std::string where = std::string("appSetting.") + member.name;
            if (v.isNull()) continue;  // the device takes null as absent
            if (v.isBool())
                return fail(v, where,
                            std::string(v.asBool() ? "true" : "false") +
                                " is a JSON boolean, which the device reads as 0: write 1 or 0");
            long long n = 0;
            if (!whole(v, n) || !member.allowed(n))
                return fail(v, where, std::string("must be ") + member.says + ", not " + shown(v));
        }
        return true;
    }

    // A whole number within 32 bits, as a JSON number or a string of
    // decimal digits (no blanks, nothing after them).
    static bool whole(const Json::Value& v, long long& n) {
        if (v.isString()) {
            if (!parse_whole(v.asString(), n)) return false;
        } else if (v.isIntegral()) {
            n = v.asLargestInt();
        } else {
            return false;
        }
        return n >= INT32_MIN && n <= INT32_MAX;
    }

    // In alarm mode 2 an entry with a level switches one of the device's
    // checks on: an id that is none of them would switch nothing on.
    bool threshold_setting(const Json::Value& thresholds, long long mode) {
        if (!thresholds.isObject()) return fail(thresholds, "thresholdSetting", "must be an object");
        for (const std::string& key : thresholds.getMemberNames()) {
            const Json::Value& entry = thresholds[key];
            const std::string where = "thresholdSetting." + key;
            if (!entry.isObject()) return fail(entry, where, "must be an object (level, value, SignalName, ...)");
            if (!known(entry, where, {LEVEL, VALUE, CODES[0], CODES[1], CODES[2], CODES[3]})) return false;
            const Json::Value &level = entry[LEVEL], &value = entry[VALUE];
            if (!level.isNull() && (!level.isIntegral() || level.asLargestInt() < 0 || level.asLargestInt() > 4))
                return fail(level, where + ".level", "must be a whole number from 0 (off) to 4, not " + shown(level));
            if (!value.isNull() && (!value.isNumeric() || !(std::fabs(value.asDouble()) <= FLT_MAX)))
                return fail(value, where + ".value", "must be a number within a float's range, not " + shown(value));
            // The host takes the two together, or neither.
            if (level.isNull() != value.isNull())
                return fail(entry, where, level.isNull() ? "has a value but no level" : "has a level but no value");
            if (mode == 2 && !level.isNull() &&
                std::find(std::begin(MODE_2_IDS), std::end(MODE_2_IDS), key) == std::end(MODE_2_IDS)) {
                std::string ids;
                for (const char* id : MODE_2_IDS) ids += (ids.empty() ? "" : ", ") + std::string(id);
                return fail(entry, where, "no check of alarm mode 2 has this id (they are " + ids + ")");
            }
            for (const char* code : CODES) {
                const Json::Value& c = entry[code];
                if (!c.isNull() && !c.isString() && !c.isNumeric())
                    return fail(c, where + "." + code, "must be a string or a number, not " + shown(c));
            }
        }
        return true;
    }

    const JsonFile& file_;
    std::string& err_;
};

}  // namespace

bool check_device_config(const JsonFile& file, std::string& err) { return Checker(file, err).top(file.root()); }

}  // namespace tzv58::tool

#include "tools/sim/plant.h"

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <limits>

#include "host/frame.h"

namespace tzv58::tool {
namespace {

constexpr float NOT_SUPPLIED = std::numeric_limits<float>::quiet_NaN();

// ---- reading a plant description ----

// How a reply carries a reading: fixed point, value times scale in 16 bits;
// `marks`: the device takes two equal non-zero bytes as "not supplied".
struct Wire {
    double scale;
    bool marks;
};
constexpr Wire AC{100, true}, READING{100, false}, DC_USER{1, true}, VENDOR{10, false};
constexpr size_t MAX_VENDOR_VALUES = 8;

std::string path(const std::string& where, const char* key) { return where.empty() ? key : where + "." + key; }

struct Reader {
    std::string& err;

    bool fail(const std::string& where, const std::string& what) {
        if (err.empty()) err = where + ": " + what;
        return false;
    }
    // Every member of obj must be one of `names`.
    bool known(const Json::Value& obj, const std::string& where, std::initializer_list<const char*> names) {
        for (const std::string& m : obj.getMemberNames()) {
            bool ok = false;
            for (const char* n : names) ok = ok || m == n;
            if (ok) continue;
            std::string list;
            for (const char* n : names) list += (list.empty() ? "" : ", ") + std::string(n);
            return fail(path(where, m.c_str()), "unknown member (known: " + list + ")");
        }
        return true;
    }
    // A number the reply can carry as it stands, or null for "not supplied".
    bool value(const Json::Value& j, float& v, const std::string& where, Wire wire) {
        if (j.isNull()) {
            v = NOT_SUPPLIED;
            return true;
        }
        if (!j.isNumeric()) return fail(where, "must be a number or null");
        const double d = j.asDouble();
        char shown[32];
        std::snprintf(shown, sizeof shown, "%.10g", d);
        const double scaled = std::round(d * wire.scale);
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", 0.0, 65535 / wire.scale);
        if (!(scaled >= 0 && scaled <= 65535))
            return fail(where, std::string(shown) + " cannot be sent: the fixed-point reply carries " + range);
        const unsigned n = unsigned(scaled);
        if (wire.marks && (n >> 8) == (n & 0xFF) && n != 0) {
            char bytes[8];
            std::snprintf(bytes, sizeof bytes, "%02X %02X", n >> 8, n & 0xFF);
            return fail(where, std::string(shown) + " cannot be sent: it goes out as " + bytes +
                                   ", which the device reads as not supplied");
        }
        v = float(d);
        return true;
    }
    bool reading(const Json::Value& obj, const char* key, float& v, const std::string& where, Wire wire) {
        return !obj.isMember(key) || value(obj[key], v, path(where, key), wire);
    }
    bool readings(const Json::Value& obj, const char* key, std::vector<float>& v, const std::string& where, Wire wire) {
        if (!obj.isMember(key)) return true;
        const Json::Value& j = obj[key];
        if (!j.isArray() || j.size() > 255) return fail(path(where, key), "must be an array of up to 255 numbers");
        v.assign(j.size(), 0.0f);
        for (Json::ArrayIndex i = 0; i < j.size(); ++i)
            if (!value(j[i], v[i], path(where, key) + "[" + std::to_string(i) + "]", wire)) return false;
        return true;
    }
    bool byte(const Json::Value& obj, const char* key, uint8_t& v, const std::string& where) {
        if (!obj.isMember(key)) return true;
        const Json::Value& j = obj[key];
        if (!j.isIntegral() || j.asInt64() < 0 || j.asInt64() > 255)
            return fail(path(where, key), "must be a byte (0 to 255)");
        v = uint8_t(j.asInt());
        return true;
    }
    bool bytes(const Json::Value& obj, const char* key, std::vector<uint8_t>& v, const std::string& where,
               size_t exact = 0) {
        if (!obj.isMember(key)) return true;
        const Json::Value& j = obj[key];
        if (!j.isArray() || j.size() > 255 || (exact && j.size() != exact))
            return fail(path(where, key), exact ? "must be an array of exactly " + std::to_string(exact) + " bytes"
                                                : "must be an array of up to 255 bytes");
        v.clear();
        for (const Json::Value& e : j) {
            if (!e.isIntegral() || e.asInt64() < 0 || e.asInt64() > 255)
                return fail(path(where, key), "must hold bytes (0 to 255)");
            v.push_back(uint8_t(e.asInt()));
        }
        return true;
    }
    // A list member: absent (false, no error), or an array of up to 255 entries.
    bool list(const Json::Value& obj, const char* key, const std::string& where) {
        if (!obj.isMember(key)) return false;
        if (!obj[key].isArray() || obj[key].size() > 255)
            return fail(path(where, key), "must be an array of up to 255 objects");
        return true;
    }
    bool object(const Json::Value& j, const std::string& where) {
        return j.isObject() || fail(where.empty() ? "plant" : where, "must be an object");
    }
};

bool read_channel(Reader& r, const Json::Value& j, PlantAcChannel& ch, const std::string& at) {
    return r.object(j, at) && r.known(j, at, {"a", "b", "c", "f", "alarms", "user_alarms"}) &&
           r.reading(j, "a", ch.a, at, AC) && r.reading(j, "b", ch.b, at, AC) && r.reading(j, "c", ch.c, at, AC) &&
           r.reading(j, "f", ch.f, at, AC) && r.bytes(j, "alarms", ch.alarms, at, 4) &&
           r.bytes(j, "user_alarms", ch.user_alarms, at);
}

bool read_module(Reader& r, const Json::Value& j, PlantModule& m, const std::string& at) {
    return r.object(j, at) && r.known(j, at, {"out_i", "state", "user_state", "fault", "alarms"}) &&
           r.reading(j, "out_i", m.out_i, at, READING) && r.bytes(j, "state", m.state, at, 3) &&
           r.bytes(j, "user_state", m.user_state, at) && r.byte(j, "fault", m.fault, at) &&
           r.bytes(j, "alarms", m.alarms, at);
}

bool read_dc(Reader& r, const Json::Value& j, PlantDcUnit& u, const std::string& at) {
    return r.object(j, at) &&
           r.known(j, at, {"out_v", "load_i", "battery_i", "branch_i", "user", "v_alarm", "fuses", "alarms"}) &&
           r.reading(j, "out_v", u.out_v, at, READING) && r.reading(j, "load_i", u.load_i, at, READING) &&
           r.readings(j, "battery_i", u.battery_i, at, READING) && r.readings(j, "branch_i", u.branch_i, at, READING) &&
           r.readings(j, "user", u.user, at, DC_USER) && r.byte(j, "v_alarm", u.v_alarm, at) &&
           r.bytes(j, "fuses", u.fuses, at) && r.bytes(j, "alarms", u.alarms, at);
}

// A list of entries: each starts from the default plant's entry at the same
// place (its first where the default has fewer), then takes what it names.
template <class T, class ReadFn>
bool read_list(Reader& r, const Json::Value& list, const std::vector<T>& defaults, std::vector<T>& out,
               const std::string& at, ReadFn read) {
    out.clear();
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        out.push_back(i < defaults.size() ? defaults[i] : defaults.empty() ? T{} : defaults.front());
        if (!read(r, list[i], out.back(), at + "[" + std::to_string(i) + "]")) return false;
    }
    return true;
}

// ---- building replies ----

// Fixed-point value: hundredths (or tenths, or units), big-endian; a reading
// that is not supplied goes out as two equal non-zero bytes.
void put_fixed(std::vector<uint8_t>& out, float v, double scale) {
    long n = 0x2020;
    if (!std::isnan(v)) {
        const double scaled = std::round(double(v) * scale);
        n = scaled < 0 ? 0 : scaled > 65535 ? 65535 : long(scaled);
    }
    out.push_back(uint8_t(n >> 8));
    out.push_back(uint8_t(n));
}

void put_count_bytes(std::vector<uint8_t>& out, const std::vector<uint8_t>& v) {
    out.push_back(uint8_t(v.size()));
    out.insert(out.end(), v.begin(), v.end());
}

void put_count_values(std::vector<uint8_t>& out, const std::vector<float>& v, double scale) {
    out.push_back(uint8_t(v.size()));
    for (float x : v) put_fixed(out, x, scale);
}

// The INFO after DATAFLAG of each reply the plant gives.

// Channels: a b c f, user count, values; then three tail values.
void ac_analog(const Plant& p, std::vector<uint8_t>& out) {
    out.push_back(uint8_t(p.channels.size()));
    for (const PlantAcChannel& ch : p.channels) {
        for (float v : {ch.a, ch.b, ch.c, ch.f}) put_fixed(out, v, 100);
        out.push_back(0);
    }
    for (float v : p.ac_tail) put_fixed(out, v, 100);
}

// Switch states, user-defined states.
void ac_states(const Plant& p, std::vector<uint8_t>& out) {
    put_count_bytes(out, p.switches);
    out.push_back(0);
}

// Per channel: four alarm bytes, extra count, user alarms; tail alarms.
void ac_alarms(const Plant& p, std::vector<uint8_t>& out) {
    out.push_back(uint8_t(p.channels.size()));
    for (const PlantAcChannel& ch : p.channels) {
        out.insert(out.end(), ch.alarms.begin(), ch.alarms.end());
        out.push_back(0);
        put_count_bytes(out, ch.user_alarms);
    }
    out.insert(out.end(), p.tail_alarms.begin(), p.tail_alarms.end());
}

// Output voltage; modules: current, user count.
void rc_analog(const Plant& p, std::vector<uint8_t>& out) {
    put_fixed(out, p.rc_out_v, 100);
    out.push_back(uint8_t(p.modules.size()));
    for (const PlantModule& m : p.modules) {
        put_fixed(out, m.out_i, 100);
        out.push_back(0);
    }
}

// Module count; per module: three states, user states.
void rc_states(const Plant& p, std::vector<uint8_t>& out) {
    out.push_back(uint8_t(p.modules.size()));
    for (const PlantModule& m : p.modules) {
        out.insert(out.end(), m.state.begin(), m.state.end());
        put_count_bytes(out, m.user_state);
    }
}

// Module count; per module: fault, user alarms.
void rc_alarms(const Plant& p, std::vector<uint8_t>& out) {
    out.push_back(uint8_t(p.modules.size()));
    for (const PlantModule& m : p.modules) {
        out.push_back(m.fault);
        put_count_bytes(out, m.alarms);
    }
}

// Unit count; per unit: V, load, batteries, branches, user values.
void dc_analog(const Plant& p, std::vector<uint8_t>& out) {
    out.push_back(uint8_t(p.dc.size()));
    for (const PlantDcUnit& u : p.dc) {
        put_fixed(out, u.out_v, 100);
        put_fixed(out, u.load_i, 100);
        put_count_values(out, u.battery_i, 100);
        put_count_values(out, u.branch_i, 100);
        put_count_values(out, u.user, 1);
    }
}

// Unit count; per unit: voltage alarm, fuses, user alarms.
void dc_alarms(const Plant& p, std::vector<uint8_t>& out) {
    out.push_back(uint8_t(p.dc.size()));
    for (const PlantDcUnit& u : p.dc) {
        out.push_back(u.v_alarm);
        put_count_bytes(out, u.fuses);
        put_count_bytes(out, u.alarms);
    }
}

// The vendor values in tenths, each behind a count byte (two for the
// default plant; a model that reads more takes a plant that gives more).
void vendor_values(const Plant& p, std::vector<uint8_t>& out) {
    for (float v : p.vendor) {
        out.push_back(std::isnan(v) ? 0 : 1);
        put_fixed(out, std::isnan(v) ? 0.0f : v, 10);
    }
}

struct Reply {
    uint8_t cid1, cid2;
    void (*info)(const Plant& p, std::vector<uint8_t>& out);
};
constexpr Reply REPLIES[] = {
    {0x40, 0x42, ac_analog}, {0x40, 0x43, ac_states}, {0x40, 0x44, ac_alarms},
    {0x41, 0x42, rc_analog}, {0x41, 0x43, rc_states}, {0x41, 0x44, rc_alarms},
    {0x42, 0x42, dc_analog}, {0x42, 0x44, dc_alarms}, {0x80, 0x42, vendor_values},
};

// The size of a reply's INFO, DATAFLAG included.
size_t info_size(const Plant& p, const Reply& r) {
    std::vector<uint8_t> info{0};
    r.info(p, info);
    return info.size();
}

// How many entries of list, from its first, a reply to r holds in one frame.
template <class T>
size_t most_entries(Plant p, std::vector<T> Plant::*list, const Reply& r) {
    while (!(p.*list).empty() && info_size(p, r) > size_t(MAX_INFO)) (p.*list).pop_back();
    return (p.*list).size();
}

// Every reply fits one frame: a list the replies cannot carry is refused,
// where the power system would never answer and the host blame the line.
bool replies_fit(const Plant& p, std::string& err) {
    for (const Reply& r : REPLIES) {
        const size_t size = info_size(p, r);
        if (size <= size_t(MAX_INFO)) continue;
        const char* list = r.cid1 == 0x40 ? "ac.channels" : r.cid1 == 0x41 ? "rectifiers.modules" : "dc";
        const size_t count = r.cid1 == 0x40 ? p.channels.size() : r.cid1 == 0x41 ? p.modules.size() : p.dc.size();
        const size_t most = r.cid1 == 0x40   ? most_entries(p, &Plant::channels, r)
                            : r.cid1 == 0x41 ? most_entries(p, &Plant::modules, r)
                                             : most_entries(p, &Plant::dc, r);
        char code[16];
        std::snprintf(code, sizeof code, "%02XH/%02XH", r.cid1, r.cid2);
        err = std::string(list) + ": the reply " + code + " to these " + std::to_string(count) +
              " entries would not fit a frame (" + std::to_string(size) + " bytes of INFO, at most " +
              std::to_string(MAX_INFO) + "): the list holds at most " + std::to_string(most) + " entries like these";
        return false;
    }
    return true;
}

}  // namespace

Plant default_plant() {
    Plant p;
    PlantAcChannel ch1, ch2;
    ch1.a = 230, ch1.b = 231, ch1.c = 229, ch1.f = 50;
    ch2.a = 229, ch2.b = 230, ch2.c = 228, ch2.f = 50;
    p.channels = {ch1, ch2};
    p.switches = {0, 0};
    p.rc_out_v = 53;
    for (float amps : {12.0f, 11.0f, 12.0f, 13.0f}) {
        PlantModule m;
        m.out_i = amps;
        p.modules.push_back(m);
    }
    PlantDcUnit dc;
    dc.out_v = 53.5f;
    dc.load_i = 45;
    dc.battery_i = {3};
    dc.branch_i = {20, 25};
    dc.fuses = {0, 0};
    p.dc = {dc};
    p.vendor = {50, 10};
    return p;
}

bool plant_from_json(const Json::Value& json, Plant& out, std::string& err) {
    err.clear();
    Reader r{err};
    const Plant d = default_plant();
    Plant p = d;
    if (!r.object(json, "") || !r.known(json, "", {"ac", "rectifiers", "dc", "vendor"})) return false;
    if (json.isMember("ac")) {
        const Json::Value& ac = json["ac"];
        if (!r.object(ac, "ac") || !r.known(ac, "ac", {"channels", "tail", "switches", "tail_alarms"})) return false;
        if (r.list(ac, "channels", "ac")) {
            if (!read_list(r, ac["channels"], d.channels, p.channels, "ac.channels", read_channel)) return false;
        } else if (!err.empty()) {
            return false;
        }
        std::vector<float> tail;
        if (!r.readings(ac, "tail", tail, "ac", AC)) return false;
        if (ac.isMember("tail")) {
            if (tail.size() != 3) return r.fail("ac.tail", "must hold 3 numbers");
            for (int i = 0; i < 3; ++i) p.ac_tail[i] = tail[size_t(i)];
        }
        if (!r.bytes(ac, "switches", p.switches, "ac") || !r.bytes(ac, "tail_alarms", p.tail_alarms, "ac", 3))
            return false;
    }
    if (json.isMember("rectifiers")) {
        const Json::Value& rc = json["rectifiers"];
        if (!r.object(rc, "rectifiers") || !r.known(rc, "rectifiers", {"out_v", "modules"}) ||
            !r.reading(rc, "out_v", p.rc_out_v, "rectifiers", READING))
            return false;
        if (r.list(rc, "modules", "rectifiers")) {
            if (!read_list(r, rc["modules"], d.modules, p.modules, "rectifiers.modules", read_module)) return false;
        } else if (!err.empty()) {
            return false;
        }
    }
    if (r.list(json, "dc", "")) {
        if (!read_list(r, json["dc"], d.dc, p.dc, "dc", read_dc)) return false;
    } else if (!err.empty()) {
        return false;
    }
    if (json.isMember("vendor")) {
        std::vector<float> v;
        if (!r.readings(json, "vendor", v, "", VENDOR)) return false;
        if (v.size() < 1 || v.size() > MAX_VENDOR_VALUES)
            return r.fail("vendor", "must hold 1 to " + std::to_string(MAX_VENDOR_VALUES) + " numbers (or null)");
        p.vendor = v;
    }
    if (!replies_fit(p, err)) return false;
    out = p;
    return true;
}

bool reply_info(const Plant& p, uint8_t cid1, uint8_t cid2, uint8_t dataflag, std::vector<uint8_t>& out) {
    out.clear();
    for (const Reply& r : REPLIES) {
        if (r.cid1 != cid1 || r.cid2 != cid2) continue;
        out.push_back(dataflag);
        r.info(p, out);
        return true;
    }
    return false;
}

}  // namespace tzv58::tool

#include "tools/cli/site_file.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>

#include "tools/cli/device_config.h"
#include "tools/common/options.h"
#include "tools/cli/setup.h"
#include "tools/common/json_in.h"
#include "tools/report/events.h"
#include "tools/sim/faults.h"

namespace tzv58::tool {

namespace {

constexpr size_t MAX_NAME = 64;

// Letters, digits, '.', '_' and '-', a letter or digit first: a name that
// reads the same in a line, a label, an environment variable and a query.
bool good_name(const std::string& name) {
    if (name.empty() || name.size() > MAX_NAME) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && (i == 0 || (c != '.' && c != '_' && c != '-'))) return false;
    }
    return true;
}

std::string list(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
    return s;
}

// A path in the file, read from the file's folder when relative.
std::string beside(const std::string& site_path, const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    const size_t slash = site_path.rfind('/');
    return slash == std::string::npos ? path : site_path.substr(0, slash + 1) + path;
}

// The device behind a port's name (a link in /dev/serial/by-id, say), so
// that two names of one port are one port.
std::string port_key(const std::string& port) {
    char real[PATH_MAX];
    return ::realpath(port.c_str(), real) ? std::string(real) : port;
}

class SiteReader {
public:
    SiteReader(const JsonFile& file, SiteUse use, std::string& err) : file_(file), use_(use), err_(err) {}

    bool read(std::vector<SiteEntry>& out) {
        const Json::Value& root = file_.root();
        for (const std::string& m : root.getMemberNames())
            if (m != "power_systems") return fail(root[m], m, "unknown member (known: power_systems)");
        const Json::Value& list = root["power_systems"];
        if (!list.isArray() || list.empty())
            return fail(list.isNull() ? root : list, "power_systems",
                        "must be a list of power systems, one object each ({\"name\": ..., \"port\": ...})");
        if (list.size() > MAX_POWER_SYSTEMS)
            return fail(list, "power_systems",
                        "holds " + std::to_string(list.size()) + " power systems; a site takes at most " +
                            std::to_string(MAX_POWER_SYSTEMS));
        for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
            SiteEntry e;
            if (!entry(list[i], "power_systems[" + std::to_string(i) + "]", e)) return false;
            out.push_back(std::move(e));
        }
        return true;
    }

private:
    bool fail(const Json::Value& at, const std::string& member, const std::string& what) {
        err_ = file_.at(at) + ": " + member + ": " + what;
        return false;
    }

    std::vector<std::string> members() const {
        std::vector<std::string> m = {"name", "port", "address", "baud", "config", "model", "data_id"};
        if (use_ != SiteUse::poll) m.insert(m.end(), {"plant", "faults", "silent"});
        return m;
    }

    bool whole(const Json::Value& v, const std::string& at, long long lo, long long hi, long long& n) {
        if (!v.isIntegral() || v.asLargestInt() < lo || v.asLargestInt() > hi)
            return fail(v, at, "must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
        n = v.asLargestInt();
        return true;
    }

    bool text(const Json::Value& v, const std::string& at, std::string& s) {
        if (!v.isString() || v.asString().empty()) return fail(v, at, "must be a string that is not empty");
        s = v.asString();
        return true;
    }

    bool entry(const Json::Value& v, const std::string& at, SiteEntry& e) {
        if (!v.isObject()) return fail(v, at, "must be an object ({\"name\": ..., \"port\": ...})");
        e.where = file_.at(v);
        const std::vector<std::string> known = members();
        for (const std::string& m : v.getMemberNames())
            if (std::find(known.begin(), known.end(), m) == known.end()) {
                const bool sim_only = m == "plant" || m == "faults" || m == "silent";
                return fail(v[m], at + "." + m,
                            sim_only ? "describes a simulated power system: simulate and plant read it, poll does not"
                                     : "unknown member (known: " + list(known) + ")");
            }
        for (const char* needed : {"name", "port"})
            if (!v.isMember(needed)) return fail(v, at, std::string("has no ") + needed);
        if (!text(v["name"], at + ".name", e.name) || !text(v["port"], at + ".port", e.port)) return false;
        if (!good_name(e.name))
            return fail(v["name"], at + ".name",
                        "\"" + e.name + "\" is not a name: up to " + std::to_string(MAX_NAME) +
                            " letters, digits, '.', '_' and '-', a letter or digit first");
        // A history file of a one-device run, taken over by a site, keeps
        // its rows under this name: a power system of the site must not
        // add to them.
        if (e.name == ONE_DEVICE_NAME)
            return fail(v["name"], at + ".name",
                        std::string("\"") + ONE_DEVICE_NAME +
                            "\" names the power system of a one-device run (its history rows): give another name");
        e.port_key = use_ == SiteUse::poll ? port_key(e.port) : e.port;
        if (v.isMember("address") && !whole(v["address"], at + ".address", 0, 255, e.address)) return false;
        if (v.isMember("data_id") && !whole(v["data_id"], at + ".data_id", 0, 0xFFFFFFFFLL, e.data_id)) return false;
        if (v.isMember("baud")) {
            const Json::Value& b = v["baud"];
            const auto& rates = baud_rates();
            if (!b.isIntegral() || std::find(rates.begin(), rates.end(), b.asLargestInt()) == rates.end()) {
                std::string allowed;
                for (long long r : rates) allowed += (allowed.empty() ? "" : ", ") + std::to_string(r);
                return fail(b, at + ".baud", "must be one of " + allowed);
            }
            e.baud = b.asLargestInt();
        }
        // Which models the plug-in has is known once it is loaded: a name
        // it does not know is refused then, naming this member.
        if (v.isMember("model")) {
            if (!text(v["model"], at + ".model", e.model)) return false;
            e.model_at = file_.at(v["model"]) + ": " + at + ".model";
        }
        return files(v, at, e) && simulated(v, at, e) && against_others(v, at, e);
    }

    // The files an entry names, read and checked as their options are.
    bool files(const Json::Value& v, const std::string& at, SiteEntry& e) {
        std::string path, why;
        if (v.isMember("config")) {
            if (!text(v["config"], at + ".config", path)) return false;
            e.config_path = beside(file_.path(), path);
            JsonFile config;
            if (!config.read(e.config_path, why) || !check_device_config(config, why))
                return fail(v["config"], at + ".config", why);
            e.config = config.root();
        }
        if (v.isMember("plant")) {
            if (!text(v["plant"], at + ".plant", path)) return false;
            if (!read_plant(beside(file_.path(), path), e.sim.plant, why)) return fail(v["plant"], at + ".plant", why);
        }
        return true;
    }

    bool simulated(const Json::Value& v, const std::string& at, SiteEntry& e) {
        e.sim.address = uint8_t(e.address);
        if (v.isMember("faults")) {
            std::string faults, why;
            if (!text(v["faults"], at + ".faults", faults)) return false;
            if (!parse_faults(faults, e.sim.faults, why)) return fail(v["faults"], at + ".faults", why);
        }
        if (v.isMember("silent")) {
            if (!v["silent"].isBool()) return fail(v["silent"], at + ".silent", "must be true or false");
            e.sim.silent = v["silent"].asBool();
        }
        return true;
    }

    // What no two power systems may share: a name; an address of one port.
    // And what all of a port's share: its baud rate.
    bool against_others(const Json::Value& v, const std::string& at, const SiteEntry& e) {
        const auto named = names_.find(e.name);
        if (named != names_.end())
            return fail(v["name"], at + ".name", "\"" + e.name + "\" is already the name of " + named->second);
        const std::string self = at + " (" + e.name + ")";
        names_[e.name] = self;
        const std::string place = e.port_key + '\n' + std::to_string(e.address);
        const auto taken = addresses_.find(place);
        if (taken != addresses_.end())
            return fail(v.isMember("address") ? v["address"] : v, at + ".address",
                        std::to_string(e.address) + " on " + e.port + " is already " + taken->second + "'s address");
        addresses_[place] = self;
        const auto rate = bauds_.find(e.port_key);
        if (rate != bauds_.end() && rate->second.first != e.baud)
            return fail(v.isMember("baud") ? v["baud"] : v, at + ".baud",
                        std::to_string(e.baud) + (v.isMember("baud") ? "" : " (by default)") + ", but " + e.port +
                            " runs at " + std::to_string(rate->second.first) + " for " + rate->second.second +
                            ": a port has one rate");
        if (rate == bauds_.end()) bauds_[e.port_key] = {e.baud, self};
        return true;
    }

    const JsonFile& file_;
    SiteUse use_;
    std::string& err_;
    std::map<std::string, std::string> names_;                        // name -> the entry
    std::map<std::string, std::string> addresses_;                    // port and address -> the entry
    std::map<std::string, std::pair<long long, std::string>> bauds_;  // port -> rate, the entry that set it
};

}  // namespace

bool read_site(const std::string& path, SiteUse use, std::vector<SiteEntry>& out, std::string& err) {
    JsonFile file;
    out.clear();
    if (!file.read(path, err)) return false;
    return SiteReader(file, use, err).read(out);
}

}  // namespace tzv58::tool

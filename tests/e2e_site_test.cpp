// A site: several power systems in one process, two of them on one
// pseudo-terminal (an RS-485 bus) and one on another. Every line says whose
// it is; a power system that falls silent, then answers with line faults,
// leaves its neighbours their pace, their values and their alarms; a bad
// site file starts nothing.
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "net_support.h"

namespace {

constexpr int WAIT_MS = 30000;

// Lines of a file holding every one of these texts.
int lines_with(const std::string& path, const std::vector<std::string>& texts) {
    int n = 0;
    std::istringstream lines(slurp(path));
    for (std::string line; std::getline(lines, line);) {
        bool all = true;
        for (const std::string& t : texts) all = all && line.find(t) != std::string::npos;
        n += all;
    }
    return n;
}

bool wait_lines_with(const std::string& path, const std::vector<std::string>& texts, int count) {
    for (int waited = 0; waited <= WAIT_MS; waited += 20) {
        if (lines_with(path, texts) >= count) return true;
        usleep(20000);
    }
    return false;
}

std::vector<Json::Value> of(const std::vector<Json::Value>& events, const std::string& device, const char* event) {
    std::vector<Json::Value> out;
    for (const Json::Value& e : events)
        if (e["device"] == device && e["event"] == event) out.push_back(e);
    return out;
}

// Seconds of the day of an event's time (2026-12-08T14:32:00).
int seconds_of_day(const Json::Value& e) {
    const std::string t = e["time"].asString();
    return std::stoi(t.substr(11, 2)) * 3600 + std::stoi(t.substr(14, 2)) * 60 + std::stoi(t.substr(17, 2));
}

int longest_gap_s(const std::vector<Json::Value>& publishes) {
    int gap = 0;
    for (size_t i = 1; i < publishes.size(); ++i)
        gap = std::max(gap, seconds_of_day(publishes[i]) - seconds_of_day(publishes[i - 1]));
    return gap;
}

// The plants: each power system reads values of its own.
const char* const MAINS_OFF_48V =
    R"({"ac": {"channels": [{"a": 0, "b": 0, "c": 0}, {"a": 0, "b": 0, "c": 0}]}, "dc": [{"out_v": 48}]})";
const char* const DC_54V = R"({"dc": [{"out_v": 54.2}]})";

TEST(Site, EveryLineOfASimulatedSiteSaysWhoseItIs) {
    const std::string dir = scratch_dir();
    spit(dir + "/off.json", MAINS_OFF_48V);
    spit(dir + "/54.json", DC_54V);
    spit(dir + "/mode1.json", R"({"appSetting": {"b_mode": 1}})");
    spit(dir + "/site.json", R"({"power_systems": [
        {"name": "north", "port": "bus1", "address": 1, "data_id": 11, "config": "mode1.json"},
        {"name": "south", "port": "bus1", "address": 2, "data_id": 12, "plant": "off.json", "config": "mode1.json"},
        {"name": "annex", "port": "bus2", "address": 1, "data_id": 13, "plant": "54.json", "config": "mode1.json"}]})");
    const HostRun r = run_host(with_history(
        {"simulate", "--site", dir + "/site.json", "--fast", "--rounds", "3", "--events", dir + "/events", "--diag",
         dir + "/diag"},
        dir + "/h.db"));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::map<std::string, std::string> dc_v = {{"north", "53.5"}, {"south", "48"}, {"annex", "54.2"}};
    const std::map<std::string, std::string> data_id = {{"north", "11"}, {"south", "12"}, {"annex", "13"}};

    // The summary: every line after its power system's name; blocks whole.
    std::istringstream out(r.out);
    std::map<std::string, int> rounds;
    std::string current;
    for (std::string line; std::getline(out, line);) {
        const std::string name = line.substr(0, line.find(": "));
        ASSERT_TRUE(dc_v.count(name)) << line;
        if (line.find(": == round ") != std::string::npos) {
            ++rounds[name];
            current = name;
        }
        EXPECT_EQ(name, current) << "a block interleaved with another: " << line;
        if (line.find(": DC 1 ") != std::string::npos) {
            EXPECT_NE(line.find("DC 1      " + dc_v.at(name) + " V"), std::string::npos) << line;
        }
    }
    for (const auto& [name, v] : dc_v) EXPECT_EQ(rounds[name], 3) << name;
    EXPECT_NE(r.out.find("south: alarms    1 active: mains failure"), std::string::npos) << r.out;

    // Events: each names its power system, and holds its values.
    const std::vector<Json::Value> events = read_events(dir + "/events");
    for (const Json::Value& e : events) ASSERT_TRUE(dc_v.count(e["device"].asString())) << e.toStyledString();
    for (const auto& [name, v] : dc_v) {
        const std::vector<Json::Value> published = of(events, name, "publish");
        ASSERT_EQ(published.size(), 3u) << name;
        for (const Json::Value& p : published) {
            EXPECT_EQ(p["values"]["dc"][0]["out_v"].asFloat(), std::stof(v)) << name;
            EXPECT_EQ(p["values"]["data_id"].asString(), data_id.at(name)) << name;
        }
    }

    // The plug-in's lines: each after the name of the device that wrote it,
    // as its data id and its DC readings tell.
    std::istringstream diag(slurp(dir + "/diag"));
    std::string line;
    std::getline(diag, line);
    EXPECT_EQ(line, "# tzv58-host: the plug-in's diagnostic lines");
    std::map<std::string, int> readings, settings;
    while (std::getline(diag, line)) {
        const std::string name = line.substr(0, line.find(": "));
        ASSERT_TRUE(dc_v.count(name)) << line;
        const std::string text = line.substr(name.size() + 2);
        if (text.rfind("InitSetting ", 0) == 0) {
            ++settings[name];
            EXPECT_EQ(text, "InitSetting " + data_id.at(name) + " b_mode_:1") << line;
        }
        if (text.rfind("parse42_41 ", 0) == 0) {
            ++readings[name];
            EXPECT_EQ(std::stof(text.substr(11)), std::stof(dc_v.at(name))) << line;
        }
    }
    for (const auto& [name, v] : dc_v) {
        EXPECT_GE(readings[name], 3) << name;
        EXPECT_EQ(settings[name], 1) << name;
    }

    // The history: each power system's rows under its name.
    if (!HOST_HAS_HISTORY) return;
    for (const auto& [name, v] : dc_v) {
        const HostRun rows = run_host({"history", dir + "/h.db", "--device", name, "--format", "csv"});
        ASSERT_EQ(rows.status, 0) << rows.err;
        std::istringstream csv(rows.out);
        std::string row;
        int n = 0;
        for (std::getline(csv, row); std::getline(csv, row); ++n) {
            EXPECT_EQ(row.substr(row.rfind(',') + 1), name + "\r") << row;
            EXPECT_EQ(std::stof(row.substr(row.find(',', row.find(',', row.find(',') + 1) + 1) + 1)), std::stof(v));
        }
        EXPECT_EQ(n, 3) << name;
    }
    const HostRun alarms = run_host({"history", dir + "/h.db", "--alarms"});
    EXPECT_NE(alarms.out.find("  south  raised   [level 1] "), std::string::npos) << alarms.out;
    const HostRun plot = run_host({"history", dir + "/h.db", "--plot", dir + "/h.svg"});
    EXPECT_EQ(plot.status, 2);
    EXPECT_NE(plot.err.find("holds 3 power systems (annex, north, south): name one with --device"), std::string::npos)
        << plot.err;
}

TEST(Site, ABadSiteFileIsOneLineNamingTheEntryAndStartsNothing) {
    const std::string dir = scratch_dir();
    const struct {
        const char* site;
        const char* said;
    } cases[] = {
        {R"({"power_systems": [
              {"name": "north", "port": "/dev/null", "address": 1},
              {"name": "north", "port": "/dev/zero", "address": 1}]})",
         "site.json:3: power_systems[1].name: \"north\" is already the name of power_systems[0] (north)"},
        {R"({"power_systems": [
              {"name": "north", "port": "/dev/null", "address": 1},
              {"name": "south", "port": "/dev/null", "address": 1}]})",
         "site.json:3: power_systems[1].address: 1 on /dev/null is already power_systems[0] (north)'s address"},
        {R"({"power_systems": [
              {"name": "north", "port": "/dev/null", "adress": 2}]})",
         "site.json:2: power_systems[0].adress: unknown member (known: name, port, address, baud, config, model, "
         "data_id)"},
        {R"({"power_systems": [
              {"name": "north", "port": "/dev/null", "address": 1, "baud": 9600},
              {"name": "south", "port": "/dev/null", "address": 2,
               "baud": 19200}]})",
         "site.json:4: power_systems[1].baud: 19200, but /dev/null runs at 9600 for power_systems[0] (north): a port "
         "has one rate"},
        {R"({"power_systems": [{"name": "north", "port": "/dev/null", "silent": true}]})",
         "site.json:1: power_systems[0].silent: describes a simulated power system: simulate and plant read it, poll "
         "does not"},
        {R"({"power_systems": [{"name": "no rth", "port": "/dev/null"}]})",
         "site.json:1: power_systems[0].name: \"no rth\" is not a name"},
        {R"({"power_systems": [{"name": "default", "port": "/dev/null"}]})",
         "site.json:1: power_systems[0].name: \"default\" names the power system of a one-device run"},
        {R"({"power_systems": [{"name": "north", "port": "/dev/null", "model": "tzv99"}]})",
         "site.json:1: power_systems[0].model: unknown model 'tzv99' (known: tzv58_419)"},
    };
    for (const auto& c : cases) {
        spit(dir + "/site.json", c.site);
        const HostRun r = run_host({"poll", "--site", dir + "/site.json", "--events", dir + "/events"});
        EXPECT_EQ(r.status, 2) << c.said;
        EXPECT_EQ(r.err.rfind("tzv58-host: " + dir + "/" + c.said, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(access((dir + "/events").c_str(), F_OK), 0) << "nothing started: " << c.said;
    }
    // The commented example is a site file as it stands: its ports are not
    // there, so the run gives up on each power system (status 1).
    const HostRun example = run_host(
        {"poll", "--site", std::string(TZV58_SOURCE_DIR) + "/contrib/site.json", "--rounds", "1", "--give-up", "1"});
    EXPECT_EQ(example.status, 1) << example.err;
    EXPECT_NE(example.err.find("tzv58-host: annex: no complete reading in 1 round in a row (/dev/ttyUSB1: no such port); giving up "
                             "on it"),
              std::string::npos)
        << example.err;
    // A one-device option beside --site says which file describes it.
    spit(dir + "/site.json", R"({"power_systems": [{"name": "north", "port": "/dev/null"}]})");
    const HostRun r = run_host({"poll", "--site", dir + "/site.json", "--address", "2"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("option --address describes one power system: with --site, the site file describes each"),
              std::string::npos)
        << r.err;
}

// plant --link PATH --site FILE, read again on SIGHUP.
struct Bus {
    std::string link, out, err;
    pid_t pid = -1;
    Bus(const std::string& dir, const std::string& name, const std::string& site)
        : link(dir + "/" + name), out(dir + "/" + name + ".out"), err(dir + "/" + name + ".err") {
        pid = start_host({"plant", "--link", link, "--site", site, "--delay", "300"}, out, err);
    }
    ~Bus() {
        if (pid > 0) kill(pid, SIGTERM), wait_child(pid, WAIT_MS);
    }
    bool reload(int times) {
        kill(pid, SIGHUP);
        return wait_for_lines(out, "reloaded", times, WAIT_MS);
    }
};

TEST(Site, APowerSystemSilentOrFaultyOnABusLeavesItsNeighboursAlone) {
    const std::string dir = scratch_dir();
    spit(dir + "/off.json", MAINS_OFF_48V);
    spit(dir + "/54.json", DC_54V);
    // south at 1, north at 2: south's "foreign" replies carry north's address.
    const auto sim_site = [&](const std::string& south_extra) {
        spit(dir + "/sim.json", R"({"power_systems": [
            {"name": "south", "port": ")" +
                                    dir + R"(/bus1", "address": 1, "plant": "off.json")" + south_extra + R"(},
            {"name": "north", "port": ")" +
                                    dir + R"(/bus1", "address": 2},
            {"name": "annex", "port": ")" +
                                    dir + R"(/bus2", "address": 1, "plant": "54.json"}]})");
    };
    sim_site("");
    spit(dir + "/site.json", R"({"power_systems": [
        {"name": "south", "port": ")" +
                                 dir + R"(/bus1", "address": 1},
        {"name": "north", "port": ")" +
                                 dir + R"(/bus1", "address": 2},
        {"name": "annex", "port": ")" +
                                 dir + R"(/bus2", "address": 1}]})");
    Bus bus1(dir, "bus1", dir + "/sim.json"), bus2(dir, "bus2", dir + "/sim.json");
    ASSERT_TRUE(wait_for_lines(bus1.out, "ready", 1, WAIT_MS)) << slurp(bus1.err);
    ASSERT_TRUE(wait_for_lines(bus2.out, "ready", 1, WAIT_MS)) << slurp(bus2.err);
    const std::string events = dir + "/events", out = dir + "/out", err = dir + "/err", sock = dir + "/live.sock";
    const pid_t poll = start_host({"poll", "--site", dir + "/site.json", "--timeout", "200", "--silent-after", "1",
                                   "--events", events, "--listen", sock, "--http", "127.0.0.1:0"},
                                  out, err);
    const auto published = [&](const char* name, int count) {
        return wait_lines_with(events, {"\"event\":\"publish\"", std::string("\"device\":\"") + name + "\""}, count);
    };
    ASSERT_TRUE(published("north", 2) && published("south", 2) && published("annex", 2)) << slurp(err);

    // south falls silent: north, beside it on the bus, goes on.
    sim_site(R"(, "silent": true)");
    ASSERT_TRUE(bus1.reload(1)) << slurp(bus1.err);
    ASSERT_TRUE(wait_lines_with(events, {"\"state\":\"silent\"", "\"device\":\"south\""}, 1)) << slurp(err);
    const int north_before = lines_with(events, {"\"event\":\"publish\"", "\"device\":\"north\""});
    ASSERT_TRUE(published("north", north_before + 3)) << slurp(err);

    // south answers again, with every fault of a bad line.
    sim_site(R"(, "faults": "checksum=0.2,noise=0.2,truncate=0.1,soi=0.1,foreign=0.5,late=0.2,stall=0.1,echo=0.3")");
    ASSERT_TRUE(bus1.reload(2)) << slurp(bus1.err);
    ASSERT_TRUE(wait_lines_with(events, {"\"state\":\"open\"", "\"silent_s\"", "\"device\":\"south\""}, 1))
        << slurp(err);
    const int north_then = lines_with(events, {"\"event\":\"publish\"", "\"device\":\"north\""});
    ASSERT_TRUE(published("north", north_then + 4)) << slurp(err);

    // A control command goes to north's address alone, and north answers it.
    const HostRun control = run_host({"control", "--socket", sock, "--device", "north", "set-time", "--wait", "5"});
    EXPECT_EQ(control.status, 0) << control.out << control.err;
    EXPECT_NE(control.out.find("sent: ~2002414E"), std::string::npos) << control.out;
    EXPECT_EQ(run_host({"get", "--socket", sock}).status, 2) << "a site's get names its power system";
    EXPECT_EQ(run_host({"get", "--socket", sock, "--device", "annex", "out_v"}).out, "out_v: 54.2 V\n");

    // The doors: every power system in the status object and in the
    // metrics, one series each.
    const std::string ready = slurp(err).substr(slurp(err).find("metrics http://127.0.0.1:") + 25);
    const int port = std::atoi(ready.c_str());
    const HttpReply status = http_get(port, "/api/status");
    Json::Value site;
    ASSERT_TRUE(Json::Reader().parse(status.body, site)) << status.body;
    ASSERT_EQ(site["power_systems"].size(), 3u) << status.body;
    EXPECT_EQ(site["power_systems"][1]["name"], "north");
    EXPECT_EQ(site["power_systems"][2]["values"]["dc"][0]["out_v"].asFloat(), 54.2f);
    const HttpReply metrics = http_get(port, "/metrics");
    spit(dir + "/scrape", metrics.body);
    EXPECT_EQ(std::system(("promtool check metrics < " + dir + "/scrape > " + dir + "/promtool 2>&1").c_str()), 0)
        << slurp(dir + "/promtool");
    for (const char* name : {"south", "north", "annex"})
        EXPECT_NE(metrics.body.find(std::string("tzv58_rounds_completed_total{device=\"") + name + "\"} "),
                  std::string::npos)
            << metrics.body;
    EXPECT_NE(metrics.body.find("tzv58_dc_output_voltage_volts{device=\"annex\",unit=\"1\"} 54.2\n"),
              std::string::npos);
    kill(poll, SIGTERM);
    EXPECT_EQ(wait_child(poll, WAIT_MS), 0) << slurp(err);

    const std::vector<Json::Value> all = read_events(events);
    const std::map<std::string, std::pair<float, float>> plant = {
        {"north", {53.5f, 230}}, {"annex", {54.2f, 230}}, {"south", {48, 0}}};
    for (const auto& [name, values] : plant) {
        const std::vector<Json::Value> publishes = of(all, name, "publish");
        for (const Json::Value& p : publishes) {
            EXPECT_EQ(p["values"]["dc"][0]["out_v"].asFloat(), values.first) << name << " " << p["time"].asString();
            EXPECT_EQ(p["values"]["channel"][0]["a"].asFloat(), values.second) << name << " " << p["time"].asString();
        }
        bool raised = false;
        for (const Json::Value& a : of(all, name, "alarm")) raised = raised || a["active"].asBool();
        EXPECT_EQ(raised, name == "south") << name;
        if (name == "south") continue;
        // Its pace: a round every two seconds or so, whatever south does.
        EXPECT_LE(longest_gap_s(publishes), 4) << name;
        EXPECT_TRUE(of(all, name, "link").size() == 1) << name << ": its link stays open";
        EXPECT_EQ(of(all, name, "control").size(), name == "north" ? 2u : 0u) << name << ": the command and its query";
    }
    EXPECT_GE(of(all, "north", "publish").size(), 9u);
}

}  // namespace

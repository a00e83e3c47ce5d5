// The host program against its simulated power system on a pseudo-terminal
// pair: healthy plant, mains failure, and a soak with faults on the line.
#include <cstdlib>
#include <map>
#include <set>

#include "e2e_plant.h"
#include "e2e_support.h"
#include "tools/sim/faults.h"

namespace {

struct Simulation {
    HostRun run;
    std::vector<Json::Value> events;
};

Simulation simulate(const std::vector<std::string>& extra) {
    const std::string dir = scratch_dir();
    std::vector<std::string> args{"simulate", "--fast", "--data-id", "7", "--events", dir + "/events"};
    args.insert(args.end(), extra.begin(), extra.end());
    Simulation s;
    s.run = run_host(args);
    s.events = read_events(dir + "/events");
    return s;
}

TEST(Simulate, HealthyPlantPublishesItsValuesWithNoActiveAlarm) {
    const Simulation s = simulate({"--rounds", "3"});
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    ASSERT_FALSE(s.events.empty());
    EXPECT_EQ(s.events.front()["event"], "link");
    EXPECT_EQ(s.events.front()["state"], "open");
    EXPECT_EQ(count_events(s.events, "publish"), 3);
    EXPECT_EQ(count_events(s.events, "history"), 3);
    EXPECT_EQ(count_events(s.events, "error"), 0);
    for (const Json::Value& e : s.events) {
        if (e["event"] == "publish") {
            EXPECT_EQ(e["type"], 5535);
            EXPECT_EQ(e["size"], 1257);
            expect_default_plant(published_record(e));
        }
        if (e["event"] == "alarm") {
            EXPECT_FALSE(e["active"].asBool()) << e.toStyledString();
        }
    }
    // The first round reads everything; later ones only the analog values
    // and the vendor reading, as nothing changed.
    std::vector<std::string> commands;
    for (const Json::Value& e : s.events)
        if (e["event"] == "send") commands.push_back(e["cid1"].asString() + e["cid2"].asString());
    const std::vector<std::string> expected{"4042", "4043", "4044", "4142", "4143", "4144", "4242", "4244", "8042",
                                            "4042", "4142", "4242", "8042", "4042", "4142", "4242", "8042"};
    EXPECT_EQ(commands, expected);
    // The person's view.
    EXPECT_NE(s.run.out.find("AC 1      A 230 V  B 231 V  C 229 V  50 Hz"), std::string::npos) << s.run.out;
    EXPECT_NE(s.run.out.find("DC 1      53.5 V  load 45 A"), std::string::npos) << s.run.out;
    EXPECT_NE(s.run.out.find("alarms    none"), std::string::npos) << s.run.out;
}

TEST(Simulate, MainsFailureIsRaised) {
    const std::string dir = scratch_dir();
    spit(dir + "/plant.json", R"({"ac": {"channels": [{"a": 0, "b": 0, "c": 0, "f": 0},
                                                       {"a": 0, "b": 0, "c": 0, "f": 0}]}})");
    const Simulation s = simulate({"--rounds", "2", "--plant", dir + "/plant.json"});
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    int raised = 0;
    for (const Json::Value& e : s.events) {
        if (e["event"] != "alarm" || e["key"] != "PowerOff") continue;
        EXPECT_EQ(e["id"], "419415001");
        EXPECT_EQ(e["text2"], "输入电源中断告警");
        EXPECT_TRUE(e["active"].asBool());
        ++raised;
    }
    EXPECT_EQ(raised, 2);
    // The person sees the alarm raised once, with its level, key, id and texts.
    const std::string line = "raised   level 1 critical  PowerOff 419415001  输入电源中断告警 / 输入电源中断告警";
    const size_t at = s.run.out.find(line);
    EXPECT_NE(at, std::string::npos) << s.run.out;
    EXPECT_EQ(s.run.out.find(line, at + 1), std::string::npos) << "raised once, not every round:\n" << s.run.out;
    EXPECT_NE(s.run.out.find("alarms    1 active: mains failure\n"), std::string::npos) << s.run.out;
}

bool is_json_object(const std::string& line) {
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(line.data(), line.data() + line.size(), &v, nullptr) && v.isObject() &&
           v["event"].isString() && v["time"].isString();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Diagnostic lines the plug-in writes every round.
bool has_diagnostics(const std::string& text) {
    return text.find("41_43 ") != std::string::npos && text.find("dc_number:") != std::string::npos;
}

// Standard output is the summary, or with --events - JSON lines alone; the
// plug-in's own lines go nowhere, to standard error, or to a file.
TEST(Simulate, StandardOutputHoldsOneFormatAndDiagnosticsGoWhereAsked) {
    const std::string dir = scratch_dir();
    const HostRun quiet = run_host({"simulate", "--fast", "--rounds", "2"});
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
    EXPECT_NE(quiet.out.find("== round 2:"), std::string::npos) << quiet.out;
    for (const std::string& l : lines_of(quiet.out)) EXPECT_NE(l.front(), '{') << l;
    EXPECT_FALSE(has_diagnostics(quiet.out)) << quiet.out;

    // Standard output named by its descriptor is "-": descriptor 1 itself
    // carries the plug-in's lines elsewhere.
    for (const char* out : {"-", "/dev/stdout", "/dev/fd/1"}) {
        const HostRun json = run_host({"simulate", "--fast", "--rounds", "2", "--events", out});
        ASSERT_EQ(json.status, 0) << json.err;
        int publishes = 0;
        for (const std::string& l : lines_of(json.out)) {
            EXPECT_TRUE(is_json_object(l)) << l;
            publishes += l.find("\"event\":\"publish\"") != std::string::npos;
        }
        EXPECT_EQ(publishes, 2) << out;
    }

    const HostRun debug = run_host({"simulate", "--fast", "--rounds", "1", "--debug"});
    ASSERT_EQ(debug.status, 0) << debug.err;
    EXPECT_TRUE(has_diagnostics(debug.err)) << debug.err;
    EXPECT_FALSE(has_diagnostics(debug.out)) << debug.out;

    const HostRun kept = run_host({"simulate", "--fast", "--rounds", "1", "--diag", dir + "/diag", "--events", "-"});
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_TRUE(has_diagnostics(slurp(dir + "/diag")));
    EXPECT_EQ(kept.err, "");
    for (const std::string& l : lines_of(kept.out)) EXPECT_TRUE(is_json_object(l)) << l;
}

// A plant that reports more than the record holds, and a second DC unit at
// 0 V and 0 A: the summary shows the unit and says what was not held; the
// publish values hold only what was reported.
TEST(Simulate, SummaryShowsEveryReportedUnitAndWhatTheRecordCannotHold) {
    const std::string dir = scratch_dir();
    std::string modules;
    for (int i = 0; i < 41; ++i)
        modules += std::string(i ? "," : "") + "{\"out_i\": " + std::to_string(10 + i % 3) + "}";
    // A list entry takes what it leaves out from the default plant's entry.
    spit(dir + "/plant.json", R"({"ac": {"channels": [{"a": 232}]},
                                  "rectifiers": {"modules": [)" +
                                  modules + R"(]},
                                  "dc": [{"battery_i": [3, 4, 5]},
                                         {"out_v": 0, "load_i": 0, "battery_i": [], "branch_i": []},
                                         {"out_v": 54}]})");
    const Simulation s = simulate({"--rounds", "1", "--plant", dir + "/plant.json"});
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    const std::string& out = s.run.out;
    EXPECT_NE(out.find("rectifier 53 V  41 modules reported, 40 held: 10 11 12"), std::string::npos) << out;
    EXPECT_NE(out.find("DC 1      53.5 V  load 45 A  (3 battery strings reported, 2 held)"), std::string::npos) << out;
    EXPECT_NE(out.find("DC 2      0 V  load 0 A  no battery"), std::string::npos) << out;
    EXPECT_NE(out.find("DC        3 DC units reported, 2 held"), std::string::npos) << out;
    EXPECT_NE(out.find("AC 1      A 232 V  B 231 V  C 229 V  50 Hz"), std::string::npos) << out;
    EXPECT_EQ(out.find("AC 2"), std::string::npos) << out;
    spit(dir + "/one.json", R"({"rectifiers": {"modules": [{"out_i": 12}]}})");
    const Simulation one = simulate({"--rounds", "1", "--plant", dir + "/one.json"});
    EXPECT_NE(one.run.out.find("rectifier 53 V  1 module: 12 A\n"), std::string::npos) << one.run.out;

    int publishes = 0;
    for (const Json::Value& e : s.events) {
        EXPECT_TRUE(e["time"].isString() && e["time"].asString().size() == 19) << e.toStyledString();
        if (e["event"] != "publish") continue;
        ++publishes;
        const Json::Value& v = e["values"];
        EXPECT_EQ(v["channel_count"], 1);
        EXPECT_EQ(v["channel"].size(), 1u);
        EXPECT_EQ(v["module_count"], 41);
        EXPECT_EQ(v["module"].size(), 40u);
        EXPECT_EQ(v["module"][39]["out_i"], 10 + 39 % 3);
        ASSERT_EQ(v["dc"].size(), 2u);
        EXPECT_EQ(v["dc"][1]["out_v"], 0);
        EXPECT_EQ(v["dc"][0]["m"], 3);
    }
    EXPECT_EQ(publishes, 1);
}

// A number from the environment, for long soaks by hand.
std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

// Every fault the line shows is followed by a good round, and no published
// record ever differs from the plant. TZV58_SOAK_ROUNDS and
// TZV58_SOAK_TIMEOUT_MS lengthen it (10,000 rounds at 30 ms, for one).
TEST(Simulate, RecoversFromLineFaultsWithoutCorruptingARecord) {
    using namespace tzv58::tool;
    const std::string faults = std::string(fault::DROP) + "=0.2," + fault::CHECKSUM + "=0.1," + fault::NOISE + "=0.1," +
                               fault::RTN + "=0.05," + fault::STALL + "=0.02";
    const std::string rounds = env_or("TZV58_SOAK_ROUNDS", "60");
    const Simulation s = simulate({"--rounds", rounds, "--faults", faults, "--seed", "11", "--timeout",
                                   env_or("TZV58_SOAK_TIMEOUT_MS", "150"), "--give-up", "0"});
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    std::set<std::string> reasons;
    size_t last_fault = 0, last_publish = 0;
    int publishes = 0;
    for (size_t i = 0; i < s.events.size(); ++i) {
        const Json::Value& e = s.events[i];
        if (e["event"] == "error") {
            reasons.insert(e["reason"].asString());
            last_fault = i;
        }
        if (e["event"] == "publish") {
            last_publish = i;
            ++publishes;
            SCOPED_TRACE("publish event " + std::to_string(i));
            expect_default_plant(published_record(e));
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(last_publish, last_fault) << "no good round after the last fault";
    EXPECT_GE(publishes, std::stoi(rounds) * 2 / 3);
    for (const char* r : {"timeout", "checksum", "noise", "rtn"}) EXPECT_TRUE(reasons.count(r)) << r;
}

// Under --fast a reply that does not come costs simulated time, not wall
// time: two rounds given up move the clock by their timeouts (3 x 2 s) and
// quiet waits (4 s), and by 2 s before each refresh; the silence is seen on
// that clock, since the start.
TEST(Simulate, FastRunsTimeoutsOnTheSimulatedClock) {
    const Simulation s = simulate({"--rounds", "1", "--give-up", "2", "--faults", "drop=1"});
    EXPECT_EQ(s.run.status, 1) << s.run.err;
    const auto seconds = [](const Json::Value& e) {
        tm t{};
        strptime(e["time"].asCString(), "%Y-%m-%dT%H:%M:%S", &t);
        return (long long)timegm(&t);
    };
    long long first_send = -1;
    std::vector<long long> timeouts, silent;
    for (const Json::Value& e : s.events) {
        if (e["event"] == "send" && first_send < 0) first_send = seconds(e);
        if (e["event"] == "error" && e["reason"] == "timeout") timeouts.push_back(seconds(e) - first_send);
        if (e["event"] == "link" && e["state"] == "silent") {
            silent.push_back(seconds(e) - first_send);
            EXPECT_EQ(e["since"], s.events.front()["time"]);
        }
    }
    EXPECT_EQ(timeouts, (std::vector<long long>{2, 4, 6, 14, 16, 18}));
    EXPECT_EQ(silent, (std::vector<long long>{10}));
}

// A line that brings noise before every reply: a few "noise" events a
// second (of the simulated clock, as the events' times show), then one that
// says how many were left out; the summary counts every one.
TEST(Simulate, LineNoiseIsThrottledInTheEventsAndCountedInTheSummary) {
    const Simulation s = simulate({"--rounds", "40", "--faults", "noise=1", "--seed", "5"});
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    const auto seconds = [](const Json::Value& e) {
        tm t{};
        strptime(e["time"].asCString(), "%Y-%m-%dT%H:%M:%S", &t);
        return (long long)timegm(&t);
    };
    int shown = 0, left_out = 0, counted = 0;
    long long first = -1, last = -1;
    for (const Json::Value& e : s.events) {
        if (e["event"] == "error" && e["reason"] == "noise") {
            ++shown;
            if (first < 0) first = seconds(e);
            last = seconds(e);
        }
        if (e["event"] == "left_out" && e["reason"] == "noise") left_out += e["count"].asInt();
    }
    for (const std::string& l : lines_of(s.run.out))
        if (l.rfind("line      errors: ", 0) == 0) counted += std::atoi(l.c_str() + 18);
    EXPECT_GE(counted, 100) << s.run.out;
    EXPECT_GT(left_out, 0);
    EXPECT_EQ(shown + left_out, counted);
    // A window of a second begins at its first error; whole seconds shown.
    EXPECT_LE(shown, 5 * (last - first + 2)) << "at most five a second, in " << last - first << " s";
}

// The round's summary counts every line error of its round, timeouts
// included, by kind; the events show at most a few of each kind a second and
// say how many they left out: by kind, the words a person reads add up to
// what a program reads.
TEST(Simulate, SummaryCountsEveryLineErrorAndTheEventsSayWhatTheyLeaveOut) {
    using namespace tzv58::tool;
    const std::string faults =
        std::string(fault::DROP) + "=0.15," + fault::CHECKSUM + "=0.15," + fault::NOISE + "=0.15";
    const Simulation s =
        simulate({"--rounds", "8", "--faults", faults, "--seed", "3", "--timeout", "100", "--give-up", "0"});
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    std::map<std::string, int> told, counted;
    for (const Json::Value& e : s.events) {
        if (e["event"] == "error") ++told[e["reason"].asString()];
        if (e["event"] == "left_out") told[e["reason"].asString()] += e["count"].asInt();
    }
    // "line      errors: 1 checksum, 3 timeout", "(8 replies, 10 line errors: 2 checksum, 6 timeout)"
    for (const std::string& l : lines_of(s.run.out)) {
        const size_t at = l.find("errors: ");
        if (at == std::string::npos) continue;
        std::istringstream list(
            l.substr(at + 8, l.find(')') == std::string::npos ? std::string::npos : l.find(')') - at - 8));
        for (std::string item; std::getline(list, item, ',');) {
            std::istringstream words(item);
            int n = 0;
            std::string kind;
            words >> n >> kind;
            counted[kind] += n;
        }
    }
    EXPECT_EQ(told, counted) << s.run.out;
    std::set<std::string> kinds;
    for (const auto& k : counted) kinds.insert(k.first);
    EXPECT_EQ(kinds, (std::set<std::string>{"checksum", "noise", "timeout"})) << s.run.out;
}

}  // namespace

namespace {

struct FaultCase {
    const char* fault;
    const char* rate;
    const char* reason;  // the error the line shows for it; nullptr: none at all
    bool full_plant;
};

std::ostream& operator<<(std::ostream& os, const FaultCase& c) { return os << c.fault << "=" << c.rate; }

class EachFault : public testing::TestWithParam<FaultCase> {};

// Each fault of the line is seen, recovered from, and never lets a record
// differ from the plant: echoes and late replies are never decoded as answers.
TEST_P(EachFault, IsRecoveredFromAndNoRecordDiffersFromThePlant) {
    const FaultCase& c = GetParam();
    const int rounds = 20;
    std::vector<std::string> args{"--rounds",  std::to_string(rounds),
                                  "--faults",  std::string(c.fault) + "=" + c.rate,
                                  "--seed",    "5",
                                  "--timeout", "150",
                                  "--give-up", "10"};
    if (c.full_plant) {
        const std::string dir = scratch_dir();
        spit(dir + "/plant.json", full_plant_json());
        args.insert(args.end(), {"--plant", dir + "/plant.json"});
    }
    std::vector<std::string> healthy_args{"--rounds", "1"};
    healthy_args.insert(healthy_args.end(), args.end() - (c.full_plant ? 2 : 0), args.end());
    const Simulation healthy = simulate(healthy_args);
    ASSERT_EQ(count_events(healthy.events, "publish"), 1);
    tzv58_419_Data_t plant{};
    for (const Json::Value& e : healthy.events)
        if (e["event"] == "publish") plant = published_record(e);

    const Simulation s = simulate(args);
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    std::set<std::string> reasons;
    size_t last_error = 0, last_publish = 0;
    int publishes = 0, excess_channels = 0, excess_modules = 0;
    for (size_t i = 0; i < s.events.size(); ++i) {
        const Json::Value& e = s.events[i];
        if (e["event"] == "error") {
            reasons.insert(e["reason"].asString());
            last_error = i;
        }
        if (e["event"] != "publish") continue;
        ++publishes;
        last_publish = i;
        const tzv58_419_Data_t r = published_record(e);
        SCOPED_TRACE("publish event " + std::to_string(i));
        c.full_plant ? expect_full_plant(r) : expect_default_plant(r);
        expect_same_reading(r, plant);
        excess_channels += r.channel_count == 3;
        excess_modules += r.module_count == 41;
        if (HasFailure()) return;
    }
    EXPECT_EQ(publishes, rounds);
    EXPECT_GT(last_publish, last_error) << "a good round after the last fault";
    if (c.reason) {
        EXPECT_TRUE(reasons.count(c.reason)) << c.reason;
    } else {
        EXPECT_TRUE(reasons.empty()) << *reasons.begin();
        EXPECT_EQ(count_events(s.events, "send"), 9 + 4 * (rounds - 1)) << "a request asked for again";
    }
    if (std::string(c.fault) == tzv58::tool::fault::EXCESS) {
        EXPECT_GT(excess_channels, 0);
        EXPECT_GT(excess_modules, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Simulate, EachFault,
    testing::Values(FaultCase{"truncate", "0.3", "truncated", false}, FaultCase{"soi", "0.3", "truncated", false},
                    FaultCase{"echo", "1", nullptr, false}, FaultCase{"late", "0.3", "timeout", false},
                    FaultCase{"foreign", "0.3", "address", false}, FaultCase{"excess", "0.5", nullptr, true}),
    [](const testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.fault); });

}  // namespace

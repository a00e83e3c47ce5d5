// tzv58_twin, the model of tests/twin_model.h: tzv58-host polls it with the
// simulated power system in its own order, and shows and stores its values,
// the one tzv58_419 has not among them, through the same path as
// tzv58_419's, learning all of it from the model's descriptor.
#include "e2e_support.h"

#include <string>
#include <vector>

#include "e2e_live_support.h"
#include "json_support.h"
#include "net_support.h"

namespace {

const std::string TWIN = std::string(TZV58_TEST_PLUGIN_DIR) + "/twin_plugin.so";

// cid1/cid2 of each request up to the first publication.
std::string first_round(const std::vector<Json::Value>& events) {
    std::string sent;
    for (const Json::Value& e : events) {
        if (e["event"] == "publish") break;
        if (e["event"] == "send") sent += e["cid1"].asString() + "/" + e["cid2"].asString() + " ";
    }
    return sent;
}

TEST(TwinModel, PolledInItsOrderShownAndStoredThroughTheSamePath) {
    const std::string dir = scratch_dir(), db = dir + "/twin.db", plant = dir + "/plant.json";
    // The third vendor value, and the items the twin's two alarm rows read.
    spit(plant, R"({"vendor": [50, 10, 21.5], "rectifiers": {"modules": [{"alarms": [128, 0, 0, 0, 0, 0, 0]}]},
                    "dc": [{"alarms": [128, 0, 0, 0, 0]}]})");
    Running r(with_history({"--plugin", TWIN, "--plant", plant}, db));
    ASSERT_TRUE(r.ready) << r.host->all(1);
    ASSERT_TRUE(r.rounds_go_on(2)) << r.host->all(1);

    const std::vector<Json::Value> events = events_so_far(r.events);
    EXPECT_EQ(first_round(events), "42/42 42/44 80/42 41/42 41/43 41/44 40/42 40/43 40/44 ");
    bool published = false;
    std::string raised;
    for (const Json::Value& e : events) {
        if (e["event"] == "alarm" && e["active"] == true)
            raised += e["key"].asString() + " " + e["text2"].asString() + ", ";
        if (e["event"] != "publish" || published) continue;
        published = true;
        EXPECT_EQ(e["type"], 5536);
        EXPECT_EQ(e["size"], 1281);
        EXPECT_EQ(e["values"]["temperature"], 21.5);
        EXPECT_EQ(e["values"]["ext_value"].size(), 2u) << "the twin's own value shows apart";
        EXPECT_EQ(e["values"]["ext_value"][1], 10);
    }
    EXPECT_TRUE(published);
    EXPECT_EQ(raised.substr(0, raised.find(", TWIN_RC_0", 1)), "TWIN_RC_0 模块1通信中断, TWIN_DC_0 一次下电")
        << "the twin's rows, from the items they read";
    EXPECT_TRUE(contains(r.host->all(0), "\ncabinet   21.5 °C\n")) << r.host->all(0);

    const HostRun got = run_host({"get", "--socket", r.socket});
    EXPECT_TRUE(contains(got.out, "\ntemperature: 21.5 °C\n")) << got.out;
    EXPECT_TRUE(contains(got.out, "\ndc[0].battery_i: 3 A\n")) << got.out;
    const std::string metrics = http_get(r.port, "/metrics").body;
    EXPECT_TRUE(contains(metrics, "\ntzv58_cabinet_temperature_celsius 21.5\n")) << metrics;
    const Json::Value model = parse_json(http_get(r.port, "/api/model").body);
    EXPECT_EQ(model["model"], "tzv58_twin");
    EXPECT_EQ(model["sections"][4]["title"], "Cabinet");
    EXPECT_EQ(r.host->stop(), 0);

    if (HOST_HAS_HISTORY) {
        const HostRun history = run_host({"history", db, "--plugin", TWIN, "--format", "csv"});
        EXPECT_EQ(history.status, 0) << history.err;
        EXPECT_TRUE(contains(history.out, ",ac2_c,cabinet_t\r\n")) << history.out;
        EXPECT_TRUE(contains(history.out, ",228,21.5\r\n")) << history.out;
    }
    const HostRun records = run_host({"record", r.events, "--plugin", TWIN});
    EXPECT_EQ(records.status, 0) << records.err;
    EXPECT_TRUE(contains(records.out, "\n  \"temperature\": 21.5\n")) << records.out;
    // tzv58_419 reads no such file: its records are not the twin's.
    EXPECT_EQ(run_host({"record", r.events}).status, 2);
}

TEST(TwinModel, AModelIsPickedByNameAndAnUnknownNameListsTheKnownOnes) {
    const HostRun r = run_host({"simulate", "--plugin", TWIN, "--model", "tzv58_419", "--rounds", "1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tzv58-host: unknown model 'tzv58_419' (known: tzv58_twin)\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(run_host({"simulate", "--plugin", TWIN, "--model", "tzv58_twin", "--fast", "--rounds", "1"}).status, 0);
}

}  // namespace

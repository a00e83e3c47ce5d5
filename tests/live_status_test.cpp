// What a running poll tells about itself, from a snapshot: the values the
// power system reported (cut to what the record holds from the last reply),
// the status object around them, and metrics that leave out old numbers.
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "json_support.h"
#include "model_support.h"
#include "tools/live/metrics.h"
#include "tools/live/status.h"

using namespace tzv58::tool;
using namespace std::chrono_literals;

namespace {

using R = tzv58_419_Data_t;
using Steady = std::chrono::steady_clock;

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// A plant of two channels, four modules and one DC unit, as the replies leave it.
R healthy_record() {
    R r{};
    r.data_id.set(7);
    r.channel_count = 2;
    for (auto& ch : r.channel) {
        ch.a.set(230);
        ch.b.set(231);
        ch.c.set(229);
        ch.f.set(50);
    }
    r.rc_out_v.set(53);
    r.module_count = 4;
    for (int i = 0; i < 4; ++i) {
        r.module[i].out_i.set(float(12 + i));
        r.module[i].p41_43_count = 1;
        r.module[i].p41_44_count = 7;
    }
    r.module[5].out_i.set(99);  // left by an older reply of a larger plant
    r.dc0.out_v.set(53.5f);
    r.dc0.load_i.set(45);
    r.dc0.m = 1;
    r.dc0.battery_i[0].set(3);
    r.dc0.n = 2;
    r.dc0.branch_i[0].set(20);
    r.dc0.branch_i[1].set(25);
    r.dc0.alert_p_count = 5;
    r.dc0.reserved1[0] = 0xEE;
    const uint8_t stamp[7] = {0xEA, 0x07, 0x0C, 0x07, 0x14, 0x2C, 0x38};
    std::memcpy(r.round_time, stamp, 7);
    r.ext_value[0].set(50);
    r.ext_value[1].set(10);
    return r;
}

TEST(LiveStatus, ValuesHoldWhatThePowerSystemReportedAndNothingElse) {
    const Json::Value v = parse_json(reported_values_json(view_of(healthy_record(), 1)));
    EXPECT_EQ(v["channel"].size(), 2u);
    ASSERT_EQ(v["module"].size(), 4u) << "modules up to module_count, not the record's 40";
    EXPECT_EQ(v["module"][3]["out_i"].asFloat(), 15.0f);
    ASSERT_EQ(v["dc"].size(), 1u) << "the DC units reported, not the record's two";
    EXPECT_EQ(v["dc"][0]["out_v"].asFloat(), 53.5f);
    EXPECT_EQ(v["dc"][0]["branch_i"].size(), 2u);
    EXPECT_EQ(v["dc"][0]["p42_41"].size(), 0u);
    EXPECT_EQ(v["round_time"].asString(), "2026-12-07T20:44:56");
    EXPECT_EQ(v["data_id"].asUInt(), 7u);
    for (const std::string& name : v.getMemberNames()) EXPECT_FALSE(has(name, "reserved")) << name;
    for (const std::string& name : v["dc"][0].getMemberNames()) EXPECT_FALSE(has(name, "reserved")) << name;
    EXPECT_FALSE(v.isMember("round_time_text"));

    R r{};
    EXPECT_TRUE(parse_json(reported_values_json(view_of(r, 0)))["round_time"].isNull())
        << "no round has stamped it yet";
}

// A count above a group's capacity: the values the record holds from the
// last reply, never the older ones a skipped group left behind.
TEST(LiveStatus, CountsBeyondTheRecordShowOnlyWhatTheLastReplyLeft) {
    R r = healthy_record();
    r.channel_count = 3;
    r.module_count = 41;
    r.airlock_count = 9;
    r.airlock[0] = 5;
    r.module[0].p41_43_count = 2;
    r.module[0].p41_44_count = 6;
    r.dc0.m = 3;  // skipped whole: battery_i keeps an older reply's
    r.dc0.n = 21;
    r.dc0.p = 10;
    r.dc0.alert_m_count = 50;  // the first 42 kept
    r.dc0.alert_p_count = 7;   // the first 5 kept
    r.dc1.p = 2;
    r.dc1.p42_41[0].set(tzv58::NOT_PROVIDED);
    r.dc1.p42_41[1].set(300);
    r.ac_tail[1].set(tzv58::NOT_PROVIDED);
    const Json::Value v = parse_json(reported_values_json(view_of(r, 2)));
    EXPECT_EQ(v["channel_count"].asUInt(), 3u);
    EXPECT_EQ(v["channel"].size(), 2u);
    EXPECT_EQ(v["module_count"].asUInt(), 41u);
    EXPECT_EQ(v["module"].size(), 40u);
    EXPECT_EQ(v["airlock"].size(), 0u);
    EXPECT_EQ(v["module"][0]["p41_43"].size(), 0u);
    EXPECT_EQ(v["module"][0]["p41_44"].size(), 0u);
    EXPECT_EQ(v["module"][1]["p41_44"].size(), 7u);
    const Json::Value& dc = v["dc"][0];
    EXPECT_EQ(dc["m"].asUInt(), 3u);
    EXPECT_EQ(dc["battery_i"].size(), 0u);
    EXPECT_EQ(dc["branch_i"].size(), 0u);
    EXPECT_EQ(dc["p42_41"].size(), 0u);
    EXPECT_EQ(dc["alert_m"].size(), 42u);
    EXPECT_EQ(dc["alert_p"].size(), 5u);
    ASSERT_EQ(v["dc"].size(), 2u);
    EXPECT_TRUE(v["dc"][1]["p42_41"][0].isNull()) << "a value marked as not supplied";
    EXPECT_EQ(v["dc"][1]["p42_41"][1].asFloat(), 300.0f);
    EXPECT_TRUE(v["ac_tail"][1].isNull());
}

// The history's columns hold what the values show, by the same rules: a
// battery group the last reply skipped, a reading of exactly -0.1 (marked
// only where the decoders mark), the rectifiers' voltage with no module, a
// unit the last reply did not report.
TEST(LiveStatus, HistoryColumnsHoldWhatTheValuesShow) {
    R r = healthy_record();
    r.dc0.m = 3;
    r.dc0.load_i.set(-0.1f);
    r.module_count = 0;
    r.dc1.out_v.set(52);
    const RecordView v = view_of(r, 1);
    const Json::Value st = parse_json(reported_values_json(v));
    auto column = [&](const std::string& name) {
        double x = 0;
        for (const tzv58::history_column& c : v.table().history)
            if (name == c.name) return v.column(c, x) ? Json::Value(x) : Json::Value();
        return Json::Value("no such column");
    };
    EXPECT_TRUE(column("battery1_i").isNull());
    EXPECT_EQ(st["dc"][0]["battery_i"].size(), 0u);
    EXPECT_EQ(float(column("load_i").asDouble()), -0.1f);
    EXPECT_EQ(st["dc"][0]["load_i"].asFloat(), -0.1f);
    EXPECT_EQ(column("rc_out_v").asDouble(), 53.0);
    EXPECT_EQ(st["rc_out_v"].asDouble(), 53.0);
    EXPECT_TRUE(column("dc2_v").isNull());
    EXPECT_EQ(st["dc"].size(), 1u);
    EXPECT_EQ(column("ac2_c").asDouble(), 229.0);
}

LiveSnapshot running(Steady::time_point now) {
    LiveSnapshot s;
    s.have_record = true;
    s.model = tzv58_model();
    s.record = bytes_of(healthy_record());
    s.dc_reported = 1;
    s.record_at = now - 500ms;
    s.record_wall = std::chrono::system_clock::time_point(std::chrono::seconds(1796676296));
    s.round_interval = 2s;
    s.alarms.push_back({1, "PowerOff", "419415001", "输入电源中断告警", 1, true});
    s.link_open = true;
    s.link_since = "2026-12-07T20:40:00";
    s.last_round_complete = true;
    s.rounds_completed = 12;
    s.port = "/dev/ttyS1";
    s.address = 1;
    s.taken =
        boost::posix_time::ptime(boost::gregorian::date(2026, 12, 7), boost::posix_time::time_duration(20, 44, 56));
    s.taken_at = now - 500ms;
    return s;
}

TEST(LiveStatus, TheStatusObjectTellsLinkRoundsAndTheAgeOfTheData) {
    const Steady::time_point now = Steady::now();
    LiveSnapshot s = running(now);
    Json::Value st = parse_json(status_json(s, now));
    EXPECT_EQ(st["time"].asString(), "2026-12-07T20:44:56");
    EXPECT_EQ(st["port"].asString(), "/dev/ttyS1");
    EXPECT_EQ(st["address"].asInt(), 1);
    EXPECT_EQ(st["link"]["state"].asString(), "open");
    EXPECT_EQ(st["link"]["since"].asString(), "2026-12-07T20:40:00");
    EXPECT_FALSE(st["link"].isMember("cause"));
    EXPECT_EQ(st["rounds"]["completed"].asUInt(), 12u);
    EXPECT_EQ(st["rounds"]["last"].asString(), "complete");
    EXPECT_EQ(st["data"]["round_time"].asString(), "2026-12-07T20:44:56");
    EXPECT_FLOAT_EQ(st["data"]["age_s"].asFloat(), 0.5f);
    EXPECT_TRUE(st["data"]["current"].asBool());
    EXPECT_EQ(st["values"]["dc"][0]["out_v"].asFloat(), 53.5f);

    s.link_open = false;
    s.link_since = "2026-12-07T20:45:00";
    s.link_cause = "hang-up";
    st = parse_json(status_json(s, now + 3s));
    EXPECT_EQ(st["time"].asString(), "2026-12-07T20:44:59");
    EXPECT_EQ(st["link"]["state"].asString(), "down");
    EXPECT_EQ(st["link"]["cause"].asString(), "hang-up");
    EXPECT_FALSE(st["data"]["current"].asBool()) << "the last values, marked as such";
    EXPECT_EQ(st["values"]["dc"][0]["out_v"].asFloat(), 53.5f);

    LiveSnapshot fresh;
    fresh.link_open = true;
    st = parse_json(status_json(fresh, now));
    EXPECT_TRUE(st["data"].isNull());
    EXPECT_TRUE(st["values"].isNull());
    EXPECT_EQ(st["rounds"]["last"].asString(), "none");
}

// The alarms the device reports, as one alarm each (rows of several
// modules share a key and an id), active ones most severe first with since
// when, and the transitions newest first; the line's word on the link.
TEST(LiveStatus, AlarmsWithSinceWhenTransitionsAndTheLinkCause) {
    ManualClock clock(boost::posix_time::ptime(boost::gregorian::date(2026, 12, 7), boost::posix_time::hours(20)));
    LiveTap tap(tzv58_model());
    tap.set_clock(&clock);
    auto round = [&](bool mains_off, bool m1, bool m2) {
        clock.advance(2);
        tap.on_alarm(1, "PowerOff", "419415001", "输入电源中断告警", "输入电源中断告警", mains_off, 100);
        tap.on_alarm(3, "ZID06OZU_RC_1", "419430501", "整流模块故障告警", "模块1模块故障告警状态", m1, 1);
        tap.on_alarm(3, "ZID06OZU_RC_1", "419430501", "整流模块故障告警", "模块2模块故障告警状态", m2, 2);
    };
    round(false, false, false);
    round(false, false, true);
    round(true, false, true);
    round(true, false, true);
    LiveSnapshot s;
    tap.fill(s);
    ASSERT_EQ(s.active.size(), 2u);
    EXPECT_EQ(s.active[0].key, "PowerOff") << "most severe first";
    EXPECT_EQ(s.active[0].time, "2026-12-07T20:00:06");
    EXPECT_EQ(s.active[1].text2, "模块2模块故障告警状态");
    EXPECT_EQ(s.active[1].time, "2026-12-07T20:00:04");
    ASSERT_EQ(s.transitions.size(), 2u);
    EXPECT_EQ(s.transitions[0].key, "PowerOff") << "newest first";

    round(false, false, false);
    tap.fill(s);
    EXPECT_TRUE(s.active.empty());
    ASSERT_EQ(s.transitions.size(), 4u);
    EXPECT_FALSE(s.transitions[0].raised);
    for (int i = 0; i < 31; ++i) round(i % 2 == 0, false, false);
    tap.fill(s);
    EXPECT_EQ(s.transitions.size(), RECENT_TRANSITIONS);

    const Json::Value st = parse_json(status_json(s, Steady::now()));
    ASSERT_EQ(st["alarms"].size(), 1u);
    EXPECT_EQ(st["alarms"][0]["level_name"].asString(), "critical");
    EXPECT_EQ(st["alarms"][0]["id"].asString(), "419415001");
    EXPECT_EQ(st["alarms"][0]["since"].asString(), "2026-12-07T20:01:12");
    EXPECT_EQ(st["transitions"][0]["change"].asString(), "raised");
    EXPECT_EQ(st["transitions"][1]["change"].asString(), "cleared");
    EXPECT_EQ(st["transitions"][1]["text2"].asString(), "输入电源中断告警");

    EXPECT_TRUE(s.link_since.empty()) << "no word from the line yet";
    clock.advance(5);
    tap.link_lost("hang-up");
    tap.fill(s);
    EXPECT_EQ(s.link_since, "2026-12-07T20:01:17");
    EXPECT_EQ(s.link_cause, "hang-up");
    clock.advance(63);
    tap.link_restored(63);
    tap.fill(s);
    EXPECT_EQ(s.link_since, "2026-12-07T20:02:20");
    EXPECT_EQ(s.link_cause, "");
}

// What is known of the alarms: unknown (the last known) while the data is not
// current; mains failure exactly as the device's alarm says it; the power
// system's own status bytes, where the values hold them, labelled as such.
TEST(LiveStatus, AlarmsUnknownWhileNotCurrentMainsFailureAsTheAlarmSaysAndStatusBytes) {
    const Steady::time_point now = Steady::now();
    LiveSnapshot s = running(now);
    s.alarms[0].active = false;
    Json::Value st = parse_json(status_json(s, now));
    EXPECT_TRUE(st["alarms_current"].asBool());
    EXPECT_EQ(st["mains_failure"], false);
    EXPECT_TRUE(st["mains_failure_since"].isNull());
    EXPECT_EQ(st["status_bytes"].size(), 0u);

    s.alarms[0].active = true;
    s.active.push_back(
        {"2026-12-07T20:44:50", true, 1, "PowerOff", "419415001", "输入电源中断告警", "输入电源中断告警"});
    EXPECT_FALSE(parse_json(status_json(s, now + 7s))["alarms_current"].asBool()) << "no round lately";
    s.link_open = false;
    st = parse_json(status_json(s, now));
    EXPECT_FALSE(st["alarms_current"].asBool()) << "the link is down";
    EXPECT_EQ(st["alarms"].size(), 1u) << "the last known";
    EXPECT_EQ(st["mains_failure"], true);
    EXPECT_EQ(st["mains_failure_since"], "2026-12-07T20:44:50");

    // Mode 2's check of AC input lost is the mains failure there; another
    // alarm active is none; no such alarm reported: not known at all.
    s.alarms = {{1, "220600140010", "220600140010", "001#48V直流系统交流输入停电告警", 1, true}};
    EXPECT_EQ(parse_json(status_json(s, now))["mains_failure"], true);
    s.alarms = {{3, "ZID06OZU_RC_1", "419430501", "模块1模块故障告警状态", 1, true}};
    EXPECT_TRUE(parse_json(status_json(s, now))["mains_failure"].isNull());
    LiveSnapshot fresh;
    st = parse_json(status_json(fresh, now));
    EXPECT_FALSE(st["alarms_current"].asBool()) << "no round yet";
    EXPECT_TRUE(st["mains_failure"].isNull());

    R r = healthy_record();
    r.channel[1].c_alarm = 3;
    r.module[0].fault = 0x81;
    r.module[1].p41_44[2] = 0x82;
    r.module[2].p41_44_count = 6;  // not kept: not shown
    r.module[2].p41_44[0] = 0x80;
    r.module[5].fault = 1;  // beyond module_count
    r.dc0.alert_p[4] = 0x84;
    r.dc0.alert_p_count = 4;  // the fifth not from this reply
    r.dc0.v_alarm = 2;
    r.dc1.v_alarm = 1;  // a unit the power system did not report
    const Json::Value b = parse_json(status_bytes_json(view_of(r, 1)));
    std::string listed;
    for (const Json::Value& e : b) listed += e["at"].asString() + "=" + std::to_string(e["byte"].asInt()) + " ";
    EXPECT_EQ(listed, "channel[1].c_alarm=3 module[0].fault=129 module[1].p41_44[2]=130 dc[0].v_alarm=2 ");
    EXPECT_EQ(b[0]["text"], "status byte 03H from the power system");
}

TEST(LiveStatus, MetricsLeaveOutOldNumbersWhileTheLinkIsDownOrTheDataIsStale) {
    const Steady::time_point now = Steady::now();
    LiveSnapshot s = running(now);
    const std::string live = render_metrics(s, now);
    EXPECT_TRUE(has(live, "\ntzv58_dc_output_voltage_volts{unit=\"1\"} 53.5\n")) << live;
    EXPECT_TRUE(has(live, "\ntzv58_alarm_active{key=\"PowerOff\""));
    EXPECT_TRUE(has(live, "\ntzv58_data_current 1\n"));
    EXPECT_TRUE(has(live, "\ntzv58_last_round_timestamp_seconds 1796676296\n")) << live;

    auto only_the_link_remains = [](const std::string& m) {
        for (const char* gone : {"tzv58_dc_", "tzv58_ac_", "tzv58_rectifier_", "tzv58_vendor_", "tzv58_alarm_active"})
            EXPECT_FALSE(has(m, gone)) << gone << " in\n" << m;
        EXPECT_TRUE(has(m, "\ntzv58_data_current 0\n")) << m;
        EXPECT_TRUE(has(m, "\ntzv58_last_round_timestamp_seconds 1796676296\n")) << m;
        EXPECT_TRUE(has(m, "\ntzv58_rounds_completed_total 12\n")) << m;
    };
    s.link_open = false;
    s.last_round_complete = false;
    const std::string down = render_metrics(s, now);
    only_the_link_remains(down);
    EXPECT_TRUE(has(down, "\ntzv58_link_up 0\n")) << down;

    // The link open, but no round for more than three round intervals.
    s = running(now);
    only_the_link_remains(render_metrics(s, now + 6s));
    EXPECT_TRUE(has(render_metrics(s, now + 5s), "\ntzv58_data_current 1\n"));
    // The same values as the status object: every DC unit reported (a second
    // one at 0 V too), no battery current an older reply left behind.
    s = running(now);
    R three = healthy_record();
    three.dc0.m = 3;
    s.record = bytes_of(three);
    s.dc_reported = 2;
    const std::string two = render_metrics(s, now);
    EXPECT_TRUE(has(two, "\ntzv58_dc_output_voltage_volts{unit=\"2\"} 0\n")) << two;
    EXPECT_FALSE(has(two, "tzv58_dc_battery_current_amperes{")) << two;

    s = running(now);
    // Rounds closer together than a second are counted a second apart.
    s.round_interval = 1ms;
    EXPECT_TRUE(has(render_metrics(s, now + 2s), "\ntzv58_data_current 1\n"));
    only_the_link_remains(render_metrics(s, now + 4s));
}

}  // namespace

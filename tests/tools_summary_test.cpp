// What the host program keeps of a round for the person: alarm transitions
// (raised once, cleared once), the DC units each reply reports in either
// layout, and the summary that shows them.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/frame.h"
#include "model_support.h"
#include "tools/report/observers.h"
#include "tools/report/summary.h"

namespace {

using tzv58::tool::DcUnitWatch;
using tzv58::tool::RoundCollector;

const boost::posix_time::ptime T0(boost::gregorian::date(2026, 12, 7), boost::posix_time::hours(22));

std::string summary_of(const RoundCollector& c, int dc_reported, bool completed = true) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    tzv58::tool::print_summary(f, 1, completed, c, dc_reported);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

TEST(ToolsSummary, AnAlarmIsRaisedOnceAndClearedOnceWithItsElementTexts) {
    ManualClock clock(T0);
    RoundCollector c;
    c.set_clock(&clock);
    // Two modules share the row's key and id; their texts tell them apart.
    auto report = [&](bool m1, bool m2) {
        c.new_round();
        c.on_alarm(3, "ZID06OZU_RC_1", "419430501", "整流模块故障告警", "模块1模块故障告警状态", m1, 1);
        c.on_alarm(3, "ZID06OZU_RC_1", "419430501", "整流模块故障告警", "模块2模块故障告警状态", m2, 1);
        clock.advance(2);
    };
    report(false, false);
    EXPECT_TRUE(c.transitions().empty()) << "an alarm never raised is not cleared";
    EXPECT_NE(summary_of(c, 1).find("alarms    none\n"), std::string::npos);

    report(true, false);
    ASSERT_EQ(c.transitions().size(), 1u);
    EXPECT_TRUE(c.transitions()[0].raised);
    EXPECT_EQ(c.transitions()[0].time, "2026-12-07T22:00:02");
    const std::string raised = summary_of(c, 1);
    EXPECT_NE(raised.find("2026-12-07T22:00:02  raised   level 3 minor     ZID06OZU_RC_1 419430501  "
                          "整流模块故障告警 / 模块1模块故障告警状态\n"),
              std::string::npos)
        << raised;
    EXPECT_NE(raised.find("alarms    1 active\n"), std::string::npos) << "no mains failure:\n" << raised;

    report(true, true);  // module 1 holds: only module 2 is news
    ASSERT_EQ(c.transitions().size(), 1u);
    EXPECT_EQ(c.transitions()[0].text2, "模块2模块故障告警状态");
    EXPECT_EQ(c.active_alarms(), 2);

    report(false, true);
    ASSERT_EQ(c.transitions().size(), 1u);
    EXPECT_FALSE(c.transitions()[0].raised);
    EXPECT_EQ(c.transitions()[0].text2, "模块1模块故障告警状态");
    EXPECT_NE(summary_of(c, 1).find("cleared  level 3 minor"), std::string::npos);
}

// A threshold check (its key is its id) carries the round's readings in its
// first text: readings that move do not make another alarm of it.
TEST(ToolsSummary, AThresholdAlarmWithMovingReadingsIsOneAlarm) {
    ManualClock clock(T0);
    RoundCollector c;
    c.set_clock(&clock);
    const std::string id = "220600120010";
    const char* readings[] = {"ua1:281 ub1:230 uc1:229 ua2:0 ub2:0 uc2:0",
                              "ua1:283.5 ub1:230 uc1:229 ua2:0 ub2:0 uc2:0",
                              "ua1:282 ub1:231 uc1:229 ua2:0 ub2:0 uc2:0", "ua1:230 ub1:231 uc1:229 ua2:0 ub2:0 uc2:0"};
    std::vector<bool> raised;
    for (int round = 0; round < 4; ++round) {
        c.new_round();
        c.on_alarm(1, id, id, readings[round], "001#48V直流系统交流输入电压过高告警", round < 3, 1);
        for (const auto& t : c.transitions()) raised.push_back(t.raised);
        EXPECT_EQ(c.active_alarms(), round < 3 ? 1 : 0) << "round " << round;
    }
    EXPECT_EQ(raised, (std::vector<bool>{true, false}));
    ASSERT_EQ(c.transitions().size(), 1u);
    EXPECT_EQ(c.transitions()[0].text1, readings[3]) << "the clearing shows the readings of its round";
}

// Line errors by kind, timeouts among them, counted afresh each round.
TEST(ToolsSummary, AnIncompleteRoundSaysSoAndShowsNoStaleRecord) {
    RoundCollector c;
    c.new_round();
    for (int i = 0; i < 8; ++i) c.on_payload(1, 4);
    for (const char* reason :
         {"timeout", "checksum", "noise", "timeout", "timeout", "noise", "checksum", "timeout", "timeout", "timeout"})
        c.on_frame_error(reason, nullptr, 0);
    EXPECT_EQ(summary_of(c, 1, false),
              "== round 1: no complete reading (8 replies, 10 line errors: 2 checksum, 2 noise, 6 timeout)\n");
    c.new_round();
    EXPECT_EQ(summary_of(c, 1, false), "== round 1: no complete reading (0 replies, 0 line errors)\n");
    RoundCollector one;
    one.new_round();
    one.on_payload(1, 4);
    one.on_frame_error("noise", nullptr, 0);
    EXPECT_EQ(summary_of(one, 1, false), "== round 1: no complete reading (1 reply, 1 line error: 1 noise)\n");
    EXPECT_EQ(summary_of(c, 1).find("\nline "), std::string::npos) << "a clean round has no line row";
    c.on_frame_error("checksum", nullptr, 0);
    EXPECT_NE(summary_of(c, 1).find("\nline      errors: 1 checksum\n"), std::string::npos);
}

// A codec whose reply image the test sets by hand.
struct Codec : PMBusProtocol {
    int process_payload() override { return 0; }
    void reply(const std::vector<uint8_t>& info) {
        image.assign({0x20, 0x01, 0x42, 0x00, uint8_t(info.size() * 2), 0});
        image.insert(image.end(), info.begin(), info.end());
        reply_frame = image.data();
        reply_len = int(image.size());
    }
    std::vector<uint8_t> image;
};

// The device's round: the 42H analog request, its reply, then the next request.
void dc_round(DcUnitWatch& w, Codec& codec, uint8_t cid2, const std::vector<uint8_t>& info) {
    w.on_send(0x42, cid2, nullptr, 0, "", 0);
    codec.reply(info);
    w.on_send(0x80, 0x42, nullptr, 0, "", 0);  // sent while the reply is handled
    w.on_payload(1, 50);
}

// The model's group of DC units.
const tzv58::value_group& dc_units() {
    for (const tzv58::value_row& r : tzv58_419::model().values.rows)
        if (r.kind == tzv58::value_kind::group && r.group->count_at < 0) return *r.group;
    throw std::logic_error("no DC units");
}

TEST(ToolsSummary, DcUnitsAreCountedInEitherReplyLayout) {
    Codec codec;
    tzv58_419_Data_t empty{};
    {
        DcUnitWatch w(codec, -1);
        EXPECT_EQ(w.reported(), -1);
        EXPECT_EQ(view_of(empty, w.reported()).held(dc_units()), 0) << "no reply yet: the units that hold anything";
        // Count byte 3, then 53.01 V 25.00 A and so on: three units reported.
        dc_round(w, codec, 0x42, {0x00, 0x03, 0x14, 0xB5, 0x09, 0xC4, 0x00, 0x00, 0x00});
        EXPECT_EQ(w.reported(), 3);
        EXPECT_EQ(view_of(empty, w.reported()).held(dc_units()), 2);
        // A reply to another request (here the vendor's) changes nothing.
        w.on_send(0x80, 0x42, nullptr, 0, "", 0);
        codec.reply({0x00, 0x01});
        w.on_payload(0, 10);
        EXPECT_EQ(w.reported(), 3);
    }
    {
        // No count byte: the voltage follows DATAFLAG (53.01 V), one unit.
        DcUnitWatch w(codec, -1);
        dc_round(w, codec, 0x42, {0x00, 0x14, 0xB5, 0x09, 0xC4, 0x00, 0x00, 0x00});
        EXPECT_EQ(w.reported(), 1);
        // The layout is told once, as the device does: 2 stays a voltage byte.
        dc_round(w, codec, 0x42, {0x00, 0x02, 0xB5, 0x09, 0xC4, 0x00, 0x00, 0x00});
        EXPECT_EQ(w.reported(), 1);
    }
    {
        // Configured to carry a count byte, whatever the first value reads.
        DcUnitWatch w(codec, 2);
        dc_round(w, codec, 0x42, {0x00, 0x14, 0xB5, 0x09, 0xC4});
        EXPECT_EQ(w.reported(), 0x14);
    }
}

TEST(ToolsSummary, ASecondUnitAtZeroIsShownWhenReportedOnly) {
    RoundCollector c;
    c.set_model(tzv58_model());
    tzv58_419_Data_t r{};
    r.dc0.out_v.set(53.5f);
    r.dc0.load_i.set(45);
    c.on_publish(5535, reinterpret_cast<const unsigned char*>(&r), sizeof r);
    EXPECT_NE(summary_of(c, 2).find("DC 2      0 V  load 0 A  no battery\n"), std::string::npos) << summary_of(c, 2);
    EXPECT_EQ(summary_of(c, 1).find("DC 2"), std::string::npos) << summary_of(c, 1);
}

}  // namespace

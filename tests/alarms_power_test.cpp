// Power-system alarm checks: mains failure (mode 1) and the AC and DC
// threshold checks (mode 2), observed through the recording host.
#include <cmath>
#include <limits>
#include <sstream>

#include "alarm_reports.h"
#include "support.h"

namespace {

using power = pmbuspower_419<tzv58_419_Data_t, 5535>;
using Reports = std::vector<AlarmReport>;

const char* const HIGH = "220600120010";
const char* const LOW = "220600130010";
const char* const NO_MAINS = "220600140010";
const char* const F_HIGH = "220600160010";
const char* const F_LOW = "220600170010";
const char* const DC_LOW = "210600320010";
const char* const DC_ULTRA_LOW = "210600330010";
const char* const DC_HIGH = "210600340010";

struct PowerChecks : testing::Test {
    Rig<> rig;
    tzv58_419& dev = *rig.dev;

    // The power-system checks alone, as RoundDone starts them.
    const Reports& run() {
        rig.rec.alarms.clear();
        dev.check_seq = 1;
        dev.power::RunCheckThreshold();
        return rig.rec.alarms;
    }
    void phases(int i, float a, float b, float c) {
        dev.data.channel[i].a.set(a);
        dev.data.channel[i].b.set(b);
        dev.data.channel[i].c.set(c);
    }
    void all_phases(float v) {
        phases(0, v, v, v);
        phases(1, v, v, v);
    }
    void wiring(bool a, bool b, bool c) {
        dev.has_a = a;
        dev.has_b = b;
        dev.has_c = c;
    }
    // Mode 2 with every check enabled at a distinct level.
    void mode2() {
        dev.b_mode_ = 2;
        const std::pair<const char*, int> levels[] = {{HIGH, 2},  {LOW, 3},    {NO_MAINS, 4},     {F_HIGH, 1},
                                                      {F_LOW, 5}, {DC_LOW, 6}, {DC_ULTRA_LOW, 7}, {DC_HIGH, 8}};
        for (const auto& l : levels) dev.threshold_levels[l.first] = l.second;
        dev.threshold_values[F_HIGH] = 55.0f;
        dev.threshold_values[F_LOW] = 45.0f;
        dev.threshold_values[DC_LOW] = 47.0f;
        dev.threshold_values[DC_ULTRA_LOW] = 45.0f;
        dev.threshold_values[DC_HIGH] = 58.0f;
    }
    // The active flag of the one report with this id.
    bool active(const char* id) {
        const AlarmReport* found = nullptr;
        for (const AlarmReport& r : rig.rec.alarms) {
            if (r.id != id) continue;
            EXPECT_EQ(found, nullptr) << id << " reported twice";
            found = &r;
        }
        EXPECT_NE(found, nullptr) << id << " not reported";
        return found && found->active;
    }
};

AlarmReport power_off(bool active) {
    return {1, "PowerOff", "419415001", "输入电源中断告警", "输入电源中断告警", active, 100};
}

TEST_F(PowerChecks, MainsFailureWithoutChannelsIsActive) {
    dev.data.channel_count = 0;
    all_phases(230.0f);  // not visited
    EXPECT_EQ(run(), Reports{power_off(true)});
}

TEST_F(PowerChecks, ChannelCountsAsSuppliedOnlyWithEveryWiredPhaseAbove120) {
    dev.data.channel_count = 1;
    phases(0, 120.1f, 120.1f, 120.1f);
    EXPECT_EQ(run(), Reports{power_off(false)});
    phases(0, 120.1f, 120.0f, 120.1f);
    EXPECT_EQ(run(), Reports{power_off(true)});
    phases(0, 230.0f, std::nanf(""), 230.0f);
    EXPECT_EQ(run(), Reports{power_off(true)});

    // An unwired phase does not count against its channel.
    wiring(true, false, true);
    EXPECT_EQ(run(), Reports{power_off(false)});
    wiring(false, false, false);
    phases(0, 0.0f, 0.0f, 0.0f);
    EXPECT_EQ(run(), Reports{power_off(false)});
}

TEST_F(PowerChecks, AnySuppliedChannelClearsMainsFailure) {
    dev.data.channel_count = 2;
    phases(0, 0.0f, 0.0f, 0.0f);
    phases(1, 230.0f, 230.0f, 230.0f);
    EXPECT_EQ(run(), Reports{power_off(false)});
    phases(1, 230.0f, 230.0f, 100.0f);
    EXPECT_EQ(run(), Reports{power_off(true)});
}

TEST_F(PowerChecks, MainsFailureVisitsOnlyTheChannelsTheRecordHolds) {
    dev.data.channel_count = 255;
    all_phases(0.0f);
    // A third channel would begin at the rectifier voltage: a healthy 230 V
    // there must not read as a supplied channel.
    dev.data.rc_out_v.set(230.0f);
    wiring(true, false, false);
    EXPECT_EQ(run(), Reports{power_off(true)});
}

TEST_F(PowerChecks, MainsFailureNeedsTheAcDistribution) {
    dev.has_ac = false;
    dev.data.channel_count = 0;
    EXPECT_EQ(run(), Reports{});
}

TEST_F(PowerChecks, HealthyPlantReportsEveryCheckInactiveThenAlarmsFollowTheValues) {
    mode2();
    dev.data.channel_count = 1;
    phases(0, 220.5f, 221.0f, 219.8f);
    dev.data.channel[0].f.set(50.0f);
    dev.data.dc(0).out_v.set(53.2f);
    const std::string ph = "ua1:220.5 ub1:221 uc1:219.8 ua2:0 ub2:0 uc2:0";
    const std::string fr = "f1:50 f2:0";
    const std::string v = "53.2000008";
    EXPECT_EQ(run(), (Reports{
                         {2, HIGH, HIGH, ph, "001#48V直流系统交流输入电压过高告警", false, 1},
                         {3, LOW, LOW, ph, "001#48V直流系统交流输入电压过低告警", false, 1},
                         {4, NO_MAINS, NO_MAINS, ph, "001#48V直流系统交流输入停电告警", false, 1},
                         {1, F_HIGH, F_HIGH, fr, "001#48V直流系统交流输入频率过高告警", false, 1},
                         {5, F_LOW, F_LOW, fr, "001#48V直流系统交流输入频率过低告警", false, 1},
                         {6, DC_LOW, DC_LOW, v, "48V直流系统直流总电压过低告警", false, 1},
                         {7, DC_ULTRA_LOW, DC_ULTRA_LOW, v, "48V直流系统直流总电压超低告警", false, 1},
                         {8, DC_HIGH, DC_HIGH, v, "直流总电压过高告警", false, 1},
                     }));
    EXPECT_EQ(dev.check_seq, 1);

    phases(0, 281.0f, 149.0f, 220.0f);
    dev.data.channel[0].f.set(56.0f);
    dev.data.channel[1].f.set(44.0f);
    dev.data.dc(0).out_v.set(44.0f);
    run();
    const bool expected[] = {true, true, false, true, true, true, true, false};
    ASSERT_EQ(rig.rec.alarms.size(), 8u);
    for (size_t k = 0; k < 8; ++k) EXPECT_EQ(rig.rec.alarms[k].active, expected[k]) << rig.rec.alarms[k].id;
    EXPECT_EQ(rig.rec.alarms[0].text1, "ua1:281 ub1:149 uc1:220 ua2:0 ub2:0 uc2:0");
    EXPECT_EQ(rig.rec.alarms[3].text1, "f1:56 f2:44");
    EXPECT_EQ(rig.rec.alarms[5].text1, "44");
}

TEST_F(PowerChecks, VoltageLimitsAreStrict) {
    mode2();
    all_phases(230.0f);
    phases(1, 280.0f, 230.0f, 150.0f);
    run();
    EXPECT_FALSE(active(HIGH));
    EXPECT_FALSE(active(LOW));
    phases(1, std::nextafter(280.0f, 300.0f), 230.0f, std::nextafter(150.0f, 0.0f));
    run();
    EXPECT_TRUE(active(HIGH));
    EXPECT_TRUE(active(LOW));

    all_phases(149.9f);
    phases(1, 149.9f, 149.9f, 150.0f);  // one phase at the limit keeps the mains
    run();
    EXPECT_FALSE(active(NO_MAINS));
    phases(1, 149.9f, 149.9f, 149.9f);
    run();
    EXPECT_TRUE(active(NO_MAINS));
}

TEST_F(PowerChecks, UnmeasuredPhaseIsNotLowButCountsAsNoMains) {
    mode2();
    all_phases(0.0f);
    run();
    EXPECT_FALSE(active(LOW));
    EXPECT_TRUE(active(NO_MAINS));
    // The float nearest 0.01 lies below 0.01 in double precision.
    all_phases(0.01f);
    run();
    EXPECT_FALSE(active(LOW));
    EXPECT_TRUE(active(NO_MAINS));
    EXPECT_EQ(rig.rec.alarms[0].text1, "ua1:0.01 ub1:0.01 uc1:0.01 ua2:0.01 ub2:0.01 uc2:0.01");
    all_phases(0.0101f);
    run();
    EXPECT_TRUE(active(LOW));
}

TEST_F(PowerChecks, NanIsNeverActive) {
    mode2();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    all_phases(nan);
    dev.data.channel[0].f.set(nan);
    dev.data.channel[1].f.set(nan);
    dev.data.dc(0).out_v.set(nan);
    run();
    ASSERT_EQ(rig.rec.alarms.size(), 8u);
    for (const AlarmReport& r : rig.rec.alarms) EXPECT_FALSE(r.active) << r.id;
    EXPECT_EQ(rig.rec.alarms[0].text1, "ua1:nan ub1:nan uc1:nan ua2:nan ub2:nan uc2:nan");
    EXPECT_EQ(rig.rec.alarms[3].text1, "f1:nan f2:nan");

    // A NaN threshold switches nothing on either.
    all_phases(230.0f);
    dev.data.channel[0].f.set(50.0f);
    dev.data.dc(0).out_v.set(53.5f);
    for (const char* id : {F_HIGH, F_LOW, DC_LOW, DC_HIGH}) dev.threshold_values[id] = nan;
    run();
    for (const AlarmReport& r : rig.rec.alarms) EXPECT_FALSE(r.active) << r.id;
}

TEST_F(PowerChecks, WiringFlagsSelectPhasesExceptForNoMains) {
    mode2();
    all_phases(230.0f);
    phases(0, 300.0f, 230.0f, 100.0f);
    phases(1, 300.0f, 230.0f, 100.0f);
    wiring(false, true, false);
    run();
    EXPECT_FALSE(active(HIGH));
    EXPECT_FALSE(active(LOW));
    wiring(true, true, true);
    run();
    EXPECT_TRUE(active(HIGH));
    EXPECT_TRUE(active(LOW));

    all_phases(0.0f);
    phases(0, 230.0f, 0.0f, 0.0f);
    wiring(false, false, false);
    run();
    EXPECT_FALSE(active(NO_MAINS));
    phases(0, 0.0f, 0.0f, 0.0f);
    run();
    EXPECT_TRUE(active(NO_MAINS));
}

TEST_F(PowerChecks, FrequencyChecks) {
    mode2();
    all_phases(230.0f);
    dev.data.channel[0].f.set(55.0f);
    dev.data.channel[1].f.set(0.0f);  // not measured: never low
    run();
    EXPECT_FALSE(active(F_HIGH));
    EXPECT_FALSE(active(F_LOW));
    dev.data.channel[1].f.set(55.1f);
    run();
    EXPECT_TRUE(active(F_HIGH));
    dev.data.channel[0].f.set(45.0f);
    dev.data.channel[1].f.set(44.9f);
    run();
    EXPECT_FALSE(active(F_HIGH));
    EXPECT_TRUE(active(F_LOW));
    EXPECT_EQ(rig.rec.alarms[3].text1, "f1:45 f2:44.9");

    // Enabled without a threshold value: compared against 0. The host's map
    // is only read.
    dev.threshold_values.erase(F_HIGH);
    dev.data.channel[0].f.set(0.5f);
    dev.data.channel[1].f.set(0.0f);
    run();
    EXPECT_TRUE(active(F_HIGH));
    EXPECT_EQ(dev.threshold_values.count(F_HIGH), 0u);
}

TEST_F(PowerChecks, DcChecksAndTheirText) {
    mode2();
    dev.has_ac = false;
    dev.data.dc(0).out_v.set(47.0f);
    run();
    ASSERT_EQ(rig.rec.alarms.size(), 3u);
    EXPECT_EQ(rig.rec.alarms[0].id, DC_LOW);
    EXPECT_EQ(rig.rec.alarms[1].id, DC_ULTRA_LOW);
    EXPECT_EQ(rig.rec.alarms[2].id, DC_HIGH);
    EXPECT_FALSE(active(DC_LOW));  // equal to the threshold
    EXPECT_EQ(rig.rec.alarms[0].text1, "47");

    dev.data.dc(0).out_v.set(46.99f);
    run();
    EXPECT_TRUE(active(DC_LOW));
    EXPECT_FALSE(active(DC_ULTRA_LOW));
    dev.data.dc(0).out_v.set(58.5f);
    run();
    EXPECT_TRUE(active(DC_HIGH));
    EXPECT_EQ(rig.rec.alarms[2].text1, "58.5");
    dev.data.dc(0).out_v.set(53.5f);
    run();
    EXPECT_EQ(rig.rec.alarms[2].text1, "53.5");

    dev.has_dc = false;
    EXPECT_EQ(run(), Reports{});
}

TEST_F(PowerChecks, LevelZeroOrAbsentSwitchesACheckOff) {
    dev.b_mode_ = 2;
    dev.threshold_levels[DC_HIGH] = 1;
    dev.threshold_levels[LOW] = 0;
    run();
    ASSERT_EQ(rig.rec.alarms.size(), 1u);
    EXPECT_EQ(rig.rec.alarms[0].id, DC_HIGH);
    // The checks read the host's maps and never add to them.
    EXPECT_EQ(dev.threshold_levels.size(), 2u);
    EXPECT_EQ(dev.threshold_values.count(DC_LOW), 0u);
}

TEST_F(PowerChecks, OtherModesCheckNothing) {
    mode2();
    dev.data.channel_count = 1;
    for (int mode : {0, 3, 4, 7, -1}) {
        dev.b_mode_ = mode;
        EXPECT_EQ(run(), Reports{}) << "mode " << mode;
    }
}

TEST_F(PowerChecks, PhaseTextIsTheDefaultStreamOutput) {
    mode2();
    const float odd[6] = {1e-5f, 123456789.0f, -0.1f, std::numeric_limits<float>::infinity(), 99999.95f, 1.5e38f};
    phases(0, odd[0], odd[1], odd[2]);
    phases(1, odd[3], odd[4], odd[5]);
    std::ostringstream s;
    s << "ua1:" << odd[0] << " ub1:" << odd[1] << " uc1:" << odd[2] << " ua2:" << odd[3] << " ub2:" << odd[4]
      << " uc2:" << odd[5];
    run();
    EXPECT_EQ(rig.rec.alarms[0].text1, s.str());
    EXPECT_EQ(s.str(), "ua1:1e-05 ub1:1.23457e+08 uc1:-0.1 ua2:inf ub2:100000 uc2:1.5e+38");
}

}  // namespace

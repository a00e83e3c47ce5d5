// The model's alarm tables: every report of a round, in order, with its
// sequence number; then every item set to its alarm code.
#include <cstring>

#include "alarm_reports.h"
#include "alarms/tzv58_419_tables.h"
#include "device/host_alarms.h"
#include "support.h"

namespace {

using Reports = std::vector<AlarmReport>;
using tzv58::source;

AlarmReport power_off(bool active) {
    return {1, "PowerOff", "419415001", "输入电源中断告警", "输入电源中断告警", active, 100};
}

// Rows A1 to A8 of one channel; on[k] marks row A(k+1) active.
Reports table_a_channel(int number, unsigned short first, std::vector<bool> on = std::vector<bool>(8)) {
    const std::string p = "第" + std::to_string(number) + "路交流输入-";
    const unsigned short s = first;
    return {
        {1, "ZID06OZU_AC_0", "419410901", p + "输入告警", "防雷器故障告警", on[0], s},
        {1, "ZID06OZU_AC_1", "419400201", p + "输入告警", "交流屏通讯中断", on[1], (unsigned short)(s + 1)},
        {1, "ZID06OZU_AC_2", "419410701", p + "输入告警", "交流输入空开跳", on[2], (unsigned short)(s + 2)},
        {1, "ZID06OZU_AC_3", "419410701", p + "其他告警", "交流输出空开跳", on[3], (unsigned short)(s + 3)},
        {1, "ZID06OZU_AC_4", "419415001", p + "输入告警", "交流输入1停电告警", on[4], (unsigned short)(s + 4)},
        {1, "ZID06OZU_AC_5", "419415001", p + "输入告警", "交流输入2停电告警", on[5], (unsigned short)(s + 5)},
        {1, "ZID06OZU_AC_6", "419415001", p + "输入告警", "交流输入3停电告警", on[6], (unsigned short)(s + 6)},
        {1, "ZID06OZU_AC_7", "419400101", p + "输入告警", "市电切换失败故障告警", on[7], (unsigned short)(s + 7)},
    };
}

// Rows A9 to A11 of one module: A11 takes the number after A10 and keeps it.
Reports table_a_module(int number, unsigned short first, std::vector<bool> on = std::vector<bool>(3)) {
    const std::string m = "模块" + std::to_string(number);
    return {
        {4, "ZID06OZU_RC_0", "419430501", "整流模块通信状态告警", m + "模块通讯中断告警状态", on[0], first},
        {3, "ZID06OZU_RC_1", "419430501", "整流模块故障告警", m + "模块故障告警状态", on[1],
         (unsigned short)(first + 1)},
        {3, "ZID06OZU_RC_7", "419240403", "整流模块温度过高告警", m + "模块过温告警状态", on[2],
         (unsigned short)(first + 2)},
    };
}

Reports operator+(Reports a, const Reports& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct ModelChecks : testing::Test {
    Rig<> rig;
    tzv58_419& dev = *rig.dev;

    // A whole round's checks, as RoundDone runs them.
    const Reports& run() {
        rig.rec.alarms.clear();
        dev.check_seq = 1;
        dev.RunCheckThreshold();
        return rig.rec.alarms;
    }
    void supplied(int i) {
        dev.data.channel[i].a.set(230.0f);
        dev.data.channel[i].b.set(230.0f);
        dev.data.channel[i].c.set(230.0f);
    }
};

TEST_F(ModelChecks, TableAOneChannelTwoModules) {
    dev.data.channel_count = 1;
    supplied(0);
    dev.data.module_count = 2;
    const Reports quiet =
        Reports{power_off(false)} + table_a_channel(1, 1) + table_a_module(1, 9) + table_a_module(2, 11);
    EXPECT_EQ(run(), quiet);
    EXPECT_EQ(dev.check_seq, 13);

    // Every item the record holds at its alarm code. The channels hold no
    // items; the bytes where a channel's or a module's missing items would
    // lie carry alarm codes and must not be read as items.
    for (int j = 0; j < 2; ++j) {
        dev.data.module[j].p41_44[0] = 0x80;
        dev.data.module[j].p41_44[1] = 0x81;
    }
    std::memset(dev.data.channel[1].a.b, 0x81, 4);  // where channel 1's items would lie
    dev.data.channel[1].b.b[0] = 0x84;
    dev.data.channel[1].b.b[1] = 0x81;
    dev.data.module[1].out_i.b[0] = 0x87;  // one past module 1's seven items
    EXPECT_EQ(run(), Reports{power_off(false)} + table_a_channel(1, 1) + table_a_module(1, 9, {true, true, false}) +
                         table_a_module(2, 11, {true, true, false}));
}

TEST_F(ModelChecks, TableARowsReadTheItemsOfAFullReply) {
    // What the rows expect at each item, shown on a reply of eight items.
    tzv58::host_alarms sink(dev);
    const uint8_t ac[8] = {0x81, 0x81, 0x81, 0x81, 0x84, 0x81, 0x81, 0x81};
    const uint8_t rc[8] = {0x80, 0x81, 0, 0, 0, 0, 0, 0x87};
    dev.check_seq = 1;
    tzv58::report_rows(tzv58::table_a(), source::channel, 2, {ac, 8}, sink, dev.check_seq);
    tzv58::report_rows(tzv58::table_a(), source::module, 3, {rc, 8}, sink, dev.check_seq);
    EXPECT_EQ(rig.rec.alarms, table_a_channel(2, 1, {true, true, true, true, true, false, true, true}) +
                                  table_a_module(3, 9, {true, true, true}));
}

TEST_F(ModelChecks, A5AndA6ShareOneItem) {
    tzv58::host_alarms sink(dev);
    uint8_t items[7] = {};
    for (uint8_t code : {0x84, 0x81}) {
        items[4] = code;
        rig.rec.alarms.clear();
        tzv58::report_rows(tzv58::table_a(), source::channel, 1, {items, 7}, sink, dev.check_seq);
        ASSERT_EQ(rig.rec.alarms.size(), 8u);
        EXPECT_EQ(rig.rec.alarms[4].active, code == 0x84) << "A5";
        EXPECT_EQ(rig.rec.alarms[5].active, code == 0x81) << "A6";
        EXPECT_FALSE(rig.rec.alarms[6].active) << "A7";
    }
}

// Rows B3 to B9 of module 1: B5 to B9 share the number after B4.
Reports table_b_module(unsigned short s, bool on) {
    const unsigned short t = s + 1, u = s + 2;
    return {
        {4, "ZID06OZU_RC_0", "06029", "其他告警", "模块1DC过压", on, s},
        {3, "ZID06OZU_RC_1", "06029", "其他告警", "模块1AC过压", on, t},
        {4, "ZID06OZU_RC_2", "06029", "其他告警", "模块1风扇故障", on, u},
        {2, "ZID06OZU_RC_3", "06029", "其他告警", "模块1整流器模块过温", on, u},
        {2, "ZID06OZU_RC_4", "06029", "其他告警", "模块1DC过流", on, u},
        {2, "ZID06OZU_RC_5", "06029", "其他告警", "模块1通信故障", on, u},
        {2, "ZID06OZU_RC_6", "06029", "其他告警", "模块1AC欠压", on, u},
    };
}

// Rows B10 to B14 of DC unit 1.
Reports table_b_dc(unsigned short s, bool on) {
    return {
        {2, "Z810_DC_0", "06029", "其他告警", "一次下电报警", on, s},
        {2, "Z810_DC_1", "06029", "其他告警", "二次下电报警", on, (unsigned short)(s + 1)},
        {2, "Z810_DC_2", "06029", "其他告警", "电保报警", on, (unsigned short)(s + 2)},
        {2, "Z810_DC_3", "06029", "其他告警", "三次下电报警", on, (unsigned short)(s + 3)},
        {2, "Z810_DC_4", "06029", "其他告警", "四次下电报警", on, (unsigned short)(s + 4)},
    };
}

// Rows B1 to B14 for channel 1, module 1 and DC unit 1.
Reports table_b_example(bool on) {
    const Reports channel = {
        {1, "ZID06OZU_AC_4", "06016", "第1路交流输入-输入告警", "系统停电告警", false, 1},
        {1, "ZID06OZU_AC_0", "06022", "第1路交流输入-输入告警", "防雷器故障告警", false, 2},
    };
    return channel + table_b_module(3, on) + table_b_dc(5, on);
}

TEST_F(ModelChecks, TableBOneChannelOneModuleAndTheDcUnit) {
    dev.b_mode_ = 0;
    dev.data.channel_count = 1;
    dev.data.module_count = 1;
    dev.data.module[0].p41_44_count = 7;
    EXPECT_EQ(run(), table_b_example(false));
    EXPECT_EQ(dev.check_seq, 10);

    for (int k = 0; k < 7; ++k) dev.data.module[0].p41_44[k] = uint8_t(0x80 + k);
    for (int k = 0; k < 5; ++k) dev.data.dc(0).alert_p[k] = uint8_t(0x80 + k);
    std::memset(dev.data.channel[1].a.b, 0x84, 4);  // where channel 1's items would lie
    EXPECT_EQ(run(), table_b_example(true));

    // DC unit 2 has no row.
    for (int k = 0; k < 5; ++k) dev.data.dc(1).alert_p[k] = uint8_t(0x80 + k);
    dev.data.module[0].p41_44_count = 0;
    dev.data.channel_count = 0;
    EXPECT_EQ(run(), table_b_dc(1, true));
}

TEST_F(ModelChecks, ModesSelectTheTable) {
    dev.data.channel_count = 1;
    dev.data.module_count = 1;
    dev.data.module[0].p41_44_count = 7;
    for (int mode : {0, 4, 7, -5}) {
        dev.b_mode_ = mode;
        EXPECT_EQ(run(), table_b_example(false)) << "mode " << mode;
    }
    for (int mode : {2, 3}) {
        dev.b_mode_ = mode;
        EXPECT_EQ(run(), Reports{}) << "mode " << mode;
    }
}

TEST_F(ModelChecks, WithoutAcDistributionOnlyModulesAndDcReport) {
    dev.has_ac = false;
    dev.data.channel_count = 2;
    dev.data.module_count = 1;
    EXPECT_EQ(run(), table_a_module(1, 1));

    dev.b_mode_ = 4;
    dev.data.module[0].p41_44_count = 7;
    EXPECT_EQ(run(), table_b_module(1, false) + table_b_dc(3, false));
}

TEST_F(ModelChecks, TableBSkipsElementsWhoseItemCountDiffers) {
    dev.b_mode_ = 0;
    dev.has_dc = false;
    dev.data.channel_count = 2;
    dev.data.channel[0].p40_44_count = 3;  // a reply with user-defined alarm items
    dev.data.module_count = 2;
    dev.data.module[0].p41_44_count = 6;
    dev.data.module[1].p41_44_count = 7;
    run();
    ASSERT_EQ(rig.rec.alarms.size(), 2u + 7u);
    EXPECT_EQ(rig.rec.alarms[0].text1, "第2路交流输入-输入告警");
    EXPECT_EQ(rig.rec.alarms[1].seq, 2);
    EXPECT_EQ(rig.rec.alarms[2].text2, "模块2DC过压");
    EXPECT_EQ(rig.rec.alarms[2].seq, 3);
    EXPECT_EQ(rig.rec.alarms.back().seq, 5);
}

TEST_F(ModelChecks, CountsAboveCapacityVisitOnlyWhatTheRecordHolds) {
    dev.data.channel_count = 255;
    dev.data.module_count = 255;
    supplied(0);
    for (auto& m : dev.data.module) m.p41_44_count = 7;
    dev.data.dc(0).reserved0[0] = 0x87;         // one past module 40's items
    std::memset(dev.data.rc_out_v.b, 0x81, 4);  // where channel 2's items would lie
    run();
    ASSERT_EQ(rig.rec.alarms.size(), 1u + 2 * 8 + 40 * 3);
    EXPECT_EQ(dev.check_seq, 1 + 2 * 8 + 40 * 2);
    for (const AlarmReport& r : rig.rec.alarms) EXPECT_FALSE(r.active) << r.key << " " << r.text1 << r.text2;
    const Reports last(rig.rec.alarms.end() - 3, rig.rec.alarms.end());
    EXPECT_EQ(last, table_a_module(40, 95));
    EXPECT_EQ(rig.rec.alarms[9].text1, "第2路交流输入-输入告警");

    dev.b_mode_ = 0;
    run();
    EXPECT_EQ(rig.rec.alarms.size(), 2u * 2 + 40 * 7 + 5);
    EXPECT_EQ(dev.check_seq, 1 + 2 * 2 + 40 * 2 + 5);
    EXPECT_EQ(rig.rec.alarms[4 + 39 * 7].text2, "模块40DC过压");
}

TEST_F(ModelChecks, SequenceNumbersWrapAt16Bits) {
    dev.has_ac = false;
    dev.data.module_count = 1;
    dev.check_seq = 65534;
    dev.RunCheckThreshold();
    ASSERT_EQ(rig.rec.alarms.size(), 3u);
    EXPECT_EQ(rig.rec.alarms[0].seq, 65534);
    EXPECT_EQ(rig.rec.alarms[1].seq, 65535);
    EXPECT_EQ(rig.rec.alarms[2].seq, 0);
    EXPECT_EQ(dev.check_seq, 0);
}

TEST_F(ModelChecks, RoundDoneReportsMainsFailureFirstAndRestartsTheSequence) {
    dev.data.channel_count = 1;
    dev.data.module_count = 1;
    dev.check_seq = 500;
    capture_diag();
    dev.RoundDone();
    EXPECT_EQ(captured_diag(), "rvSize is 0\n");
    EXPECT_EQ(rig.rec.alarms, Reports{power_off(true)} + table_a_channel(1, 1) + table_a_module(1, 9));
    capture_diag();
    dev.RoundDone();
    captured_diag();
    EXPECT_EQ(rig.rec.alarms.size(), 2 * 12u);
    EXPECT_EQ(rig.rec.alarms[12 + 1].seq, 1);
}

}  // namespace

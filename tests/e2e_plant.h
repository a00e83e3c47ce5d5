// What the simulated power system's plants look like in a published record.
#pragma once

#include <gtest/gtest.h>

#include "telemetry/record.h"

// The default plant, as the fixed-point replies carry it.
inline void expect_default_plant(const tzv58_419_Data_t& r) {
    EXPECT_EQ(r.data_id.get(), 7u);
    ASSERT_EQ(r.channel_count, 2);
    const float phases[2][4] = {{230, 231, 229, 50}, {229, 230, 228, 50}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(r.channel[i].a.get(), phases[i][0]) << "channel " << i;
        EXPECT_EQ(r.channel[i].b.get(), phases[i][1]) << "channel " << i;
        EXPECT_EQ(r.channel[i].c.get(), phases[i][2]) << "channel " << i;
        EXPECT_EQ(r.channel[i].f.get(), phases[i][3]) << "channel " << i;
        EXPECT_EQ(r.channel[i].a_alarm, 0);
    }
    EXPECT_EQ(r.airlock_count, 2);
    EXPECT_EQ(r.rc_out_v.get(), 53.0f);
    ASSERT_EQ(r.module_count, 4);
    const float amps[4] = {12, 11, 12, 13};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r.module[i].out_i.get(), amps[i]) << "module " << i;
        EXPECT_EQ(r.module[i].p41_44_count, 7) << "module " << i;
        EXPECT_EQ(r.module[i].fault, 0) << "module " << i;
    }
    EXPECT_EQ(r.module[4].out_i.get(), 0.0f);
    EXPECT_EQ(r.dc0.out_v.get(), 53.5f);
    EXPECT_EQ(r.dc0.load_i.get(), 45.0f);
    EXPECT_EQ(r.dc0.m, 1);
    EXPECT_EQ(r.dc0.battery_i[0].get(), 3.0f);
    EXPECT_EQ(r.dc0.n, 2);
    EXPECT_EQ(r.dc0.branch_i[0].get(), 20.0f);
    EXPECT_EQ(r.dc0.branch_i[1].get(), 25.0f);
    EXPECT_EQ(r.dc0.alert_p_count, 5);
    EXPECT_EQ(r.dc1.out_v.get(), 0.0f);
    EXPECT_EQ(r.ext_value[0].get(), 50.0f);
    EXPECT_EQ(r.ext_value[1].get(), 10.0f);
}


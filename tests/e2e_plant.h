// What the simulated power system's plants look like in a published record.
#pragma once

#include <cstring>
#include <string>

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

// A plant with a record's worth of rectifier modules (40), module i giving
// 10 + i % 7 A; the rest as the default plant.
inline std::string full_plant_json() {
    std::string modules;
    for (int i = 0; i < 40; ++i)
        modules += (i ? ", " : "") + std::string("{\"out_i\": ") + std::to_string(10 + i % 7) + "}";
    return "{\"rectifiers\": {\"out_v\": 53, \"modules\": [" + modules + "]}}";
}

// A record of the full plant. An analog reply with one AC channel or module
// more than the record holds leaves its count as received (3 or 41) and every
// group the record holds as the plant's.
inline void expect_full_plant(const tzv58_419_Data_t& r) {
    EXPECT_EQ(r.data_id.get(), 7u);
    EXPECT_TRUE(r.channel_count == 2 || r.channel_count == 3) << int(r.channel_count);
    const float phases[2][4] = {{230, 231, 229, 50}, {229, 230, 228, 50}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(r.channel[i].a.get(), phases[i][0]) << "channel " << i;
        EXPECT_EQ(r.channel[i].c.get(), phases[i][2]) << "channel " << i;
        EXPECT_EQ(r.channel[i].f.get(), phases[i][3]) << "channel " << i;
    }
    EXPECT_EQ(r.rc_out_v.get(), 53.0f);
    EXPECT_TRUE(r.module_count == 40 || r.module_count == 41) << int(r.module_count);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(r.module[i].out_i.get(), float(10 + i % 7)) << "module " << i;
        EXPECT_EQ(r.module[i].fault, 0) << "module " << i;
    }
    EXPECT_EQ(r.dc0.out_v.get(), 53.5f);
    EXPECT_EQ(r.dc0.load_i.get(), 45.0f);
    EXPECT_EQ(r.dc0.branch_i[1].get(), 25.0f);
    EXPECT_EQ(r.ext_value[0].get(), 50.0f);
    EXPECT_EQ(r.ext_value[1].get(), 10.0f);
}

// The record of a round equals the one of a fault-free round of the same
// plant, byte for byte, but for its time; an excess reply's count (3 AC
// channels, 41 modules) is taken for the plant's.
inline void expect_same_reading(tzv58_419_Data_t r, const tzv58_419_Data_t& healthy) {
    if (r.channel_count == healthy.channel_count + 1) r.channel_count = healthy.channel_count;
    if (r.module_count == healthy.module_count + 1) r.module_count = healthy.module_count;
    std::memcpy(r.round_time, healthy.round_time, sizeof r.round_time);
    const auto* a = reinterpret_cast<const unsigned char*>(&r);
    const auto* b = reinterpret_cast<const unsigned char*>(&healthy);
    for (size_t i = 0; i < sizeof r; ++i)
        if (a[i] != b[i]) {
            ADD_FAILURE() << "record byte " << i << " is " << int(a[i]) << ", the plant's " << int(b[i]);
            return;
        }
}

// Value query: readiness, then age on the host clock, then the id.
#include <cmath>
#include <cstring>
#include <limits>

#include "support.h"

namespace {

using Record = tzv58_419_Data_t;

// A completed round with this record, at the rig's present time.
void complete(Rig<>& rig, const Record& r) {
    std::vector<uint8_t> blob(sizeof r);
    std::memcpy(blob.data(), &r, sizeof r);
    ASSERT_TRUE(rig.dev->LoadFromCache(blob.data(), int(blob.size())));
}

Record zero_record() {
    Record r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    return r;
}

void set_phases(Record& r, float v) {
    for (auto& ch : r.channel) {
        ch.a.set(v);
        ch.b.set(v);
        ch.c.set(v);
    }
}

// The refusal's text, or "" when a value came back.
std::string refusal(const Rig<>& rig, const std::string& id, unsigned index = 0) {
    try {
        rig.dev->Get_Value(index, id);
        return "";
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

TEST(ValueQuery, EveryCallIsLoggedAndNothingIsServedBeforeTheFirstRound) {
    Rig<> rig;
    for (const char* id : {"out_v", "ac", "bogus", ""}) {
        capture_diag();
        EXPECT_EQ(refusal(rig, id), "数据未就绪") << id;
        EXPECT_EQ(captured_diag(), "in pmbuspower_419 Get_Value\n");
    }
    // The root interface's default refuses the same way.
    EXPECT_THROW(rig.dev->VDeviceInterface::Get_Value(0, "out_v"), std::out_of_range);
}

TEST(ValueQuery, FreshForSixtySecondsOnTheHostClock) {
    Rig<> rig;
    Record r = zero_record();
    r.dc0.out_v.set(53.5f);
    complete(rig, r);
    EXPECT_FLOAT_EQ(rig.dev->Get_Value(0, "out_v"), 53.5f);
    rig.clock.advance(60);
    EXPECT_FLOAT_EQ(rig.dev->Get_Value(0, "out_v"), 53.5f);
    EXPECT_EQ(rig.dev->Get_Value(0, "ac"), 1.0f);
    rig.clock.advance(1);
    // Age is tested before the id.
    for (const char* id : {"out_v", "ac", "bogus"}) EXPECT_EQ(refusal(rig, id), "数据已超时") << id;
    // A clock set back makes the record look young, not stale.
    rig.clock.advance(-3600);
    EXPECT_FLOAT_EQ(rig.dev->Get_Value(0, "out_v"), 53.5f);
    // A new round makes it fresh again.
    rig.clock.advance(7200);
    EXPECT_EQ(refusal(rig, "out_v"), "数据已超时");
    rig.dev->RoundDone();
    EXPECT_FLOAT_EQ(rig.dev->Get_Value(0, "out_v"), 53.5f);
}

TEST(ValueQuery, OutVIsTheFirstDcUnitsVoltageAsStored) {
    Rig<> rig;
    Record r = zero_record();
    r.dc1.out_v.set(48.0f);
    complete(rig, r);
    EXPECT_EQ(rig.dev->Get_Value(0, "out_v"), 0.0f);
    r.dc0.out_v.set(-0.1f);
    complete(rig, r);
    EXPECT_EQ(rig.dev->Get_Value(0, "out_v"), -0.1f);
    EXPECT_EQ(rig.dev->Get_Value(12345, "out_v"), -0.1f);
}

TEST(ValueQuery, AcFailsOnlyWhenAllSixPhasesAreBelow150) {
    Rig<> rig;
    Record r = zero_record();
    complete(rig, r);  // slots no reply filled read 0.0
    EXPECT_EQ(rig.dev->Get_Value(0, "ac"), 1.0f);

    set_phases(r, 149.9f);
    complete(rig, r);
    EXPECT_EQ(rig.dev->Get_Value(7, "ac"), 1.0f);

    // Any one phase at the limit, in either channel, means mains is there.
    for (int ch = 0; ch < 2; ++ch) {
        for (int phase = 0; phase < 3; ++phase) {
            Record one = zero_record();
            tzv58::f32le* v[] = {&one.channel[ch].a, &one.channel[ch].b, &one.channel[ch].c};
            v[phase]->set(150.0f);
            complete(rig, one);
            EXPECT_EQ(rig.dev->Get_Value(0, "ac"), 0.0f) << "channel " << ch << " phase " << phase;
        }
    }
    // A phase that reads NaN is not below the limit either.
    set_phases(r, 0.0f);
    r.channel[1].c.set(std::numeric_limits<float>::quiet_NaN());
    complete(rig, r);
    EXPECT_EQ(rig.dev->Get_Value(0, "ac"), 0.0f);
}

TEST(ValueQuery, OnlyTheExactIdsAreServed) {
    Rig<> rig;
    complete(rig, zero_record());
    for (const char* id : {"OUT_V", "out_v ", " out_v", "AC", "ac ", "", "out_v\n", "dc"})
        EXPECT_EQ(refusal(rig, id), "不支持变量") << '"' << id << '"';
    EXPECT_EQ(refusal(rig, std::string("ac\0", 3)), "不支持变量");
}

}  // namespace

// Time past January 2038 on the controller: the round's time, the age rule of
// the value query and the set-time command. A 32-bit target whose C library
// keeps a 32-bit time_t cannot read the wall clock after 2038-01-19 03:14:07
// UTC; the time64 build (-D_TIME_BITS=64) can.
#include <stdlib.h>
#include <time.h>

#include <cstring>
#include <ctime>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "support.h"

namespace {

std::string refusal(const Rig<>& rig, const std::string& id) {
    try {
        rig.dev->Get_Value(0, id);
        return "";
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

TEST(Time2040, RoundTimeAndValueAgeAcrossALeapDayAndMidnight) {
    Rig<> rig;
    rig.clock.set(at("2040-02-29 23:59:30"));
    rig.dev->data.dc0.out_v.set(53.5f);
    rig.dev->RoundDone();
    // Year 2040 is 07F8H, low byte first.
    EXPECT_EQ(to_hex(std::vector<uint8_t>(rig.dev->data.round_time, rig.dev->data.round_time + 7)), "F807021D173B1E");
    rig.clock.advance(60);  // 2040-03-01 00:00:30
    EXPECT_FLOAT_EQ(rig.dev->Get_Value(0, "out_v"), 53.5f);
    rig.clock.advance(1);
    EXPECT_EQ(refusal(rig, "out_v"), "数据已超时");
}

TEST(Time2040, SetTimeSendsA2040TimeAsGiven) {
    Rig<> rig;
    const std::vector<uint8_t> when = hex("F8 07 02 1D 17 3B 1E");
    std::vector<uint8_t> out(4, 0);
    int written = 0;
    EXPECT_EQ(rig.dev->DeviceIoControl(300, when.data(), int(when.size()), out.data(), int(out.size()), written), 0);
    ASSERT_EQ(rig.rec.sent.size(), 1u);
    EXPECT_EQ(rig.rec.sent[0].cid2, 0x4E);
    EXPECT_EQ(rig.rec.sent[0].info, when);
}

// The wall clock's own path (time_t, localtime_r, then a ptime) for an
// instant after 2038, in UTC.
TEST(Time2040, TheWallClockPathReadsA2040Instant) {
    if (sizeof(std::time_t) < 8) GTEST_SKIP() << "32-bit time_t: the wall clock ends in January 2038";
    const char* tz = getenv("TZ");
    const std::string saved = tz ? tz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    const std::time_t t = std::time_t(2214172770LL);  // 2040-02-29 23:59:30 UTC
    std::tm tm{};
    ASSERT_NE(boost::date_time::c_time::localtime(&t, &tm), nullptr);
    EXPECT_EQ(boost::posix_time::ptime_from_tm(tm), at("2040-02-29 23:59:30"));
    const ttime_t v = get_ttime(boost::posix_time::ptime_from_tm(tm));
    EXPECT_EQ(v.word, 0x1D0207F8u);
    tz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

}  // namespace

// The trend's reduction: short series kept as they are, long ones reduced to
// a bounded number of points that keep every extreme, lines broken at gaps;
// and the times a person gives, around a change of the clocks.
#include <stdlib.h>
#include <time.h>

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#if TZV58_HAVE_SQLITE

#include "tools/history/iso_time.h"
#include "tools/history/trend.h"

namespace tzv58::tool {
namespace {

// Every `step` seconds from 0, the value v(i); then finished with the gap
// rule of the rows' own interval.
TrendLine reduce(size_t n, long long step, double (*v)(size_t), size_t max_points = TREND_POINTS) {
    RoundIntervals intervals;
    TrendReducer r(0, (long long)(n - 1) * step, max_points);
    for (size_t i = 0; i < n; ++i) {
        intervals.add((long long)i * step);
        r.add((long long)i * step, v(i));
    }
    return r.finish("dc_v", GAP_ROUNDS * intervals.typical());
}

size_t points(const TrendLine& l) {
    size_t n = 0;
    for (const auto& run : l.runs) n += run.size();
    return n;
}

TEST(Trend, AShortSeriesIsKeptPointForPoint) {
    const TrendLine l = reduce(7, 2, [](size_t i) { return 53.0 + double(i) / 10; });
    ASSERT_EQ(l.runs.size(), 1u);
    ASSERT_EQ(l.runs[0].size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(l.runs[0][i].t, (long long)i * 2);
        EXPECT_DOUBLE_EQ(l.runs[0][i].v, 53.0 + double(i) / 10);
    }
    EXPECT_FALSE(l.reduced);
    EXPECT_DOUBLE_EQ(l.lo, 53.0);
    EXPECT_DOUBLE_EQ(l.hi, 53.6);
}

TEST(Trend, ALongSeriesKeepsItsExtremesWithinTheBound) {
    // 50,000 rounds of noise with one dip and one spike of a single round.
    const TrendLine l = reduce(50000, 3, [](size_t i) {
        return i == 12345 ? 40.0 : i == 34567 ? 60.0 : 53.5 + std::sin(double(i)) / 10;
    });
    EXPECT_TRUE(l.reduced);
    EXPECT_LE(points(l), TREND_POINTS);
    EXPECT_GT(points(l), TREND_POINTS / 2);
    ASSERT_EQ(l.runs.size(), 1u);
    bool dip = false, spike = false;
    for (const TrendSample& s : l.runs[0]) {
        dip = dip || (s.t == 12345 * 3 && s.v == 40.0);
        spike = spike || (s.t == 34567 * 3 && s.v == 60.0);
    }
    EXPECT_TRUE(dip && spike);
    for (size_t i = 1; i < l.runs[0].size(); ++i) EXPECT_LT(l.runs[0][i - 1].t, l.runs[0][i].t);
}

// An outage of 63 s in a short series; in one of 50,000 rounds, whose
// buckets are 150 s wide, one of 10 minutes (a gap within a bucket is
// narrower than a chart can show). A step of three rounds is no gap.
TEST(Trend, GapsOfMoreThanThreeRoundsBreakTheLine) {
    for (const size_t n : {size_t(100), size_t(50000)}) {
        SCOPED_TRACE(n);
        const long long outage = n == 100 ? 63 : 600;
        RoundIntervals intervals;
        TrendReducer r(0, (long long)n * 3 + outage, TREND_POINTS);
        for (size_t i = 0; i < n; ++i) {
            const long long t = (long long)i * 3 + (i >= n / 3 ? outage - 3 : 0) + (i >= 2 * n / 3 ? 3 : 0);
            intervals.add(t);
            r.add(t, 53.5);
        }
        EXPECT_EQ(intervals.typical(), 3);
        const TrendLine l = r.finish("dc_v", GAP_ROUNDS * intervals.typical());
        ASSERT_EQ(l.runs.size(), 2u);
        EXPECT_LE(l.runs[0].back().t, (long long)(n / 3 - 1) * 3);
        EXPECT_GE(l.runs[1].front().t, (long long)(n / 3) * 3 + outage - 3);
    }
}

TEST(Trend, RoundsWithoutTheValueAreAGapOnlyWhenThereAreMoreThanThree) {
    const TrendLine one = reduce(30, 2, [](size_t i) { return i == 10 ? NAN : 53.5; });
    EXPECT_EQ(one.runs.size(), 1u);
    EXPECT_EQ(one.values, 29u);
    const TrendLine four = reduce(30, 2, [](size_t i) { return i >= 10 && i < 14 ? NAN : 53.5; });
    EXPECT_EQ(four.runs.size(), 2u);
    const TrendLine none = reduce(30, 2, [](size_t) { return double(NAN); });
    EXPECT_TRUE(none.runs.empty());
    EXPECT_TRUE(std::isnan(none.lo));
}

// Europe/Berlin: on 2026-03-29 the clocks skip 02:00 to 03:00, on
// 2026-10-25 they pass 02:00 to 03:00 twice.
TEST(HistoryTime, ALocalTimeTheClocksSkippedOrPassedTwiceNeedsItsOffset) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    long long t = 0;
    std::string why;
    EXPECT_TRUE(parse_time("2026-10-25 01:30", t, why)) << why;
    EXPECT_EQ(local_text(t), "2026-10-25T01:30:00+02:00");
    EXPECT_FALSE(parse_time("2026-03-29T02:30", t, why));
    EXPECT_EQ(why, "2026-03-29T02:30 is no local time here (the clocks skipped it): give its offset, such as +01:00");
    EXPECT_FALSE(parse_time("2026-10-25T02:30", t, why));
    EXPECT_EQ(why,
              "2026-10-25T02:30 comes twice in local time here (the clocks went back): give its offset, +02:00 or "
              "+01:00");
    EXPECT_TRUE(parse_time("2026-10-25T02:30+01:00", t, why)) << why;
    EXPECT_EQ(utc_text(t), "2026-10-25T01:30:00Z");
    EXPECT_EQ(local_text(t), "2026-10-25T02:30:00+01:00");
    EXPECT_TRUE(parse_time("2026-10-25T02:30:00Z", t, why)) << why;
    EXPECT_EQ(local_text(t, ' '), "2026-10-25 03:30:00+01:00");
    for (const char* bad : {"2026-10-25T02:30+1:00", "2026-10-25Z", "2026-10-25T02:30 +01:00", "2026-02-29"})
        EXPECT_FALSE(parse_time(bad, t, why)) << bad;
    unsetenv("TZ");
    tzset();
}

}  // namespace
}  // namespace tzv58::tool

#else

TEST(Trend, NeedsSQLite) { GTEST_SKIP() << "this build has no SQLite"; }

#endif

// The trend as the site page reads it (GET /api/trend): the last hours of
// the history file by the host's clock, a line broken where no value came,
// a long history within the bound with its extremes, a reading given up
// once cancelled, and a file that is no history refused with its reason.
#include "e2e_support.h"

#if TZV58_HAVE_SQLITE

#include <time.h>

#include <algorithm>
#include <atomic>

#include "json_support.h"
#include "model_support.h"
#include "tools/history/history_db.h"
#include "tools/history/iso_time.h"
#include "tools/history/trend.h"
#include "tools/history/trend_json.h"

namespace tzv58::tool {
namespace {

tzv58_419_Data_t record_at(long long seconds, float volts, float amps) {
    tzv58_419_Data_t r{};
    r.dc0.out_v.set(volts);
    r.dc0.load_i.set(amps);
    const CivilTime c = civil_time(seconds);
    const uint8_t when[7] = {uint8_t(c.year & 0xFF), uint8_t(c.year >> 8), uint8_t(c.month), uint8_t(c.day),
                             uint8_t(c.hour),        uint8_t(c.minute),    uint8_t(c.second)};
    std::memcpy(r.round_time, when, sizeof when);
    return r;
}

// A history file with one row for each of these times (seconds from now).
std::string history_with(const std::vector<std::pair<long long, float>>& rows) {
    const std::string path = scratch_dir() + "/day.db";
    std::string err;
    HistoryDb::OpenError why;
    std::unique_ptr<HistoryDb> db = HistoryDb::open_writer(path, tzv58_419::model().values, err, why);
    EXPECT_TRUE(db) << err;
    const long long now = ::time(nullptr);
    for (const auto& row : rows)
        EXPECT_EQ(db->write_round(view_of(record_at(now + row.first, row.second, 45.0f)), now + row.first, 1, {}, err),
                  HistoryDb::Write::done)
            << err;
    return path;
}

Json::Value trend(const std::string& path, int hours) {
    std::atomic<bool> cancel{false};
    std::string json, err;
    EXPECT_TRUE(trend_json(path, tzv58_419::model().values, hours, ::time(nullptr), "", cancel, json, err)) << err;
    return parse_json(json);
}

long long seconds_of(const Json::Value& iso) {
    long long s = 0;
    std::string why;
    EXPECT_TRUE(parse_time(iso.asString(), s, why)) << why;
    return s;
}

TEST(TrendJson, TheLastHoursWithTheLineBrokenWhereNoValueCame) {
    std::vector<std::pair<long long, float>> rows;
    for (int i = 0; i < 10; ++i) rows.push_back({-8 * 3600 + i * 3, 50.0f});  // before the window
    for (int i = 0; i < 100; ++i) rows.push_back({-900 + i * 3, 53.5f});      // until ten minutes ago
    for (int i = 0; i < 60; ++i) rows.push_back({-180 + i * 3, 53.0f});       // and again from three
    const Json::Value t = trend(history_with(rows), 6);
    const long long now = ::time(nullptr);
    EXPECT_EQ(t["hours"], 6);
    EXPECT_NEAR(double(seconds_of(t["from"])), double(now - 6 * 3600), 2);
    EXPECT_NEAR(double(seconds_of(t["to"])), double(now), 2);
    EXPECT_EQ(t["rows"], 160);
    EXPECT_EQ(t["interval_s"], 3);
    EXPECT_EQ(t["gap_s"], 9);
    EXPECT_EQ(t["reduced"], false);
    for (const char* name : {"dc_v", "load_i"}) {
        SCOPED_TRACE(name);
        const Json::Value& points = t["series"][name];
        ASSERT_EQ(points.size(), 161u) << "every row, and one null for the gap";
        EXPECT_TRUE(points[100].isNull());
        EXPECT_NEAR(double(seconds_of(points[0][0])), double(now - 900), 2);
        EXPECT_EQ(points[0][1].asDouble(), std::string(name) == "dc_v" ? 53.5 : 45.0);
        EXPECT_EQ(points[101][1].asDouble(), std::string(name) == "dc_v" ? 53.0 : 45.0);
        for (Json::ArrayIndex i = 1; i < points.size(); ++i) {
            if (points[i].isNull() || points[i - 1].isNull()) continue;
            EXPECT_LT(seconds_of(points[i - 1][0]), seconds_of(points[i][0]));
        }
    }
    EXPECT_EQ(trend(history_with(rows), 1)["rows"], 160) << "all within the hour";
}

// Rows dated after now (the clock jumped ahead, then back; one of them ten
// years on) are left out and counted: the window is still the last hours,
// in buckets of seconds, not years.
TEST(TrendJson, RowsDatedAfterNowAreLeftOutOfTheWindow) {
    const Json::Value t =
        trend(history_with({{-60, 53.5f}, {-57, 53.5f}, {600, 54.0f}, {10LL * 365 * 86400, 54.0f}}), 6);
    EXPECT_EQ(t["rows"], 2);
    EXPECT_EQ(t["after_now"], 2);
    EXPECT_NEAR(double(seconds_of(t["to"])), double(::time(nullptr)), 2);
    EXPECT_LT(t["bucket_s"].asDouble(), 60);
    EXPECT_EQ(t["series"]["dc_v"].size(), 2u);
}

// A round a second for well over an hour: at most TREND_POINTS points a
// series, the one-round dip kept.
TEST(TrendJson, ALongHistoryStaysWithinTheBoundAndKeepsItsExtremes) {
    std::vector<std::pair<long long, float>> rows;
    for (int i = 0; i < 5000; ++i) rows.push_back({-5000 + i, i == 1234 ? 47.25f : 53.5f});
    const Json::Value t = trend(history_with(rows), 6);
    EXPECT_EQ(t["rows"], 5000);
    EXPECT_EQ(t["reduced"], true);
    EXPECT_GT(t["bucket_s"].asDouble(), 1.0);
    const Json::Value& points = t["series"]["dc_v"];
    EXPECT_LE(points.size(), TREND_POINTS);
    bool dip = false;
    for (const Json::Value& p : points) dip = dip || (!p.isNull() && p[1].asDouble() == 47.25);
    EXPECT_TRUE(dip);
}

TEST(TrendJson, AnEmptyWindowACancelledReadingAndAFileThatIsNoHistory) {
    const std::string path = history_with({{-10 * 3600, 53.5f}});
    const Json::Value t = trend(path, 6);
    EXPECT_EQ(t["rows"], 0);
    EXPECT_EQ(t["series"]["dc_v"], Json::Value(Json::arrayValue));

    std::atomic<bool> cancel{true};
    std::string json, err;
    std::vector<std::pair<long long, float>> rows;
    for (int i = 0; i < 5000; ++i) rows.push_back({-5000 + i, 53.5f});
    EXPECT_FALSE(trend_json(history_with(rows), tzv58_419::model().values, 6, ::time(nullptr), "", cancel, json, err));
    EXPECT_EQ(err, "interrupted");

    const std::string other = scratch_dir() + "/notes.db";
    spit(other, "not a database at all, but long enough to be read as one's header......................");
    cancel = false;
    EXPECT_FALSE(trend_json(other, tzv58_419::model().values, 6, ::time(nullptr), "", cancel, json, err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
}

}  // namespace
}  // namespace tzv58::tool

#else

TEST(TrendJson, NeedsSQLite) { GTEST_SKIP() << "this build has no SQLite"; }

#endif

// A trend of values over time, reduced for a chart or a client: a bounded
// number of points whatever the number of rows, the extremes of every stretch
// of time kept (the minimum and maximum of each time bucket), and the line
// broken where the data has a gap.
#pragma once

#include <cmath>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace tzv58::tool {

// A step between two values longer than this many round intervals is a gap.
constexpr int GAP_ROUNDS = 3;
// Points a series is reduced to at most.
constexpr size_t TREND_POINTS = 2000;

struct TrendSample {
    long long t;  // seconds since the epoch
    double v;
};

// One series: a line is drawn through each run, and broken between runs.
struct TrendLine {
    std::string name;         // the history column
    std::string label, unit;  // its label and unit for people
    std::vector<std::vector<TrendSample>> runs;
    double lo = NAN, hi = NAN;  // the extremes of every value given
    size_t values = 0;          // values given
    bool reduced = false;       // some bucket held more than its minimum and maximum
};

// Several series over one stretch of time.
struct Trend {
    long long t0 = 0, t1 = 0;  // the first and last row's time
    size_t rows = 0;
    size_t after_now = 0;    // rows of the range dated after now, left out
    long long interval = 0;  // the usual time between rounds, seconds (0: fewer than two rows)
    double bucket_s = 0;     // the time a bucket covers
    std::vector<TrendLine> lines;
};

// The usual time between rounds: the median step between consecutive rows.
class RoundIntervals {
public:
    void add(long long t);  // in time order
    long long typical() const;

private:
    std::map<long long, size_t> steps_;  // step (capped at an hour) -> how often
    size_t count_ = 0;
    long long last_ = 0;
    bool any_ = false;
};

// Reduces one series from t0 to t1 into max_points / 2 buckets of equal
// time: a bucket keeps its one or two values as they are, and of more only
// the minimum and the maximum, in the order they came.
class TrendReducer {
public:
    TrendReducer(long long t0, long long t1, size_t max_points = TREND_POINTS);
    // In time order; NaN: the row holds no such value.
    void add(long long t, double v);
    // gap: a step between values longer than this breaks the line (0: none).
    // A gap within a reduced bucket is narrower than the chart can show.
    TrendLine finish(const std::string& name, long long gap) const;

private:
    struct Bucket {
        size_t n = 0;
        TrendSample first{}, last{}, min{}, max{};
    };
    size_t bucket_of(long long t) const;

    long long t0_, span_;
    std::vector<Bucket> buckets_;
    double lo_ = NAN, hi_ = NAN;
    size_t values_ = 0;
};

}  // namespace tzv58::tool

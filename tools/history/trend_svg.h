// A self-contained SVG trend of DC voltage and load current over time: two
// value axes (V on the left, A on the right), time ticks, a legend.
#pragma once

#include <string>
#include <vector>

namespace tzv58::tool {

struct TrendPoint {
    std::string time;  // ISO 8601 local time, "2026-12-07T19:37:00"
    double dc_v;       // NaN where the record holds none
    double load_i;     // NaN where the record holds none
};

// The first lines of every chart this program writes: a file that starts
// with them may be written over.
extern const char* const TREND_SVG_HEAD;

// The SVG document. Each series is one polyline with one point per point
// that holds its value, in the order given.
std::string trend_svg(const std::vector<TrendPoint>& points);

}  // namespace tzv58::tool

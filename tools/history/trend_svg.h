// A self-contained SVG chart of a trend (trend.h): one panel per value
// column, stacked, sharing the time axis; each with its own value axis,
// with room above the maximum and below the minimum; lines broken at gaps.
// No scripts, fonts or links.
#pragma once

#include <string>

#include "tools/history/trend.h"

namespace tzv58::tool {

// The first line of every chart this program writes: a file that starts
// with it may be written over.
extern const char* const TREND_SVG_HEAD;

std::string trend_svg(const Trend& trend);

}  // namespace tzv58::tool

// Prometheus metrics of a running poll: the HTTP door (`--http [HOST:]PORT`)
// serves GET /metrics in the text exposition format 0.0.4, rendered at each
// scrape from the snapshot the scheduler leaves at each round end.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tools/live/live_state.h"

namespace tzv58::tool {

// The snapshot in the text exposition format. `now` gives the age of the
// last complete round, and whether the values are current: when they are not
// (the link is down, or no round completed within three round intervals),
// value and alarm series are left out, and the link, round counters, the last
// round's time and tzv58_data_current 0 remain.
std::string render_metrics(const LiveSnapshot& s, std::chrono::steady_clock::time_point now);
// A site's: each power system's series with device="NAME" (its snapshot's
// name) first among their labels, one series per power system; the
// history's and the outputs' families, the site's own, once without it.
std::string render_site_metrics(const std::vector<LiveSnapshot>& site, std::chrono::steady_clock::time_point now);

// "[HOST:]PORT" of the HTTP door (HOST defaults to 127.0.0.1; "[::1]:9100"
// for IPv6; port 0 picks a free port). false with a one-line reason that
// names the option.
bool parse_http_address(const std::string& option, const std::string& text, std::string& host, int& port,
                        std::string& err);

}  // namespace tzv58::tool

#include "tools/history/trend_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/history/history_db.h"
#include "tools/history/iso_time.h"

namespace tzv58::tool {

const char* const TREND_SVG_HEAD = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- tzv58-host history trend -->\n";

namespace {

constexpr double WIDTH = 960, LEFT = 80, RIGHT = 900;
constexpr double FIRST_TOP = 95, PANEL_HEIGHT = 190, PANEL_GAP = 40;
const char* const COLOURS[] = {"#1f5fa8", "#c8372d", "#2a8a3e", "#8a5a00"};

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string text(double x, double y, const std::string& s, const char* anchor, const std::string& extra = "") {
    return "<text x=\"" + fmt("%.1f", x) + "\" y=\"" + fmt("%.1f", y) + "\" text-anchor=\"" + anchor + "\"" + extra +
           ">" + s + "</text>\n";
}

std::string line(double x1, double y1, double x2, double y2, const char* style) {
    return "<line x1=\"" + fmt("%.1f", x1) + "\" y1=\"" + fmt("%.1f", y1) + "\" x2=\"" + fmt("%.1f", x2) + "\" y2=\"" +
           fmt("%.1f", y2) + "\" " + style + "/>\n";
}

// A value axis: a round step giving about four intervals, ends on steps,
// and a twentieth of the range to spare at either end, so that neither
// extreme lies on the panel's frame.
struct Axis {
    double lo, hi, step;
};

Axis value_axis(double lo, double hi) {
    if (!(lo <= hi)) lo = 0, hi = 1;
    const double spare = hi - lo < 1e-9 ? std::max(1.0, std::fabs(lo) * 0.02) : (hi - lo) / 20;
    lo -= spare;
    hi += spare;
    const double raw = (hi - lo) / 4;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double step = mag;
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (m * mag >= raw) {
            step = m * mag;
            break;
        }
    return {std::floor(lo / step) * step, std::ceil(hi / step) * step, step};
}

// A tick label's decimals: as many as the step needs.
std::string tick_text(double v, double step) {
    int decimals = 0;
    while (decimals < 4 &&
           std::fabs(step * std::pow(10.0, decimals) - std::round(step * std::pow(10.0, decimals))) > 1e-6)
        ++decimals;
    char format[16];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    return fmt(format, std::fabs(v) < step * 1e-9 ? 0.0 : v);
}

long long time_step(long long span) {
    static const long long steps[] = {1,     2,     5,      10,     15,      30,      60,      120,
                                      300,   600,   900,    1800,   3600,    7200,    10800,   21600,
                                      43200, 86400, 172800, 604800, 1209600, 2592000, 7776000, 31536000};
    for (long long s : steps)
        if (span / s <= 8) return s;
    return steps[sizeof steps / sizeof steps[0] - 1] * (span / 8 / 31536000 + 1);
}

std::string time_label(long long t, long long step, long long span) {
    const CivilTime c = civil_time(t + utc_offset(t));
    char buf[32];
    if (step >= 86400)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.year, c.month, c.day);
    else if (span >= 86400)
        std::snprintf(buf, sizeof buf, "%02d-%02d %02d:%02d", c.month, c.day, c.hour, c.minute);
    else if (step < 60)
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", c.hour, c.minute, c.second);
    else
        std::snprintf(buf, sizeof buf, "%02d:%02d", c.hour, c.minute);
    return buf;
}

// Where things go: time across, one panel per series down the page.
struct Layout {
    long long t0, t1;
    size_t panels;
    double x(long long t) const { return LEFT + (RIGHT - LEFT) * double(t - t0) / double(t1 - t0); }
    double top(size_t panel) const { return FIRST_TOP + double(panel) * (PANEL_HEIGHT + PANEL_GAP); }
    double bottom(size_t panel) const { return top(panel) + PANEL_HEIGHT; }
    double height() const { return bottom(panels - 1) + 60; }
};

std::string column_label(const TrendLine& l) { return l.label.empty() ? l.name : l.label + " (" + l.unit + ")"; }

std::string header(const Trend& trend, const Layout& at) {
    const std::string h = fmt("%.0f", at.height());
    std::string svg = std::string(TREND_SVG_HEAD) +
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"960\" height=\"" + h +
                      "\" viewBox=\"0 0 960 " + h + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    std::string title;
    for (const TrendLine& l : trend.lines) title += (title.empty() ? "" : " and ") + column_label(l);
    svg += "<title>" + title + "</title>\n<rect width=\"960\" height=\"" + h + "\" fill=\"white\"/>\n";
    svg += text(WIDTH / 2, 24, title, "middle", " font-size=\"16\"");
    std::string when = "no records";
    if (trend.rows > 0)
        when = local_text(trend.t0, ' ') + " to " + local_text(trend.t1, ' ') + ", " + std::to_string(trend.rows) +
               " records";
    if (trend.after_now > 0) when += "; " + std::to_string(trend.after_now) + " dated after now left out";
    svg += text(WIDTH / 2, 42, when, "middle", " fill=\"#555\"");
    std::string how;
    for (const TrendLine& l : trend.lines)
        if (l.reduced && how.empty())
            how = "each line: minimum and maximum of every " + fmt("%.0f", trend.bucket_s) + " s";
    if (trend.interval > 0)
        how += std::string(how.empty() ? "lines broken" : ", broken") + " where no value came for over " +
               std::to_string(GAP_ROUNDS * trend.interval) + " s";
    return svg + text(WIDTH / 2, 58, how, "middle", " fill=\"#555\" font-size=\"11\"");
}

// "UTC+08:00", or "UTC+01:00 to +02:00" across a change of the clocks.
std::string zone_words(long long t0, long long t1) {
    const std::string a = local_text(t0).substr(19), b = local_text(t1).substr(19);
    return "UTC" + a + (a == b ? "" : " to " + b);
}

// The time grid in every panel, the labels under the last one: ticks on
// round steps of local time (as of the first row's offset).
std::string time_axis(const Layout& at) {
    std::string svg;
    const long long span = at.t1 - at.t0, step = time_step(span), shift = utc_offset(at.t0), local0 = at.t0 + shift;
    const long long first_tick = (local0 >= 0 ? (local0 + step - 1) / step : local0 / step) * step - shift;
    const double last = at.bottom(at.panels - 1);
    for (long long s = first_tick; s <= at.t1; s += step) {
        const double x = at.x(s);
        for (size_t p = 0; p < at.panels; ++p) svg += line(x, at.top(p), x, at.bottom(p), "stroke=\"#e4e4e4\"");
        svg += line(x, last, x, last + 5, "stroke=\"black\"");
        svg += text(x, last + 18, time_label(s, step, span), "middle");
    }
    return svg + text((LEFT + RIGHT) / 2, last + 40, "local time (" + zone_words(at.t0, at.t1) + ")", "middle");
}

std::string dot(const TrendLine& l, double x, double y, const char* colour) {
    return "<circle class=\"" + l.name + "\" cx=\"" + fmt("%.1f", x) + "\" cy=\"" + fmt("%.1f", y) +
           "\" r=\"2.5\" fill=\"" + colour + "\"/>\n";
}

// One series: a polyline per run. A run too short to see as a line (one
// value, or values within two pixels of each other) is a dot, and a series
// of one or two values shows each as a dot.
std::string series(const TrendLine& l, const Layout& at, size_t panel, const Axis& a, const char* colour) {
    const auto y = [&](double v) { return at.bottom(panel) - PANEL_HEIGHT * (v - a.lo) / (a.hi - a.lo); };
    std::string svg;
    for (const std::vector<TrendSample>& run : l.runs) {
        std::string pts;
        const double x0 = at.x(run[0].t), y0 = y(run[0].v);
        double far = 0;
        for (const TrendSample& s : run) {
            far = std::max({far, std::fabs(at.x(s.t) - x0), std::fabs(y(s.v) - y0)});
            pts += (pts.empty() ? "" : " ") + fmt("%.1f", at.x(s.t)) + "," + fmt("%.1f", y(s.v));
        }
        if (run.size() > 1)
            svg += "<polyline class=\"" + l.name + "\" fill=\"none\" stroke=\"" + colour +
                   "\" stroke-width=\"1.5\" stroke-linejoin=\"round\" points=\"" + pts + "\"/>\n";
        if (l.values <= 2)
            for (const TrendSample& s : run) svg += dot(l, at.x(s.t), y(s.v), colour);
        else if (far < 2)
            svg += dot(l, x0, y0, colour);
    }
    return svg;
}

std::string panel(const TrendLine& l, const Layout& at, size_t p) {
    const char* colour = COLOURS[p % (sizeof COLOURS / sizeof COLOURS[0])];
    const Axis a = value_axis(l.lo, l.hi);
    const double top = at.top(p), bottom = at.bottom(p);
    std::string svg;
    for (int k = 0; k <= int(std::lround((a.hi - a.lo) / a.step)); ++k) {
        const double v = a.lo + k * a.step, yv = bottom - PANEL_HEIGHT * (v - a.lo) / (a.hi - a.lo);
        svg += line(LEFT, yv, RIGHT, yv, "stroke=\"#e4e4e4\"");
        svg += text(LEFT - 6, yv + 4, tick_text(v, a.step), "end");
    }
    svg += text(LEFT, top - 8, column_label(l), "start", std::string(" fill=\"") + colour + "\" font-weight=\"bold\"");
    if (l.values == 0) svg += text((LEFT + RIGHT) / 2, (top + bottom) / 2, "no values", "middle", " fill=\"#555\"");
    svg += series(l, at, p, a, colour);
    return svg + "<rect class=\"panel\" x=\"" + fmt("%.0f", LEFT) + "\" y=\"" + fmt("%.0f", top) + "\" width=\"" +
           fmt("%.0f", RIGHT - LEFT) + "\" height=\"" + fmt("%.0f", PANEL_HEIGHT) +
           "\" fill=\"none\" stroke=\"black\"/>\n";
}

}  // namespace

std::string trend_svg(const Trend& trend) {
    Layout at{trend.t0, trend.t1, std::max<size_t>(trend.lines.size(), 1)};
    if (at.t1 <= at.t0) at.t0 -= 30, at.t1 += 30;
    std::string svg = header(trend, at);
    // Grids first, the series over them, each panel's frame last.
    svg += time_axis(at);
    for (size_t p = 0; p < trend.lines.size(); ++p) svg += panel(trend.lines[p], at, p);
    return svg + "</svg>\n";
}

}  // namespace tzv58::tool

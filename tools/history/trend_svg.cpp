#include "tools/history/trend_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/history/iso_time.h"

namespace tzv58::tool {

const char* const TREND_SVG_HEAD = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- tzv58-host history trend -->\n";

namespace {

constexpr double WIDTH = 960;  // the canvas is 960 by 480
constexpr double LEFT = 80, RIGHT = 880, TOP = 50, BOTTOM = 410;
const char* const DC_COLOUR = "#1f5fa8";
const char* const LOAD_COLOUR = "#c8372d";

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// Value axis: a round step giving about five intervals, ends on steps.
struct Axis {
    double lo, hi, step;
};

Axis value_axis(double lo, double hi) {
    if (!(lo <= hi)) lo = 0, hi = 1;
    if (hi - lo < 1e-9) {
        const double pad = std::max(1.0, std::fabs(lo) * 0.02);
        lo -= pad;
        hi += pad;
    }
    const double raw = (hi - lo) / 5;
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
    while (decimals < 4 && std::fabs(step * std::pow(10.0, decimals) - std::round(step * std::pow(10.0, decimals))) > 1e-6)
        ++decimals;
    char format[16];
    std::snprintf(format, sizeof format, "%%.%df", decimals);
    return fmt(format, std::fabs(v) < step * 1e-9 ? 0.0 : v);
}

long long time_step(long long span) {
    static const long long steps[] = {1,     2,     5,     10,     15,     30,     60,      120,     300,
                                      600,   900,   1800,  3600,   7200,   10800,  21600,   43200,   86400,
                                      172800, 604800, 1209600, 2592000, 7776000, 31536000};
    for (long long s : steps)
        if (span / s <= 8) return s;
    return steps[sizeof steps / sizeof steps[0] - 1] * (span / 8 / 31536000 + 1);
}

std::string time_label(long long t, long long step, long long span) {
    const CivilTime c = civil_time(t);
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

std::string text(double x, double y, const std::string& s, const char* anchor, const char* extra = "") {
    return "<text x=\"" + fmt("%.1f", x) + "\" y=\"" + fmt("%.1f", y) + "\" text-anchor=\"" + anchor + "\"" + extra +
           ">" + s + "</text>\n";
}

std::string line(double x1, double y1, double x2, double y2, const char* style) {
    return "<line x1=\"" + fmt("%.1f", x1) + "\" y1=\"" + fmt("%.1f", y1) + "\" x2=\"" + fmt("%.1f", x2) +
           "\" y2=\"" + fmt("%.1f", y2) + "\" " + style + "/>\n";
}

}  // namespace

std::string trend_svg(const std::vector<TrendPoint>& points) {
    std::vector<long long> t(points.size(), 0);
    long long t0 = 0, t1 = 0;
    double vlo = NAN, vhi = NAN, ilo = NAN, ihi = NAN;
    bool first = true;
    for (size_t k = 0; k < points.size(); ++k) {
        if (!iso_seconds(points[k].time, t[k])) continue;
        t0 = first ? t[k] : std::min(t0, t[k]);
        t1 = first ? t[k] : std::max(t1, t[k]);
        first = false;
        const double v = points[k].dc_v, i = points[k].load_i;
        if (!std::isnan(v)) vlo = std::isnan(vlo) ? v : std::min(vlo, v), vhi = std::isnan(vhi) ? v : std::max(vhi, v);
        if (!std::isnan(i)) ilo = std::isnan(ilo) ? i : std::min(ilo, i), ihi = std::isnan(ihi) ? i : std::max(ihi, i);
    }
    if (t1 == t0) t0 -= 30, t1 += 30;
    const Axis va = value_axis(vlo, vhi), ia = value_axis(ilo, ihi);
    auto x_of = [&](long long s) { return LEFT + (RIGHT - LEFT) * double(s - t0) / double(t1 - t0); };
    auto y_of = [&](const Axis& a, double v) { return BOTTOM - (BOTTOM - TOP) * (v - a.lo) / (a.hi - a.lo); };

    std::string svg = std::string(TREND_SVG_HEAD) +
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"960\" height=\"480\" viewBox=\"0 0 960 480\" "
        "font-family=\"sans-serif\" font-size=\"12\">\n"
        "<title>DC voltage and load current</title>\n"
        "<rect width=\"960\" height=\"480\" fill=\"white\"/>\n";
    svg += text(WIDTH / 2, 24, "DC voltage and load current", "middle", " font-size=\"16\"");
    if (!points.empty())
        svg += text(WIDTH / 2, 40, points.front().time + " to " + points.back().time + ", " +
                                       std::to_string(points.size()) + " records",
                    "middle", " fill=\"#555\"");
    else
        svg += text(WIDTH / 2, 40, "no records", "middle", " fill=\"#555\"");

    // Grid and value axes.
    for (double v = va.lo; v <= va.hi + va.step / 2; v += va.step) {
        const double y = y_of(va, v);
        svg += line(LEFT, y, RIGHT, y, "stroke=\"#e4e4e4\"");
        svg += text(LEFT - 6, y + 4, tick_text(v, va.step), "end", (std::string(" fill=\"") + DC_COLOUR + "\"").c_str());
    }
    for (int k = 0; k <= int(std::lround((ia.hi - ia.lo) / ia.step)); ++k) {
        const double v = ia.lo + k * ia.step;
        svg += text(RIGHT + 6, y_of(ia, v) + 4, tick_text(v, ia.step), "start",
                    (std::string(" fill=\"") + LOAD_COLOUR + "\"").c_str());
    }
    // Time axis.
    const long long span = t1 - t0, step = time_step(span);
    const long long first_tick = (t0 >= 0 ? (t0 + step - 1) / step : t0 / step) * step;
    for (long long s = first_tick; s <= t1; s += step) {
        const double x = x_of(s);
        svg += line(x, TOP, x, BOTTOM, "stroke=\"#e4e4e4\"");
        svg += line(x, BOTTOM, x, BOTTOM + 5, "stroke=\"black\"");
        svg += text(x, BOTTOM + 18, time_label(s, step, span), "middle");
    }
    svg += "<rect x=\"80\" y=\"50\" width=\"800\" height=\"360\" fill=\"none\" stroke=\"black\"/>\n";
    svg += text(24, (TOP + BOTTOM) / 2, "DC voltage (V)", "middle",
                (std::string(" transform=\"rotate(-90 24 230)\" fill=\"") + DC_COLOUR + "\"").c_str());
    svg += text(WIDTH - 18, (TOP + BOTTOM) / 2, "load current (A)", "middle",
                (std::string(" transform=\"rotate(90 942 230)\" fill=\"") + LOAD_COLOUR + "\"").c_str());
    svg += text((LEFT + RIGHT) / 2, BOTTOM + 40, "local time", "middle");

    // The series: one point per record that holds the value.
    auto series = [&](const char* cls, const char* colour, const Axis& a, double TrendPoint::*member) {
        std::string pts;
        size_t n = 0;
        for (size_t k = 0; k < points.size(); ++k) {
            const double v = points[k].*member;
            if (std::isnan(v) || !iso_seconds(points[k].time, t[k])) continue;
            pts += (n++ ? " " : "") + fmt("%.1f", x_of(t[k])) + "," + fmt("%.1f", y_of(a, v));
        }
        std::string s = "<polyline class=\"" + std::string(cls) + "\" fill=\"none\" stroke=\"" + colour +
                        "\" stroke-width=\"1.5\" points=\"" + pts + "\"/>\n";
        // A lone point has no line to show it.
        if (n == 1) {
            const size_t comma = pts.find(',');
            s += "<circle cx=\"" + pts.substr(0, comma) + "\" cy=\"" + pts.substr(comma + 1) + "\" r=\"3\" fill=\"" +
                 colour + "\"/>\n";
        }
        return s;
    };
    svg += series("dc_v", DC_COLOUR, va, &TrendPoint::dc_v);
    svg += series("load_i", LOAD_COLOUR, ia, &TrendPoint::load_i);

    // Legend.
    svg += "<rect x=\"700\" y=\"58\" width=\"170\" height=\"44\" fill=\"white\" fill-opacity=\"0.85\" stroke=\"#999\"/>\n";
    svg += line(710, 74, 740, 74, (std::string("stroke=\"") + DC_COLOUR + "\" stroke-width=\"2\"").c_str());
    svg += text(748, 78, "DC voltage (V)", "start");
    svg += line(710, 92, 740, 92, (std::string("stroke=\"") + LOAD_COLOUR + "\" stroke-width=\"2\"").c_str());
    svg += text(748, 96, "load current (A)", "start");
    return svg + "</svg>\n";
}

}  // namespace tzv58::tool

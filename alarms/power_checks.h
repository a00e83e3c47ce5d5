// The power system's own checks: mains failure (mode 1) and the AC and DC
// threshold checks (mode 2). Nothing is kept between rounds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <sstream>
#include <string>

#include <boost/lexical_cast.hpp>

#include "alarms/alarm_sink.h"

namespace tzv58 {

// Fixed limits, in volts. Frequency and DC limits come from threshold_values.
constexpr float PHASE_PRESENT_V = 120.0f;
constexpr float PHASE_HIGH_V = 280.0f;
constexpr float PHASE_LOW_V = 150.0f;

// A reading counts as measured above 0.01, compared after widening to double:
// the float nearest 0.01 lies just below it and counts as not measured.
inline bool measured(float v) { return double(v) > 0.01; }

enum class check_gate : uint8_t { ac, dc };
enum class check_test : uint8_t { phase_high, phase_low, no_mains, freq_high, freq_low, dc_below, dc_above };
enum class check_text : uint8_t { phase, frequency, dc };

// A mode-2 check: runs while its gate is set and threshold_levels[id] is not
// 0, and reports that level, the id as signal key and alarm id, its first
// text, the name as second text and sequence number 1.
struct threshold_check {
    const char* id;
    check_gate gate;
    check_test test;
    check_text text;
    const char* name;
};

constexpr threshold_check threshold_checks[] = {
    // some wired phase of either channel above 280 V
    {"220600120010", check_gate::ac, check_test::phase_high, check_text::phase, "001#48V直流系统交流输入电压过高告警"},
    // some wired phase measured and below 150 V
    {"220600130010", check_gate::ac, check_test::phase_low, check_text::phase, "001#48V直流系统交流输入电压过低告警"},
    // all six phases below 150 V, wired or not
    {"220600140010", check_gate::ac, check_test::no_mains, check_text::phase, "001#48V直流系统交流输入停电告警"},
    // f1 or f2 above the threshold
    {"220600160010", check_gate::ac, check_test::freq_high, check_text::frequency,
     "001#48V直流系统交流输入频率过高告警"},
    // f1 or f2 measured and below the threshold
    {"220600170010", check_gate::ac, check_test::freq_low, check_text::frequency,
     "001#48V直流系统交流输入频率过低告警"},
    {"210600320010", check_gate::dc, check_test::dc_below, check_text::dc, "48V直流系统直流总电压过低告警"},
    {"210600330010", check_gate::dc, check_test::dc_below, check_text::dc, "48V直流系统直流总电压超低告警"},
    {"210600340010", check_gate::dc, check_test::dc_above, check_text::dc, "直流总电压过高告警"},
};

// The AC checks run before the DC checks, and a check's text belongs to its gate.
constexpr bool threshold_checks_well_formed() {
    for (size_t k = 0; k < std::size(threshold_checks); ++k) {
        const threshold_check& c = threshold_checks[k];
        if ((c.gate == check_gate::dc) != (c.text == check_text::dc)) return false;
        if ((c.gate == check_gate::dc) != (c.test == check_test::dc_below || c.test == check_test::dc_above))
            return false;
        if (k > 0 && c.gate < threshold_checks[k - 1].gate) return false;
    }
    return true;
}
static_assert(threshold_checks_well_formed(), "AC checks first; texts and tests match their gate");

// Mode 1: mains failure, active unless some channel has every wired phase
// above 120 V. A channel with no wired phase counts as supplied.
template <class Data>
void check_mains_failure(const Data& data, const check_settings& set, alarm_sink& sink) {
    // The count is as received; the record holds two channels.
    const int channels = std::min<int>(data.channel_count, std::size(data.channel));
    bool supplied = false;
    for (int i = 0; i < channels; ++i) {
        const auto& ch = data.channel[i];
        if ((!set.has_a || ch.a.get() > PHASE_PRESENT_V) && (!set.has_b || ch.b.get() > PHASE_PRESENT_V) &&
            (!set.has_c || ch.c.get() > PHASE_PRESENT_V))
            supplied = true;
    }
    sink.report(1, "PowerOff", "419415001", "输入电源中断告警", "输入电源中断告警", !supplied, 100);
}

// Mode 2: the checks of threshold_checks, in table order. The AC checks read
// both channels of the record whatever channel_count says. Comparisons are
// strict, so a NaN never makes a check active.
template <class Data>
void check_thresholds(const Data& data, const check_settings& set, alarm_sink& sink) {
    const auto& ch = data.channel;
    const float phase[6] = {ch[0].a.get(), ch[0].b.get(), ch[0].c.get(), ch[1].a.get(), ch[1].b.get(), ch[1].c.get()};
    const bool wired[6] = {set.has_a, set.has_b, set.has_c, set.has_a, set.has_b, set.has_c};
    const float f1 = ch[0].f.get(), f2 = ch[1].f.get();
    const float v_dc = data.dc(0).out_v.get();

    // The first texts: floats as the default stream output writes them (six
    // significant digits, general notation), the DC voltage by lexical_cast.
    std::ostringstream phase_out, frequency_out;
    phase_out << "ua1:" << phase[0] << " ub1:" << phase[1] << " uc1:" << phase[2] << " ua2:" << phase[3]
              << " ub2:" << phase[4] << " uc2:" << phase[5];
    frequency_out << "f1:" << f1 << " f2:" << f2;
    const std::string phase_text = phase_out.str();
    const std::string frequency_text = frequency_out.str();
    const std::string dc_text = boost::lexical_cast<std::string>(v_dc);

    auto any_wired = [&](auto pred) {
        for (int i = 0; i < 6; ++i)
            if (wired[i] && pred(phase[i])) return true;
        return false;
    };

    for (const threshold_check& c : threshold_checks) {
        if (!(c.gate == check_gate::ac ? set.has_ac : set.has_dc)) continue;
        const int level = set.level(c.id);
        if (level == 0) continue;
        bool active = false;
        switch (c.test) {
        case check_test::phase_high:
            active = any_wired([](float v) { return v > PHASE_HIGH_V; });
            break;
        case check_test::phase_low:
            active = any_wired([](float v) { return measured(v) && v < PHASE_LOW_V; });
            break;
        case check_test::no_mains:
            active = std::all_of(std::begin(phase), std::end(phase), [](float v) { return v < PHASE_LOW_V; });
            break;
        case check_test::freq_high: {
            const float t = set.threshold(c.id);
            active = f1 > t || f2 > t;
            break;
        }
        case check_test::freq_low: {
            const float t = set.threshold(c.id);
            active = (measured(f1) && f1 < t) || (measured(f2) && f2 < t);
            break;
        }
        case check_test::dc_below:
            active = v_dc < set.threshold(c.id);
            break;
        case check_test::dc_above:
            active = v_dc > set.threshold(c.id);
            break;
        }
        const std::string& text = c.text == check_text::phase       ? phase_text
                                  : c.text == check_text::frequency ? frequency_text
                                                                    : dc_text;
        sink.report(level, c.id, c.id, text, c.name, active, 1);
    }
}

// The power system's checks of one round, by alarm mode.
template <class Data>
void check_power_system(const Data& data, const check_settings& set, alarm_sink& sink) {
    if (set.b_mode == 1 && set.has_ac) check_mains_failure(data, set, sink);
    if (set.b_mode == 2) check_thresholds(data, set, sink);
}

}  // namespace tzv58

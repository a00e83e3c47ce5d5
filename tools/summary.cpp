#include "tools/summary.h"

#include <string>

#include "tools/json_out.h"

namespace tzv58::tool {

// Example:
//   == round 2: 2026-01-01 00:00:04
//   AC 1      A 230 V  B 231 V  C 229 V  50 Hz
//   AC 2      A 229 V  B 230 V  C 228 V  50 Hz
//   rectifier 53 V  4 modules: 12 11 12 13 A
//   DC 1      53.5 V  load 45 A  battery 3 A
//   vendor    50  10
//   alarms    none
void print_summary(FILE* out, long round_no, bool completed, const EventPrinter::Round& round) {
    if (!completed) {
        std::fprintf(out, "== round %ld: no complete reading (%d replies, %d line errors)\n", round_no,
                     round.payloads, round.frame_errors);
        std::fflush(out);
        return;
    }
    const tzv58_419_Data_t& r = round.record;
    const uint32_t ymd = load_le32(r.round_time);
    std::fprintf(out, "== round %ld: %04u-%02u-%02u %02u:%02u:%02u\n", round_no, ymd & 0xFFFF, (ymd >> 16) & 0xFF,
                 ymd >> 24, r.round_time[4], r.round_time[5], r.round_time[6]);
    const int channels = r.channel_count < tzv58_419_Data_t::AC_CHANNELS ? r.channel_count : tzv58_419_Data_t::AC_CHANNELS;
    for (int i = 0; i < channels; ++i) {
        const auto& ch = r.channel[i];
        std::fprintf(out, "AC %d      A %s V  B %s V  C %s V  %s Hz\n", i + 1, float_text(ch.a.get()).c_str(),
                     float_text(ch.b.get()).c_str(), float_text(ch.c.get()).c_str(), float_text(ch.f.get()).c_str());
    }
    if (r.channel_count > channels) std::fprintf(out, "AC        %d channels reported\n", r.channel_count);
    const int modules = r.module_count < tzv58_419_Data_t::RC_MODULES ? r.module_count : tzv58_419_Data_t::RC_MODULES;
    std::string currents;
    for (int i = 0; i < modules; ++i) currents += " " + float_text(r.module[i].out_i.get());
    std::fprintf(out, "rectifier %s V  %d modules:%s A\n", float_text(r.rc_out_v.get()).c_str(), r.module_count,
                 currents.c_str());
    for (int u = 0; u < tzv58_419_Data_t::DC_UNITS; ++u) {
        const auto& dc = r.dc(u);
        if (u > 0 && dc.out_v.get() == 0.0f && dc.load_i.get() == 0.0f) continue;  // no second unit
        std::string battery;
        for (int i = 0; i < dc.m && i < 2; ++i) battery += (i ? " " : "") + float_text(dc.battery_i[i].get());
        std::fprintf(out, "DC %d      %s V  load %s A  battery %s A\n", u + 1, float_text(dc.out_v.get()).c_str(),
                     float_text(dc.load_i.get()).c_str(), battery.empty() ? "-" : battery.c_str());
    }
    std::fprintf(out, "vendor    %s  %s\n", float_text(r.ext_value[0].get()).c_str(),
                 float_text(r.ext_value[1].get()).c_str());
    if (round.alarms.empty()) std::fprintf(out, "alarms    none\n");
    for (const ActiveAlarm& a : round.alarms)
        std::fprintf(out, "ALARM     [level %d] %s: %s (%s %s)\n", a.level, a.text2.c_str(), a.text1.c_str(),
                     a.key.c_str(), a.id.c_str());
    std::fflush(out);
}

}  // namespace tzv58::tool

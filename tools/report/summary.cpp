#include "tools/report/summary.h"

#include "tools/common/text_guard.h"

#include <string>

#include "tools/common/json_out.h"
#include "tools/common/outputs.h"

namespace tzv58::tool {
namespace {

using Data = tzv58_419_Data_t;

// "41 modules reported, 40 held" when a count is above what the record holds.
std::string beyond(int reported, int held, const char* what) {
    if (reported <= held) return "";
    return std::to_string(reported) + " " + what + " reported, " + std::to_string(held) + " held";
}

// The first `count` values (at most cap), or "-" for none.
template <size_t N>
std::string values(const tzv58::f32le (&v)[N], int count) {
    std::string s;
    for (int i = 0; i < count && i < int(N); ++i) s += (i ? " " : "") + float_text(v[i].get());
    return s.empty() ? "-" : s;
}

// "2 checksum, 2 noise, 6 timeout": the round's line errors by kind.
std::string errors_by_kind(const RoundCollector& round) {
    std::string s;
    for (const auto& kind : round.errors_by_reason())
        s += (s.empty() ? "" : ", ") + std::to_string(kind.second) + " " + kind.first;
    return s;
}

}  // namespace

std::string transition_line(const AlarmTransition& t) {
    char head[96];
    std::snprintf(head, sizeof head, "%s  %-8s level %d %-8s  ", t.time.c_str(), t.raised ? "raised" : "cleared",
                  t.level, level_name(t.level));
    return head + t.key + " " + t.id + "  " + t.text1 + " / " + t.text2;
}

std::string link_lost_line(const char* cause, const std::string& time) {
    return std::string("link lost (") + cause + ") at " + time;
}

std::string link_restored_line(long long down_s) { return "link restored after " + std::to_string(down_s) + " s"; }

std::string link_silent_line(int address, const std::string& since, const std::string& now) {
    const bool today = since.size() == 19 && now.compare(0, 11, since, 0, 11) == 0;
    return "no answer from the power system at address " + std::to_string(address) + " since " +
           (today ? since.substr(11) : since);
}

std::string link_answers_line(long long silent_s) { return "answers again after " + std::to_string(silent_s) + " s"; }

// Example:
//   == round 2: 2026-01-01 00:00:04
//   AC 1      A 230 V  B 231 V  C 229 V  50 Hz
//   AC 2      A 229 V  B 230 V  C 228 V  50 Hz
//   rectifier 53 V  4 modules: 12 11 12 13 A
//   DC 1      53.5 V  load 45 A  battery 3 A
//   vendor    50  10
//   line      errors: 1 checksum, 2 timeout               (only after errors)
//   2026-01-01T00:00:04  raised   level 1 critical  PowerOff 419415001  输入电源中断告警 / 输入电源中断告警
//   alarms    1 active: mains failure
void print_summary(FILE* out, long round_no, bool completed, const RoundCollector& round, int dc_reported) {
    if (!completed) {
        const std::string kinds = round.frame_errors() ? ": " + errors_by_kind(round) : "";
        std::fprintf(out, "== round %ld: no complete reading (%d replies, %d line errors%s)\n", round_no,
                     round.payloads(), round.frame_errors(), kinds.c_str());
        flush_output(out);
        return;
    }
    const Data& r = round.record();
    const uint32_t ymd = load_le32(r.round_time);
    std::fprintf(out, "== round %ld: %04u-%02u-%02u %02u:%02u:%02u\n", round_no, ymd & 0xFFFF, (ymd >> 16) & 0xFF,
                 ymd >> 24, r.round_time[4], r.round_time[5], r.round_time[6]);
    const int channels = r.channel_count < Data::AC_CHANNELS ? r.channel_count : Data::AC_CHANNELS;
    for (int i = 0; i < channels; ++i) {
        const auto& ch = r.channel[i];
        std::fprintf(out, "AC %d      A %s V  B %s V  C %s V  %s Hz\n", i + 1, float_text(ch.a.get()).c_str(),
                     float_text(ch.b.get()).c_str(), float_text(ch.c.get()).c_str(), float_text(ch.f.get()).c_str());
    }
    if (r.channel_count > channels)
        std::fprintf(out, "AC        %s\n", beyond(r.channel_count, channels, "channels").c_str());

    const int modules = r.module_count < Data::RC_MODULES ? r.module_count : Data::RC_MODULES;
    std::string currents;
    for (int i = 0; i < modules; ++i) currents += " " + float_text(r.module[i].out_i.get());
    const std::string over = beyond(r.module_count, modules, "modules");
    std::fprintf(out, "rectifier %s V  %s:%s A\n", float_text(r.rc_out_v.get()).c_str(),
                 over.empty() ? (std::to_string(modules) + " modules").c_str() : over.c_str(), currents.c_str());

    // Every unit the power system reports, whatever it reads; without a DC
    // reply (a cached record), the units that hold anything.
    const int units_reported = dc_reported >= 0 ? dc_reported : dc_units_in(r);
    const int units = units_reported < Data::DC_UNITS ? units_reported : Data::DC_UNITS;
    for (int u = 0; u < units; ++u) {
        const auto& dc = r.dc(u);
        const int m_cap = int(sizeof dc.battery_i / sizeof dc.battery_i[0]);
        const int n_cap = int(sizeof dc.branch_i / sizeof dc.branch_i[0]);
        // A group above its capacity is not read at all: say so instead of values.
        const std::string battery = dc.m > m_cap ? "(" + beyond(dc.m, m_cap, "battery strings") + ")"
                                    : dc.m == 0  ? "no battery"
                                                 : "battery " + values(dc.battery_i, dc.m) + " A";
        std::fprintf(out, "DC %d      %s V  load %s A  %s", u + 1, float_text(dc.out_v.get()).c_str(),
                     float_text(dc.load_i.get()).c_str(), battery.c_str());
        if (dc.n > n_cap) std::fprintf(out, "  (%s)", beyond(dc.n, n_cap, "branches").c_str());
        std::fputc('\n', out);
    }
    if (units_reported > units) std::fprintf(out, "DC        %s\n", beyond(units_reported, units, "DC units").c_str());
    std::fprintf(out, "vendor    %s  %s\n", float_text(r.ext_value[0].get()).c_str(),
                 float_text(r.ext_value[1].get()).c_str());
    // A round that had to ask again says why.
    if (round.frame_errors() > 0) std::fprintf(out, "line      errors: %s\n", errors_by_kind(round).c_str());
    for (const AlarmTransition& t : round.transitions()) std::fprintf(out, "%s\n", shown(transition_line(t)).c_str());
    const int active = round.active_alarms();
    if (active == 0)
        std::fprintf(out, "alarms    none\n");
    else
        std::fprintf(out, "alarms    %d active%s\n", active, round.mains_failure() ? ": mains failure" : "");
    flush_output(out);
}

}  // namespace tzv58::tool

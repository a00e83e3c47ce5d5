// A compact summary of one poll round for a person at the console.
#pragma once

#include <cstdio>
#include <string>

#include "tools/report/observers.h"

namespace tzv58::tool {

// An alarm raised or cleared, as one line of the summary (no newline):
// 2026-01-01T00:00:04  raised   level 1 critical  PowerOff 419415001  输入电源中断告警 / 输入电源中断告警
std::string transition_line(const AlarmTransition& t);

// The link lost and restored, in the words the program uses wherever it tells
// them: "link lost (hang-up) at 2026-01-01T00:00:04" (time: ISO 8601, the
// host clock), "link restored after 63 s".
std::string link_lost_line(const char* cause, const std::string& time);
std::string link_restored_line(long long down_s);
// The power system silent with the port open, and answering again: "no
// answer from the power system at address 1 since 11:02:07" (since: ISO
// 8601, the host clock; its time of day alone when it is of now's day),
// "answers again after 45 s".
std::string link_silent_line(int address, const std::string& since, const std::string& now);
std::string link_answers_line(long long silent_s);

// dc_reported: the DC units the power system reported (-1: unknown).
void print_summary(FILE* out, long round_no, bool completed, const RoundCollector& round, int dc_reported);

}  // namespace tzv58::tool

// History times: ISO 8601 local times as the history file stores them
// ("2026-12-07T19:37:00"), and the seconds they stand for, counted from
// 1970-01-01T00:00:00 of the same (unnamed) zone.
#pragma once

#include <string>

namespace tzv58::tool {

// false for a text that is not such a time.
bool iso_seconds(const std::string& iso, long long& seconds);

// The host's local time now, in these seconds.
long long local_now_seconds();

// The time back as text: "2026-12-07T19:37:00".
std::string iso_text(long long seconds);

// The fields of a time: year, month, day, hour, minute, second.
struct CivilTime {
    int year, month, day, hour, minute, second;
};
CivilTime civil_time(long long seconds);

}  // namespace tzv58::tool

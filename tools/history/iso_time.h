// History times. A row's time is stored in UTC as ISO 8601 with Z
// ("2026-12-07T11:37:00Z"): rows sort by time as they read, whatever the
// zone of the program that wrote them, across daylight saving time too.
// People see local time with its offset ("2026-12-07T19:37:00+08:00"), and
// give times as local time, or with Z or an offset.
#pragma once

#include <string>

namespace tzv58::tool {

// Seconds since the epoch of a stored time; false for any other text.
bool utc_seconds(const std::string& stored, long long& seconds);
// The stored form of a time.
std::string utc_text(long long seconds);

// The local zone's (TZ) offset from UTC at that time, seconds east.
long long utc_offset(long long seconds);
// Local time with its offset: "2026-12-07T19:37:00+08:00" (sep ' ' for
// "2026-12-07 19:37:00+08:00").
std::string local_text(long long seconds, char sep = 'T');

// A time as a person gives it: 2026-12-07, 2026-12-07T19:37 or
// 2026-12-07 19:37:05, local time, or followed by Z or an offset (+08:00,
// -05:00). A local time the clocks skipped, or one they passed twice, is
// refused: its offset tells which. false with a one-line reason that quotes
// the text.
bool parse_time(const std::string& text, long long& seconds, std::string& why);

// Texts without a zone: ISO 8601 ("2026-12-07T19:37:00") and the seconds
// they stand for, counted from 1970-01-01T00:00:00 of the same zone.
bool iso_seconds(const std::string& iso, long long& seconds);
std::string iso_text(long long seconds);

// The fields of such a time: year, month, day, hour, minute, second.
struct CivilTime {
    int year, month, day, hour, minute, second;
};
CivilTime civil_time(long long seconds);

}  // namespace tzv58::tool

#include "tools/history/iso_time.h"

#include <cstdio>
#include <ctime>
#include <set>

namespace tzv58::tool {
namespace {

long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;
}

// 2026-12-07, 2026-12-07T19:37, 2026-12-07 19:37:05 -> seconds of that
// time of an unnamed zone; a time that reads back as itself (no 31 June).
bool civil_seconds(const std::string& text, long long& seconds) {
    std::string t = text;
    if (t.size() == 10) t += "T00:00";
    if (t.size() == 16) t += ":00";
    if (t.size() != 19) return false;
    if (t[10] == ' ') t[10] = 'T';
    return iso_seconds(t, seconds) && t[17] <= '5' && iso_text(seconds) == t;
}

// Z, or +hh:mm / -hh:mm at the end of text: its offset east, and the text
// before it.
bool zone_suffix(const std::string& text, std::string& civil, long long& offset) {
    const size_t n = text.size();
    if (n > 0 && text[n - 1] == 'Z') {
        civil = text.substr(0, n - 1);
        offset = 0;
        return true;
    }
    int h = 0, m = 0, used = 0;
    if (n < 6 || (text[n - 6] != '+' && text[n - 6] != '-') || text[n - 3] != ':' ||
        std::sscanf(text.c_str() + n - 5, "%2d:%2d%n", &h, &m, &used) != 2 || used != 5 || h > 23 || m > 59)
        return false;
    civil = text.substr(0, n - 6);
    offset = (text[n - 6] == '-' ? -1 : 1) * (h * 3600LL + m * 60);
    return true;
}

std::string offset_text(long long offset) {
    char buf[48];
    const long long a = offset < 0 ? -offset : offset;
    std::snprintf(buf, sizeof buf, "%c%02lld:%02lld", offset < 0 ? '-' : '+', a / 3600, a / 60 % 60);
    return buf;
}

}  // namespace

bool iso_seconds(const std::string& iso, long long& seconds) {
    int y, mo, d, h, mi, s, n = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &n) != 6 ||
        size_t(n) != iso.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    seconds = days_from_civil(y, unsigned(mo), unsigned(d)) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

CivilTime civil_time(long long s) {
    long long z = (s >= 0 ? s : s - 86399) / 86400;
    const long long secs = s - z * 86400;
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {int(yoe + era * 400 + (m <= 2)), int(m), int(d), int(secs / 3600), int(secs / 60 % 60), int(secs % 60)};
}

std::string iso_text(long long seconds) {
    const CivilTime c = civil_time(seconds);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute, c.second);
    return buf;
}

bool utc_seconds(const std::string& stored, long long& seconds) {
    return !stored.empty() && stored.back() == 'Z' && iso_seconds(stored.substr(0, stored.size() - 1), seconds);
}

std::string utc_text(long long seconds) { return iso_text(seconds) + "Z"; }

long long utc_offset(long long seconds) {
    const time_t t = time_t(seconds);
    tm local{};
    return localtime_r(&t, &local) ? (long long)local.tm_gmtoff : 0;
}

std::string local_text(long long seconds, char sep) {
    const long long offset = utc_offset(seconds);
    std::string s = iso_text(seconds + offset) + offset_text(offset);
    s[10] = sep;
    return s;
}

bool parse_time(const std::string& text, long long& seconds, std::string& why) {
    std::string civil = text;
    long long offset = 0, local = 0;
    const bool zoned = zone_suffix(text, civil, offset) && civil.size() > 10;
    if (!zoned) civil = text;
    if (!civil_seconds(civil, local)) {
        why =
            "needs a time such as 2026-12-07, 2026-12-07T19:37 or 2026-12-07 19:37:05, local or followed by Z or "
            "an offset such as +08:00, not '" +
            text + "'";
        return false;
    }
    if (zoned) {
        seconds = local - offset;
        return true;
    }
    // The instants whose local time this is: one, or none where the clocks
    // went forward, or two where they went back. Offsets change by hours at
    // most, and not twice within a day.
    std::set<long long> found;
    for (long long around : {-86400LL, 0LL, 86400LL}) {
        const long long guess = local - utc_offset(local + around);
        if (guess + utc_offset(guess) == local) found.insert(guess);
    }
    if (found.size() == 1) {
        seconds = *found.begin();
        return true;
    }
    if (found.empty()) {
        why = text + " is no local time here (the clocks skipped it): give its offset, such as " +
              offset_text(utc_offset(local - utc_offset(local)));
    } else {
        why = text + " comes twice in local time here (the clocks went back): give its offset, " +
              offset_text(utc_offset(*found.begin())) + " or " + offset_text(utc_offset(*found.rbegin()));
    }
    return false;
}

}  // namespace tzv58::tool

#include "tools/history/iso_time.h"

#include <cstdio>
#include <ctime>

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

long long local_now_seconds() {
    const time_t now = ::time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    char iso[32];
    strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S", &t);
    long long s = 0;
    iso_seconds(iso, s);
    return s;
}

}  // namespace tzv58::tool

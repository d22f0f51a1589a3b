#include "log_clock.h"

#include <cmath>
#include <ctime>

namespace logbook {

namespace {

// Steps a clock face has: seconds, minutes, hours, then days and weeks.
constexpr long STEPS[] = {1,     2,     5,      10,     15,      30,     60,    120,
                          300,   600,   900,    1800,   3600,    7200,   10800, 21600,
                          43200, 86400, 172800, 604800, 1209600, 2419200};

long civil_seconds(const std::tm& parts)
{
    return days_from_civil(parts.tm_year + 1900L, parts.tm_mon + 1L, parts.tm_mday) * 86400L +
           parts.tm_hour * 3600L + parts.tm_min * 60L + parts.tm_sec;
}

// How far this machine's clock is ahead of UTC at that moment, in seconds.
long local_offset(std::time_t moment)
{
    const std::tm local = *std::localtime(&moment);
    return civil_seconds(local) - static_cast<long>(moment);
}

enum class Shown { seconds, minutes, day, date };

// Text of a local civil time, given as seconds since 1970 on the local clock.
std::string local_text(double local_seconds, Shown shown)
{
    const auto whole = static_cast<std::time_t>(std::floor(local_seconds));
    const std::tm parts = *std::gmtime(&whole);
    char text[64];
    switch (shown) {
    case Shown::seconds: std::strftime(text, sizeof text, "%H:%M:%S", &parts); break;
    case Shown::minutes: std::strftime(text, sizeof text, "%H:%M", &parts); break;
    case Shown::day: std::strftime(text, sizeof text, "%b %d", &parts); break;
    case Shown::date: std::strftime(text, sizeof text, "%Y-%m-%d", &parts); break;
    }
    return text;
}

std::string zone_title(std::time_t moment, long offset)
{
    const std::tm local = *std::localtime(&moment);
    char zone[64] = "";
    std::strftime(zone, sizeof zone, "%Z", &local);
    const long minutes = std::labs(offset) / 60;
    char utc[32];
    std::snprintf(utc, sizeof utc, "UTC%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    const std::string name = zone;
    if (offset == 0 && (name.empty() || name == "UTC" || name == "GMT")) {
        return "local time (UTC)";
    }
    return "local time (" + (name.empty() || name == utc ? "" : name + ", ") + utc + ")";
}

} // namespace

long days_from_civil(long year, long month, long day)
{
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long year_of_era = year - era * 400;
    const long day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

CivilDate civil_from_days(long days)
{
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long day_of_era = days - era * 146097;
    const long year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long shifted_month = (5 * day_of_year + 2) / 153;
    const long day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const long month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    return CivilDate{year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

TimeAxis time_axis(std::chrono::system_clock::time_point origin, double span_s, int most)
{
    const double origin_s = std::chrono::duration<double>(origin.time_since_epoch()).count();
    const auto moment = static_cast<std::time_t>(std::floor(origin_s));
    const long offset = local_offset(moment);
    const double local_start = origin_s + static_cast<double>(offset);
    long step = STEPS[sizeof STEPS / sizeof STEPS[0] - 1];
    for (const long candidate : STEPS) {
        if (span_s / static_cast<double>(candidate) <= most) {
            step = candidate;
            break;
        }
    }
    const Shown shown = step < 60 ? Shown::seconds : step < 86400 ? Shown::minutes : Shown::day;
    TimeAxis axis;
    axis.title = zone_title(moment, offset) + ", " + local_text(local_start, Shown::date);
    const auto first =
        static_cast<long long>(std::ceil(local_start / static_cast<double>(step) - 1e-9));
    for (long long k = first;; ++k) {
        const double local = static_cast<double>(k) * static_cast<double>(step);
        const double elapsed = local - local_start;
        if (elapsed > span_s + 1e-9) {
            break;
        }
        axis.ticks.push_back(TimeTick{elapsed, local_text(local, shown)});
    }
    return axis;
}

} // namespace logbook

#include "log_clock.h"

#include <algorithm>
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

// A stretch of the axis over which the local clock keeps one offset from UTC.
struct ZoneSpan {
    double from_s; // elapsed from the axis's origin
    double to_s;
    long offset;      // seconds ahead of UTC
    std::string zone; // "CET", or "" where the C library names none
};

std::string zone_name(std::time_t moment)
{
    const std::tm local = *std::localtime(&moment);
    char zone[64] = "";
    std::strftime(zone, sizeof zone, "%Z", &local);
    return zone;
}

// "CET, UTC+01:00", or "UTC".
std::string zone_text(const ZoneSpan& span)
{
    const long minutes = std::labs(span.offset) / 60;
    char utc[32];
    std::snprintf(utc, sizeof utc, "UTC%c%02ld:%02ld", span.offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    if (span.offset == 0 && (span.zone.empty() || span.zone == "UTC" || span.zone == "GMT")) {
        return "UTC";
    }
    return (span.zone.empty() || span.zone == utc ? "" : span.zone + ", ") + utc;
}

// The moment within (after, before] at which the offset becomes that of `before`, to the second.
std::time_t change_between(std::time_t after, std::time_t before)
{
    const long wanted = local_offset(before);
    while (before - after > 1) {
        const std::time_t middle = after + (before - after) / 2;
        (local_offset(middle) == wanted ? before : after) = middle;
    }
    return before;
}

// The axis cut where the local clock changes its offset (daylight saving time), looked for
// every hour or so: no zone changes twice within an hour.
std::vector<ZoneSpan> zone_spans(double origin_s, double span_s)
{
    const auto first = static_cast<std::time_t>(std::floor(origin_s));
    const auto last = static_cast<std::time_t>(std::floor(origin_s + span_s));
    const std::time_t look_every = std::max<std::time_t>(3600, (last - first) / 20000 + 1);
    std::vector<ZoneSpan> spans{ZoneSpan{0.0, span_s, local_offset(first), zone_name(first)}};
    for (std::time_t at = first; at < last;) {
        const std::time_t next = std::min(at + look_every, last);
        if (local_offset(next) != spans.back().offset) {
            const std::time_t change = change_between(at, next);
            spans.back().to_s = static_cast<double>(change) - origin_s;
            spans.push_back(
                ZoneSpan{spans.back().to_s, span_s, local_offset(change), zone_name(change)});
        }
        at = next;
    }
    return spans;
}

struct LocalTick {
    double elapsed_s;
    double local;     // seconds since 1970 on the local clock
    std::size_t span; // of the zone spans
    std::string zone; // the span's zone, as a tick names it
};

// Round moments of the local clock within the span, each where it happened; a span ends where
// the next begins.
void add_ticks(const std::vector<ZoneSpan>& spans, std::size_t k, double origin_s, long step,
               std::vector<LocalTick>& ticks)
{
    const ZoneSpan& span = spans[k];
    const bool last = k + 1 == spans.size();
    const double offset = static_cast<double>(span.offset);
    const std::string zone = span.zone.empty() ? zone_text(span) : span.zone;
    const auto first = static_cast<long long>(
        std::ceil((origin_s + span.from_s + offset) / static_cast<double>(step) - 1e-9));
    for (long long n = first;; ++n) {
        const double local = static_cast<double>(n) * static_cast<double>(step);
        const double elapsed = local - offset - origin_s;
        if (elapsed > span.to_s + 1e-9 || (!last && elapsed >= span.to_s - 1e-9)) {
            break;
        }
        ticks.push_back(LocalTick{elapsed, local, k, zone});
    }
}

long long day_of(double local)
{
    return static_cast<long long>(std::floor(local / 86400.0));
}

// Whether two ticks of one zone would read alike by their clock time: the axis spans days.
bool times_repeat(const std::vector<LocalTick>& ticks, Shown shown)
{
    for (std::size_t k = 0; k < ticks.size(); ++k) {
        for (std::size_t j = 0; j < k; ++j) {
            if (ticks[j].zone == ticks[k].zone &&
                local_text(ticks[j].local, shown) == local_text(ticks[k].local, shown)) {
                return true;
            }
        }
    }
    return false;
}

// Labels as the clock shows them. Where the date changes, the date (alone at midnight), and
// on every later tick too when the axis spans days; the zone on the first tick after a change
// of offset, and on a tick that would read as one of the other zone. No two ticks read alike.
void label_ticks(const std::vector<LocalTick>& ticks, Shown shown, TimeAxis& axis)
{
    const bool within_days = shown != Shown::day;
    const bool days = within_days && times_repeat(ticks, shown);
    for (std::size_t k = 0; k < ticks.size(); ++k) {
        const LocalTick& tick = ticks[k];
        std::string label = local_text(tick.local, shown);
        const bool new_date = k > 0 && day_of(tick.local) != day_of(ticks[k - 1].local);
        if (within_days && (new_date || (days && day_of(tick.local) != day_of(ticks[0].local)))) {
            const bool midnight = tick.local == static_cast<double>(day_of(tick.local)) * 86400.0;
            const std::string date = local_text(tick.local, Shown::day);
            if (midnight) {
                label = date;
            } else {
                label.insert(0, date + " ");
            }
        }
        const auto alike =
            std::find_if(axis.ticks.begin(), axis.ticks.end(),
                         [&label](const TimeTick& other) { return other.label == label; });
        if (!within_days && alike != axis.ticks.end()) {
            label = local_text(tick.local, Shown::date);
        } else if (alike != axis.ticks.end() || (k > 0 && tick.span != ticks[k - 1].span)) {
            label += " " + tick.zone;
        }
        axis.ticks.push_back(TimeTick{tick.elapsed_s, label});
    }
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
    // Past a day, labels carry dates: fewer of them fit.
    const int fitting = span_s > 86400.0 ? most * 3 / 4 : most;
    long step = STEPS[sizeof STEPS / sizeof STEPS[0] - 1];
    for (const long candidate : STEPS) {
        if (span_s / static_cast<double>(candidate) <= fitting) {
            step = candidate;
            break;
        }
    }
    const Shown shown = step < 60 ? Shown::seconds : step < 86400 ? Shown::minutes : Shown::day;
    const std::vector<ZoneSpan> spans = zone_spans(origin_s, span_s);
    TimeAxis axis;
    axis.title = "local time (";
    for (std::size_t k = 0; k < spans.size(); ++k) {
        axis.title += (k == 0 ? "" : ", then ") + zone_text(spans[k]);
    }
    axis.title +=
        "), " + local_text(origin_s + static_cast<double>(spans.front().offset), Shown::date);
    std::vector<LocalTick> ticks;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        add_ticks(spans, k, origin_s, step, ticks);
    }
    label_ticks(ticks, shown, axis);
    return axis;
}

} // namespace logbook

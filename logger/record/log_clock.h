// Clock times for people: the time axis of a chart in the local time of the machine that draws
// it (the C library's zone data, TZ), with ticks at round moments (seconds, minutes, hours or
// days, as the span asks), and the civil-calendar arithmetic that turning a time into text and
// back needs. No I/O.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace logbook {

struct TimeTick {
    double elapsed_s;  // from the axis's origin
    std::string label; // "13:04:40", "13:05", "Dec 09", "Dec 09 12:00", "02:00 CET"
};

struct TimeAxis {
    std::vector<TimeTick> ticks;
    // "local time (CET, UTC+01:00), 2026-12-09"; each zone in turn when the offset changes:
    // "local time (CEST, UTC+02:00, then CET, UTC+01:00), 2026-10-25"
    std::string title;
};

// Round moments of the local clock within [0, span_s] seconds after `origin`, about `most` of
// them at most, each where it happened: across a change of daylight saving time a local time
// that did not occur has no tick and one that occurred twice has two, the second and the first
// after the change naming their zone. Where the date changes a tick shows it, and on an axis of
// several days every later tick does: no two ticks read alike.
TimeAxis time_axis(std::chrono::system_clock::time_point origin, double span_s, int most);

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and back.
long days_from_civil(long year, long month, long day);
struct CivilDate {
    long year;
    long month; // 1 to 12
    long day;   // 1 to 31
};
CivilDate civil_from_days(long days);

} // namespace logbook

// Clock times for people: the time axis of a chart in the local time of the machine that draws
// it, with ticks at round moments (seconds, minutes, hours or days, as the span asks), and the
// civil-calendar arithmetic that turning a time into text and back needs. No I/O.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace logbook {

struct TimeTick {
    double elapsed_s;  // from the axis's origin
    std::string label; // "13:04:40", "13:05", "Dec 09"
};

struct TimeAxis {
    std::vector<TimeTick> ticks;
    std::string title; // "local time (CET, UTC+01:00), 2026-12-09"
};

// Round moments within [0, span_s] seconds after `origin`, about `most` of them at most.
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

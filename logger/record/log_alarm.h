// Alarms: rules that compare a meter's SI value with a threshold ("V<3.0", "I:A>200mA",
// "Ohm>1.5kOhm", "P<0.5W" for the power), or watch a lost port ("lost>30s"), and the state of
// each. A rule rises once its condition has held for N readings in a row or for a time, and
// clears the same way once the value is past its clear level. Only ok readings count. No I/O.
#pragma once

#include "log_power.h"
#include "log_record.h"

#include <string>
#include <vector>

namespace logbook {

struct AlarmRule {
    std::string text;   // as written
    int meter = -1;     // the meter it watches; -1: each meter reading its unit, on its own
    std::string unit;   // base unit compared: "V", "Ohm", "degC", "W" for the power
    bool power = false; // the power of --power
    bool lost = false;  // a lost port, `threshold` seconds long
    bool below = false; // "<": rises below the threshold; ">": above
    double threshold = 0.0;
    double clear = 0.0;   // the level past which it clears
    int for_readings = 1; // readings in a row that rise or clear it...
    double for_s = 0.0;   // ...or, when not 0, seconds the condition held
};

// "V<3.0 for=3 clear=3.1" for the run's meters (named in order); false with the reason when it
// does not parse, names a meter that is not one of the run's, mixes units ("V>2A"), or
// watches the power of a run that has none.
bool parse_alarm(const std::string& text, const std::vector<std::string>& meters, bool power,
                 AlarmRule& rule, std::string& problem);

// One rule on one meter (or on the power).
struct AlarmTarget {
    bool raised = false;
    int held = 0;               // readings in a row that meet the condition to change
    double held_since_s = -1.0; // when they started
    double lost_since_s = -1.0; // a lost port: when it went
};

// Rises are listed in the summary; this many of them are kept with their times.
constexpr std::size_t KEPT_RISES = 20;

struct Alarm {
    AlarmRule rule;
    std::vector<AlarmTarget> targets; // one per meter, and one more for the power
    int rises = 0;
    std::vector<std::string> rise_times; // the first KEPT_RISES, "TIME (METER)"
};

struct AlarmEvent {
    int alarm = 0; // index of the rule
    bool raised = false;
    std::string meter;
    double value = 0.0; // SI; seconds without the port for a lost one
    std::string unit;
    std::string time; // UTC of the reading that raised or cleared it, as the CSV writes it
    double elapsed_s = 0.0;
};

std::vector<Alarm> alarms_of(const std::vector<AlarmRule>& rules, std::size_t meters);

// A meter's reading: the value rules on it, and its lost port.
void check_reading(std::vector<Alarm>& alarms, const Record& record, const std::string& meter,
                   std::vector<AlarmEvent>& events);
// A point of the power.
void check_power(std::vector<Alarm>& alarms, const PowerPoint& point, const std::string& name,
                 std::vector<AlarmEvent>& events);
// The time passes: a port lost long enough raises its rule.
void check_time(std::vector<Alarm>& alarms, double now_s, const std::string& now_utc,
                const std::vector<std::string>& meters, std::vector<AlarmEvent>& events);

bool alarm_active(const Alarm& alarm);

} // namespace logbook

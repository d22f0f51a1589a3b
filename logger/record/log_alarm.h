// Alarms: rules that compare a meter's SI value with a threshold ("V<3.0", "I:A>200mA",
// "Ohm>1.5kOhm", "P<0.5W" for the power), or watch a lost port ("lost>30s"), and the state of
// each. A rule rises once its condition has held for N readings in a row or for a time, and
// clears the same way once the value is past its clear level. Only ok readings count, and they
// are compared exactly: the reading's decimal as the meter showed it with the threshold's
// decimal, shifted by its prefix, never through binary floating point. No I/O.
#pragma once

#include "log_power.h"
#include "log_record.h"

#include <string>
#include <vector>

namespace logbook {

// A timed rule (for=30s) starts its time again when no ok reading of its quantity came for
// this long beyond the run's interval: a meter that stopped answering has not shown the
// condition holding.
constexpr double ALARM_GAP_S = 3.0;

struct AlarmRule {
    std::string text;      // as written
    int meter = -1;        // the meter it watches; -1: each meter reading its unit, on its own
    std::string unit;      // base unit compared: "V", "Ohm", "degC", "W" for the power
    bool power = false;    // the power of --power
    bool lost = false;     // a lost port, `lost_s` seconds long
    bool below = false;    // "<": rises below the threshold; ">": above
    std::string threshold; // exact decimal in the base unit: "0.0001" for 100uA
    std::string clear;     // the level past which it clears
    double lost_s = 0.0;
    int for_readings = 1;               // readings in a row that rise or clear it...
    double for_s = 0.0;                 // ...or, when not 0, seconds the condition held
    double longest_gap_s = ALARM_GAP_S; // for_s: without an ok reading longer, it starts again
};

// "V<3.0 for=3 clear=3.1" for the run's meters (named in order); false with the reason when it
// does not parse, names a meter that is not one of the run's, mixes units ("V>2A"), watches
// the power of a run that has none, or holds a line end.
bool parse_alarm(const std::string& text, const std::vector<std::string>& meters, bool power,
                 AlarmRule& rule, std::string& problem);
// Every rule of a run with requests every `interval_s` (0: as fast as the meters answer); the
// same rule twice is refused.
bool parse_alarms(const std::vector<std::string>& texts, const std::vector<std::string>& meters,
                  bool power, double interval_s, std::vector<AlarmRule>& rules,
                  std::string& problem);

// One rule on one meter (or on the power).
struct AlarmTarget {
    bool raised = false;
    int held = 0;               // readings in a row that meet the condition to change
    double held_since_s = -1.0; // when they started
    double seen_s = -1.0;       // the latest ok reading of the quantity
    double lost_since_s = -1.0; // a lost port: when it went
};

// Rises are listed in the summary; this many of them are kept with their times.
constexpr std::size_t KEPT_RISES = 20;

struct Alarm {
    AlarmRule rule;
    std::vector<AlarmTarget> targets; // one per meter, and one more for the power
    int rises = 0;
    std::vector<std::string> rise_times; // the first KEPT_RISES, "TIME (METER)"
    bool told_quantity = false; // its meter was found reading another quantity, and told once
};

struct AlarmEvent {
    int alarm = 0; // index of the rule
    bool raised = false;
    std::string meter;
    double value = 0.0; // SI; seconds without the port for a lost one
    // The value as the CSV writes it: the reading's exact decimal, the exact product of the
    // power's two decimals, or the seconds without the port with three decimals.
    std::string value_text;
    std::string unit;
    std::string time; // UTC of the reading that raised or cleared it, as the CSV writes it
    double elapsed_s = 0.0;
};

std::vector<Alarm> alarms_of(const std::vector<AlarmRule>& rules, std::size_t meters);

// A meter's reading: the value rules on it, and its lost port. A rule naming the meter, which
// reads another quantity, is told once in `notice`.
void check_reading(std::vector<Alarm>& alarms, const Record& record, const std::string& meter,
                   std::vector<AlarmEvent>& events, std::string& notice);
// A point of the power.
void check_power(std::vector<Alarm>& alarms, const PowerPoint& point, const std::string& name,
                 std::vector<AlarmEvent>& events);
// Meter `meter`'s lost port is open again: the loss ends now, not at its next reading.
void check_port_back(std::vector<Alarm>& alarms, int meter, double now_s,
                     const std::string& now_utc, const std::string& name,
                     std::vector<AlarmEvent>& events);
// The time passes: a port still lost long enough raises its rule. At the end of a run
// (`now_s` infinite) nothing rises.
void check_time(std::vector<Alarm>& alarms, double now_s, const std::string& now_utc,
                const std::vector<std::string>& meters, std::vector<AlarmEvent>& events);

bool alarm_active(const Alarm& alarm);

} // namespace logbook

// What ohmlog tells the person watching: the status line while it runs and the summary at the
// end, per base unit. A reading that is missing (no reply, garbled) counts for the unit the
// meter showed last, whose dial position it most likely was. No I/O here.
#pragma once

#include "log_record.h"

#include <string>
#include <vector>

namespace logbook {

struct UnitStats {
    std::string unit;
    int readings = 0;
    int ok = 0;
    int overload = 0;
    int missing = 0;
    double minimum = 0.0;
    double maximum = 0.0;
    double mean = 0.0;
    double spread = 0.0; // sum of squared deviations from the mean (Welford)
};

struct RunStats {
    std::vector<UnitStats> units; // in the order they were first met
    int current = -1;             // index of the unit shown last; -1 before any
    long requests = 0;
    double last_elapsed_s = 0.0;
    int losses = 0;                    // port-lost rows
    double seconds_without_port = 0.0; // from each loss to the port's return
    bool port_away = false;            // the last row was a loss
};

// The group a missing reading belongs to before the meter has shown any unit.
constexpr const char* UNKNOWN_UNIT = "?";

void add_record(RunStats& stats, const Record& record);
// The port lost is open again: the time without it ends now, before the next reading.
void end_port_loss(RunStats& stats, double elapsed_s);

// Sample standard deviation; 0 with fewer than two readings.
double standard_deviation(const UnitStats& unit);

// "-842 mV", "1.234 kOhm", "23 degC", "123" (gain): four significant digits and an SI prefix
// for the units that take one, chosen for the number as rounded.
std::string si_text(double value, const std::string& unit);
// Whether values of this base unit are written with SI prefixes.
bool takes_prefix(const std::string& unit);

// The SI prefix for values of this magnitude in this unit: its power of 1000 (from -4, pico,
// to 3, giga; 0 for a unit without prefixes) and its symbol ("m", "k", "").
struct SiPrefix {
    int thousands;
    const char* symbol;
};
SiPrefix si_prefix(double magnitude, const std::string& unit);

// "-842 mV", "overload V", "no-reply".
std::string reading_text(const Record& record);

// One line without its line end: "12 readings  last -842 mV  min -842 mV  max 445 mV".
std::string status_line(const RunStats& stats, const Record& last);

// Lines for the end of a run of one meter, each ending in a line feed. A port still away
// counts as away until `run_seconds`.
std::string summary(const RunStats& stats, double run_seconds);
// "1 reading", "12 readings".
std::string counted(long count, const std::string& noun);
// "12 readings in 3.0 s, 4.00 a second".
std::string count_text(long readings, double run_seconds);
// A line per unit, and one for the losses of the port, each after `indent`.
std::string unit_lines(const RunStats& stats, double run_seconds, const std::string& indent);

} // namespace logbook

// Power from a meter reading DC volts and one reading DC amperes, and what is integrated over
// a run: the energy of that power and the charge of every DC ampere series. Nothing is
// integrated across a gap: a missing, overloaded or port-lost reading, a reading of another
// quantity, or a pause much longer than the series' pace. Power, energy and charge are positive
// while current flows into the ampere meter's positive lead (as the meter shows it): a battery
// being charged through it gives negative ones. No I/O.
#pragma once

#include "log_record.h"

#include <array>
#include <deque>
#include <limits>
#include <string>
#include <vector>

namespace logbook {

// Two readings of a series are joined when they are at most twice its usual step apart (the
// middle one of its latest PACE_STEPS steps, this one included), and always within this: a
// run's pace (-i), however slow, joins its readings; a pause much longer than it does not.
constexpr double LONGEST_STEP_S = 2.0;
constexpr std::size_t PACE_STEPS = 8;
// A volt reading is paired with the ampere reading nearest in time, within this.
constexpr double PAIRING_S = 1.0;

// A quantity integrated over time by trapezoids, in its unit times seconds.
struct Integral {
    double total = 0.0;
    bool measured = false; // a point came at all
    bool joinable = false; // the last point may be joined to the next
    double last_s = 0.0;
    double last = 0.0;
    std::array<double, PACE_STEPS> steps{}; // the latest steps between joinable points
    std::size_t step_count = 0;
    long points = 0;
    long joined = 0;   // steps integrated
    long too_long = 0; // steps left out as longer than the series' pace allows
};

// A point of the series; `gap` when something that breaks the series came since the last one.
void integrate(Integral& integral, double elapsed_s, double value, bool gap);
// Something that breaks the series came.
void break_integral(Integral& integral);
// Why nothing was integrated, when points came but none was joined: "only one reading"; empty
// otherwise.
std::string unintegrated_reason(const Integral& integral);

// The charge of a meter: each of its readings, in order.
void add_to_charge(Integral& charge, const Record& record);

struct PowerPoint {
    double elapsed_s; // of the volt reading
    double watts;
    std::string time;  // of the volt reading, as the CSV writes it
    std::string value; // the exact product of the two readings' decimals, in W
};

// Each volt reading is settled, in its meter's order, once every ampere reading requested
// before it is known: the ampere reading nearest to it in time, within PAIRING_S, gives it its
// power when that reading is an ok DC one; otherwise the volt reading has none and breaks the
// energy, as does a volt reading that is not an ok DC one and an ampere reading between two
// volt readings that is not. What comes out depends only on each meter's readings, not on how
// the two meters' rows interleave: a run, whose rows come as their replies complete, and
// --from, which gives them again in time order, count the same energy.
struct PowerPairing {
    int volt_meter = 0;
    int ampere_meter = 1;
    std::deque<Record> volts;   // volt readings not yet settled, any status
    std::deque<Record> amperes; // the ampere readings that may still be nearest to one
    // Request times: of the latest ampere reading (none earlier comes), of the latest volt
    // reading, and of the latest volt reading settled.
    double amperes_until_s = -std::numeric_limits<double>::infinity();
    double volts_until_s = -std::numeric_limits<double>::infinity();
    double settled_s = -std::numeric_limits<double>::infinity();
    bool broken = false;     // an ampere reading that breaks the energy, after settled_s, let go
    Integral energy;         // watt seconds
    bool told_volts = false; // a volt meter on another quantity was told once
    bool told_amperes = false;
};

// Elapsed seconds as the CSV writes them (to the millisecond) and --from reads them back: what
// the power, the energy and the charge are counted on, live as from the file.
double as_written_s(double elapsed_s);

// What a record makes ready: power points in time order, and a notice for standard error the
// first time a meter is found on a quantity that gives no power ("U reads AC V: no power").
std::vector<PowerPoint> pair_for_power(PowerPairing& pairing, const Record& record,
                                       const std::string& meter_name, std::string& notice);

// Settles what waits for an ampere reading that can no longer come: everything at the end of a
// run (`now_s` infinite), otherwise what is older than any exchange takes to give its row.
std::vector<PowerPoint> flush_power(PowerPairing& pairing, double now_s);

} // namespace logbook

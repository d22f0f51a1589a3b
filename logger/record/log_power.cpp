#include "log_power.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace logbook {

namespace {

// An ampere reading requested this long after a volt reading may still be on its way (its
// reply bound, and the wait for the next request), so the volt reading waits that long.
constexpr double STILL_COMING_S = PAIRING_S + 2.5;
// Ampere readings kept while the volt meter is silent: more than any exchange takes to give its
// row, so that a volt reading still to come finds its nearest among them.
constexpr std::size_t KEPT_AMPERES = 256;

// Twice the middle one of the latest steps (the newest included), and at least LONGEST_STEP_S.
double longest_step_s(const Integral& integral)
{
    std::array<double, PACE_STEPS> steps = integral.steps;
    const auto end =
        steps.begin() + static_cast<std::ptrdiff_t>(std::min(integral.step_count, steps.size()));
    const auto middle = steps.begin() + (end - steps.begin() - 1) / 2;
    std::nth_element(steps.begin(), middle, end);
    return std::max(LONGEST_STEP_S, 2.0 * *middle);
}

// The ampere reading nearest in time, within PAIRING_S, whatever its status; the earlier of two
// as near.
const Record* nearest_amperes(const std::deque<Record>& amperes, double elapsed_s)
{
    const Record* best = nullptr;
    for (const Record& candidate : amperes) {
        const double distance = std::abs(candidate.elapsed_s - elapsed_s);
        if (distance <= PAIRING_S &&
            (best == nullptr || distance < std::abs(best->elapsed_s - elapsed_s))) {
            best = &candidate;
        }
    }
    return best;
}

// A volt reading whose ampere readings are all known: a point of the energy, or a break in it.
void settle_one(PowerPairing& pairing, const Record& volts, std::vector<PowerPoint>& points)
{
    const bool broken_before =
        pairing.broken ||
        std::any_of(pairing.amperes.begin(), pairing.amperes.end(), [&](const Record& amperes) {
            return amperes.elapsed_s > pairing.settled_s && amperes.elapsed_s <= volts.elapsed_s &&
                   !is_dc(amperes, "A");
        });
    if (broken_before) {
        break_integral(pairing.energy);
    }
    pairing.broken = false;
    pairing.settled_s = volts.elapsed_s;
    const Record* amperes = nearest_amperes(pairing.amperes, volts.elapsed_s);
    if (!is_dc(volts, "V") || amperes == nullptr || !is_dc(*amperes, "A")) {
        break_integral(pairing.energy);
        return;
    }
    const PowerPoint point{volts.elapsed_s, volts.number * amperes->number, volts.time,
                           multiply_decimals(volts.value, amperes->value)};
    integrate(pairing.energy, point.elapsed_s, point.watts, false);
    points.push_back(point);
}

// Lets go of the ampere readings that can be nearest to no volt reading still to settle, each
// of them after `settled_s` that breaks the energy remembered as a break before the next one.
void let_go_of_amperes(PowerPairing& pairing)
{
    const double next_s =
        pairing.volts.empty() ? pairing.volts_until_s : pairing.volts.front().elapsed_s;
    auto& amperes = pairing.amperes;
    while (amperes.size() > KEPT_AMPERES ||
           (amperes.size() > 1 && amperes[1].elapsed_s <= next_s)) {
        pairing.broken = pairing.broken || (amperes.front().elapsed_s > pairing.settled_s &&
                                            !is_dc(amperes.front(), "A"));
        amperes.pop_front();
    }
}

// Settles the volt readings in order while every ampere reading before the next is known: one
// at or after it has come, or none can come any more (before `settled_before_s`).
std::vector<PowerPoint> settle(PowerPairing& pairing, double settled_before_s)
{
    std::vector<PowerPoint> points;
    while (!pairing.volts.empty() && (pairing.volts.front().elapsed_s <= pairing.amperes_until_s ||
                                      pairing.volts.front().elapsed_s < settled_before_s)) {
        settle_one(pairing, pairing.volts.front(), points);
        pairing.volts.pop_front();
    }
    let_go_of_amperes(pairing);
    return points;
}

std::string quantity(const Record& record)
{
    const std::string unit = record.base_unit.empty() ? "gain" : record.base_unit;
    return record.mode.empty() ? unit : record.mode + " " + unit;
}

// A good reading of another quantity than the one wanted is told once.
void tell_quantity(const Record& record, const char* unit, bool& told,
                   const std::string& meter_name, std::string& notice)
{
    if (record.status == Status::ok && !is_dc(record, unit) && !told) {
        told = true;
        notice =
            meter_name + " reads " + quantity(record) + ", not DC " + unit + ": no power from it";
    }
}

} // namespace

void integrate(Integral& integral, double elapsed_s, double value, bool gap)
{
    const double step_s = elapsed_s - integral.last_s;
    if (integral.joinable && !gap && step_s >= 0.0) {
        integral.steps[integral.step_count++ % PACE_STEPS] = step_s;
        if (step_s <= longest_step_s(integral)) {
            integral.total += (integral.last + value) / 2.0 * step_s;
            ++integral.joined;
        } else {
            ++integral.too_long;
        }
    }
    ++integral.points;
    integral.measured = true;
    integral.joinable = true;
    integral.last_s = elapsed_s;
    integral.last = value;
}

void break_integral(Integral& integral)
{
    integral.joinable = false;
}

std::string unintegrated_reason(const Integral& integral)
{
    if (integral.joined > 0 || integral.points == 0) {
        return "";
    }
    return integral.points == 1    ? "only one reading"
           : integral.too_long > 0 ? "its readings too far apart"
                                   : "a gap between every two readings";
}

double as_written_s(double elapsed_s)
{
    const std::string text = fixed_text(elapsed_s, 3);
    double written = elapsed_s;
    std::from_chars(text.data(), text.data() + text.size(), written);
    return written;
}

void add_to_charge(Integral& charge, const Record& record)
{
    if (is_dc(record, "A")) {
        integrate(charge, as_written_s(record.elapsed_s), record.number, false);
    } else {
        break_integral(charge);
    }
}

std::vector<PowerPoint> pair_for_power(PowerPairing& pairing, const Record& record,
                                       const std::string& meter_name, std::string& notice)
{
    Record counted = record;
    counted.elapsed_s = as_written_s(record.elapsed_s);
    if (record.meter == pairing.ampere_meter) {
        tell_quantity(record, "A", pairing.told_amperes, meter_name, notice);
        pairing.amperes.push_back(counted);
        pairing.amperes_until_s = std::max(pairing.amperes_until_s, counted.elapsed_s);
    } else if (record.meter == pairing.volt_meter) {
        tell_quantity(record, "V", pairing.told_volts, meter_name, notice);
        pairing.volts.push_back(counted);
        pairing.volts_until_s = std::max(pairing.volts_until_s, counted.elapsed_s);
    }
    return settle(pairing, -std::numeric_limits<double>::infinity());
}

std::vector<PowerPoint> flush_power(PowerPairing& pairing, double now_s)
{
    return settle(pairing, now_s - STILL_COMING_S);
}

} // namespace logbook

#include "log_power.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace logbook {

namespace {

// An ampere reading requested this long after a volt reading may still be on its way (its
// reply bound, and the wait for the next request), so the volt reading waits that long.
constexpr double STILL_COMING_S = PAIRING_S + 2.5;
// Ampere readings kept for pairing, and gaps kept for the next point: a few seconds' worth is
// plenty; a meter that stays on another quantity keeps adding gaps, and only the latest count.
constexpr std::size_t KEPT_AMPERES = 64;
constexpr std::size_t KEPT_GAPS = 256;

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

void note_gap(PowerPairing& pairing, double elapsed_s)
{
    if (elapsed_s > pairing.last_point_s) {
        pairing.gaps.push_back(elapsed_s);
    }
    if (pairing.gaps.size() > KEPT_GAPS) {
        pairing.gaps.pop_front();
    }
}

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

bool gap_between(const PowerPairing& pairing, double from_s, double to_s)
{
    return std::any_of(pairing.gaps.begin(), pairing.gaps.end(),
                       [&](double gap_s) { return gap_s > from_s && gap_s <= to_s; });
}

// A volt reading paired, or found without an ampere reading: no power, and a gap.
void settle_one(PowerPairing& pairing, const Record& volts, std::vector<PowerPoint>& points)
{
    const Record* amperes = nearest_amperes(pairing.amperes, volts.elapsed_s);
    if (amperes == nullptr) {
        note_gap(pairing, volts.elapsed_s);
        return;
    }
    const PowerPoint point{volts.elapsed_s, volts.number * amperes->number, volts.time,
                           multiply_decimals(volts.value, amperes->value)};
    const bool gap = gap_between(pairing, pairing.last_point_s, point.elapsed_s);
    integrate(pairing.energy, point.elapsed_s, point.watts, gap);
    pairing.last_point_s = point.elapsed_s;
    pairing.gaps.erase(std::remove_if(pairing.gaps.begin(), pairing.gaps.end(),
                                      [&](double gap_s) { return gap_s <= point.elapsed_s; }),
                       pairing.gaps.end());
    points.push_back(point);
}

// Pairs the waiting volt readings whose nearest ampere reading is known: one at or after them
// has come, or none can come any more (older than `settled_before_s`).
std::vector<PowerPoint> settle(PowerPairing& pairing, double settled_before_s)
{
    std::vector<PowerPoint> points;
    while (!pairing.waiting.empty()) {
        const double at_s = pairing.waiting.front().elapsed_s;
        const bool later_came =
            (!pairing.amperes.empty() && pairing.amperes.back().elapsed_s >= at_s) ||
            pairing.amperes_until_s > at_s + PAIRING_S;
        if (!later_came && at_s >= settled_before_s) {
            break;
        }
        settle_one(pairing, pairing.waiting.front(), points);
        pairing.waiting.pop_front();
    }
    // A volt reading requested before the latest ampere reading may complete after it.
    const double oldest_needed =
        (pairing.waiting.empty() ? std::min(pairing.amperes_until_s, pairing.volts_until_s)
                                 : pairing.waiting.front().elapsed_s) -
        PAIRING_S;
    while (pairing.amperes.size() > KEPT_AMPERES ||
           (!pairing.amperes.empty() && pairing.amperes.front().elapsed_s < oldest_needed)) {
        pairing.amperes.pop_front();
    }
    return points;
}

std::string quantity(const Record& record)
{
    const std::string unit = record.base_unit.empty() ? "gain" : record.base_unit;
    return record.mode.empty() ? unit : record.mode + " " + unit;
}

// The reading is of the quantity wanted, or breaks the series (and is told once when it is a
// good reading of another quantity).
bool wanted(PowerPairing& pairing, const Record& record, const char* unit, bool& told,
            const std::string& meter_name, std::string& notice)
{
    if (is_dc(record, unit)) {
        return true;
    }
    note_gap(pairing, record.elapsed_s);
    if (record.status == Status::ok && !told) {
        told = true;
        notice =
            meter_name + " reads " + quantity(record) + ", not DC " + unit + ": no power from it";
    }
    return false;
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

void add_to_charge(Integral& charge, const Record& record)
{
    if (is_dc(record, "A")) {
        integrate(charge, record.elapsed_s, record.number, false);
    } else {
        break_integral(charge);
    }
}

std::vector<PowerPoint> pair_for_power(PowerPairing& pairing, const Record& record,
                                       const std::string& meter_name, std::string& notice)
{
    if (record.meter == pairing.ampere_meter) {
        if (wanted(pairing, record, "A", pairing.told_amperes, meter_name, notice)) {
            pairing.amperes.push_back(record);
        }
        pairing.amperes_until_s = std::max(pairing.amperes_until_s, record.elapsed_s);
    } else if (record.meter == pairing.volt_meter) {
        if (wanted(pairing, record, "V", pairing.told_volts, meter_name, notice)) {
            pairing.waiting.push_back(record);
        }
        pairing.volts_until_s = std::max(pairing.volts_until_s, record.elapsed_s);
    }
    return settle(pairing, -std::numeric_limits<double>::infinity());
}

std::vector<PowerPoint> flush_power(PowerPairing& pairing, double now_s)
{
    return settle(pairing, now_s - STILL_COMING_S);
}

} // namespace logbook

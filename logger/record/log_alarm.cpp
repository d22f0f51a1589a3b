#include "log_alarm.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>

namespace logbook {

namespace {

struct Quantity {
    const char* written; // before the comparison
    const char* unit;    // the base unit the readings are in
};

constexpr Quantity QUANTITIES[] = {{"V", "V"},    {"A", "A"},   {"Ohm", "Ohm"},
                                   {"F", "F"},    {"Hz", "Hz"}, {"degC", "degC"},
                                   {"C", "degC"}, {"P", "W"},   {"lost", "s"}};

struct Prefix {
    const char* symbol;
    double scale;
};

constexpr Prefix PREFIXES[] = {{"", 1.0},  {"p", 1e-12}, {"n", 1e-9}, {"u", 1e-6}, {"m", 1e-3},
                               {"k", 1e3}, {"K", 1e3},   {"M", 1e6},  {"G", 1e9}};

// The spellings a threshold may give its unit in.
std::vector<std::string> spellings(const std::string& unit)
{
    if (unit == "degC") {
        return {"degC", "C"};
    }
    return {unit};
}

// "200mA" in A is 0.2, "1.5kOhm" 1500, "30s" 30; a bare number is in the base unit.
bool parse_level(const std::string& text, const std::string& unit, double& value,
                 std::string& problem)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (result.ec != std::errc() || result.ptr == text.data() || !std::isfinite(value)) {
        problem = "'" + text + "' is not a number";
        return false;
    }
    const std::string suffix(result.ptr, end);
    if (suffix.empty()) {
        return true;
    }
    for (const std::string& spelling : spellings(unit)) {
        if (suffix.size() < spelling.size() ||
            suffix.compare(suffix.size() - spelling.size(), spelling.size(), spelling) != 0) {
            continue;
        }
        const std::string prefix = suffix.substr(0, suffix.size() - spelling.size());
        for (const Prefix& known : PREFIXES) {
            if (prefix == known.symbol) {
                value *= known.scale;
                return true;
            }
        }
    }
    problem = "'" + text + "' is not in " + unit + ": the rule mixes units";
    return false;
}

bool parse_option(const std::string& option, AlarmRule& rule, std::string& problem)
{
    const auto equals = option.find('=');
    const std::string name = option.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
    if (rule.lost) {
        problem = "a lost port's rule takes no option";
        return false;
    }
    if (name == "clear") {
        return parse_level(value, rule.unit, rule.clear, problem);
    }
    if (name != "for") {
        problem = "unknown option '" + option + "' (for=N, for=30s, clear=VALUE)";
        return false;
    }
    if (!value.empty() && value.back() == 's') {
        return parse_level(value, "s", rule.for_s, problem) && rule.for_s > 0.0;
    }
    const auto result =
        std::from_chars(value.data(), value.data() + value.size(), rule.for_readings);
    if (result.ec != std::errc() || result.ptr != value.data() + value.size() ||
        rule.for_readings < 1) {
        problem = "for=" + value + ": a number of readings, or seconds (for=30s)";
        return false;
    }
    return true;
}

// "I:A" is meter I's amperes; "A" every meter's.
bool parse_left(const std::string& left, const std::vector<std::string>& meters, bool power,
                AlarmRule& rule, std::string& problem)
{
    const auto colon = left.rfind(':');
    const std::string quantity = colon == std::string::npos ? left : left.substr(colon + 1);
    const auto known = std::find_if(std::begin(QUANTITIES), std::end(QUANTITIES),
                                    [&](const Quantity& q) { return quantity == q.written; });
    if (known == std::end(QUANTITIES)) {
        problem = "'" + quantity + "' is no quantity (V, A, Ohm, F, Hz, degC, P, lost)";
        return false;
    }
    rule.unit = known->unit;
    rule.power = rule.unit == "W";
    rule.lost = rule.unit == "s";
    if (rule.power && !power) {
        problem = "P is the power of --power, which this run has not";
        return false;
    }
    if (colon != std::string::npos) {
        const std::string name = left.substr(0, colon);
        const auto found = std::find(meters.begin(), meters.end(), name);
        if (found == meters.end() || rule.power) {
            problem = rule.power ? "the power is of no one meter" : "no meter named " + name;
            return false;
        }
        rule.meter = static_cast<int>(found - meters.begin());
    }
    return true;
}

bool meets(const AlarmRule& rule, double value)
{
    return rule.below ? value < rule.threshold : value > rule.threshold;
}

bool past_clear(const AlarmRule& rule, double value)
{
    return rule.below ? value > rule.clear : value < rule.clear;
}

AlarmEvent event_of(int index, bool raised, const std::string& meter, double value,
                    const std::string& unit, const std::string& time, double elapsed_s)
{
    return AlarmEvent{index, raised, meter, value, unit, time, elapsed_s};
}

void change(std::vector<Alarm>& alarms, std::size_t index, AlarmTarget& target, AlarmEvent event,
            std::vector<AlarmEvent>& events)
{
    target.raised = event.raised;
    target.held = 0;
    target.held_since_s = -1.0;
    if (event.raised) {
        Alarm& alarm = alarms[index];
        ++alarm.rises;
        if (alarm.rise_times.size() < KEPT_RISES) {
            alarm.rise_times.push_back(event.time + " (" + event.meter + ")");
        }
    }
    events.push_back(std::move(event));
}

// A value the rule watches: held long enough past its level, the alarm rises or clears.
void step(std::vector<Alarm>& alarms, std::size_t index, AlarmTarget& target, double value,
          double elapsed_s, const std::string& time, const std::string& meter,
          std::vector<AlarmEvent>& events)
{
    const AlarmRule& rule = alarms[index].rule;
    if (!(target.raised ? past_clear(rule, value) : meets(rule, value))) {
        target.held = 0;
        target.held_since_s = -1.0;
        return;
    }
    target.held_since_s = target.held == 0 ? elapsed_s : target.held_since_s;
    ++target.held;
    const bool long_enough = rule.for_s > 0.0 ? elapsed_s - target.held_since_s >= rule.for_s
                                              : target.held >= rule.for_readings;
    if (long_enough) {
        change(alarms, index, target,
               event_of(static_cast<int>(index), !target.raised, meter, value, rule.unit, time,
                        elapsed_s),
               events);
    }
}

} // namespace

bool parse_alarm(const std::string& text, const std::vector<std::string>& meters, bool power,
                 AlarmRule& rule, std::string& problem)
{
    rule = AlarmRule{};
    rule.text = text;
    std::istringstream words(text);
    std::string comparison;
    words >> comparison;
    const auto at = comparison.find_first_of("<>");
    if (at == std::string::npos || at == 0) {
        problem = "bad --alarm '" + text + "': a comparison such as V<3.0 or lost>30s";
        return false;
    }
    rule.below = comparison[at] == '<';
    std::string reason;
    bool options = parse_left(comparison.substr(0, at), meters, power, rule, reason);
    if (options && rule.lost && rule.below) {
        reason = "a lost port's rule is lost>TIME";
        options = false;
    }
    options = options && parse_level(comparison.substr(at + 1), rule.unit, rule.threshold, reason);
    rule.clear = rule.threshold;
    for (std::string option; options && words >> option;) {
        options = parse_option(option, rule, reason);
    }
    if (options && (rule.below ? rule.clear < rule.threshold : rule.clear > rule.threshold)) {
        reason = "its clear level is not past its threshold";
        options = false;
    }
    if (!options) {
        problem = "bad --alarm '" + text + "': " + reason;
    }
    return options;
}

std::vector<Alarm> alarms_of(const std::vector<AlarmRule>& rules, std::size_t meters)
{
    std::vector<Alarm> alarms;
    alarms.reserve(rules.size());
    for (const AlarmRule& rule : rules) {
        alarms.push_back(Alarm{rule, std::vector<AlarmTarget>(meters + 1), 0, {}});
    }
    return alarms;
}

void check_reading(std::vector<Alarm>& alarms, const Record& record, const std::string& meter,
                   std::vector<AlarmEvent>& events)
{
    for (std::size_t index = 0; index < alarms.size(); ++index) {
        const AlarmRule& rule = alarms[index].rule;
        if (rule.power || (rule.meter >= 0 && rule.meter != record.meter)) {
            continue;
        }
        AlarmTarget& target = alarms[index].targets[static_cast<std::size_t>(record.meter)];
        if (rule.lost) {
            const bool lost = record.status == Status::port_lost;
            if (lost && target.lost_since_s < 0.0) {
                target.lost_since_s = record.elapsed_s;
            } else if (!lost) {
                const double away =
                    target.lost_since_s < 0.0 ? 0.0 : record.elapsed_s - target.lost_since_s;
                target.lost_since_s = -1.0;
                if (target.raised) {
                    change(alarms, index, target,
                           event_of(static_cast<int>(index), false, meter, away, "s", record.time,
                                    record.elapsed_s),
                           events);
                }
            }
        } else if (record.status == Status::ok && record.base_unit == rule.unit) {
            step(alarms, index, target, record.number, record.elapsed_s, record.time, meter,
                 events);
        }
    }
}

void check_power(std::vector<Alarm>& alarms, const PowerPoint& point, const std::string& name,
                 std::vector<AlarmEvent>& events)
{
    for (std::size_t index = 0; index < alarms.size(); ++index) {
        if (alarms[index].rule.power) {
            step(alarms, index, alarms[index].targets.back(), point.watts, point.elapsed_s,
                 point.time, name, events);
        }
    }
}

void check_time(std::vector<Alarm>& alarms, double now_s, const std::string& now_utc,
                const std::vector<std::string>& meters, std::vector<AlarmEvent>& events)
{
    for (std::size_t index = 0; index < alarms.size(); ++index) {
        if (!alarms[index].rule.lost) {
            continue;
        }
        for (std::size_t meter = 0; meter < meters.size(); ++meter) {
            AlarmTarget& target = alarms[index].targets[meter];
            const double away = now_s - target.lost_since_s;
            if (target.lost_since_s >= 0.0 && !target.raised &&
                away >= alarms[index].rule.threshold) {
                change(alarms, index, target,
                       event_of(static_cast<int>(index), true, meters[meter], away, "s", now_utc,
                                now_s),
                       events);
            }
        }
    }
}

bool alarm_active(const Alarm& alarm)
{
    return std::any_of(alarm.targets.begin(), alarm.targets.end(),
                       [](const AlarmTarget& target) { return target.raised; });
}

} // namespace logbook

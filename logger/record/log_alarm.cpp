#include "log_alarm.h"

#include <algorithm>
#include <cctype>
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
    int exponent;
};

constexpr Prefix PREFIXES[] = {{"", 0},  {"p", -12}, {"n", -9}, {"u", -6}, {"m", -3},
                               {"k", 3}, {"K", 3},   {"M", 6},  {"G", 9}};

// A level is a decimal shifted by at most this many places, so that it stays a number that
// is finite and short.
constexpr int LARGEST_SHIFT = 300;

// The spellings a threshold may give its unit in.
std::vector<std::string> spellings(const std::string& unit)
{
    if (unit == "degC") {
        return {"degC", "C"};
    }
    return {unit};
}

// The number at the start of `text` ("-1.5", ".5", "2e3"): its digits and point, its power of
// ten, and where it ends.
bool scan_number(const std::string& text, std::string& digits, int& exponent, std::size_t& end)
{
    std::size_t at = text.rfind('-', 0) == 0 ? 1 : 0;
    bool point = false;
    bool digit = false;
    for (; at < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[at])) || (text[at] == '.' && !point));
         ++at) {
        point = point || text[at] == '.';
        digit = digit || text[at] != '.';
    }
    digits = text.substr(0, at);
    exponent = 0;
    if (digit && at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        const char* first = text.data() + at + 1;
        const char* last = text.data() + text.size();
        first += first < last && *first == '+' ? 1 : 0;
        const auto result = std::from_chars(first, last, exponent);
        if (result.ec != std::errc()) {
            return false;
        }
        at = static_cast<std::size_t>(result.ptr - text.data());
    }
    end = at;
    return digit;
}

// "200mA" in A is "0.2", "1.5kOhm" "1500", "30s" "30", each exact; a bare number is in the
// base unit.
bool parse_level(const std::string& text, const std::string& unit, std::string& level,
                 std::string& problem)
{
    std::string digits;
    int exponent = 0;
    std::size_t end = 0;
    const bool number = scan_number(text, digits, exponent, end);
    const std::string suffix = text.substr(end);
    if (!number || suffix.find_first_of("0123456789.+-") == 0) {
        problem = "'" + text + "' is not a number";
        return false;
    }
    for (const std::string& spelling : spellings(unit)) {
        const std::size_t cut = suffix.size() - std::min(suffix.size(), spelling.size());
        if (!suffix.empty() && suffix.compare(cut, std::string::npos, spelling) != 0) {
            continue;
        }
        const std::string prefix = suffix.substr(0, suffix.empty() ? 0 : cut);
        for (const Prefix& known : PREFIXES) {
            if (prefix != known.symbol) {
                continue;
            }
            if (std::abs(exponent) > LARGEST_SHIFT ||
                std::abs(exponent + known.exponent) > LARGEST_SHIFT) {
                problem = "'" + text + "' is out of range";
                return false;
            }
            level = shift_decimal(digits, exponent + known.exponent);
            return true;
        }
    }
    problem = "'" + text + "' is not in " + unit + ": the rule mixes units";
    return false;
}

double seconds_of(const std::string& decimal)
{
    double seconds = 0.0;
    std::from_chars(decimal.data(), decimal.data() + decimal.size(), seconds);
    return seconds;
}

// for=3 or for=30s: readings, or seconds above 0.
bool parse_for(const std::string& value, AlarmRule& rule, std::string& problem)
{
    std::string seconds;
    std::string unused;
    const bool timed = !value.empty() && value.back() == 's';
    const auto readings =
        std::from_chars(value.data(), value.data() + value.size(), rule.for_readings);
    const bool good =
        timed ? parse_level(value, "s", seconds, unused) && compare_decimals(seconds, "0") > 0
              : readings.ec == std::errc() && readings.ptr == value.data() + value.size() &&
                    rule.for_readings >= 1;
    if (!good) {
        problem = "for=" + value + ": a number of readings, or seconds (for=30s)";
        return false;
    }
    rule.for_readings = timed ? 1 : rule.for_readings;
    rule.for_s = timed ? seconds_of(seconds) : 0.0;
    return true;
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
    return parse_for(value, rule, problem);
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

// The threshold, and for a lost port its time, which is not negative.
bool parse_threshold(const std::string& text, AlarmRule& rule, std::string& problem)
{
    if (rule.lost && rule.below) {
        problem = "a lost port's rule is lost>TIME";
        return false;
    }
    if (!parse_level(text, rule.unit, rule.threshold, problem)) {
        return false;
    }
    rule.clear = rule.threshold;
    rule.lost_s = rule.lost ? seconds_of(rule.threshold) : 0.0;
    if (rule.lost && rule.lost_s < 0.0) {
        problem = "'" + text + "' is no time a port can be lost";
        return false;
    }
    return true;
}

bool meets(const AlarmRule& rule, const std::string& value)
{
    const int order = compare_decimals(value, rule.threshold);
    return rule.below ? order < 0 : order > 0;
}

bool past_clear(const AlarmRule& rule, const std::string& value)
{
    const int order = compare_decimals(value, rule.clear);
    return rule.below ? order > 0 : order < 0;
}

// What a rule is shown: a reading, or a point of the power.
struct Sample {
    const std::string& value;
    double number;
    double elapsed_s;
    const std::string& time;
};

void change(std::vector<Alarm>& alarms, std::size_t index, AlarmTarget& target, AlarmEvent event,
            std::vector<AlarmEvent>& events)
{
    target.raised = event.raised;
    target.held = 0;
    target.held_since_s = -1.0;
    event.alarm = static_cast<int>(index);
    if (event.raised) {
        Alarm& alarm = alarms[index];
        ++alarm.rises;
        if (alarm.rise_times.size() < KEPT_RISES) {
            alarm.rise_times.push_back(event.time + " (" + event.meter + ")");
        }
    }
    events.push_back(std::move(event));
}

void start_over(AlarmTarget& target)
{
    target.held = 0;
    target.held_since_s = -1.0;
}

// A value the rule watches: held long enough past its level, the alarm rises or clears.
void step(std::vector<Alarm>& alarms, std::size_t index, AlarmTarget& target, const Sample& sample,
          const std::string& meter, std::vector<AlarmEvent>& events)
{
    const AlarmRule& rule = alarms[index].rule;
    const bool gap = target.seen_s >= 0.0 && sample.elapsed_s - target.seen_s > rule.longest_gap_s;
    target.seen_s = sample.elapsed_s;
    if (!(target.raised ? past_clear(rule, sample.value) : meets(rule, sample.value))) {
        start_over(target);
        return;
    }
    if (target.held == 0 || (rule.for_s > 0.0 && gap)) {
        target.held = 0;
        target.held_since_s = sample.elapsed_s;
    }
    ++target.held;
    const bool long_enough = rule.for_s > 0.0 ? sample.elapsed_s - target.held_since_s >= rule.for_s
                                              : target.held >= rule.for_readings;
    if (long_enough) {
        change(alarms, index, target,
               AlarmEvent{0, !target.raised, meter, sample.number, sample.value, rule.unit,
                          sample.time, sample.elapsed_s},
               events);
    }
}

// The lost port is there again: its loss ends, and the rule it raised clears.
void end_loss(std::vector<Alarm>& alarms, std::size_t index, AlarmTarget& target, double now_s,
              const std::string& now_utc, const std::string& meter, std::vector<AlarmEvent>& events)
{
    if (target.lost_since_s < 0.0) {
        return;
    }
    const double away = now_s - target.lost_since_s;
    target.lost_since_s = -1.0;
    if (target.raised) {
        change(alarms, index, target,
               AlarmEvent{0, false, meter, away, fixed_text(away, 3), "s", now_utc, now_s}, events);
    }
}

// A rule that names the meter, which reads another quantity: told once.
void tell_quantity(Alarm& alarm, const Record& record, const std::string& meter,
                   std::string& notice)
{
    if (alarm.rule.meter < 0 || alarm.told_quantity) {
        return;
    }
    alarm.told_quantity = true;
    notice = meter + " reads " + (record.base_unit.empty() ? "gain" : record.base_unit) + ", not " +
             alarm.rule.unit + ": the alarm " + alarm.rule.text + " waits for " + alarm.rule.unit;
}

bool watches(const AlarmRule& rule, int meter)
{
    return !rule.power && (rule.meter < 0 || rule.meter == meter);
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
    bool options = std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < ' ' || c == '\x7f';
    });
    if (!options) {
        reason = "it holds a line end or another control character";
    }
    options = options && parse_left(comparison.substr(0, at), meters, power, rule, reason) &&
              parse_threshold(comparison.substr(at + 1), rule, reason);
    std::vector<std::string> named;
    for (std::string option; options && words >> option;) {
        named.push_back(option.substr(0, option.find('=')));
        options = parse_option(option, rule, reason);
        if (options && std::count(named.begin(), named.end(), named.back()) > 1) {
            reason = named.back() + "= given twice";
            options = false;
        }
    }
    if (options && !rule.lost &&
        (rule.below ? compare_decimals(rule.clear, rule.threshold) < 0
                    : compare_decimals(rule.clear, rule.threshold) > 0)) {
        reason = "its clear level is not past its threshold";
        options = false;
    }
    if (!options) {
        problem = "bad --alarm '" + text + "': " + reason;
    }
    return options;
}

bool parse_alarms(const std::vector<std::string>& texts, const std::vector<std::string>& meters,
                  bool power, double interval_s, std::vector<AlarmRule>& rules,
                  std::string& problem)
{
    rules.assign(texts.size(), AlarmRule{});
    for (std::size_t k = 0; k < texts.size(); ++k) {
        if (std::find(texts.begin(), texts.begin() + static_cast<long>(k), texts[k]) !=
            texts.begin() + static_cast<long>(k)) {
            problem = "bad --alarm '" + texts[k] + "': given twice";
            return false;
        }
        if (!parse_alarm(texts[k], meters, power, rules[k], problem)) {
            return false;
        }
        rules[k].longest_gap_s = interval_s + ALARM_GAP_S;
    }
    return true;
}

std::vector<Alarm> alarms_of(const std::vector<AlarmRule>& rules, std::size_t meters)
{
    std::vector<Alarm> alarms;
    alarms.reserve(rules.size());
    for (const AlarmRule& rule : rules) {
        alarms.push_back(Alarm{rule, std::vector<AlarmTarget>(meters + 1), 0, {}, false});
    }
    return alarms;
}

void check_reading(std::vector<Alarm>& alarms, const Record& record, const std::string& meter,
                   std::vector<AlarmEvent>& events, std::string& notice)
{
    for (std::size_t index = 0; index < alarms.size(); ++index) {
        Alarm& alarm = alarms[index];
        if (!watches(alarm.rule, record.meter)) {
            continue;
        }
        AlarmTarget& target = alarm.targets[static_cast<std::size_t>(record.meter)];
        const bool lost = record.status == Status::port_lost;
        if (alarm.rule.lost && lost) {
            target.lost_since_s =
                target.lost_since_s < 0.0 ? record.elapsed_s : target.lost_since_s;
        } else if (alarm.rule.lost) {
            end_loss(alarms, index, target, record.elapsed_s, record.time, meter, events);
        } else if (lost && alarm.rule.for_s > 0.0) {
            start_over(target);
        } else if (shows_unit(record) && record.base_unit != alarm.rule.unit) {
            start_over(target);
            tell_quantity(alarm, record, meter, notice);
        } else if (record.status == Status::ok) {
            step(alarms, index, target,
                 Sample{record.value, record.number, record.elapsed_s, record.time}, meter, events);
        }
    }
}

void check_power(std::vector<Alarm>& alarms, const PowerPoint& point, const std::string& name,
                 std::vector<AlarmEvent>& events)
{
    for (std::size_t index = 0; index < alarms.size(); ++index) {
        if (alarms[index].rule.power) {
            step(alarms, index, alarms[index].targets.back(),
                 Sample{point.value, point.watts, point.elapsed_s, point.time}, name, events);
        }
    }
}

void check_port_back(std::vector<Alarm>& alarms, int meter, double now_s,
                     const std::string& now_utc, const std::string& name,
                     std::vector<AlarmEvent>& events)
{
    for (std::size_t index = 0; index < alarms.size(); ++index) {
        if (alarms[index].rule.lost && watches(alarms[index].rule, meter)) {
            end_loss(alarms, index, alarms[index].targets[static_cast<std::size_t>(meter)], now_s,
                     now_utc, name, events);
        }
    }
}

void check_time(std::vector<Alarm>& alarms, double now_s, const std::string& now_utc,
                const std::vector<std::string>& meters, std::vector<AlarmEvent>& events)
{
    if (!std::isfinite(now_s)) {
        return;
    }
    for (std::size_t index = 0; index < alarms.size(); ++index) {
        if (!alarms[index].rule.lost) {
            continue;
        }
        for (std::size_t meter = 0; meter < meters.size(); ++meter) {
            AlarmTarget& target = alarms[index].targets[meter];
            const double away = now_s - target.lost_since_s;
            if (target.lost_since_s >= 0.0 && !target.raised && away >= alarms[index].rule.lost_s) {
                change(alarms, index, target,
                       AlarmEvent{0, true, meters[meter], away, fixed_text(away, 3), "s", now_utc,
                                  now_s},
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

#include "log_summary.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace logbook {

namespace {

UnitStats& unit_named(RunStats& stats, const std::string& name)
{
    for (std::size_t i = 0; i < stats.units.size(); ++i) {
        if (stats.units[i].unit == name) {
            stats.current = static_cast<int>(i);
            return stats.units[i];
        }
    }
    stats.units.push_back(UnitStats{name});
    stats.current = static_cast<int>(stats.units.size()) - 1;
    return stats.units.back();
}

void add_value(UnitStats& unit, double value)
{
    ++unit.ok;
    if (unit.ok == 1) {
        unit.minimum = value;
        unit.maximum = value;
    }
    unit.minimum = std::min(unit.minimum, value);
    unit.maximum = std::max(unit.maximum, value);
    const double step = value - unit.mean;
    unit.mean += step / unit.ok;
    unit.spread += step * (value - unit.mean);
}

std::string significant(double value, int digits)
{
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits);
    return std::string(text, result.ptr);
}

std::string with_unit(const std::string& number, const std::string& unit)
{
    return unit.empty() ? number : number + " " + unit;
}

// The unit's name for what it measures, where a bare symbol would read oddly.
std::string shown_name(const std::string& unit)
{
    return unit.empty() ? "gain" : escaped_bytes(unit);
}

double rounded(double value, int digits)
{
    const std::string text = significant(value, digits);
    double number = value;
    std::from_chars(text.data(), text.data() + text.size(), number);
    return number;
}

void note_port(RunStats& stats, const Record& record)
{
    if (stats.port_away) {
        stats.seconds_without_port += record.elapsed_s - stats.last_elapsed_s;
    }
    stats.port_away = record.status == Status::port_lost;
    stats.losses += stats.port_away ? 1 : 0;
}

} // namespace

void add_record(RunStats& stats, const Record& record)
{
    ++stats.requests;
    note_port(stats, record);
    stats.last_elapsed_s = record.elapsed_s;
    UnitStats& unit = shows_unit(record)   ? unit_named(stats, record.base_unit)
                      : stats.current >= 0 ? stats.units[static_cast<std::size_t>(stats.current)]
                                           : unit_named(stats, UNKNOWN_UNIT);
    ++unit.readings;
    if (record.status == Status::ok) {
        add_value(unit, record.number);
    } else if (record.status == Status::overload) {
        ++unit.overload;
    } else {
        ++unit.missing;
    }
}

void end_port_loss(RunStats& stats, double elapsed_s)
{
    if (stats.port_away) {
        stats.seconds_without_port += std::max(elapsed_s - stats.last_elapsed_s, 0.0);
        stats.port_away = false;
    }
}

double standard_deviation(const UnitStats& unit)
{
    return unit.ok > 1 ? std::sqrt(unit.spread / (unit.ok - 1)) : 0.0;
}

bool takes_prefix(const std::string& unit)
{
    return unit == "V" || unit == "A" || unit == "Ohm" || unit == "F" || unit == "Hz" ||
           unit == "W" || unit == "Wh" || unit == "Ah";
}

std::string si_text(double value, const std::string& unit)
{
    if (!takes_prefix(unit) || value == 0.0 || !std::isfinite(value)) {
        return with_unit(significant(value, 6), unit);
    }
    // 999.99996 nV shows as 1000 nV unless the prefix suits the number as shown: 1 uV.
    const double shown = rounded(value, 4);
    const SiPrefix prefix = si_prefix(std::fabs(shown), unit);
    const double scaled = shown / std::pow(1000.0, prefix.thousands);
    return significant(scaled, 4) + " " + prefix.symbol + unit;
}

SiPrefix si_prefix(double magnitude, const std::string& unit)
{
    static const char* const SYMBOLS[] = {"p", "n", "u", "m", "", "k", "M", "G"};
    int thousands = 0;
    if (takes_prefix(unit) && magnitude > 0.0 && std::isfinite(magnitude)) {
        thousands = static_cast<int>(std::floor(std::log10(magnitude) / 3.0));
        thousands = std::max(-4, std::min(3, thousands));
    }
    return SiPrefix{thousands, SYMBOLS[thousands + 4]};
}

std::string reading_text(const Record& record)
{
    switch (record.status) {
    case Status::ok: return si_text(record.number, escaped_bytes(record.base_unit));
    case Status::overload: return "overload " + shown_name(record.base_unit);
    default: return status_name(record.status);
    }
}

std::string status_line(const RunStats& stats, const Record& last)
{
    std::string line = counted(stats.requests, "reading") + "  last " + reading_text(last);
    if (stats.current >= 0) {
        const UnitStats& unit = stats.units[static_cast<std::size_t>(stats.current)];
        if (unit.ok > 0) {
            line += "  min " + si_text(unit.minimum, escaped_bytes(unit.unit)) + "  max " +
                    si_text(unit.maximum, escaped_bytes(unit.unit));
        }
    }
    return line;
}

std::string counted(long count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string count_text(long readings, double run_seconds)
{
    const double rate = run_seconds > 0.0 ? static_cast<double>(readings) / run_seconds : 0.0;
    return counted(readings, "reading") + " in " + fixed_text(run_seconds, 1) + " s, " +
           fixed_text(rate, 2) + " a second";
}

std::string summary(const RunStats& stats, double run_seconds)
{
    return "ohmlog: " + count_text(stats.requests, run_seconds) + "\n" +
           unit_lines(stats, run_seconds, "  ");
}

std::string unit_lines(const RunStats& stats, double run_seconds, const std::string& indent)
{
    std::string text;
    for (const UnitStats& unit : stats.units) {
        text += indent + shown_name(unit.unit) + ": readings " + std::to_string(unit.readings) +
                ", ok " + std::to_string(unit.ok) + ", overload " + std::to_string(unit.overload) +
                ", missing " + std::to_string(unit.missing);
        if (unit.ok > 0) {
            text += "; min " + si_text(unit.minimum, unit.unit) + ", max " +
                    si_text(unit.maximum, unit.unit) + ", mean " + si_text(unit.mean, unit.unit) +
                    ", std dev " + si_text(standard_deviation(unit), unit.unit);
        }
        text += "\n";
    }
    if (stats.losses > 0) {
        const double away = stats.seconds_without_port +
                            (stats.port_away ? run_seconds - stats.last_elapsed_s : 0.0);
        text += indent + "port lost " + std::to_string(stats.losses) +
                (stats.losses == 1 ? " time, " : " times, ") + fixed_text(std::max(away, 0.0), 1) +
                " s without it\n";
    }
    return text;
}

} // namespace logbook

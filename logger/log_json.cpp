#include "log_json.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace logbook {

namespace {

using nlohmann::json;

// Seconds to the millisecond, as the CSV has them.
double milliseconds_exact(double seconds)
{
    return std::round(seconds * 1000.0) / 1000.0;
}

json row_json(const Record& record)
{
    const bool ok = record.status == Status::ok;
    return json{{"time", record.time},
                {"elapsed_s", milliseconds_exact(record.elapsed_s)},
                {"mode", record.mode},
                {"reading", record.reading},
                {"unit", record.unit},
                {"value", record.value},
                {"base_unit", ok ? record.base_unit : std::string()},
                {"status", status_name(record.status)},
                {"frame", escaped_bytes(record.frame)}};
}

json bucket_json(std::size_t index, const Bucket& bucket)
{
    return json::array({index, bucket.readings, bucket.ok, bucket.first_s, bucket.last_s,
                        bucket.first, bucket.last, bucket.minimum, bucket.maximum,
                        bucket.overload ? 1 : 0, bucket.missing ? 1 : 0, bucket.resumed ? 1 : 0});
}

json unit_json(const UnitStats& unit)
{
    json stats{{"unit", unit.unit},
               {"readings", unit.readings},
               {"ok", unit.ok},
               {"overload", unit.overload},
               {"missing", unit.missing}};
    if (unit.ok > 0) {
        stats["min"] = unit.minimum;
        stats["max"] = unit.maximum;
        stats["mean"] = unit.mean;
        stats["std_dev"] = standard_deviation(unit);
        stats["min_text"] = si_text(unit.minimum, escaped_bytes(unit.unit));
        stats["max_text"] = si_text(unit.maximum, escaped_bytes(unit.unit));
        stats["mean_text"] = si_text(unit.mean, escaped_bytes(unit.unit));
    }
    return stats;
}

// The chart's statistics per unit, and the counts of this run.
json stats_json(const Chart& chart, const RunStats& run, double run_seconds)
{
    long missing = 0;
    for (const UnitStats& unit : run.units) {
        missing += unit.missing;
    }
    json units = json::array();
    for (const UnitStats& unit : chart.stats.units) {
        units.push_back(unit_json(unit));
    }
    return json{{"readings", run.requests},
                {"missing", missing},
                {"seconds", run_seconds},
                {"rate", run_seconds > 0.0 ? static_cast<double>(run.requests) / run_seconds : 0.0},
                {"losses", run.losses},
                {"port_away", run.port_away},
                {"units", units}};
}

json panels_json(const Series& series)
{
    json panels = json::array();
    for (const SeriesPanel& panel : series.panels) {
        json buckets = json::array();
        for (std::size_t index = 0; index < panel.buckets.size(); ++index) {
            if (panel.buckets[index].readings > 0) {
                buckets.push_back(bucket_json(index, panel.buckets[index]));
            }
        }
        panels.push_back(json{{"unit", panel.unit}, {"buckets", buckets}});
    }
    return panels;
}

} // namespace

std::string snapshot_json(const Chart& chart, const RunStats& run, double run_seconds,
                          const Record* latest, int clients)
{
    return json{{"seq", chart.series.readings},
                {"bucket_s", chart.series.bucket_s},
                {"last_s", chart.series.last_s},
                {"panels", panels_json(chart.series)},
                {"stats", stats_json(chart, run, run_seconds)},
                {"latest", latest != nullptr ? row_json(*latest) : json()},
                {"clients", clients}}
        .dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string row_event_json(const Record& record, const Chart& chart, const RunStats& run,
                           double run_seconds)
{
    const Series& series = chart.series;
    const SeriesPanel& panel = series.panels[static_cast<std::size_t>(series.current)];
    const std::size_t index = bucket_index(series, series.last_s);
    return json{{"seq", series.readings},
                {"bucket_s", series.bucket_s},
                {"last_s", series.last_s},
                {"row", row_json(record)},
                {"panel", panel.unit},
                {"bucket", bucket_json(index, panel.buckets[index])},
                {"stats", stats_json(chart, run, run_seconds)}}
        .dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string latest_json(const Chart& chart, const RunStats& run, double run_seconds,
                        const Record* latest, int clients)
{
    return json{{"latest", latest != nullptr ? row_json(*latest) : json()},
                {"stats", stats_json(chart, run, run_seconds)},
                {"clients", clients}}
        .dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace logbook

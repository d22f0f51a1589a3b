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

json row_json(const RunView& view, const Record& record)
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
                {"frame", escaped_bytes(record.frame)},
                {"meter", view.meters[static_cast<std::size_t>(record.meter)].name}};
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

long missing_of(const RunStats& stats)
{
    long missing = 0;
    for (const UnitStats& unit : stats.units) {
        missing += unit.missing;
    }
    return missing;
}

json counts_json(long readings, long missing, double seconds, int losses, bool port_away)
{
    return json{{"readings", readings},
                {"missing", missing},
                {"seconds", seconds},
                {"rate", seconds > 0.0 ? static_cast<double>(readings) / seconds : 0.0},
                {"losses", losses},
                {"port_away", port_away}};
}

// A meter's counts of this run and the statistics of its chart.
json meter_stats_json(const RunView& view, const MeterView& meter)
{
    json stats = counts_json(meter.stats.requests, missing_of(meter.stats), view.seconds,
                             meter.stats.losses, meter.stats.port_away);
    stats["units"] = json::array();
    for (const UnitStats& unit : meter.chart.stats.units) {
        stats["units"].push_back(unit_json(unit));
    }
    return stats;
}

// The whole run's counts; its units are every meter's, named when there are several.
json stats_json(const RunView& view)
{
    long readings = 0;
    long missing = 0;
    int losses = 0;
    bool port_away = false;
    json units = json::array();
    for (const MeterView& meter : view.meters) {
        readings += meter.stats.requests;
        missing += missing_of(meter.stats);
        losses += meter.stats.losses;
        port_away = port_away || meter.stats.port_away;
        for (const UnitStats& unit : meter.chart.stats.units) {
            json entry = unit_json(unit);
            if (view.meters.size() > 1) {
                entry["meter"] = meter.name;
            }
            units.push_back(entry);
        }
    }
    json stats = counts_json(readings, missing, view.seconds, losses, port_away);
    stats["units"] = units;
    return stats;
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

json meter_json(const RunView& view, const MeterView& meter, bool with_chart)
{
    json entry{{"name", meter.name},
               {"port", meter.port},
               {"latest", meter.has_latest ? row_json(view, meter.latest) : json()},
               {"stats", meter_stats_json(view, meter)}};
    if (meter.charge.measured) {
        entry["charge_ah"] = meter.charge.total / 3600.0;
    }
    if (with_chart) {
        entry["bucket_s"] = meter.chart.series.bucket_s;
        entry["panels"] = panels_json(meter.chart.series);
    }
    return entry;
}

json power_json(const RunView& view, bool with_chart)
{
    const PowerView& power = *view.power;
    json entry{{"volts", view.meters[static_cast<std::size_t>(power.pairing.volt_meter)].name},
               {"amperes", view.meters[static_cast<std::size_t>(power.pairing.ampere_meter)].name},
               {"energy_wh", power.pairing.energy.total / 3600.0},
               {"latest", power.has_latest
                              ? json{{"time", power.latest.time},
                                     {"elapsed_s", milliseconds_exact(power.latest.elapsed_s)},
                                     {"watts", power.latest.watts}}
                              : json()},
               {"units", json::array()}};
    for (const UnitStats& unit : power.chart.stats.units) {
        entry["units"].push_back(unit_json(unit));
    }
    if (with_chart) {
        entry["bucket_s"] = power.chart.series.bucket_s;
        entry["panels"] = panels_json(power.chart.series);
    }
    return entry;
}

json alarms_json(const RunView& view)
{
    json alarms = json::array();
    for (const Alarm& alarm : view.alarms) {
        json raised = json::array();
        for (std::size_t target = 0; target < alarm.targets.size(); ++target) {
            if (alarm.targets[target].raised) {
                raised.push_back(target < view.meters.size() ? view.meters[target].name : "power");
            }
        }
        alarms.push_back(json{{"rule", alarm.rule.text},
                              {"active", alarm_active(alarm)},
                              {"raised_on", raised},
                              {"rises", alarm.rises},
                              {"rise_times", alarm.rise_times}});
    }
    return alarms;
}

long chart_readings(const RunView& view)
{
    long readings = 0;
    for (const MeterView& meter : view.meters) {
        readings += meter.chart.series.readings;
    }
    return readings;
}

double last_s(const RunView& view)
{
    double last = 0.0;
    for (const MeterView& meter : view.meters) {
        last = std::max(last, meter.chart.series.last_s);
    }
    return last;
}

json latest_row(const RunView& view)
{
    return view.last_meter >= 0
               ? row_json(view, view.meters[static_cast<std::size_t>(view.last_meter)].latest)
               : json();
}

std::string text(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

std::string snapshot_json(const RunView& view, int clients)
{
    json meters = json::array();
    for (const MeterView& meter : view.meters) {
        meters.push_back(meter_json(view, meter, true));
    }
    const auto ms = [](std::chrono::system_clock::time_point time) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch())
            .count();
    };
    return text(json{{"seq", chart_readings(view)},
                     {"origin_ms", ms(view.origin_utc)},
                     {"run_ms", ms(view.start_utc)},
                     {"node", view.mqtt.node.empty() ? json() : json(view.mqtt.node)},
                     {"last_s", last_s(view)},
                     {"meters", meters},
                     {"power", view.power ? power_json(view, true) : json()},
                     {"stats", stats_json(view)},
                     {"latest", latest_row(view)},
                     {"alarms", alarms_json(view)},
                     {"clients", clients}});
}

std::string row_event_json(const RunView& view, const Record& record, const RecordNews& news)
{
    const MeterView& meter = view.meters[static_cast<std::size_t>(record.meter)];
    const Series& series = meter.chart.series;
    const SeriesPanel& panel = series.panels[static_cast<std::size_t>(series.current)];
    const std::size_t index = bucket_index(series, series.last_s);
    json event{{"seq", chart_readings(view)},
               {"meter", meter.name},
               {"bucket_s", series.bucket_s},
               {"last_s", last_s(view)},
               {"row", row_json(view, record)},
               {"panel", panel.unit},
               {"bucket", bucket_json(index, panel.buckets[index])},
               {"stats", stats_json(view)},
               {"meter_stats", meter_stats_json(view, meter)}};
    if (meter.charge.measured) {
        event["charge_ah"] = meter.charge.total / 3600.0;
    }
    if (view.power && !news.power.empty()) {
        const Series& watts = view.power->chart.series;
        const SeriesPanel& power_panel = watts.panels.front();
        const std::size_t at = bucket_index(watts, watts.last_s);
        json power = power_json(view, false);
        power["bucket_s"] = watts.bucket_s;
        power["bucket"] = bucket_json(at, power_panel.buckets[at]);
        event["power"] = power;
    }
    return text(event);
}

std::string latest_json(const RunView& view, int clients)
{
    json meters = json::array();
    for (const MeterView& meter : view.meters) {
        meters.push_back(meter_json(view, meter, false));
    }
    json latest{{"latest", latest_row(view)},
                {"stats", stats_json(view)},
                {"clients", clients},
                {"meters", meters}};
    if (view.power) {
        latest["power"] = power_json(view, false);
    }
    latest["alarms"] = alarms_json(view);
    if (!view.mqtt.broker.empty()) {
        latest["mqtt"] = {
            {"broker", view.mqtt.broker},
            {"node", view.mqtt.node},
            {"connected", view.mqtt.connected},
            {"problem", view.mqtt.problem.empty() ? json() : json(view.mqtt.problem)}};
    }
    return text(latest);
}

std::string row_text(const RunView& view, const Record& record)
{
    return text(row_json(view, record));
}

std::string alarm_event_json(const RunView& view, const AlarmEvent& event)
{
    return text(json{{"rule", view.alarms[static_cast<std::size_t>(event.alarm)].rule.text},
                     {"state", event.raised ? "raised" : "cleared"},
                     {"meter", event.meter},
                     {"value", event.value},
                     {"unit", event.unit},
                     {"time", event.time},
                     {"alarms", alarms_json(view)}});
}

} // namespace logbook

#include "log_series.h"

#include <algorithm>

namespace logbook {

namespace {

void merge_into(Bucket& into, const Bucket& from)
{
    if (from.readings == 0) {
        return;
    }
    if (into.readings == 0) {
        into = from;
        return;
    }
    into.readings += from.readings;
    into.last_s = from.last_s;
    into.overload = into.overload || from.overload;
    into.missing = into.missing || from.missing;
    into.resumed = into.resumed || from.resumed;
    if (from.ok == 0) {
        return;
    }
    if (into.ok == 0) {
        into.first = from.first;
        into.minimum = from.minimum;
        into.maximum = from.maximum;
    }
    into.ok += from.ok;
    into.last = from.last;
    into.minimum = std::min(into.minimum, from.minimum);
    into.maximum = std::max(into.maximum, from.maximum);
}

// Bucket 2k and 2k+1 become bucket k; the upper half is free again.
void halve_resolution(Series& series)
{
    for (SeriesPanel& panel : series.panels) {
        for (std::size_t k = 0; k < SERIES_BUCKETS / 2; ++k) {
            Bucket merged = panel.buckets[2 * k];
            merge_into(merged, panel.buckets[2 * k + 1]);
            panel.buckets[k] = merged;
        }
        std::fill(panel.buckets.begin() + SERIES_BUCKETS / 2, panel.buckets.end(), Bucket{});
    }
    series.bucket_s *= 2.0;
}

SeriesPanel& panel_for(Series& series, const Record& record)
{
    if (!shows_unit(record) && series.current >= 0) {
        return series.panels[static_cast<std::size_t>(series.current)];
    }
    const std::string unit = shows_unit(record) ? record.base_unit : UNKNOWN_UNIT;
    const auto found =
        std::find_if(series.panels.begin(), series.panels.end(),
                     [&unit](const SeriesPanel& panel) { return panel.unit == unit; });
    if (found != series.panels.end()) {
        series.current = static_cast<int>(found - series.panels.begin());
        return *found;
    }
    series.panels.push_back(SeriesPanel{unit, std::vector<Bucket>(SERIES_BUCKETS)});
    series.current = static_cast<int>(series.panels.size()) - 1;
    return series.panels.back();
}

Bucket single(const Record& record, double elapsed_s)
{
    Bucket bucket;
    bucket.readings = 1;
    bucket.first_s = elapsed_s;
    bucket.last_s = elapsed_s;
    if (record.status == Status::ok) {
        bucket.ok = 1;
        bucket.first = bucket.last = bucket.minimum = bucket.maximum = record.number;
    }
    bucket.overload = record.status == Status::overload;
    bucket.missing = !shows_unit(record);
    return bucket;
}

} // namespace

void add_to_series(Series& series, const Record& record)
{
    const double elapsed_s = std::max(record.elapsed_s, series.last_s);
    while (elapsed_s >= series.bucket_s * static_cast<double>(SERIES_BUCKETS)) {
        halve_resolution(series);
    }
    const int before = series.current;
    SeriesPanel& panel = panel_for(series, record);
    Bucket reading = single(record, elapsed_s);
    reading.resumed = (before >= 0 && before != series.current) || series.broken;
    merge_into(panel.buckets[bucket_index(series, elapsed_s)], reading);
    series.last_s = elapsed_s;
    series.broken = false;
    ++series.readings;
}

void break_line(Series& series)
{
    series.broken = series.readings > 0;
}

std::size_t bucket_index(const Series& series, double elapsed_s)
{
    return std::min(static_cast<std::size_t>(elapsed_s / series.bucket_s), SERIES_BUCKETS - 1);
}

std::vector<const Bucket*> used_buckets(const SeriesPanel& panel)
{
    std::vector<const Bucket*> used;
    for (const Bucket& bucket : panel.buckets) {
        if (bucket.readings > 0) {
            used.push_back(&bucket);
        }
    }
    return used;
}

void add_to_chart(Chart& chart, const Record& record)
{
    add_to_series(chart.series, record);
    add_record(chart.stats, record);
}

} // namespace logbook

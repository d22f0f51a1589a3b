#include "log_view.h"

namespace logbook {

namespace {

Record on_charts(const RunView& view, Record record)
{
    record.elapsed_s += view.chart_offset_s;
    return record;
}

double bucket_width_sum(const RunView& view)
{
    double sum = view.power ? view.power->chart.series.bucket_s : 0.0;
    for (const MeterView& meter : view.meters) {
        sum += meter.chart.series.bucket_s;
    }
    return sum;
}

void add_power(RunView& view, const std::vector<PowerPoint>& points,
               std::vector<AlarmEvent>& events)
{
    for (const PowerPoint& point : points) {
        check_power(view.alarms, point, "power", events);
        Record watts;
        watts.status = Status::ok;
        watts.base_unit = "W";
        watts.number = point.watts;
        watts.elapsed_s = point.elapsed_s + view.chart_offset_s;
        add_to_chart(view.power->chart, watts);
        view.power->latest = point;
        view.power->has_latest = true;
    }
}

std::vector<std::string> meter_names(const RunView& view)
{
    std::vector<std::string> names;
    for (const MeterView& meter : view.meters) {
        names.push_back(meter.name);
    }
    return names;
}

} // namespace

MeterView meter_view(const std::string& name, const std::string& port)
{
    MeterView meter;
    meter.name = name;
    meter.port = port;
    return meter;
}

void set_up_view(RunView& view, const std::vector<MeterView>& meters,
                 std::optional<std::pair<int, int>> power, const std::vector<AlarmRule>& rules)
{
    view.meters = meters;
    view.alarms = alarms_of(rules, meters.size());
    view.power.reset();
    if (power) {
        view.power.emplace();
        view.power->pairing.volt_meter = power->first;
        view.power->pairing.ampere_meter = power->second;
    }
}

RecordNews add_to_view(RunView& view, const Record& record)
{
    RecordNews news;
    news.record = &record;
    const double widths = bucket_width_sum(view);
    MeterView& meter = view.meters[static_cast<std::size_t>(record.meter)];
    add_record(meter.stats, record);
    add_to_chart(meter.chart, on_charts(view, record));
    add_to_charge(meter.charge, record);
    meter.latest = record;
    meter.has_latest = true;
    ++meter.by_status[static_cast<std::size_t>(record.status)];
    if (record.status == Status::ok) {
        meter.last_ok = record;
        meter.has_ok = true;
    }
    std::string alarm_notice;
    check_reading(view.alarms, record, meter.name, news.alarms, alarm_notice);
    view.last_meter = record.meter;
    ++view.rows;
    if (view.power && !view.power_later) {
        news.power = pair_for_power(view.power->pairing, record, meter.name, news.notice);
        add_power(view, news.power, news.alarms);
    }
    // Each notice is a line of standard error after ohmlog's name.
    news.notice +=
        news.notice.empty() || alarm_notice.empty() ? alarm_notice : "\nohmlog: " + alarm_notice;
    news.new_bucket_width = bucket_width_sum(view) != widths;
    return news;
}

RecordNews add_power_later(RunView& view, const Record& record)
{
    RecordNews news;
    news.power =
        pair_for_power(view.power->pairing, record,
                       view.meters[static_cast<std::size_t>(record.meter)].name, news.notice);
    // The rows come in time order: the time has passed up to this one, and what waits for an
    // ampere reading of long before it waits no more, so that a file whose ampere meter was
    // long away is read in bounded memory.
    const std::vector<PowerPoint> settled = flush_power(view.power->pairing, record.elapsed_s);
    news.power.insert(news.power.end(), settled.begin(), settled.end());
    add_power(view, news.power, news.alarms);
    return news;
}

void add_earlier(RunView& view, const Record& record)
{
    add_to_chart(view.meters[static_cast<std::size_t>(record.meter)].chart, record);
}

void break_lines(RunView& view)
{
    for (MeterView& meter : view.meters) {
        break_line(meter.chart.series);
    }
    if (view.power) {
        break_line(view.power->chart.series);
    }
}

RecordNews port_back(RunView& view, int meter, double now_s, const std::string& now_utc)
{
    RecordNews news;
    MeterView& back = view.meters[static_cast<std::size_t>(meter)];
    end_port_loss(back.stats, now_s);
    end_port_loss(back.chart.stats, now_s + view.chart_offset_s);
    check_port_back(view.alarms, meter, now_s, now_utc, back.name, news.alarms);
    return news;
}

RecordNews flush_view(RunView& view, double now_s, const std::string& now_utc)
{
    RecordNews news;
    if (view.power) {
        const double widths = bucket_width_sum(view);
        news.power = flush_power(view.power->pairing, now_s);
        add_power(view, news.power, news.alarms);
        news.new_bucket_width = bucket_width_sum(view) != widths;
    }
    check_time(view.alarms, now_s, now_utc, meter_names(view), news.alarms);
    return news;
}

} // namespace logbook

#include "log_plot.h"

#include "log_clock.h"
#include "log_summary.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace logbook {

namespace {

constexpr double WIDTH = 900.0;
constexpr double PANEL_HEIGHT = 280.0;
constexpr double TITLE_HEIGHT = 40.0; // the heading's two lines
constexpr double LEFT = 100.0;        // room for the value labels
constexpr double RIGHT = 170.0;       // room for the min, max and mean labels
constexpr double TOP = 36.0;          // the panel's own title
constexpr double BOTTOM = 46.0;       // the time labels
constexpr int TICKS = 5;

struct Range {
    double low;
    double high;
};

struct Panel {
    std::string title;
    std::string unit;
    double top; // of the whole panel in the document
    Range values;
    Range time;
    UnitStats stats;

    double x(double seconds) const
    {
        return LEFT + (seconds - time.low) / (time.high - time.low) * (WIDTH - LEFT - RIGHT);
    }
    double y(double value) const
    {
        const double plot_top = top + TOP;
        const double plot_height = PANEL_HEIGHT - TOP - BOTTOM;
        return plot_top + (values.high - value) / (values.high - values.low) * plot_height;
    }
    double plot_bottom() const { return top + PANEL_HEIGHT - BOTTOM; }
};

std::string number(double value)
{
    return fixed_text(value, 1);
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string text_at(double x, double y, const std::string& text, const char* anchor,
                    const char* extra = "")
{
    return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\"" +
           extra + ">" + escaped(text) + "</text>\n";
}

std::string line(double x1, double y1, double x2, double y2, const char* style)
{
    return "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) +
           "\" y2=\"" + number(y2) + "\" " + style + "/>\n";
}

Range padded(Range range)
{
    if (range.high > range.low) {
        const double margin = (range.high - range.low) * 0.05;
        return Range{range.low - margin, range.high + margin};
    }
    const double half = range.low != 0.0 ? std::fabs(range.low) * 0.1 : 1.0;
    return Range{range.low - half, range.high + half};
}

// Multiples of the step within the range, counted rather than summed so that no rounding
// adds or loses a tick.
std::vector<double> ticks(Range range, double step)
{
    std::vector<double> values;
    const double first = std::ceil(range.low / step - 1e-9);
    for (int k = 0; k < 50; ++k) {
        const double value = (first + k) * step;
        if (value > range.high + step * 1e-9) {
            break;
        }
        values.push_back(value);
    }
    return values;
}

std::string axes(const Panel& panel, const TimeAxis& clock)
{
    std::string svg;
    const double plot_top = panel.top + TOP;
    svg += "<rect x=\"" + number(LEFT) + "\" y=\"" + number(plot_top) + "\" width=\"" +
           number(WIDTH - LEFT - RIGHT) + "\" height=\"" + number(panel.plot_bottom() - plot_top) +
           "\" fill=\"#fbfbfb\" stroke=\"#444\"/>\n";
    svg += text_at(LEFT, panel.top + 22, panel.title, "start", " font-weight=\"bold\"");

    const double largest = std::max(std::fabs(panel.values.low), std::fabs(panel.values.high));
    const double step = nice_step(panel.values.high - panel.values.low, TICKS);
    for (const double value : ticks(panel.values, step)) {
        const double y = panel.y(value);
        svg += line(LEFT - 5, y, WIDTH - RIGHT, y, "stroke=\"#ddd\"");
        svg += text_at(LEFT - 8, y + 4, axis_label(value, largest, step, panel.unit), "end");
    }
    for (const TimeTick& tick : clock.ticks) {
        const double x = panel.x(tick.elapsed_s);
        svg += line(x, plot_top, x, panel.plot_bottom() + 5, "stroke=\"#ddd\"");
        svg += text_at(x, panel.plot_bottom() + 20, tick.label, "middle");
    }
    svg +=
        text_at(LEFT + (WIDTH - LEFT - RIGHT) / 2, panel.plot_bottom() + 38, clock.title, "middle");
    return svg;
}

std::string marks(const Panel& panel)
{
    if (panel.stats.ok == 0) {
        return text_at(LEFT + (WIDTH - LEFT - RIGHT) / 2, panel.y(0.0), "no reading", "middle",
                       " fill=\"#888\"");
    }
    const struct {
        const char* name;
        double value;
    } levels[] = {
        {"max", panel.stats.maximum}, {"mean", panel.stats.mean}, {"min", panel.stats.minimum}};
    const double largest = std::max(std::fabs(panel.values.low), std::fabs(panel.values.high));
    std::string svg;
    double last_label_y = -1e9;
    for (const auto& level : levels) {
        const double y = panel.y(level.value);
        svg += line(LEFT, y, WIDTH - RIGHT, y, "stroke=\"#c07000\" stroke-dasharray=\"6 4\"");
        const double label_y = std::max(y + 4, last_label_y + 15);
        svg += text_at(WIDTH - RIGHT + 8, label_y,
                       std::string(level.name) + " " + axis_text(level.value, largest, panel.unit),
                       "start", " fill=\"#c07000\"");
        last_label_y = label_y;
    }
    return svg;
}

struct Point {
    double x;
    double y;
};

// A bucket's line: its first value, its smallest and largest halfway, its last. A bucket of one
// reading is that reading's point.
void add_bucket_points(const Panel& panel, const Bucket& bucket, std::vector<Point>& points)
{
    const auto add = [&](double seconds, double value) {
        points.push_back(Point{panel.x(seconds), panel.y(value)});
    };
    add(bucket.first_s, bucket.first);
    if (bucket.ok > 1 && bucket.minimum != bucket.maximum) {
        const double middle = (bucket.first_s + bucket.last_s) / 2;
        const bool falls_first = bucket.first >= bucket.last;
        add(middle, falls_first ? bucket.maximum : bucket.minimum);
        add(middle, falls_first ? bucket.minimum : bucket.maximum);
    }
    if (bucket.last_s > bucket.first_s) {
        add(bucket.last_s, bucket.last);
    }
}

// A run of points as a line; a lone point as a dot.
std::string trace(const std::vector<Point>& points)
{
    if (points.size() == 1) {
        return "<circle cx=\"" + number(points[0].x) + "\" cy=\"" + number(points[0].y) +
               "\" r=\"2.5\" fill=\"#1f5fbf\"/>\n";
    }
    std::string svg = "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1.5\" points=\"";
    for (const Point& point : points) {
        svg += number(point.x) + "," + number(point.y) + " ";
    }
    return svg + "\"/>\n";
}

std::string mark(const Panel& panel, const Bucket& bucket, bool overload)
{
    const double x = panel.x(bucket.first_s);
    const double y = overload ? panel.top + TOP : panel.plot_bottom() - 8;
    return line(x, y, x, y + 8,
                overload ? "stroke=\"#d02020\" stroke-width=\"2\""
                         : "stroke=\"#999\" stroke-width=\"2\"");
}

// The buckets' lines, joined while no overload, missing reading or reading of another unit
// comes between them.
std::string traces(const Panel& panel, const SeriesPanel& series)
{
    std::string svg;
    std::vector<Point> points;
    const auto flush = [&]() {
        if (!points.empty()) {
            svg += trace(points);
        }
        points.clear();
    };
    for (const Bucket* bucket : used_buckets(series)) {
        const bool breaks = bucket->overload || bucket->missing;
        if (breaks || bucket->resumed) {
            flush();
        }
        if (bucket->ok > 0) {
            add_bucket_points(panel, *bucket, points);
        }
        if (breaks) {
            flush();
            svg += bucket->overload ? mark(panel, *bucket, true) : "";
            svg += bucket->missing ? mark(panel, *bucket, false) : "";
        }
    }
    flush();
    return svg;
}

} // namespace

double nice_step(double span, int target)
{
    if (!(span > 0.0) || !std::isfinite(span)) {
        return 1.0;
    }
    const double raw = span / target;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double ratio = raw / magnitude;
    const double factor = ratio < 1.5 ? 1.0 : ratio < 3.0 ? 2.0 : ratio < 7.0 ? 5.0 : 10.0;
    return factor * magnitude;
}

std::string axis_label(double value, double largest, double step, const std::string& unit)
{
    const SiPrefix prefix = si_prefix(largest, unit);
    const double scale = std::pow(1000.0, prefix.thousands);
    const int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step / scale) - 1e-9)));
    // A tick at zero must not read "-0".
    const double scaled = std::fabs(value / scale) < step / scale / 2 ? 0.0 : value / scale;
    const std::string text = fixed_text(scaled, decimals);
    const std::string suffix = prefix.symbol + unit;
    return suffix.empty() ? text : text + " " + suffix;
}

std::string span_text(double seconds)
{
    const long whole = std::lround(seconds);
    if (std::round(seconds * 10.0) < 600.0) {
        return fixed_text(seconds, 1) + " s";
    }
    if (whole < 3600) {
        return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
    }
    const long minutes = std::lround(seconds / 60.0);
    const long days = minutes / 1440;
    return (days > 0 ? std::to_string(days) + " d " : std::string()) +
           std::to_string(minutes / 60 % 24) + " h " + std::to_string(minutes % 60) + " min";
}

std::string axis_text(double value, double largest, const std::string& unit)
{
    const SiPrefix prefix = si_prefix(largest, unit);
    const double scaled = value / std::pow(1000.0, prefix.thousands);
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, scaled == 0.0 ? 0.0 : scaled,
                                   std::chars_format::general, 4)
                         .ptr;
    const std::string suffix = prefix.symbol + unit;
    return suffix.empty() ? std::string(text, end) : std::string(text, end) + " " + suffix;
}

namespace {

// What the document draws: each meter's panels, then the power's.
struct PlotPanel {
    std::string title;
    const SeriesPanel* series;
    const RunStats* stats;
};

std::vector<PlotPanel> panels_of(const RunView& view)
{
    std::vector<PlotPanel> panels;
    const bool named = view.meters.size() > 1;
    for (const MeterView& meter : view.meters) {
        for (const SeriesPanel& series : meter.chart.series.panels) {
            const std::string unit = series.unit.empty() ? "gain (no unit)" : series.unit;
            panels.push_back(
                PlotPanel{named ? meter.name + ": " + unit : unit, &series, &meter.chart.stats});
        }
    }
    if (view.power) {
        for (const SeriesPanel& series : view.power->chart.series.panels) {
            panels.push_back(PlotPanel{"power (W)", &series, &view.power->chart.stats});
        }
    }
    return panels;
}

double span_of(const RunView& view, long& readings)
{
    double span = 0.0;
    readings = 0;
    for (const MeterView& meter : view.meters) {
        span = std::max(span, meter.chart.series.last_s);
        readings += meter.chart.series.readings;
    }
    return span;
}

} // namespace

std::string render_plot(const RunView& view)
{
    const std::vector<PlotPanel> panels = panels_of(view);
    long readings = 0;
    const double span = span_of(view, readings);
    const double height =
        TITLE_HEIGHT + PANEL_HEIGHT * static_cast<double>(std::max<std::size_t>(panels.size(), 1));
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      number(WIDTH) + "\" height=\"" + number(height) + "\" viewBox=\"0 0 " +
                      number(WIDTH) + " " + number(height) +
                      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
                      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    // The title and the legend on the first line, the count and the span below the title: no
    // count of readings or length of run, in no font, reaches the legend.
    svg += text_at(LEFT, 20, "MAS-345 readings (ohmlog)", "start",
                   " font-size=\"16\" font-weight=\"bold\"");
    if (readings == 0) {
        return svg + text_at(WIDTH / 2, height / 2, "no readings", "middle") + "</svg>\n";
    }
    svg += text_at(LEFT, 35, counted(readings, "reading") + " over " + span_text(span), "start",
                   " font-size=\"11\" fill=\"#555\"");
    svg += line(WIDTH - RIGHT - 200, 10, WIDTH - RIGHT - 200, 18,
                "stroke=\"#d02020\" stroke-width=\"2\"");
    svg += text_at(WIDTH - RIGHT - 194, 18, "overload", "start", " font-size=\"11\"");
    svg += line(WIDTH - RIGHT - 130, 10, WIDTH - RIGHT - 130, 18,
                "stroke=\"#999\" stroke-width=\"2\"");
    svg += text_at(WIDTH - RIGHT - 124, 18, "no reading", "start", " font-size=\"11\"");
    const Range time{0.0, std::max(span, 0.001)};
    const TimeAxis clock = time_axis(view.origin_utc, time.high, TICKS + 3);
    for (std::size_t i = 0; i < panels.size(); ++i) {
        const SeriesPanel& series = *panels[i].series;
        Panel panel{
            panels[i].title, series.unit, TITLE_HEIGHT + PANEL_HEIGHT * static_cast<double>(i),
            Range{0.0, 1.0}, time,        UnitStats{series.unit}};
        for (const UnitStats& unit : panels[i].stats->units) {
            if (unit.unit == panel.unit) {
                panel.stats = unit;
            }
        }
        if (panel.stats.ok > 0) {
            panel.values = padded(Range{panel.stats.minimum, panel.stats.maximum});
        }
        svg += "<g class=\"panel\">\n" + axes(panel, clock) + traces(panel, series) + marks(panel) +
               "</g>\n";
    }
    return svg + "</svg>\n";
}

} // namespace logbook

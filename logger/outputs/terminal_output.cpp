#include "terminal_output.h"

#include "log_files.h"

#include <cstdio>

namespace logbook {

namespace {

// "1.389 mAh", or why nothing could be integrated.
std::string integral_text(const Integral& integral, const char* unit)
{
    const std::string reason = unintegrated_reason(integral);
    return si_text(integral.total / 3600.0, unit) +
           (reason.empty() ? "" : " (nothing integrated: " + reason + ")");
}

std::string charge_line(const MeterView& meter, const std::string& indent)
{
    return meter.charge.measured ? indent + "charge " + integral_text(meter.charge, "Ah") + "\n"
                                 : std::string();
}

std::string power_line(const RunView& view)
{
    const PowerView& power = *view.power;
    std::string line =
        "  power (" + view.meters[static_cast<std::size_t>(power.pairing.volt_meter)].name + " x " +
        view.meters[static_cast<std::size_t>(power.pairing.ampere_meter)].name + "): ";
    if (power.chart.stats.units.empty()) {
        return line + "none\n";
    }
    const UnitStats& watts = power.chart.stats.units.front();
    return line + "readings " + std::to_string(watts.ok) + "; min " + si_text(watts.minimum, "W") +
           ", max " + si_text(watts.maximum, "W") + ", mean " + si_text(watts.mean, "W") +
           "; energy " + integral_text(power.pairing.energy, "Wh") + "\n";
}

std::string status_of(const RunView& view, const Record& record)
{
    if (view.meters.size() == 1) {
        return status_line(view.meters.front().stats, record);
    }
    std::string line = counted(view.rows, "reading") + " ";
    for (const MeterView& meter : view.meters) {
        line += " " + meter.name + " " + (meter.has_latest ? reading_text(meter.latest) : "-");
    }
    if (view.power && view.power->has_latest) {
        line += "  P " + si_text(view.power->latest.watts, "W");
    }
    return line;
}

void show_status(Terminal& terminal, const std::string& line)
{
    const std::size_t width = std::max(terminal.status_width, line.size());
    std::fprintf(stderr, "\r%-*s", static_cast<int>(width), line.c_str());
    std::fflush(stderr);
    terminal.status_width = width;
}

// Each rule's rises with their times, and the one that ended the run.
std::string alarm_lines(const RunView& view)
{
    std::string text;
    for (const Alarm& alarm : view.alarms) {
        text += "  alarm " + alarm.rule.text + ": ";
        if (alarm.rises == 0) {
            text += "never raised\n";
            continue;
        }
        text +=
            "raised " + std::to_string(alarm.rises) + (alarm.rises == 1 ? " time: " : " times: ");
        for (std::size_t k = 0; k < alarm.rise_times.size(); ++k) {
            text += (k == 0 ? "" : ", ") + alarm.rise_times[k];
        }
        text += alarm.rises > static_cast<int>(alarm.rise_times.size()) ? ", ...\n" : "\n";
    }
    return view.ended_by.empty() ? text
                                 : text + "  the run ended at the rise of " + view.ended_by + "\n";
}

std::string meters_summary(const RunView& view)
{
    if (view.meters.size() == 1) {
        const MeterView& meter = view.meters.front();
        return summary(meter.stats, view.seconds) + charge_line(meter, "  ");
    }
    long readings = 0;
    for (const MeterView& meter : view.meters) {
        readings += meter.stats.requests;
    }
    std::string text = "ohmlog: " + count_text(readings, view.seconds) + "\n";
    for (const MeterView& meter : view.meters) {
        const std::string port = meter.port.empty() ? "" : " (" + meter.port + ")";
        text += "  " + meter.name + port + ": " + counted(meter.stats.requests, "reading") + "\n" +
                unit_lines(meter.stats, view.seconds, "    ") + charge_line(meter, "    ");
    }
    return view.power ? text + power_line(view) : text;
}

} // namespace

void clear_status(Terminal& terminal)
{
    if (terminal.status_width > 0) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(terminal.status_width), "");
        std::fflush(stderr);
        terminal.status_width = 0;
    }
}

void tell(Terminal& terminal, Severity severity, const std::string& message)
{
    clear_status(terminal);
    say(severity, message);
}

Output terminal_output(Terminal& terminal)
{
    Output output;
    output.take = [&terminal](const RunView& view, const RecordNews& news) {
        if (terminal.status && news.record != nullptr) {
            show_status(terminal, status_of(view, *news.record));
        }
        return true;
    };
    output.finish = [&terminal](const RunView& view) {
        clear_status(terminal);
        say_summary(run_summary(view));
        return true;
    };
    return output;
}

std::string run_summary(const RunView& view)
{
    return meters_summary(view) + alarm_lines(view);
}

} // namespace logbook

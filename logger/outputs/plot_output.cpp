#include "plot_output.h"

#include "log_csv_reader.h"
#include "log_plot.h"

#include <algorithm>

namespace logbook {

namespace {

// A CSV file of the run drawn as --from draws it: its rows alone, with the run's meters and
// power.
std::string plot_of_file(const std::string& csv, const RunView& run)
{
    RunView view;
    std::vector<MeterView> meters;
    std::vector<std::string> names;
    for (const MeterView& meter : run.meters) {
        meters.push_back(meter_view(meter.name, meter.port));
        names.push_back(meter.name);
    }
    std::optional<std::pair<int, int>> power;
    if (run.power) {
        power.emplace(run.power->pairing.volt_meter, run.power->pairing.ampere_meter);
    }
    set_up_view(view, meters, power);
    CsvReading reading;
    read_csv(csv, reading, [&](const Record& row) {
        Record record = row;
        if (reading.with_meter) {
            const auto name = std::find(names.begin(), names.end(),
                                        reading.meters[static_cast<std::size_t>(row.meter)]);
            record.meter = static_cast<int>(name - names.begin());
        }
        if (record.meter < static_cast<int>(names.size())) {
            add_to_view(view, record);
        }
    });
    view.origin_utc = reading.line.start_utc;
    view.seconds = reading.line.end_s;
    return render_plot(view);
}

} // namespace

Output plot_output(Files& files)
{
    Output output;
    output.take = [&files](const RunView& view, const RecordNews&) {
        if (!files.closed_csv.empty() && !files.closed_plot.empty()) {
            write_plot_file(files.closed_plot, plot_of_file(files.closed_csv, view));
        }
        files.closed_csv.clear();
        return true;
    };
    output.finish = [&files](const RunView& view) {
        if (!files.plot_pattern.empty()) {
            return files.csv_name.empty() ||
                   write_plot_file(dated_path(files.plot_pattern, files.csv_named_at),
                                   plot_of_file(files.csv_name, view));
        }
        return files.plot == nullptr || put_plot(files, render_plot(view));
    };
    return output;
}

} // namespace logbook

// The run as its outputs see it: per meter its chart (the earlier rows of an appended file
// included), this run's statistics, its last row and its charge; the power and its energy
// when they are asked for. Only the run's loop changes it, under `lock` while the web server
// may read it. No I/O.
#pragma once

#include "log_power.h"
#include "log_series.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace logbook {

struct MeterView {
    std::string name; // as named on the command line, or its port as given
    std::string port;
    Chart chart;
    RunStats stats; // this run's
    Record latest;
    bool has_latest = false;
    Integral charge; // ampere seconds of its DC ampere readings
};

struct PowerView {
    PowerPairing pairing;
    Chart chart; // in watts
    PowerPoint latest{};
    bool has_latest = false;
};

struct RunView {
    std::mutex lock;
    std::vector<MeterView> meters;
    std::optional<PowerView> power;
    std::chrono::system_clock::time_point origin_utc{}; // elapsed 0 of every chart
    double chart_offset_s = 0.0;                        // where this run starts on the charts
    std::chrono::steady_clock::time_point start{};      // of this run
    long rows = 0;                                      // this run's
    int last_meter = -1;                                // of the latest row
    // From the first request to the latest reply, or to the end while a port is still away.
    double seconds = 0.0;
};

// What one record changed, for the outputs that follow each.
struct RecordNews {
    std::vector<PowerPoint> power;
    std::string notice;            // for standard error, once
    bool new_bucket_width = false; // a chart merged its buckets
};

// A view of these meters; `power` names the volt and the ampere meter when power is wanted.
void set_up_view(RunView& view, const std::vector<MeterView>& meters,
                 std::optional<std::pair<int, int>> power);

// The record joins its meter's statistics, chart and charge, and is paired for power.
RecordNews add_to_view(RunView& view, const Record& record);
// A row of an earlier run, already placed on the charts' time line, joins its meter's chart.
void add_earlier(RunView& view, const Record& record);
// The power still waiting for an ampere reading that can no longer come (see flush_power).
RecordNews flush_view(RunView& view, double now_s);

} // namespace logbook

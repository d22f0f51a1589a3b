// The run as its outputs see it: per meter its chart (the earlier rows of an appended file
// included), this run's statistics, its last row and its charge; the power and its energy
// when they are asked for. Only the run's loop changes it, under `lock` while the web server
// may read it. No I/O.
#pragma once

#include "log_alarm.h"
#include "log_power.h"
#include "log_series.h"

#include <array>
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
    Record last_ok; // the latest ok reading
    bool has_ok = false;
    std::array<long, 5> by_status{}; // this run's readings, by Status
    Integral charge;                 // ampere seconds of its DC ampere readings
};

struct PowerView {
    PowerPairing pairing;
    Chart chart; // in watts
    PowerPoint latest{};
    bool has_latest = false;
};

// The MQTT connection as /latest.json and /metrics show it; no broker when the run publishes
// nothing.
struct MqttState {
    std::string broker; // HOST:PORT
    std::string node;
    bool connected = false; // and publishing
    std::string problem;    // the latest failure, while not connected
};

struct RunView {
    std::mutex lock;
    std::vector<MeterView> meters;
    std::optional<PowerView> power;
    std::vector<Alarm> alarms;
    std::chrono::system_clock::time_point origin_utc{}; // elapsed 0 of every chart
    std::chrono::system_clock::time_point start_utc{};  // elapsed 0 of this run's records
    double chart_offset_s = 0.0;                        // where this run starts on the charts
    std::chrono::steady_clock::time_point start{};      // of this run
    long rows = 0;                                      // this run's
    int last_meter = -1;                                // of the latest row
    // From the first request to the latest reply, or to the end while a port is still away.
    double seconds = 0.0;
    std::string ended_by; // the alarm whose rise ended the run (--stop-on-alarm)
    MqttState mqtt;
    // The power is paired afterwards, from its meters' rows given again in time order (--from).
    bool power_later = false;
};

// What one record, or the time passing, changed: for the outputs that follow each.
struct RecordNews {
    const Record* record = nullptr; // none when only the time passed
    std::vector<PowerPoint> power;
    std::vector<AlarmEvent> alarms;
    std::string notice;            // for standard error, once
    bool new_bucket_width = false; // a chart merged its buckets
};

MeterView meter_view(const std::string& name, const std::string& port);

// A view of these meters; `power` names the volt and the ampere meter when power is wanted,
// and `rules` the alarms.
void set_up_view(RunView& view, const std::vector<MeterView>& meters,
                 std::optional<std::pair<int, int>> power,
                 const std::vector<AlarmRule>& rules = {});

// The record joins its meter's statistics, chart and charge, and is paired for power unless
// the power comes later.
RecordNews add_to_view(RunView& view, const Record& record);
// A record that joined the view before, paired for power now: the records given in time order.
RecordNews add_power_later(RunView& view, const Record& record);
// A row of an earlier run, already placed on the charts' time line, joins its meter's chart.
void add_earlier(RunView& view, const Record& record);
// A run starts after the rows so far (of an appended file, or of a run within it): no chart
// joins its line to theirs.
void break_lines(RunView& view);

// Meter `meter`'s lost port is open again: its time without it, and its alarms, end now.
RecordNews port_back(RunView& view, int meter, double now_s, const std::string& now_utc);
// The time passes: the power still waiting for an ampere reading that can no longer come
// (see flush_power), and the ports lost long enough for their alarms.
RecordNews flush_view(RunView& view, double now_s, const std::string& now_utc = "");

} // namespace logbook

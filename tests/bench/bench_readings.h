// Timing readings of the meter through the link, for the benchmark programs.
#pragma once

#include <string>
#include <vector>

struct Timings {
    double median_ms;
    double max_ms;
    double cpu_ms_per_reading;
};

// Opens the device as the meter port, with the meter's settings, and times `count` readings.
Timings time_readings(const std::string& device, int count);

double median(std::vector<double> values);

// CPU time of this process so far, user and system.
double cpu_seconds();

// One "key=value" line of the benchmark's report.
void report(const std::string& key, double value);

// ohmlog --serve with 50 clients of /events: its readings a second, the latest a row reaches a
// client after ohmlog wrote it, the share of a core above `cpu_percent_alone` (ohmlog's own
// without clients), and the page's weight.
void ohmlog_serve_figures(double cpu_percent_alone);

// ohmlog as a lab runs it: an alarm, /metrics scraped every second and MQTT published to a
// mosquitto broker on loopback: its readings a second, and how soon after a row is written
// its message reaches a subscriber.
void ohmlog_lab_figures();

// ohmlog --serve at a healthy meter's pace with a client of /events that stops reading: the
// seconds until the server drops it.
void ohmlog_stalled_client_figure();

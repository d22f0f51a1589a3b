// ohmlog --serve: the run over HTTP, from a thread of its own, for a browser and for scripts.
//   GET /             the page: the current reading, the statistics and a live chart
//   GET /events       Server-Sent Events: one snapshot, then one event per row
//   GET /latest.json  the last row and the statistics
//   GET /log.csv      the rows written so far, when they go to a file
// Logging never waits for the web: a row is handed over and the server sends it on; a client
// that does not keep up is dropped once its bounded queue is full.
#pragma once

#include "log_series.h"

#include <chrono>
#include <mutex>
#include <string>

namespace logbook {

// What the logging thread shares with the server: the run's chart and statistics and its
// latest row, changed and read under `lock`.
struct LiveRun {
    std::mutex lock;
    const Chart* chart = nullptr;
    const RunStats* run = nullptr;
    Record latest;
    bool has_latest = false;
    std::chrono::steady_clock::time_point start{};
    std::string csv_path; // served as /log.csv; empty: the rows go to standard output
};

// Listens on HOST:PORT, before anything else of the run is done; false with the reason when it
// cannot. Connections wait until the server starts.
bool listen_for_clients(const std::string& host, unsigned short port, std::string& problem);

// Serves `live` from a thread of its own, once the run's state is whole. Says on standard
// error where the run is served, and who can see it when the address reaches beyond this
// machine.
void start_serving(LiveRun& live);

// A row is in the chart: every client of /events gets `event_json`; after a change of the
// chart's bucket width, a new snapshot too. Called on the logging thread; never waits.
void serve_row(std::string event_json, bool new_snapshot);

// Closes every connection and the listening socket, and ends the server's thread.
void stop_serving();

} // namespace logbook

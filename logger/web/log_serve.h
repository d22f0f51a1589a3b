// ohmlog --serve: the run over HTTP, from a thread of its own, for a browser and for scripts.
//   GET /             the page: the current readings, the statistics and live charts
//   GET /events       Server-Sent Events: one snapshot, then one event per row
//   GET /latest.json  the last row of every meter and the statistics
//   GET /log.csv      the rows written so far, when they go to a file
//   GET /metrics      the run for Prometheus
// Logging never waits for the web: a row is handed over and the server sends it on; a client
// that does not keep up is dropped once its bounded queue is full.
#pragma once

#include "output.h"

#include <functional>
#include <memory>
#include <string>

namespace logbook {

// A run's server: its socket, its connections and its thread.
struct WebServer;
std::shared_ptr<WebServer> new_web_server();

// Listens on HOST:PORT, before anything else of the run is done; false with the reason when it
// cannot. Connections wait until the server starts.
bool listen_for_clients(WebServer& server, const std::string& host, unsigned short port,
                        std::string& problem);

// Serves the run's view (read under its lock) from a thread of its own, once the run's state
// is whole; /log.csv is the file `csv_path` gives at each request (none when it gives ""),
// which the server's thread calls. Says on standard error where the run is served, and who
// can see it when the address reaches beyond this machine.
void start_serving(WebServer& server, RunView& view, std::function<std::string()> csv_path);

// The output that hands each row to the clients of /events.
Output web_output(WebServer& server);

// Closes every connection and the listening socket, and ends the server's thread.
void stop_serving(WebServer& server);

} // namespace logbook

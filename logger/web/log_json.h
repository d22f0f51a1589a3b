// The run as JSON, for the web view and for scripts: rows with the CSV's field names and their
// meter, the statistics of the run and of each meter, the charts' buckets, the power and the
// energy. No I/O here.
//
// A bucket is an array: [index, readings, ok, first_s, last_s, first, last, minimum, maximum,
// overload, missing, resumed] (the last three 0 or 1).
#pragma once

#include "log_view.h"

#include <string>

namespace logbook {

// What a page needs at once: every meter's chart so far, the statistics and the latest rows.
// `seq` counts the readings in the charts; a row event with a seq not above it is already in
// the snapshot. `run_ms`, the run's start, tells one run from the next; `node` is the MQTT
// node the run publishes as, or null.
std::string snapshot_json(const RunView& view, int clients);

// One row as it is written, with the bucket it went into, the statistics after it and the
// power it made ready.
std::string row_event_json(const RunView& view, const Record& record, const RecordNews& news);

// For scripts: {"latest": the last row of any meter or null, "stats": the run's, "clients": n,
// "meters": [each one's name, port, last row and statistics], "power": ... when asked for,
// "alarms": [each rule, whether it is raised and on which meters, its rises], "mqtt": {"broker",
// "node", "connected", "problem": the latest failure or null} when the run publishes}.
std::string latest_json(const RunView& view, int clients);

// One row with the CSV's field names and its meter: {"time": ..., "value": "0.842", ...}.
std::string row_text(const RunView& view, const Record& record);

// An alarm's rise or clear, with every alarm's state after it.
std::string alarm_event_json(const RunView& view, const AlarmEvent& event);

} // namespace logbook

// The run as JSON, for the web view and for scripts: a row with the CSV's field names, the
// statistics, and the chart's buckets. No I/O here.
//
// A bucket is an array: [index, readings, ok, first_s, last_s, first, last, minimum, maximum,
// overload, missing, resumed] (the last three 0 or 1).
#pragma once

#include "log_series.h"

#include <string>

namespace logbook {

// What a page needs at once: the chart so far, the statistics and the latest row.
// `seq` is the number of readings in the chart; a row event with a seq not above it is
// already in the snapshot.
std::string snapshot_json(const Chart& chart, const RunStats& run, double run_seconds,
                          const Record* latest, int clients);

// One row as it is written, with the bucket it went into and the statistics after it.
std::string row_event_json(const Record& record, const Chart& chart, const RunStats& run,
                           double run_seconds);

// For scripts: {"latest": row or null, "stats": ..., "clients": n}.
std::string latest_json(const Chart& chart, const RunStats& run, double run_seconds,
                        const Record* latest, int clients);

} // namespace logbook

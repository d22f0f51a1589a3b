// The run as a chart keeps it: per base unit, a fixed number of time buckets, each holding the
// first, last, smallest and largest value it met and whether it met an overload or a missing
// reading. When the run outgrows them, neighbouring buckets merge and each covers twice the
// time, so memory stays the same for a minute or a week and a lone spike stays visible.
// No I/O here.
#pragma once

#include "log_record.h"
#include "log_summary.h"

#include <string>
#include <vector>

namespace logbook {

// Enough for a chart a screen wide.
constexpr std::size_t SERIES_BUCKETS = 1000;
// The first width: short runs keep each reading in its own bucket.
constexpr double FIRST_BUCKET_SECONDS = 0.01;

struct Bucket {
    int readings = 0; // of every status
    int ok = 0;
    double first_s = 0.0; // elapsed seconds of the first and last reading in the bucket
    double last_s = 0.0;
    double first = 0.0; // ok values: the first, the last, the smallest and the largest
    double last = 0.0;
    double minimum = 0.0;
    double maximum = 0.0;
    bool overload = false;
    bool missing = false; // no reply, garbled or the port lost
    bool resumed = false; // not joined to the one before: a reading of another unit came
                          // between them, or a run appended after a time unmeasured starts
};

struct SeriesPanel {
    std::string unit;
    std::vector<Bucket> buckets; // SERIES_BUCKETS, bucket k from k * bucket_s
};

struct Series {
    double bucket_s = FIRST_BUCKET_SECONDS;
    std::vector<SeriesPanel> panels; // in the order their units were first met
    int current = -1;                // the panel of the unit shown last
    double last_s = 0.0;             // elapsed seconds of the latest reading
    long readings = 0;
    bool broken = false; // the next reading starts a new line
};

// The reading goes to the panel of its base unit; a missing reading to the panel of the unit
// shown last (or "?" before any). Readings come in time order.
void add_to_series(Series& series, const Record& record);

// A run starts after the readings so far: its line is not joined to theirs.
void break_line(Series& series);

// The bucket that holds a reading at these elapsed seconds.
std::size_t bucket_index(const Series& series, double elapsed_s);

// The panel's buckets that hold a reading, in time order.
std::vector<const Bucket*> used_buckets(const SeriesPanel& panel);

// What a chart of the run draws: the series and, for its levels, the statistics per unit.
struct Chart {
    Series series;
    RunStats stats;
};

void add_to_chart(Chart& chart, const Record& record);

} // namespace logbook

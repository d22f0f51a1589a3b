// No row holds the reply to another request: ohmlog reads metersim --numbered, whose reply n
// answers request n, and metersim logs when each request came, on the clock of the CSV's times.
// An ok row's request went out no earlier than the row's own time.
#pragma once

#include "process.h"

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

struct MeterCase {
    std::vector<std::string> meter_options; // metersim's, --numbered added
    double interval_s = 0.0;                // ohmlog's -i
    int rows = 12;
    bool ends_in_step = false; // the meter ends quick: one of the last rows is read again
    bool every_slot = false;   // each interval has its row
};

// Drawn from the matrix: delays (late, past the bound, lists that never rise twice in a row, as
// a reading's request and repeat are answered alike), twice, in turn, deaf while answering,
// lost requests, not ready, the line's pace, times the intervals, up to the limits given.
MeterCase random_case(std::mt19937& random, int most_rows = 25, double longest_interval = 2.0);

// Two processes that keep the cores busy at ohmlog's priority while this lives.
struct CpuLoad {
    CpuLoad();
    std::vector<std::unique_ptr<BackgroundProcess>> busy;
};

struct Totals {
    long rows = 0, ok_rows = 0, wrong_rows = 0, loaded_rows = 0;
    int cases = 0, failed_cases = 0;
};

// Checks the cases `next` gives, `parallel` at a time (metersim, playing the hardware, runs
// ahead of ohmlog); each failure is a line on `log`. `loaded` tells whether a CpuLoad runs.
Totals check_cases(const std::function<std::optional<MeterCase>()>& next, int parallel,
                   std::ostream& log, const std::function<bool()>& loaded);

// The invariant that no row holds the reply to another request, searched for: ohmlog reads
// metersim --numbered, whose replies name the request they answer, and each ok row's number must
// be one of the requests that row sent. The line shim logs when each request went out, on the
// clock of the CSV's times: a row's requests are those sent from its time on.
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
    double interval_s = 0.0;                // ohmlog's -i; 0 without
    int rows = 12;
    // The meter answers quickly at the end: the last rows must be read again.
    bool ends_in_step = false;
    // Every interval gets its row (the meter answers well within one).
    bool every_slot = false;
};

std::string describe(const MeterCase& meter_case);

// One case of the matrix: metersim's delays (late replies, beyond the bound, lists whose delay
// never rises twice in a row: a reading's request and its repeat are answered alike), answering
// twice, in turn, deaf while answering, losing requests, not ready, its line's pace, times the
// intervals up to `longest_interval`, for up to `most_rows` rows.
MeterCase random_case(std::mt19937& random, int most_rows = 25, double longest_interval = 2.0);

struct CaseResult {
    std::string statuses;              // a letter a row: . ok, n no reply, g garbled, ? other
    std::vector<int> wrong_rows;       // from 1: rows that hold another request's reply
    std::vector<std::string> problems; // what else failed: the run, the slots, the step
    int requests = 0;
};

// Runs ohmlog against the case's meter and checks its rows. metersim plays the hardware, so it
// runs ahead of ohmlog, which runs at a lower priority (as any load beside it).
CaseResult check_case(const MeterCase& meter_case);

// Two processes that keep the machine's cores busy, at ohmlog's priority, while this lives.
class CpuLoad {
public:
    CpuLoad();

private:
    std::vector<std::unique_ptr<BackgroundProcess>> busy_;
};

struct SearchTotals {
    int cases = 0;
    long rows = 0;
    long ok_rows = 0;
    long wrong_rows = 0;
    int failed_cases = 0;
    long loaded_rows = 0; // of the cases that began beside a CPU load
};

// Checks the cases `next` gives (until it gives none), `parallel` at a time; a line a case that
// failed (or every case, `verbose`) goes to `log`. `loaded` says whether a CPU load runs.
SearchTotals check_cases(const std::function<std::optional<MeterCase>()>& next, int parallel,
                         std::ostream& log, const std::function<bool()>& loaded,
                         bool verbose = false);
SearchTotals check_cases(const std::vector<MeterCase>& cases, std::ostream& log);

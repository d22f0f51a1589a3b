// The reading path of the Windows form under Wine: readings through COM ports whose
// simulated meters answer at once (first port), never (second) or after 650 ms (third).
//   reading_benchmark.exe COM1 COM2 COM3
#include "bench_readings.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: reading_benchmark PROMPT-PORT SILENT-PORT LATE-PORT\n");
        return 2;
    }
    const Timings prompt = time_readings(argv[1], 15);
    report("prompt_median_ms", prompt.median_ms);
    report("prompt_max_ms", prompt.max_ms);
    report("cpu_ms_per_reading", prompt.cpu_ms_per_reading);
    const Timings silent = time_readings(argv[2], 7);
    report("silent_median_ms", silent.median_ms);
    report("silent_max_ms", silent.max_ms);
    const Timings late = time_readings(argv[3], 7);
    report("late_median_ms", late.median_ms);
    report("late_max_ms", late.max_ms);
    return 0;
}

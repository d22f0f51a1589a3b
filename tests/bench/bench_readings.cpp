#include "bench_readings.h"

#include "meter_reading.h"
#include "serial_link.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Timings time_readings(const std::string& device, int count)
{
    init_port_table();
    open_port(METER_PORT, device.c_str(), METER_SETTINGS);
    set_line_state(METER_PORT, LINE_DTR, 1);
    set_line_state(METER_PORT, LINE_RTS, 0);
    std::vector<double> wall_ms;
    const double cpu_start = cpu_seconds();
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        meter::read_meter("");
        wall_ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    const double cpu_ms = (cpu_seconds() - cpu_start) * 1000.0 / count;
    close_all_ports();
    return Timings{median(wall_ms), *std::max_element(wall_ms.begin(), wall_ms.end()), cpu_ms};
}

void report(const std::string& key, double value)
{
    std::printf("%s=%.4f\n", key.c_str(), value);
    std::fflush(stdout);
}

#include "bench_readings.h"

#include <windows.h>

double cpu_seconds()
{
    FILETIME created{};
    FILETIME ended{};
    FILETIME kernel{};
    FILETIME user{};
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        const auto ticks =
            (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        return static_cast<double>(ticks) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// Pause for the POSIX programs.
#if defined(_WIN32)
#error "pause_posix.cpp is for POSIX builds"
#endif

#include "serial_link.h"

#include <ctime>

void pause_ms(std::int32_t ms)
{
    if (ms <= 0) {
        return;
    }
    // An interrupted wait is not resumed.
    timespec wait{};
    wait.tv_sec = ms / 1000;
    wait.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    nanosleep(&wait, nullptr);
}

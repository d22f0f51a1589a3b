// Pause for the command-line driver: a plain sleep at the system's timer resolution.
#if !defined(_WIN32)
#error "pause_sleep_win32.cpp is for Windows builds"
#endif

#include "serial_link.h"

#include <windows.h>

void pause_ms(std::int32_t ms)
{
    Sleep(static_cast<DWORD>(ms));
}

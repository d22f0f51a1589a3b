// Pause for the library: its host may call it in a loop, so the 700 ms wait of a reading
// should end when it says, not up to a 15.6 ms timer tick later.
#if !defined(_WIN32)
#error "pause_fine_win32.cpp is for Windows builds"
#endif

#include "serial_link.h"

#include <windows.h>

void pause_ms(std::int32_t ms)
{
    timeBeginPeriod(1);
    Sleep(static_cast<DWORD>(ms));
    timeEndPeriod(1);
}

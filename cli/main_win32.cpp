// ohmprobe for Windows: one driver-function query per run, on a COM port.
#if !defined(_WIN32)
#error "main_win32.cpp is the Windows entry of ohmprobe; POSIX builds take main_posix.cpp"
#endif

#include "command_line.h"
#include "probe_run.h"
#include "serial_link.h"

#include <windows.h>

namespace {

// Closing the console window ends the process; the meter port is closed first. The event is
// reported as not handled so that the system goes on ending the process.
BOOL WINAPI on_console_event(DWORD event)
{
    if (event == CTRL_CLOSE_EVENT) {
        close_all_ports();
    }
    return FALSE;
}

} // namespace

int main()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
    run_probe(split_command_line(GetCommandLineA()));
    return 0;
}

// The Windows side of ohmprobe's run: console output and COM port names.
#if !defined(_WIN32)
#error "probe_platform_win32.cpp is for Windows builds; POSIX builds take probe_platform_posix.cpp"
#endif

#include "probe_platform.h"
#include "probe_text.h"

#include <windows.h>

void print_line(const std::string& text)
{
    const std::string line = text + "\r\n";
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    // The same Windows-1252 bytes either way: to the console as they are, or to the file or
    // pipe standard output was redirected to.
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleA(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    } else {
        WriteFile(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
}

std::string device_name_for_port(std::int8_t port_number)
{
    return "COM" + format_integer(port_number);
}

bool parameter_names_device(const std::string&)
{
    return false;
}

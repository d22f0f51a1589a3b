// The Linux side of ohmprobe's run: standard output and serial device names.
#if defined(_WIN32)
#error "probe_platform_posix.cpp is for POSIX builds; Windows builds take probe_platform_win32.cpp"
#endif

#include "probe_platform.h"
#include "probe_text.h"

#include <cstdio>

void print_line(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// Port n is /dev/ttyS(n-1): COM1 is /dev/ttyS0, as in Wine and the DOS emulators.
std::string device_name_for_port(std::int8_t port_number)
{
    if (port_number < 1) {
        return std::string();
    }
    return "/dev/ttyS" + format_integer(port_number - 1);
}

// "ohmprobe ead /dev/ttyUSB0" reads a meter on a USB adapter.
bool parameter_names_device(const std::string& parameter)
{
    return !parameter.empty() && parameter[0] == '/';
}

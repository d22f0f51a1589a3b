// The Linux side of ohmprobe's run: standard output and serial device names.
#if defined(_WIN32)
#error "probe_platform_posix.cpp is for POSIX builds; Windows builds take probe_platform_win32.cpp"
#endif

#include "probe_platform.h"
#include "serial_link.h"

#include <cstdio>

void print_line(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// A negative port number names no device here.
std::string device_name_for_port(std::int8_t port_number)
{
    return port_number < 1 ? std::string() : serial_port_device(port_number);
}

// "ohmprobe ead /dev/ttyUSB0" reads a meter on a USB adapter.
bool parameter_names_device(const std::string& parameter)
{
    return !parameter.empty() && parameter[0] == '/';
}

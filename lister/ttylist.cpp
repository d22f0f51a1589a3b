// ttylist: prints the serial device nodes that open, /dev/ttyS0 to /dev/ttyS20 and
// /dev/ttyUSB0 to /dev/ttyUSB20, each series under its heading. Every line is flushed at once,
// so a reader sees each device as soon as it has been probed.
#include "serial_link.h"

#include <cstdio>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace {

constexpr int HIGHEST_NUMBER = 20;

// Latin-1, as the system's other texts: "é" is the byte 0xE9.
constexpr const char* SERIAL_HEADING = "ports_s\xE9rie_normaux:";
constexpr const char* USB_HEADING = "convertisseurs_usb->s\xE9rie";

void print_line(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void probe_series(const std::string& stem)
{
    for (int n = 0; n <= HIGHEST_NUMBER; ++n) {
        const std::string name = stem + std::to_string(n);
        const std::int32_t id = open_port(PORT_ANY, name.c_str(), PROBE_SETTINGS);
        if (port_is_open(id)) {
            print_line(name);
            close_port(id);
        }
    }
}

} // namespace

int main()
{
    init_port_table();
    // Keys typed meanwhile are not echoed into the listing. When standard input is no
    // terminal, neither this nor the restoring does anything.
    termios saved{};
    const bool saved_terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    quiet.c_cc[VMIN] = 0;
    quiet.c_cc[VTIME] = 0;
    if (saved_terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }

    print_line(SERIAL_HEADING);
    probe_series("/dev/ttyS");
    print_line(USB_HEADING);
    probe_series("/dev/ttyUSB");
    pause_ms(3000);

    if (saved_terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    close_all_ports();
    return 0;
}

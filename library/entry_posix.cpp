// Load and unload of the Linux library: its initialiser runs the load, so that the port is
// chosen before the host's first call, once per load.
#if defined(_WIN32)
#error "entry_posix.cpp is for POSIX builds; Windows builds take entry_win32.cpp"
#endif

#include "library_state.h"

#include <cctype>
#include <cstdlib>

namespace {

bool is_letter(char c, char capital)
{
    return std::toupper(static_cast<unsigned char>(c)) == capital;
}

void library_unload()
{
    stop_library();
}

// The unload is registered as an exit handler of this library rather than made a destructor
// function: destructor functions run after the library's own records have been destroyed,
// while a handler registered now runs before them, at unload as at exit.
__attribute__((constructor)) void library_load()
{
    start_library();
    std::atexit(library_unload);
}

} // namespace

// Port n is /dev/ttyS(n-1), as for ohmprobe.
std::string probe_device_name(int n)
{
    return "/dev/ttyS" + std::to_string(n - 1);
}

// "COM" and a number, in any case, is that serial port; anything else is a device path.
std::string device_for_port_name(const std::string& answer)
{
    const bool com_prefix = answer.size() > 3 && is_letter(answer[0], 'C') &&
                            is_letter(answer[1], 'O') && is_letter(answer[2], 'M');
    if (!com_prefix || answer.size() > 6 ||
        answer.find_first_not_of("0123456789", 3) != std::string::npos) {
        return answer;
    }
    const int n = std::stoi(answer.substr(3));
    return n >= 1 ? probe_device_name(n) : answer;
}

// On Linux systemd's unit ohmlog@.service runs ohmlog as a service: `ohmlog service` is for
// Windows, and says so.
#if defined(_WIN32)
#error "log_service_posix.cpp is for POSIX builds; Windows builds take log_service_win32.cpp"
#endif

#include "log_service.h"

namespace logbook {

namespace {

int refuse()
{
    say(Severity::error, "ohmlog service is for Windows; on Linux systemd's unit ohmlog@.service "
                         "runs ohmlog as a service (README: As a service)");
    return 2;
}

} // namespace

std::string service_folder(const std::string&)
{
    return "";
}

int install_service(const std::string&, const std::string&, const std::function<int()>&)
{
    return refuse();
}

int uninstall_service(const std::string&)
{
    return refuse();
}

int start_service(const std::string&)
{
    return refuse();
}

int stop_service(const std::string&)
{
    return refuse();
}

int show_service(const std::string&)
{
    return refuse();
}

int run_as_service(const std::string&, const std::string&, const std::function<int()>&)
{
    return refuse();
}

bool running_as_service()
{
    return false;
}

void tell_service(Severity, const std::string&, bool) {}

void set_service_state(const std::string&) {}

} // namespace logbook

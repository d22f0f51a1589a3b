#include "wine_session.h"

#include <cstdlib>

#include <unistd.h>

namespace {

std::string environment_value(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

bool in_wine_session()
{
    return !environment_value("OHM_SESSION_DIR").empty() &&
           !environment_value("WINEPREFIX").empty() && !environment_value("OHM_WINE64").empty();
}

std::string session_dir()
{
    return environment_value("OHM_SESSION_DIR");
}

std::string windows_binary(const std::string& name)
{
    return environment_value("OHM_WINDOWS_BIN") + "/" + name;
}

std::string com_path(int number)
{
    return environment_value("WINEPREFIX") + "/dosdevices/com" + std::to_string(number);
}

void link_com(int number, const std::string& target)
{
    unlink_com(number);
    const int linked = symlink(target.c_str(), com_path(number).c_str());
    (void)linked;
}

void unlink_com(int number)
{
    unlink(com_path(number).c_str());
}

Launch wine_launch(const std::vector<std::string>& arguments, std::vector<std::string> environment)
{
    Launch launch;
    // wine64 runs a 32-bit program in a second process and waits for it, so that a signal sent
    // to the one started would not reach the program: those start from the 32-bit loader.
    launch.argv = {environment_value(
        environment_value("OHM_WINDOWS_ARCH") == "x86" ? "OHM_WINE32" : "OHM_WINE64")};
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    environment.push_back("LD_PRELOAD=" + environment_value("OHM_LINE_SHIM"));
    launch.environment = std::move(environment);
    return launch;
}

ProcessResult run_under_wine(const std::vector<std::string>& arguments,
                             std::vector<std::string> environment, int timeout_ms)
{
    Launch launch = wine_launch(arguments, std::move(environment));
    launch.timeout_ms = timeout_ms;
    return run_process(launch);
}

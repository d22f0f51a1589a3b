// ohmlog's platform for Linux.
#if defined(_WIN32)
#error "log_platform_posix.cpp is for POSIX builds; Windows builds take log_platform_win32.cpp"
#endif

#include "log_platform.h"

#include "serial_link.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace logbook {

std::atomic<bool> stop_requested{false};

namespace {

void on_stop_signal(int)
{
    stop_requested = true;
}

} // namespace

void watch_for_stop()
{
    struct sigaction stop {};
    stop.sa_handler = on_stop_signal;
    // A row being written to a pipe that is full when Ctrl-C comes is written whole.
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);
    // A reader of standard output that has gone away fails the write instead.
    std::signal(SIGPIPE, SIG_IGN);
}

void run_finished() {}

bool stderr_is_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

bool stdout_is_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

void use_binary_stdout() {}

std::string open_failure(const std::string& port)
{
    const std::string device = device_for_port_name(port);
    const std::string path = device.empty() ? port : device;
    struct stat node {};
    if (path.empty() || path[0] != '/') {
        return "not a serial port (COMn, or the path of a device)";
    }
    if (stat(path.c_str(), &node) != 0) {
        return "no such device";
    }
    if (!S_ISCHR(node.st_mode)) {
        return "not a device";
    }
    if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        return "permission denied; members of the group that owns it (usually dialout) may "
               "open it: sudo adduser $USER dialout, then log in again";
    }
    return "in use by another program, or not a serial port";
}

std::string port_identity(const std::string& port)
{
    const std::string device = device_for_port_name(port);
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(device, error);
    return device.empty() ? port : error ? device : resolved.string();
}

int process_id()
{
    return static_cast<int>(getpid());
}

bool listening_address_reusable()
{
    return true;
}

std::FILE* create_new_file(const std::string& path)
{
    const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr) {
        close(descriptor);
        unlink(path.c_str());
    }
    return file;
}

bool replace_file(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}

int run_shell_command(const std::string& command, const std::vector<std::string>& environment)
{
    std::vector<std::string> variables = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('=') + 1);
        const bool replaced =
            std::any_of(environment.begin(), environment.end(), [&](const std::string& ours) {
                return ours.compare(0, name.size(), name) == 0;
            });
        if (!replaced) {
            variables.push_back(variable);
        }
    }
    std::vector<char*> envp;
    envp.reserve(variables.size() + 1);
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::string shell = "sh";
    std::string option = "-c";
    std::string line = command;
    char* argv[] = {shell.data(), option.data(), line.data(), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, envp.data()) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string host_name()
{
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "ohmlog";
}

std::vector<std::string> interface_addresses()
{
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return addresses;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const sockaddr* address = entry->ifa_addr;
        if (address == nullptr || (entry->ifa_flags & IFF_UP) == 0 ||
            (address->sa_family != AF_INET && address->sa_family != AF_INET6)) {
            continue;
        }
        const socklen_t size =
            address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        char text[NI_MAXHOST] = "";
        if (getnameinfo(address, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0) {
            addresses.emplace_back(text);
        }
    }
    freeifaddrs(list);
    return addresses;
}

} // namespace logbook

// ohmlog's platform for Linux.
#if defined(_WIN32)
#error "log_platform_posix.cpp is for POSIX builds; Windows builds take log_platform_win32.cpp"
#endif

#include "log_platform.h"

#include "serial_link.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace logbook {

std::atomic<bool> stop_requested{false};
std::atomic<bool> reopen_requested{false};

namespace {

bool stdout_closed = false;

// The width of standard error's terminal, read again after SIGWINCH says it changed.
struct TerminalSize {
    std::atomic<bool> resized{true};
    std::size_t columns = 0;
};
TerminalSize terminal_size;

void on_resize(int)
{
    terminal_size.resized = true;
}

void on_stop_signal(int)
{
    stop_requested = true;
}

void on_reopen_signal(int)
{
    reopen_requested = true;
}

// nohup and the shell's background jobs ignore a signal for the programs they start, which
// keep it so: only a signal that is not ignored gets the handler.
void handle_unless_ignored(int signal, void (*handler)(int))
{
    struct sigaction now {};
    if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) {
        return;
    }
    struct sigaction wanted {};
    wanted.sa_handler = handler;
    // A row being written to a pipe that is full when Ctrl-C comes is written whole.
    wanted.sa_flags = SA_RESTART;
    sigemptyset(&wanted.sa_mask);
    sigaction(signal, &wanted, nullptr);
}

// Who the node's mode lets read and write it: its group's members (usually dialout, but a
// rule of udev may give it another), or its owner alone.
std::string who_may_open(const struct stat& node)
{
    constexpr mode_t GROUP_READS_AND_WRITES = S_IRGRP | S_IWGRP;
    if ((node.st_mode & GROUP_READS_AND_WRITES) != GROUP_READS_AND_WRITES) {
        // cppcheck-suppress getpwuidCalled ; no other thread of ohmlog reads the user database
        const passwd* owner = getpwuid(node.st_uid);
        return "only its owner, " +
               (owner != nullptr ? std::string(owner->pw_name) : std::to_string(node.st_uid)) +
               ", may open it";
    }
    // cppcheck-suppress getgrgidCalled ; no other thread of ohmlog reads the group database
    const group* owners = getgrgid(node.st_gid);
    const std::string name =
        owners != nullptr ? std::string(owners->gr_name) : std::to_string(node.st_gid);
    return "members of its group, " + name + ", may open it: sudo adduser $USER " + name +
           ", then log in again";
}

} // namespace

void prepare_process()
{
    // A descriptor among the three that is closed takes the null device, as daemons do: the
    // lowest free number is the one taken.
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF) {
            stdout_closed = stdout_closed || descriptor == STDOUT_FILENO;
            if (open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY) != descriptor) {
                std::_Exit(1); // nothing to say it on
            }
        }
    }
    handle_unless_ignored(SIGUSR1, on_reopen_signal);
    // A mask inherited from a parent that blocked signals for itself would keep SIGTERM from
    // ever reaching ohmlog: none is blocked, as daemons start.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool stdout_was_closed()
{
    return stdout_closed;
}

void watch_for_stop()
{
    handle_unless_ignored(SIGINT, on_stop_signal);
    handle_unless_ignored(SIGTERM, on_stop_signal);
    handle_unless_ignored(SIGHUP, on_stop_signal);
    handle_unless_ignored(SIGWINCH, on_resize);
    // A reader of standard output that has gone away fails the write instead.
    std::signal(SIGPIPE, SIG_IGN);
}

void run_finished() {}

namespace {

// systemd's journal hands a service the device and inode of the stream it reads as
// JOURNAL_STREAM: standard error is the journal only when they are still those of descriptor 2
// (a shell started by the service may have sent it elsewhere).
bool stderr_is_journal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    const std::string_view text = stream != nullptr ? stream : "";
    const auto colon = text.find(':');
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat status {};
    return colon != std::string_view::npos &&
           std::from_chars(text.data(), text.data() + colon, device).ec == std::errc{} &&
           std::from_chars(text.data() + colon + 1, text.data() + text.size(), inode).ec ==
               std::errc{} &&
           fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

// The journal takes a line's priority from the prefix that sd-daemon.h names.
const char* priority_prefix(Severity severity)
{
    static const bool to_journal = stderr_is_journal();
    if (!to_journal) {
        return "";
    }
    switch (severity) {
    case Severity::error: return SD_ERR;
    case Severity::warning: return SD_WARNING;
    default: return SD_INFO;
    }
}

} // namespace

void say(Severity severity, const std::string& message)
{
    std::fprintf(stderr, "%sohmlog: %s\n", priority_prefix(severity), message.c_str());
    keep_message(severity, message);
}

void say_summary(const std::string& lines)
{
    std::fputs(lines.c_str(), stderr);
    keep_message(Severity::info, lines.rfind("ohmlog: ", 0) == 0 ? lines.substr(8) : lines);
}

bool stderr_is_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

std::size_t terminal_width()
{
    if (terminal_size.resized.exchange(false)) {
        winsize size{};
        terminal_size.columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    }
    return terminal_size.columns;
}

bool stdout_is_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

void use_binary_stdout() {}

const char* ports_usage()
{
    return "  PORT                 COMn (any case), that is /dev/ttyS(n-1), or the path of a\n"
           "                       device such as /dev/ttyUSB0\n";
}

const char* signals_usage()
{
    return "SIGTERM and SIGHUP end the run as Ctrl-C does; SIGUSR1 opens the CSV again at\n"
           "its path (log rotation).\n";
}

std::string unopenable(const std::string& port)
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
        return "permission denied; " + who_may_open(node);
    }
    return "";
}

std::string open_failure(const std::string& port)
{
    // What the failed open left: the caller asks right after it.
    const int error = errno;
    std::string why = unopenable(port);
    if (!why.empty()) {
        return why;
    }
    switch (error) {
    case EACCES: return "permission denied";
    // The mode lets us in, the device cgroup does not.
    case EPERM:
        return "not permitted: a device policy forbids it, such as a service's DeviceAllow=; "
               "a drop-in allows it (SERVICE in ohmlog(1))";
    case EBUSY:
    case EWOULDBLOCK: return "in use by another program";
    // A node whose driver has no device there: a UART that is not fitted, an unloaded driver.
    case ENXIO:
    case ENODEV:
    case EIO: return "no device behind it";
    default:
        return error == 0 ? "in use by another program, or not a serial port"
                          : std::strerror(error);
    }
}

std::string port_identity(const std::string& port)
{
    const std::string device = device_for_port_name(port);
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(device, error);
    return device.empty() ? port : error ? device : resolved.string();
}

bool is_port_name(const std::string& port)
{
    return com_port_number(port) > 0 || (!port.empty() && port[0] == '/');
}

const char* port_name_forms()
{
    return "a port is COMn or the path of a device, such as /dev/ttyUSB0";
}

bool holds_no_device(const std::string& port)
{
    struct stat node {};
    return !port.empty() && port[0] == '/' && stat(port.c_str(), &node) == 0 &&
           !S_ISCHR(node.st_mode);
}

int process_id()
{
    return static_cast<int>(getpid());
}

bool listening_address_reusable()
{
    return true;
}

WriteEnd write_out(std::FILE* file, const std::string& text)
{
    // A pipe that polls writable has a page free: a row, far shorter, goes in without blocking.
    // A reader that has gone polls as an error, which the write itself then tells.
    pollfd output{fileno(file), POLLOUT, 0};
    std::chrono::steady_clock::time_point stop_seen{};
    for (int ready = 0; ready == 0 || (ready < 0 && errno == EINTR);) {
        ready = poll(&output, 1, 100);
        if (ready <= 0 && stop_grace_over(stop_seen)) {
            return WriteEnd::unread;
        }
    }
    return std::fputs(text.c_str(), file) >= 0 && std::fflush(file) == 0 ? WriteEnd::written
                                                                         : WriteEnd::failed;
}

namespace {

FileIdentity identity_of_status(const struct stat& status)
{
    return {true, static_cast<std::uint64_t>(status.st_dev),
            static_cast<std::uint64_t>(status.st_ino), S_ISREG(status.st_mode),
            static_cast<std::uint64_t>(status.st_size)};
}

} // namespace

FileIdentity identity_of_open(std::FILE* file)
{
    struct stat status {};
    return fstat(fileno(file), &status) == 0 ? identity_of_status(status) : FileIdentity{};
}

FileIdentity identity_of_path(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? identity_of_status(status) : FileIdentity{};
}

bool folder_writable(const std::string& path)
{
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return access(folder.empty() ? "." : folder.c_str(), W_OK) == 0;
}

namespace {

// A claim lies in bytes far past any end, which no write reaches: the first is the claim, and
// its holder also takes the one its process id counts from the second, so that another process
// may ask who holds it. Locks of the open file (not of the process) stay while another
// descriptor of the same file is opened and closed, as the page's /log.csv does.
constexpr off_t CLAIM_AT = off_t{1} << 62;
constexpr off_t HOLDER_IDS = off_t{1} << 32;

bool lock_bytes(int descriptor, int command, off_t at, off_t length, struct flock& lock)
{
    lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = at;
    lock.l_len = length;
    return fcntl(descriptor, command, &lock) == 0;
}

} // namespace

bool claim_file(std::FILE* file, int& holder)
{
    const int descriptor = fileno(file);
    struct flock lock {};
    if (lock_bytes(descriptor, F_OFD_SETLK, CLAIM_AT, 1, lock)) {
        lock_bytes(descriptor, F_OFD_SETLK, CLAIM_AT + 1 + getpid(), 1, lock);
        return true;
    }
    if (errno != EAGAIN && errno != EACCES) {
        return true;
    }
    holder = lock_bytes(descriptor, F_OFD_GETLK, CLAIM_AT + 1, HOLDER_IDS, lock) &&
                     lock.l_type != F_UNLCK
                 ? static_cast<int>(lock.l_start - CLAIM_AT - 1)
                 : 0;
    return false;
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

std::FILE* open_to_append(const std::string& path)
{
    return std::fopen(path.c_str(), "ab");
}

std::filesystem::path file_path(const std::string& name)
{
    return name;
}

std::string file_name(const std::filesystem::path& path)
{
    return path.string();
}

bool is_device_name(const std::string&)
{
    return false;
}

bool usable_as_names(const std::string&)
{
    return true;
}

bool replace_file(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
}

namespace {

// The environment of a command: ours in place of the same names, the MQTT password left out.
std::vector<std::string> command_environment(const std::vector<std::string>& ours)
{
    std::vector<std::string> variables = ours;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('=') + 1);
        const bool left_out = name == "OHM_MQTT_PASSWORD=" ||
                              std::any_of(ours.begin(), ours.end(), [&](const std::string& mine) {
                                  return mine.compare(0, name.size(), name) == 0;
                              });
        if (!left_out) {
            variables.push_back(variable);
        }
    }
    return variables;
}

void release(ChildProcess& child)
{
    if (child.waiter >= 0) {
        close(static_cast<int>(child.waiter));
    }
    child = ChildProcess{};
}

} // namespace

bool start_command(const std::string& command, const std::vector<std::string>& environment,
                   ChildProcess& child)
{
    std::vector<std::string> variables = command_environment(environment);
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
    // Closing every descriptor above the three in the child reaches those that libraries open
    // without close-on-exec (Asio's sockets, libmosquitto's), and those another thread opens
    // meanwhile.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // sigfillset leaves out the two signals glibc keeps for its threads, which the spawn would
    // then leave ignored in the child: every bit set reaches them too.
    sigset_t every;
    std::memset(&every, 0xff, sizeof every);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &every);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETPGROUP);
    pid_t process = 0;
    const int failed = posix_spawn(&process, "/bin/sh", &actions, &attributes, argv, envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        return false;
    }
    child.process = process;
    // glibc 2.36 declares pidfd_open for C only.
    child.waiter = syscall(SYS_pidfd_open, process, 0);
    return true;
}

bool wait_for_command(ChildProcess& child, std::chrono::milliseconds longest, CommandEnd& end)
{
    const auto process = static_cast<pid_t>(child.process);
    int status = 0;
    pid_t done = waitpid(process, &status, WNOHANG);
    if (done == 0 && child.waiter >= 0) {
        pollfd ended{static_cast<int>(child.waiter), POLLIN, 0};
        poll(&ended, 1, static_cast<int>(longest.count()));
        done = waitpid(process, &status, WNOHANG);
    } else if (done == 0) {
        // A kernel without process descriptors (before 5.3): look again soon.
        std::this_thread::sleep_for(std::min(longest, std::chrono::milliseconds(20)));
        done = waitpid(process, &status, WNOHANG);
    }
    if (done == 0 || (done < 0 && errno == EINTR)) {
        return false;
    }
    end = CommandEnd{};
    if (done > 0) {
        end.status = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
        end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    release(child);
    return true;
}

void end_command(ChildProcess& child)
{
    if (child.process <= 0) {
        return;
    }
    kill(-static_cast<pid_t>(child.process), SIGKILL);
    // A killed process ends at once, unless it is stuck in the kernel (a hung network file
    // system): that one is left behind rather than waited for.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    CommandEnd ended;
    while (!wait_for_command(child, std::chrono::milliseconds(100), ended) &&
           std::chrono::steady_clock::now() < until) {
    }
    release(child);
}

std::tm calendar_fields(std::time_t moment, bool in_utc)
{
    std::tm fields{};
    if (in_utc) {
        gmtime_r(&moment, &fields);
    } else {
        localtime_r(&moment, &fields);
    }
    return fields;
}

std::string host_name()
{
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "ohmlog";
}

void notify_service_manager(const std::string& state)
{
    sd_notify(0, state.c_str());
}

std::chrono::microseconds watchdog_interval()
{
    std::uint64_t microseconds = 0;
    return std::chrono::microseconds(sd_watchdog_enabled(0, &microseconds) > 0 ? microseconds : 0);
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

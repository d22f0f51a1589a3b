#include "process.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::vector<std::string> merged_environment(const std::vector<std::string>& additions)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string current = *entry;
        const std::string key = current.substr(0, current.find('='));
        bool replaced = false;
        for (const auto& addition : additions) {
            replaced = replaced || addition.substr(0, addition.find('=')) == key;
        }
        if (!replaced) {
            merged.push_back(current);
        }
    }
    merged.insert(merged.end(), additions.begin(), additions.end());
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (auto& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

struct Pipes {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
};

pid_t spawn(const Launch& launch, Pipes& pipes)
{
    if (pipe2(pipes.in, O_CLOEXEC) != 0 || pipe2(pipes.out, O_CLOEXEC) != 0 ||
        pipe2(pipes.err, O_CLOEXEC) != 0) {
        return -1;
    }
    std::vector<std::string> argv = launch.argv;
    std::vector<std::string> env = merged_environment(launch.environment);
    auto argv_pointers = pointers(argv);
    auto env_pointers = pointers(env);
    const pid_t pid = fork();
    if (pid == 0) {
        if (launch.new_session) {
            setsid();
            if (!launch.controlling_terminal.empty()) {
                // A session leader without a terminal acquires the first one it opens.
                const int terminal = open(launch.controlling_terminal.c_str(), O_RDWR);
                if (terminal > 2) {
                    close(terminal);
                }
            }
        }
        if (!launch.working_dir.empty() && chdir(launch.working_dir.c_str()) != 0) {
            _exit(126);
        }
        dup2(launch.stdin_fd >= 0 ? launch.stdin_fd : pipes.in[0], 0);
        dup2(launch.stdout_path.empty() ? pipes.out[1]
                                        : open(launch.stdout_path.c_str(), O_WRONLY | O_APPEND),
             1);
        if (launch.stderr_path.empty()) {
            dup2(pipes.err[1], 2);
        } else {
            const int err = open(launch.stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(err, 2);
        }
        signal(SIGPIPE, SIG_DFL);
        execve(argv_pointers[0], argv_pointers.data(), env_pointers.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv_pointers[0], std::strerror(errno));
        _exit(127);
    }
    close(pipes.in[0]);
    close(pipes.out[1]);
    close(pipes.err[1]);
    return pid;
}

int status_of(int raw)
{
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

} // namespace

double monotonic_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double seconds_since(double start)
{
    return monotonic_seconds() - start;
}

ProcessResult run_process(const Launch& launch)
{
    signal(SIGPIPE, SIG_IGN);
    ProcessResult result;
    Pipes pipes;
    const double start = monotonic_seconds();
    const pid_t pid = spawn(launch, pipes);
    if (pid < 0) {
        return result;
    }
    std::size_t written = 0;
    if (launch.input.empty()) {
        close(pipes.in[1]);
        pipes.in[1] = -1;
    }
    bool out_open = true;
    bool err_open = true;
    while (out_open || err_open) {
        const int left_ms = launch.timeout_ms - static_cast<int>(seconds_since(start) * 1000.0);
        if (left_ms <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd watch[3] = {{out_open ? pipes.out[0] : -1, POLLIN, 0},
                           {err_open ? pipes.err[0] : -1, POLLIN, 0},
                           {pipes.in[1], POLLOUT, 0}};
        if (poll(watch, 3, left_ms) < 0 && errno != EINTR) {
            break;
        }
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (watch[i].revents == 0) {
                continue;
            }
            const ssize_t count = read(watch[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(count));
            } else {
                (i == 0 ? out_open : err_open) = false;
            }
        }
        if (watch[2].revents != 0) {
            const ssize_t count =
                write(pipes.in[1], launch.input.data() + written, launch.input.size() - written);
            written += count > 0 ? static_cast<std::size_t>(count) : launch.input.size();
            if (written >= launch.input.size()) {
                close(pipes.in[1]);
                pipes.in[1] = -1;
            }
        }
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    result.exit_status = result.timed_out ? -1 : status_of(raw);
    result.seconds = seconds_since(start);
    for (int fd : {pipes.in[1], pipes.out[0], pipes.err[0]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    return result;
}

BackgroundProcess::BackgroundProcess(const Launch& launch)
{
    Launch quiet = launch;
    if (quiet.stderr_path.empty()) {
        quiet.stderr_path = "/dev/null";
    }
    Pipes pipes;
    pid_ = spawn(quiet, pipes);
    if (pipes.in[1] >= 0) {
        close(pipes.in[1]);
    }
    if (pipes.err[0] >= 0) {
        close(pipes.err[0]);
    }
    out_ = pipes.out[0];
}

BackgroundProcess::~BackgroundProcess()
{
    stop();
    if (out_ >= 0) {
        close(out_);
    }
}

std::string BackgroundProcess::read_line(int timeout_ms)
{
    const double start = monotonic_seconds();
    for (;;) {
        const auto end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        const int left_ms = timeout_ms - static_cast<int>(seconds_since(start) * 1000.0);
        pollfd watch{out_, POLLIN, 0};
        if (left_ms <= 0 || poll(&watch, 1, left_ms) <= 0) {
            return std::string();
        }
        char buffer[512];
        const ssize_t count = read(out_, buffer, sizeof buffer);
        if (count <= 0) {
            return std::string();
        }
        buffered_.append(buffer, static_cast<std::size_t>(count));
    }
}

std::string BackgroundProcess::read_rest(int timeout_ms)
{
    const double start = monotonic_seconds();
    std::string rest = buffered_;
    buffered_.clear();
    for (;;) {
        const int left_ms = timeout_ms - static_cast<int>(seconds_since(start) * 1000.0);
        pollfd watch{out_, POLLIN, 0};
        if (left_ms <= 0 || poll(&watch, 1, left_ms) <= 0) {
            return rest;
        }
        char buffer[4096];
        const ssize_t count = read(out_, buffer, sizeof buffer);
        if (count <= 0) {
            return rest;
        }
        rest.append(buffer, static_cast<std::size_t>(count));
    }
}

bool BackgroundProcess::running()
{
    if (reaped_ || pid_ <= 0) {
        return false;
    }
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = status_of(raw);
        return false;
    }
    return true;
}

int BackgroundProcess::wait(int timeout_ms)
{
    const double start = monotonic_seconds();
    while (running()) {
        if (seconds_since(start) * 1000.0 > timeout_ms) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

void BackgroundProcess::stop()
{
    if (running()) {
        kill(pid_, SIGTERM);
        if (wait(2000) < 0 && running()) {
            kill(pid_, SIGKILL);
            wait(2000);
        }
    }
}

// Compared by device and inode: another session's /dev/pts/0 is another file.
std::vector<pid_t> processes_holding(const std::string& path)
{
    std::vector<pid_t> holders;
    struct stat wanted {};
    if (stat(path.c_str(), &wanted) != 0) {
        return holders;
    }
    DIR* processes = opendir("/proc");
    while (processes != nullptr) {
        const dirent* process = readdir(processes);
        if (process == nullptr) {
            break;
        }
        const std::string fd_dir = std::string("/proc/") + process->d_name + "/fd";
        DIR* descriptors = process->d_name[0] >= '1' && process->d_name[0] <= '9'
                               ? opendir(fd_dir.c_str())
                               : nullptr;
        bool holds = false;
        while (descriptors != nullptr && !holds) {
            const dirent* descriptor = readdir(descriptors);
            if (descriptor == nullptr) {
                break;
            }
            struct stat open_file {};
            holds = stat((fd_dir + "/" + descriptor->d_name).c_str(), &open_file) == 0 &&
                    open_file.st_dev == wanted.st_dev && open_file.st_ino == wanted.st_ino;
        }
        if (descriptors != nullptr) {
            closedir(descriptors);
        }
        if (holds) {
            holders.push_back(static_cast<pid_t>(std::strtol(process->d_name, nullptr, 10)));
        }
    }
    if (processes != nullptr) {
        closedir(processes);
    }
    return holders;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string make_temp_dir(const std::string& stem)
{
    std::string pattern = "/tmp/" + stem + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        return std::string();
    }
    return pattern;
}

void remove_tree(const std::string& path)
{
    if (path.rfind("/tmp/", 0) == 0 && path.size() > 5) {
        Launch remove;
        remove.argv = {"/bin/rm", "-rf", path};
        run_process(remove);
    }
}

std::string visible(const std::string& bytes)
{
    std::string shown;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        }
    }
    return shown;
}

int open_stalled_pipe(const std::string& path)
{
    if (mkfifo(path.c_str(), 0600) != 0) {
        return -1;
    }
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return reader >= 0 && fcntl(reader, F_SETPIPE_SZ, 8192) >= 0 ? reader : -1;
}

bool writer_blocked(int reader, int timeout_ms)
{
    int before = -1;
    int same = 0;
    for (const double start = monotonic_seconds();
         same < 15 && seconds_since(start) * 1000 < timeout_ms;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int waiting = 0;
        ioctl(reader, FIONREAD, &waiting);
        same = waiting > 4096 && waiting == before ? same + 1 : 0;
        before = waiting;
    }
    return same == 15;
}

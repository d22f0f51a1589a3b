#include "pty_pair.h"

#include "process.h"

#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    // Programs the test starts must not inherit the line.
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master);
    unlockpt(master);
    slave_path = ptsname(master);
    held_slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    tcgetattr(held_slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(held_slave, TCSANOW, &raw);
}

PtyPair::~PtyPair()
{
    hang_up();
}

void PtyPair::hang_up()
{
    for (int* fd : {&holder, &held_slave, &master}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

int PtyPair::hold(const std::string& pending_input)
{
    holder = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    flock(holder, LOCK_EX | LOCK_NB);
    termios settings{};
    tcgetattr(holder, &settings);
    cfsetispeed(&settings, B600);
    cfsetospeed(&settings, B600);
    tcsetattr(holder, TCSANOW, &settings);
    send(pending_input);
    const double start = monotonic_seconds();
    while (this->pending_input() < static_cast<int>(pending_input.size()) &&
           seconds_since(start) < 2.0) {
        poll(nullptr, 0, 1);
    }
    return holder;
}

int PtyPair::pending_input() const
{
    int waiting = 0;
    ioctl(held_slave, FIONREAD, &waiting);
    return waiting;
}

std::string PtyPair::receive(int timeout_ms, std::size_t expected)
{
    std::string bytes;
    const double start = monotonic_seconds();
    while (bytes.size() < expected) {
        const int left_ms = timeout_ms - static_cast<int>(seconds_since(start) * 1000.0);
        pollfd watch{master, POLLIN, 0};
        if (left_ms <= 0 || poll(&watch, 1, left_ms) <= 0) {
            break;
        }
        char buffer[512];
        const ssize_t count = read(master, buffer, sizeof buffer);
        if (count <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    return bytes;
}

void PtyPair::send(const std::string& bytes)
{
    const ssize_t written = write(master, bytes.data(), bytes.size());
    (void)written;
}

int open_descriptor_count()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count - 3; // ".", ".." and the directory's own descriptor
}

// The POSIX form of the serial link, on termios.
#if defined(_WIN32)
#error "serial_link_posix.cpp is the POSIX form; Windows builds take serial_link_win32.cpp"
#endif

#include "serial_link.h"

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The terminal settings each device had before we configured it, by descriptor, so that
// closing a port leaves the device as other programs expect to find it. Ports may be opened and
// closed from threads of their own (ohmlog's meters).
struct SavedSettings {
    std::mutex lock;
    std::map<int, termios> by_descriptor;
};
SavedSettings saved_settings CONSTRUCTED_EARLY;

using Clock = std::chrono::steady_clock;

// The time-outs of the Windows form, which callers rely on on every platform.
constexpr int READ_INTERVAL_MS = 100;
constexpr int READ_MS_PER_BYTE = 10;
constexpr int READ_CONSTANT_MS = 100;
constexpr int WRITE_MS_PER_BYTE = 100;
constexpr int WRITE_CONSTANT_MS = 10;

bool speed_for(std::int32_t baud, speed_t& speed)
{
    static const std::map<std::int32_t, speed_t> speeds{
        {0, B0},         {50, B50},       {75, B75},       {110, B110},
        {150, B150},     {300, B300},     {600, B600},     {1200, B1200},
        {1800, B1800},   {2400, B2400},   {4800, B4800},   {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    const auto found = speeds.find(baud);
    if (found == speeds.end()) {
        return false;
    }
    speed = found->second;
    return true;
}

bool size_for(std::int32_t data_bits, tcflag_t& size)
{
    switch (data_bits) {
    case 5: size = CS5; return true;
    case 6: size = CS6; return true;
    case 7: size = CS7; return true;
    case 8: size = CS8; return true;
    default: return false;
    }
}

// Builds the whole termios from zero so that nothing of an earlier user survives.
bool terminal_settings_for(const LineSettings& settings, termios& terminal)
{
    speed_t speed = 0;
    tcflag_t size = 0;
    if (!speed_for(settings.baud, speed) || !size_for(settings.data_bits, size) ||
        settings.handshake < 0 || settings.handshake > 3) {
        return false;
    }
    terminal = termios{};
    terminal.c_iflag = IGNPAR | ICRNL;
    terminal.c_cflag = speed | size | CREAD | CLOCAL;
    if (settings.stop_bits != 1.0f) {
        terminal.c_cflag |= CSTOPB;
    }
    if (settings.handshake == 2) {
        terminal.c_cflag |= CRTSCTS;
    }
    if (settings.handshake == 3) {
        terminal.c_iflag |= IXON | IXOFF | IXANY;
    }
    terminal.c_cc[VEOF] = 4;
    terminal.c_cc[VMIN] = 1;
    terminal.c_cc[VTIME] = 0;
    terminal.c_cc[VSTART] = 17;
    terminal.c_cc[VSTOP] = 19;
    return true;
}

// Descriptor 0 would read as a free slot in the table; move the device off it.
int off_descriptor_zero(int descriptor)
{
    if (descriptor != 0) {
        return descriptor;
    }
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, 1);
    close(descriptor);
    return moved;
}

// A pseudo-terminal (a simulated meter, socat's bridge, a network port's local end) lives as
// long as its other end is open, and its exclusive mode with it.
bool is_pseudo_terminal(int descriptor)
{
    struct statfs volume {};
    return fstatfs(descriptor, &volume) == 0 && volume.f_type == DEVPTS_SUPER_MAGIC;
}

// A port that another program holds is left exactly as it is: no flush, no settings. The
// advisory lock is the one other serial programs honour (and our own second open of the same
// device), root's included, and it ends with its holder however that ends. TIOCEXCL keeps out
// the programs that take no lock (libserialport's, cat, stty) when, as usual, they do not run
// as root; but only a close clears it: on a pseudo-terminal, a holder that was killed would
// leave it set, and every later open but root's refused, its own restart's included.
bool take_exclusively(int descriptor)
{
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    if (!is_pseudo_terminal(descriptor)) {
        ioctl(descriptor, TIOCEXCL);
    }
    return true;
}

int descriptor_of(std::int32_t id)
{
    const SerialLink* link = resolve_port(id);
    return link != nullptr ? static_cast<int>(*link) : -1;
}

int milliseconds_until(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A device that has gone (a USB adapter pulled out, the line hung up) reads as end of file or
// fails with one of these; it never comes back on the same descriptor.
bool is_gone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

// Waits for the descriptor to become ready; false on time-out, hang-up or error.
bool wait_ready(int descriptor, short events, int timeout_ms)
{
    pollfd watch{descriptor, events, 0};
    int ready = 0;
    do {
        ready = poll(&watch, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0 && (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        note_link_lost(descriptor);
    }
    return ready > 0 && (watch.revents & events) != 0;
}

std::int32_t modem_line(int descriptor, int bit, std::int32_t value)
{
    const int request = value != 0 ? TIOCMBIS : TIOCMBIC;
    return ioctl(descriptor, request, &bit) == 0 ? 1 : 0;
}

std::int32_t flow_character(int descriptor, int index, std::int32_t value)
{
    termios terminal{};
    if (tcgetattr(descriptor, &terminal) != 0) {
        return 0;
    }
    terminal.c_cc[index] = static_cast<cc_t>(value & 0xFF);
    return tcsetattr(descriptor, TCSANOW, &terminal) == 0 ? 1 : 0;
}

} // namespace

std::int32_t open_port(std::int32_t id, const char* name, const LineSettings& settings)
{
    termios terminal{};
    if (name == nullptr || !identifier_can_open(id) || !terminal_settings_for(settings, terminal)) {
        errno = EINVAL;
        return 0;
    }
    // Not inherited: a program that starts another must not leave the port held by it.
    const int descriptor =
        off_descriptor_zero(open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (descriptor < 0) {
        return 0;
    }
    if (!take_exclusively(descriptor)) {
        // The caller may ask errno why: the port is in use.
        close(descriptor);
        errno = EWOULDBLOCK;
        return 0;
    }
    termios before{};
    if (tcgetattr(descriptor, &before) == 0) {
        const std::lock_guard<std::mutex> hold(saved_settings.lock);
        saved_settings.by_descriptor[descriptor] = before;
    }
    tcflush(descriptor, TCIFLUSH);
    tcsetattr(descriptor, TCSANOW, &terminal);
    return register_port(id, descriptor);
}

// A read of a device that has gone returns end of file at once, which read_bytes notes.
void probe_link(SerialLink) {}

void release_link(SerialLink link)
{
    const int descriptor = static_cast<int>(link);
    {
        const std::lock_guard<std::mutex> hold(saved_settings.lock);
        const auto saved = saved_settings.by_descriptor.find(descriptor);
        if (saved != saved_settings.by_descriptor.end()) {
            tcsetattr(descriptor, TCSANOW, &saved->second);
            saved_settings.by_descriptor.erase(saved);
        }
    }
    // The exclusive mode outlives our descriptor while others hold the device; the lock goes
    // with the descriptor.
    if (!is_pseudo_terminal(descriptor)) {
        ioctl(descriptor, TIOCNXCL);
    }
    close(descriptor);
}

std::int32_t set_line_state(std::int32_t id, std::int32_t line, std::int32_t value)
{
    const int descriptor = descriptor_of(id);
    if (descriptor < 0) {
        return 0;
    }
    switch (line) {
    case LINE_DTR: return modem_line(descriptor, TIOCM_DTR, value);
    case LINE_RTS: return modem_line(descriptor, TIOCM_RTS, value);
    case LINE_BREAK: return ioctl(descriptor, value != 0 ? TIOCSBRK : TIOCCBRK) == 0 ? 1 : 0;
    case LINE_XON_CHAR: return flow_character(descriptor, VSTART, value);
    case LINE_XOFF_CHAR: return flow_character(descriptor, VSTOP, value);
    default: return 0;
    }
}

std::int32_t write_text(std::int32_t id, const char* text)
{
    const int descriptor = descriptor_of(id);
    if (text == nullptr || descriptor < 0) {
        return 0;
    }
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(WRITE_MS_PER_BYTE * static_cast<long>(length) +
                                                 WRITE_CONSTANT_MS);
    std::size_t written = 0;
    while (written < length) {
        const ssize_t count = write(descriptor, text + written, length - written);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && errno == EAGAIN) {
            if (!wait_ready(descriptor, POLLOUT, milliseconds_until(deadline))) {
                break;
            }
        } else {
            if (count < 0 && is_gone(errno)) {
                note_link_lost(descriptor);
            }
            break;
        }
    }
    return static_cast<std::int32_t>(written);
}

std::int32_t read_bytes(std::int32_t id, void* buffer, std::int32_t count)
{
    const int descriptor = descriptor_of(id);
    if (buffer == nullptr || count <= 0 || descriptor < 0) {
        return 0;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    const auto start = Clock::now();
    const auto total_deadline =
        start +
        std::chrono::milliseconds(READ_MS_PER_BYTE * static_cast<long>(count) + READ_CONSTANT_MS);
    std::int32_t received = 0;
    auto interval_deadline = total_deadline;
    while (received < count) {
        const ssize_t got =
            read(descriptor, bytes + received, static_cast<std::size_t>(count - received));
        if (got > 0) {
            received += static_cast<std::int32_t>(got);
            interval_deadline = Clock::now() + std::chrono::milliseconds(READ_INTERVAL_MS);
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0 || is_gone(errno)) {
            note_link_lost(descriptor);
        }
        if (got == 0 || errno != EAGAIN) {
            break; // hung up or failed: what has arrived is the result
        }
        const auto deadline = std::min(total_deadline, interval_deadline);
        if (!wait_ready(descriptor, POLLIN, milliseconds_until(deadline))) {
            break;
        }
    }
    return received;
}

std::int32_t input_pending(std::int32_t id)
{
    const int descriptor = descriptor_of(id);
    int waiting = 0;
    if (descriptor < 0) {
        return 0;
    }
    if (ioctl(descriptor, FIONREAD, &waiting) != 0) {
        if (is_gone(errno)) {
            note_link_lost(descriptor);
        }
        return 0;
    }
    return waiting;
}

std::int32_t wait_for_input(std::int32_t id, std::int32_t timeout_ms)
{
    const int descriptor = descriptor_of(id);
    return descriptor >= 0 && wait_ready(descriptor, POLLIN, std::max(timeout_ms, 0)) ? 1 : 0;
}

std::int32_t port_is_serial_line(std::int32_t id)
{
    const int descriptor = descriptor_of(id);
    return descriptor >= 0 && isatty(descriptor) == 1 ? 1 : 0;
}

void discard_input(std::int32_t id)
{
    const int descriptor = descriptor_of(id);
    if (descriptor >= 0) {
        tcflush(descriptor, TCIFLUSH);
    }
}

// Port n is /dev/ttyS(n-1): COM1 is /dev/ttyS0, as in Wine and the DOS emulators.
std::string serial_port_device(std::int32_t n)
{
    return "/dev/ttyS" + std::to_string(n - 1);
}

// Only a device: a relative name would open a file in the caller's working directory, and a
// reading would then write its request into it.
std::string device_for_port_name(const std::string& name)
{
    const std::int32_t n = com_port_number(name);
    if (n > 0) {
        return serial_port_device(n);
    }
    struct stat node {};
    const bool is_device_path =
        !name.empty() && name[0] == '/' && stat(name.c_str(), &node) == 0 && S_ISCHR(node.st_mode);
    return is_device_path ? name : std::string();
}

// Test-only preload library: a pseudo-terminal holds neither 7 data bits nor modem lines, so
// the line settings and modem lines a program asks for cannot be read back from the meter's
// end. This library wraps tcsetattr and the modem ioctls for pseudo-terminal slaves:
//   - it appends what was asked for to $OHM_LINE_LOG, one line per request;
//   - it keeps the DTR and RTS a program set in $OHM_LINE_STATE_DIR/pts-N, where metersim
//     --lines-dir reads them; opening the device raises both, as a real port's driver does,
//     so a meter stays unpowered unless the program really lowers RTS;
//   - it turns the EINVAL a pseudo-terminal gives for settings it cannot hold into success,
//     as a real port would accept them.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct ModemLines {
    int dtr;
    int rts;
};

int pty_number(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) {
        return -1;
    }
    const unsigned int major_number = major(status.st_rdev);
    if (major_number < 136 || major_number > 143) {
        return -1;
    }
    return static_cast<int>((major_number - 136) * 256 + minor(status.st_rdev));
}

void log_line(const char* line)
{
    const char* path = std::getenv("OHM_LINE_LOG");
    if (path == nullptr) {
        return;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        const ssize_t ignored = write(fd, line, std::strlen(line));
        (void)ignored;
        close(fd);
    }
}

void log_line_state(int pty, const char* line_name, int value)
{
    char line[64];
    std::snprintf(line, sizeof line, "pts=%d %s=%d\n", pty, line_name, value);
    log_line(line);
}

// "dtr=1 rts=0": the value after each name, 0 when it is missing.
int value_after(const char* text, const char* name)
{
    const char* found = std::strstr(text, name);
    return found != nullptr ? static_cast<int>(std::strtol(found + std::strlen(name), nullptr, 10))
                            : 0;
}

bool state_path(int pty, char* path, std::size_t size)
{
    const char* dir = std::getenv("OHM_LINE_STATE_DIR");
    return dir != nullptr && std::snprintf(path, size, "%s/pts-%d", dir, pty) > 0;
}

constexpr ModemLines RAISED{1, 1};

ModemLines load_lines(int pty)
{
    ModemLines lines = RAISED;
    char path[512];
    if (!state_path(pty, path, sizeof path)) {
        return lines;
    }
    if (FILE* file = std::fopen(path, "r")) {
        char text[64] = {};
        if (std::fgets(text, sizeof text, file) != nullptr) {
            lines = ModemLines{value_after(text, "dtr="), value_after(text, "rts=")};
        }
        std::fclose(file);
    }
    return lines;
}

void store_lines(int pty, ModemLines lines)
{
    char path[512];
    char temporary[520];
    if (!state_path(pty, path, sizeof path)) {
        return;
    }
    std::snprintf(temporary, sizeof temporary, "%s.%d", path, static_cast<int>(getpid()));
    if (FILE* file = std::fopen(temporary, "w")) {
        std::fprintf(file, "dtr=%d rts=%d\n", lines.dtr, lines.rts);
        std::fclose(file);
        std::rename(temporary, path);
    }
}

int speed_value(speed_t speed)
{
    static const struct {
        speed_t code;
        int baud;
    } speeds[] = {{B0, 0},         {B50, 50},        {B75, 75},       {B110, 110},
                  {B134, 134},     {B150, 150},      {B200, 200},     {B300, 300},
                  {B600, 600},     {B1200, 1200},    {B1800, 1800},   {B2400, 2400},
                  {B4800, 4800},   {B9600, 9600},    {B19200, 19200}, {B38400, 38400},
                  {B57600, 57600}, {B115200, 115200}};
    for (const auto& entry : speeds) {
        if (entry.code == speed) {
            return entry.baud;
        }
    }
    return -1;
}

int data_bits(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

int modem_ioctl(int pty, unsigned long request, int* bits)
{
    ModemLines lines = load_lines(pty);
    if (request == TIOCMGET) {
        *bits = (lines.dtr ? TIOCM_DTR : 0) | (lines.rts ? TIOCM_RTS : 0);
        return 0;
    }
    const ModemLines before = lines;
    if (request == TIOCMSET) {
        lines.dtr = (*bits & TIOCM_DTR) != 0;
        lines.rts = (*bits & TIOCM_RTS) != 0;
    } else {
        const int value = request == TIOCMBIS ? 1 : 0;
        if (*bits & TIOCM_DTR) {
            lines.dtr = value;
        }
        if (*bits & TIOCM_RTS) {
            lines.rts = value;
        }
    }
    if (request == TIOCMSET || (*bits & TIOCM_DTR)) {
        log_line_state(pty, "dtr", lines.dtr);
    }
    if (request == TIOCMSET || (*bits & TIOCM_RTS)) {
        log_line_state(pty, "rts", lines.rts);
    }
    if (before.dtr != lines.dtr || before.rts != lines.rts || request == TIOCMSET ||
        request == TIOCMBIS || request == TIOCMBIC) {
        store_lines(pty, lines);
    }
    return 0;
}

using RealOpen = int (*)(const char*, int, ...);

int opened_with_lines_raised(int fd)
{
    const int pty = fd >= 0 ? pty_number(fd) : -1;
    if (pty >= 0) {
        store_lines(pty, RAISED);
    }
    return fd;
}

mode_t mode_argument(int flags, va_list& arguments)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

template <typename Real>
Real next_symbol(const char* name)
{
    return reinterpret_cast<Real>(dlsym(RTLD_NEXT, name));
}

} // namespace

// Opening: the C library declares these variadic; the wrappers must match. Our link opens with
// open, 32-bit Wine with open64; Wine opens COM devices in its wineserver, which the session
// preloads too.
// NOLINTBEGIN(cert-dcl50-cpp, readability-inconsistent-declaration-parameter-name)
extern "C" int open(const char* path, int flags, ...)
{
    static const auto real = next_symbol<RealOpen>("open");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return opened_with_lines_raised(real(path, flags, mode));
}

extern "C" int open64(const char* path, int flags, ...)
{
    static const auto real = next_symbol<RealOpen>("open64");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return opened_with_lines_raised(real(path, flags, mode));
}

// NOLINTEND(cert-dcl50-cpp, readability-inconsistent-declaration-parameter-name)

// The C library's own names for these parameters are reserved ones; ours read better.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int tcsetattr(int fd, int action, const struct termios* settings)
{
    using Real = int (*)(int, int, const struct termios*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    const int pty = pty_number(fd);
    if (pty >= 0 && settings != nullptr) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "pts=%d tcsetattr speed=%d csize=%d cstopb=%d parenb=%d crtscts=%d ixon=%d "
                      "ixoff=%d\n",
                      pty, speed_value(cfgetospeed(settings)), data_bits(settings->c_cflag),
                      (settings->c_cflag & CSTOPB) != 0, (settings->c_cflag & PARENB) != 0,
                      (settings->c_cflag & CRTSCTS) != 0, (settings->c_iflag & IXON) != 0,
                      (settings->c_iflag & IXOFF) != 0);
        log_line(line);
    }
    const int result = real(fd, action, settings);
    if (result != 0 && pty >= 0 && errno == EINVAL) {
        return 0;
    }
    return result;
}

namespace {

using RealIoctl = int (*)(int, unsigned long, void*);

int modem_or_real_ioctl(RealIoctl real, int fd, unsigned long request, void* argument)
{
    const bool modem_request =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (modem_request && argument != nullptr) {
        const int pty = pty_number(fd);
        if (pty >= 0) {
            return modem_ioctl(pty, request, static_cast<int*>(argument));
        }
    }
    return real(fd, request, argument);
}

} // namespace

// The C library declares ioctl variadic; a wrapper must match it.
// NOLINTNEXTLINE(cert-dcl50-cpp, readability-inconsistent-declaration-parameter-name)
extern "C" int ioctl(int fd, unsigned long request, ...)
{
    static const auto real = next_symbol<RealIoctl>("ioctl");
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return modem_or_real_ioctl(real, fd, request, argument);
}

#if defined(__i386__)
// 32-bit programs built with a 64-bit time_t (32-bit Wine among them) call this name instead.
// NOLINTNEXTLINE(cert-dcl50-cpp, bugprone-reserved-identifier, cert-dcl37-c, cert-dcl51-cpp)
extern "C" int __ioctl_time64(int fd, unsigned long request, ...)
{
    static const auto real = next_symbol<RealIoctl>("__ioctl_time64");
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return modem_or_real_ioctl(real, fd, request, argument);
}
#endif

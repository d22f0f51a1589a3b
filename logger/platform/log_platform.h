// What ohmlog needs from its platform; log_platform_posix.cpp and log_platform_win32.cpp give
// it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace logbook {

// Set when the user asks the run to end: Ctrl-C (SIGINT), SIGTERM, a closed terminal
// (SIGHUP), or on Windows the console's control events.
extern std::atomic<bool> stop_requested;

// Set by SIGUSR1 (log rotation): every output is to be closed and opened again at its path.
// Never set on Windows, which has no such signal.
extern std::atomic<bool> reopen_requested;

// The first thing ohmlog does, before it reads or opens anything: standard input, output and
// error that were closed are the null device (a file opened later must not take their place,
// or messages would land in it), and SIGUSR1 sets reopen_requested, so that a rotation's signal
// never ends ohmlog, whatever it is doing. A signal ignored when ohmlog started stays ignored;
// one blocked is blocked no more.
void prepare_process();
// Whether standard output was closed when ohmlog started: the null device now, where rows
// would be lost unsaid.
bool stdout_was_closed();
// Installs the handlers that set stop_requested. A write that a signal interrupts goes on. A
// signal ignored when ohmlog started (SIGHUP under nohup, SIGINT in a background job) stays
// ignored.
void watch_for_stop();
// The run has written everything: a console that is closing may now end the process.
void run_finished();

// How much a message matters, for those who sort them: the journal's priorities, the Windows
// event log's types.
enum class Severity { error, warning, info };

// One line on standard error, after the program's name; also in the log file, and in a Windows
// service's event log.
void say(Severity severity, const std::string& message);
// Lines of the summary at the end of a run, each ending in a line feed, on standard error as they
// are; also in the log file and the event log, as information.
void say_summary(const std::string& lines);
// Every message from now on also added to the file (--log-file), a line each with its time
// (UTC) and how much it matters; false with the problem when it cannot be opened.
bool keep_messages_in(const std::string& path, std::string& problem);
// What say() and say_summary() add to that file.
void keep_message(Severity severity, const std::string& message);
// A message as that file holds it: "2026-12-09T07:14:29Z error: cannot open COM3: ...".
std::string stamped(Severity severity, const std::string& message);

bool stderr_is_terminal();
// The width of the terminal of standard error in columns, 0 when it cannot be told; read again
// when the terminal says that it changed (SIGWINCH on Linux).
std::size_t terminal_width();
bool stdout_is_terminal();
// Rows end in CR LF as written; standard output must not add to them.
void use_binary_stdout();

// The lines of --help that differ between Linux and Windows: what names a port, and what the
// signals (on Windows the console's events) do besides Ctrl-C.
const char* ports_usage();
const char* signals_usage();

// Why the port the user named did not open, in a few words, with a hint where there is one.
std::string open_failure(const std::string& port);
// The same text for two names of one port: COM1 and com1; on Linux COM1 and /dev/ttyS0, or a
// link and the device it leads to.
std::string port_identity(const std::string& port);
// Whether the name can be a port's at all: COMn, or on Linux a device's path (from /), on
// Windows one in the device namespace (\\.\COM10). A relative name never opens a port.
bool is_port_name(const std::string& port);
// What a port's name looks like, for a message that refuses one.
const char* port_name_forms();
// Whether something other than a device is at the port's path now (a file, a folder), which
// never opens as a port; never on Windows, whose ports are names.
bool holds_no_device(const std::string& port);
// Why the port cannot open, as far as that is told without opening it (not there, not a
// device, not this user's); "" when only opening it can tell, and always on Windows.
std::string unopenable(const std::string& port);

int process_id();
// Whether a listening socket may take an address that connections of a program that has ended
// still hold: on Linux, yes; on Windows the same option would let it take a port another
// program listens on.
bool listening_address_reusable();
// Writes `text` to `file` and flushes it: failed with errno set when it could not. Output that
// nobody reads (a pipe whose reader has stalled) is waited for as long as the run goes on, and
// STOP_WRITE_GRACE once it is asked to stop: unread then, the text not written.
enum class WriteEnd { written, failed, unread };
WriteEnd write_out(std::FILE* file, const std::string& text);
constexpr auto STOP_WRITE_GRACE = std::chrono::seconds(2);

// For a wait that the stop cuts short: whether STOP_WRITE_GRACE has passed since the stop was
// first seen (kept in `stop_seen`).
inline bool stop_grace_over(std::chrono::steady_clock::time_point& stop_seen)
{
    if (!stop_requested) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    stop_seen = stop_seen == std::chrono::steady_clock::time_point{} ? now : stop_seen;
    return now - stop_seen >= STOP_WRITE_GRACE;
}

// What tells one file from another: the device and the file's number on it. `known` is false
// when there is no file at that path (or the open file cannot be asked); `regular` for a file
// of bytes (not a device, a pipe or a folder), whose `size` is then told.
struct FileIdentity {
    bool known = false;
    std::uint64_t volume = 0;
    std::uint64_t number = 0;
    bool regular = false;
    std::uint64_t size = 0;
};
inline bool one_file(const FileIdentity& a, const FileIdentity& b)
{
    return a.known && b.known && a.volume == b.volume && a.number == b.number;
}
FileIdentity identity_of_open(std::FILE* file);
FileIdentity identity_of_path(const std::string& path);
// Whether a file could be created in the folder of `path` (as the run's user, read-only
// mounts included), without creating one.
bool folder_writable(const std::string& path);

// Claims an open file for this process (a lock of the open file on Linux, of its handle on
// Windows), until it is closed or the process ends, however it ends: no two processes that
// claim a file write it at once. False when another process holds the claim, with that
// process's id in `holder` (0 when it cannot be told). A file where nothing can be locked (some
// network shares) counts as claimed.
bool claim_file(std::FILE* file, int& holder);

// A file that did not exist, created for writing (binary); nullptr with errno set otherwise.
std::FILE* create_new_file(const std::string& path);
// A file opened for adding to it (binary), made when missing; nullptr with errno set otherwise.
// Others may move or remove it while it is open, on Windows as on Linux.
std::FILE* open_to_append(const std::string& path);
// A name as the C library takes it, as std::filesystem takes it, and back: on Windows the C
// library reads names in the code page of the process, std::filesystem in its own ways.
std::filesystem::path file_path(const std::string& name);
std::string file_name(const std::filesystem::path& path);
// Whether the name is one of the system's devices that no file can take: on Windows NUL, CON,
// COM1 and the like (in any folder, with any extension where Windows reads them so), or a name
// in the device namespace (\\.\); on Linux none (a device is a file there, /dev/null).
bool is_device_name(const std::string& name);
// Whether text read from a file (of options) names files and ports as it was meant to: on
// Windows only UTF-8 does, the process's code page, where a line saved in another one (the
// ANSI code page of older Notepads) names other files; on Linux a name is any bytes.
bool usable_as_names(const std::string& text);
// Puts `from` in the place of `to`, replacing it in one step.
bool replace_file(const std::string& from, const std::string& to);

// A command that start_command started, in a process group (on Windows a job) of its own.
struct ChildProcess {
    std::intptr_t process = -1; // POSIX: its id, which is also its group's; Windows: its handle
    std::intptr_t waiter = -1;  // POSIX: a descriptor readable at its end, or -1; Windows: its job
};

struct CommandEnd {
    int status = 0; // its exit status
    int signal = 0; // POSIX: the signal that ended it, or 0
};

// Starts the command through the system's shell (/bin/sh -c, on Windows cmd /c) as a process
// apart: these KEY=VALUE in its environment in place of the same names, and OHM_MQTT_PASSWORD
// left out; standard input the null device, standard output and error ohmlog's standard
// error, no other descriptor of ohmlog's; every signal at its default, none blocked. False
// when it could not be started.
bool start_command(const std::string& command, const std::vector<std::string>& environment,
                   ChildProcess& child);
// Waits at most `longest` for the command's end: true, with how it ended, once it has.
bool wait_for_command(ChildProcess& child, std::chrono::milliseconds longest, CommandEnd& end);
// Ends the command and every process of its group (its job) at once, and reaps it.
void end_command(ChildProcess& child);

// The calendar fields of a moment, on this machine's clock or in UTC, safe from any thread.
std::tm calendar_fields(std::time_t moment, bool in_utc);

// The name of this machine, for --mqtt-node; "ohmlog" when it has none.
std::string host_name();

// When a service manager started ohmlog (systemd's Type=notify, NOTIFY_SOCKET; Windows' Service
// Control Manager), tells it the run's state: "READY=1", "STATUS=...", "WATCHDOG=1",
// "STOPPING=1" (Windows takes READY=1 and STOPPING=1). Nothing otherwise.
void notify_service_manager(const std::string& state);
// How often the service manager wants to hear WATCHDOG=1 (WatchdogSec); zero when it does not.
std::chrono::microseconds watchdog_interval();
// The IP addresses of this machine's network interfaces that are up, as text ("192.168.1.20",
// "fe80::1%eth0"); none when they cannot be listed.
std::vector<std::string> interface_addresses();

} // namespace logbook

// ohmlog's platform for Windows.
#if !defined(_WIN32)
#error "log_platform_win32.cpp is for Windows builds; POSIX builds take log_platform_posix.cpp"
#endif

#include "log_platform.h"

#include "log_service.h"
#include "serial_link.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
// Winsock's headers before windows.h, which would bring the old Winsock's.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

namespace logbook {

std::atomic<bool> stop_requested{false};
std::atomic<bool> reopen_requested{false};

namespace {

// Set by the run once its rows, plot and summary are out.
HANDLE finished = nullptr;

// Ctrl-C and Ctrl-Break end the run as a normal end. Closing the console, logging off or
// shutting down end the process as soon as this returns: wait for the run's end first. A
// service is told when any user logs off, which is no reason for it to end.
BOOL WINAPI on_console_event(DWORD event)
{
    if (event == CTRL_LOGOFF_EVENT && running_as_service()) {
        return TRUE;
    }
    stop_requested = true;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;
    }
    WaitForSingleObject(finished, 4000);
    return FALSE;
}

} // namespace

// Windows has no SIGUSR1, and a program started without a standard handle writes nowhere.
void prepare_process() {}

bool stdout_was_closed()
{
    return false;
}

void watch_for_stop()
{
    finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void run_finished()
{
    if (finished != nullptr) {
        SetEvent(finished);
    }
}

void say(Severity severity, const std::string& message)
{
    std::fprintf(stderr, "ohmlog: %s\n", message.c_str());
    keep_message(severity, message);
    tell_service(severity, message, false);
}

void say_summary(const std::string& lines)
{
    std::fputs(lines.c_str(), stderr);
    const std::string told = lines.rfind("ohmlog: ", 0) == 0 ? lines.substr(8) : lines;
    keep_message(Severity::info, told);
    tell_service(Severity::info, told, true);
}

bool stderr_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// The console's window, read for each status line: Windows tells a change of its size only
// to a program that reads the console's input.
std::size_t terminal_width()
{
    CONSOLE_SCREEN_BUFFER_INFO console{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &console)) {
        return 0;
    }
    const int columns = console.srWindow.Right - console.srWindow.Left + 1;
    return static_cast<std::size_t>(columns);
}

bool stdout_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void use_binary_stdout()
{
    _setmode(_fileno(stdout), _O_BINARY);
}

const char* ports_usage()
{
    return "  PORT                 COMn (any case), COM10 and above as well\n";
}

const char* signals_usage()
{
    return "Ctrl-Break, and closing the console, end the run as Ctrl-C does.\n";
}

std::string open_failure(const std::string&)
{
    // What CreateFileA left: a failed open returns right after it.
    const DWORD error = GetLastError();
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "no such port";
    case ERROR_ACCESS_DENIED: return "in use by another program";
    default: return "not a serial port that opens (error " + std::to_string(error) + ")";
    }
}

// Windows names a port in any case, and also through the device namespace (\\.\COM10).
std::string port_identity(const std::string& port)
{
    std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    for (char& c : name) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return name;
}

bool is_port_name(const std::string& port)
{
    return com_port_number(port) > 0 || port.rfind("\\\\.\\", 0) == 0;
}

const char* port_name_forms()
{
    return "a port is COMn, or a name such as \\\\.\\CNCA0";
}

bool holds_no_device(const std::string&)
{
    return false;
}

std::string unopenable(const std::string&)
{
    return "";
}

int process_id()
{
    return static_cast<int>(GetCurrentProcessId());
}

bool listening_address_reusable()
{
    return false;
}

namespace {

// One write to a pipe, on a thread of its own.
struct PipeWrite {
    HANDLE pipe;
    std::string text;
    bool written = false;
};

DWORD WINAPI write_to_pipe(LPVOID parameter)
{
    PipeWrite& write = *static_cast<PipeWrite*>(parameter);
    DWORD count = 0;
    std::size_t at = 0;
    write.written = true;
    while (write.written && at < write.text.size()) {
        write.written = WriteFile(write.pipe, write.text.data() + at,
                                  static_cast<DWORD>(write.text.size() - at), &count, nullptr) != 0;
        at += count;
    }
    return 0;
}

} // namespace

WriteEnd write_out(std::FILE* file, const std::string& text)
{
    const auto pipe = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(pipe) != FILE_TYPE_PIPE) {
        return std::fputs(text.c_str(), file) >= 0 && std::fflush(file) == 0 ? WriteEnd::written
                                                                             : WriteEnd::failed;
    }
    // A write to a pipe whose reader has stalled blocks, and nothing interrupts it: it goes on
    // a thread of its own, which is left blocked (with its text) when the run gives it up.
    if (std::fflush(file) != 0) {
        return WriteEnd::failed;
    }
    auto* write = new PipeWrite{pipe, text};
    HANDLE thread = CreateThread(nullptr, 0, write_to_pipe, write, 0, nullptr);
    if (thread == nullptr) {
        delete write;
        errno = EAGAIN;
        return WriteEnd::failed;
    }
    std::chrono::steady_clock::time_point stop_seen{};
    while (WaitForSingleObject(thread, 100) == WAIT_TIMEOUT) {
        if (stop_grace_over(stop_seen)) {
            CloseHandle(thread);
            return WriteEnd::unread;
        }
    }
    CloseHandle(thread);
    const bool written = write->written;
    delete write;
    errno = written ? 0 : EPIPE;
    return written ? WriteEnd::written : WriteEnd::failed;
}

namespace {

FileIdentity identity_of_handle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &information)) {
        return {};
    }
    return {
        true, information.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow,
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0,
        (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow};
}

} // namespace

FileIdentity identity_of_open(std::FILE* file)
{
    return identity_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
}

FileIdentity identity_of_path(const std::string& path)
{
    HANDLE handle =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FileIdentity identity = identity_of_handle(handle);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    return identity;
}

bool folder_writable(const std::string& path)
{
    std::string folder = path.substr(0, path.find_last_of("/\\") + 1);
    folder = folder.empty() ? "." : folder;
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

namespace {

// A claim lies in bytes far past any end, which no write reaches: the first is the claim, and
// its holder also takes the one its process id counts from the second, so that another process
// may find who holds it. Windows' locks bar others' reads and writes of those bytes alone.
constexpr std::uint64_t CLAIM_AT = std::uint64_t{1} << 62;
constexpr std::uint64_t HOLDER_IDS = std::uint64_t{1} << 32;

OVERLAPPED at_offset(std::uint64_t offset)
{
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(offset);
    place.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return place;
}

bool lock_bytes(HANDLE handle, std::uint64_t offset, std::uint64_t length)
{
    OVERLAPPED place = at_offset(offset);
    return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                      static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &place) != 0;
}

// Whether no other process holds any of these bytes.
bool bytes_free(HANDLE handle, std::uint64_t offset, std::uint64_t length)
{
    if (!lock_bytes(handle, offset, length)) {
        return false;
    }
    OVERLAPPED place = at_offset(offset);
    UnlockFileEx(handle, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &place);
    return true;
}

} // namespace

bool claim_file(std::FILE* file, int& holder)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (lock_bytes(handle, CLAIM_AT, 1)) {
        lock_bytes(handle, CLAIM_AT + 1 + GetCurrentProcessId(), 1);
        return true;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) {
        return true;
    }
    // Windows tells no holder: its byte is found by halves, the held half kept each time.
    std::uint64_t from = 0;
    for (std::uint64_t count = HOLDER_IDS; count > 1;) {
        const std::uint64_t half = count / 2;
        const bool held_below = !bytes_free(handle, CLAIM_AT + 1 + from, half);
        from += held_below ? 0 : half;
        count = held_below ? half : count - half;
    }
    holder = bytes_free(handle, CLAIM_AT + 1 + from, 1) ? 0 : static_cast<int>(from);
    return false;
}

std::FILE* create_new_file(const std::string& path)
{
    const int descriptor =
        _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "wb");
    if (file == nullptr) {
        _close(descriptor);
        _unlink(path.c_str());
    }
    return file;
}

namespace {

// Said as the C library says it, as on Linux.
int errno_of(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_INVALID_NAME: return EINVAL;
    default: return ENOENT;
    }
}

} // namespace

// fopen would deny others the right to move the file away or remove it, as log rotation does.
std::FILE* open_to_append(const std::string& path)
{
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        return nullptr;
    }
    const int descriptor =
        _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_APPEND | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "ab");
    if (file == nullptr) {
        _close(descriptor);
    }
    return file;
}

// std::filesystem reads a narrow name as Latin-1 and writes one as UTF-8; the C library and
// the -A functions take the process's code page (UTF-8 with ohmlog's manifest).
std::filesystem::path file_path(const std::string& name)
{
    const int size =
        MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), size);
    return wide;
}

std::string file_name(const std::filesystem::path& path)
{
    const std::wstring& wide = path.native();
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string name(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), name.data(), size,
                        nullptr, nullptr);
    return name;
}

namespace {

// The environment block of this process with `ours` in place of the same names, and the MQTT
// password left out: sorted, as
// Windows keeps it, each entry ended by a zero and the block by another.
std::string environment_block(const std::vector<std::string>& ours)
{
    std::vector<std::string> entries = ours;
    char* block = GetEnvironmentStringsA();
    for (const char* entry = block; entry != nullptr && *entry != '\0';
         entry += std::strlen(entry) + 1) {
        const std::string variable = entry;
        const std::string name = variable.substr(0, variable.find('=', 1) + 1);
        bool left_out = _stricmp(name.c_str(), "OHM_MQTT_PASSWORD=") == 0;
        for (const std::string& mine : ours) {
            left_out = left_out || _strnicmp(mine.c_str(), name.c_str(), name.size()) == 0;
        }
        if (!left_out) {
            entries.push_back(variable);
        }
    }
    FreeEnvironmentStringsA(block);
    std::sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    });
    std::string text;
    for (const std::string& entry : entries) {
        text += entry + '\0';
    }
    return text + '\0';
}

// A handle the command inherits: a copy of ours, or the null device where we have none.
HANDLE inheritable_copy(HANDLE ours, DWORD access)
{
    HANDLE copy = nullptr;
    if (ours != nullptr && ours != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), ours, GetCurrentProcess(), &copy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS)) {
        return copy;
    }
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING,
                       0, nullptr);
}

} // namespace

bool start_command(const std::string& command, const std::vector<std::string>& environment,
                   ChildProcess& child)
{
    std::string line = "cmd /c " + command;
    std::string block = environment_block(environment);
    HANDLE input = inheritable_copy(nullptr, GENERIC_READ);
    HANDLE output = inheritable_copy(GetStdHandle(STD_ERROR_HANDLE), GENERIC_WRITE);
    // Only these two are inherited, whatever else of ours is inheritable (the C runtime's
    // files, Winsock's sockets).
    HANDLE inherited[] = {input, output};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = list;
    // The job holds every process the command starts, so that a time limit ends them all; a
    // process group of its own keeps the console's Ctrl-C, which is ohmlog's, from it.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    PROCESS_INFORMATION process{};
    const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &size) != 0;
    const bool started =
        job != nullptr && listed &&
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  sizeof inherited, nullptr, nullptr) &&
        CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
                       CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT,
                       block.data(), nullptr, &startup.StartupInfo, &process);
    if (listed) {
        DeleteProcThreadAttributeList(list);
    }
    CloseHandle(input);
    CloseHandle(output);
    if (!started) {
        if (job != nullptr) {
            CloseHandle(job);
        }
        return false;
    }
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    child.process = reinterpret_cast<std::intptr_t>(process.hProcess);
    child.waiter = reinterpret_cast<std::intptr_t>(job);
    return true;
}

namespace {

void release(ChildProcess& child)
{
    CloseHandle(reinterpret_cast<HANDLE>(child.process));
    CloseHandle(reinterpret_cast<HANDLE>(child.waiter));
    child = ChildProcess{};
}

} // namespace

bool wait_for_command(ChildProcess& child, std::chrono::milliseconds longest, CommandEnd& end)
{
    HANDLE process = reinterpret_cast<HANDLE>(child.process);
    if (WaitForSingleObject(process, static_cast<DWORD>(longest.count())) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD status = 0;
    GetExitCodeProcess(process, &status);
    end = CommandEnd{static_cast<int>(status), 0};
    release(child);
    return true;
}

void end_command(ChildProcess& child)
{
    if (child.process == -1) {
        return;
    }
    TerminateJobObject(reinterpret_cast<HANDLE>(child.waiter), 1);
    WaitForSingleObject(reinterpret_cast<HANDLE>(child.process), 1000);
    release(child);
}

std::tm calendar_fields(std::time_t moment, bool in_utc)
{
    std::tm fields{};
    if (in_utc) {
        gmtime_s(&fields, &moment);
    } else {
        localtime_s(&fields, &moment);
    }
    return fields;
}

std::string host_name()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) && name[0] != '\0' ? name : "ohmlog";
}

// Windows gives a device's name in full as \\.\NUL, whatever folder it is named in.
bool is_device_name(const std::string& name)
{
    char full[MAX_PATH] = "";
    const DWORD size = GetFullPathNameA(name.c_str(), MAX_PATH, full, nullptr);
    return size > 0 && size < MAX_PATH && std::strncmp(full, "\\\\.\\", 4) == 0;
}

bool usable_as_names(const std::string& text)
{
    return text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                               static_cast<int>(text.size()), nullptr, 0) > 0;
}

bool replace_file(const std::string& from, const std::string& to)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) {
        return true;
    }
    errno = errno_of(GetLastError());
    return false;
}

void notify_service_manager(const std::string& state)
{
    set_service_state(state);
}

std::chrono::microseconds watchdog_interval()
{
    return std::chrono::microseconds(0);
}

// Winsock is started by then: the server's socket is open.
std::vector<std::string> interface_addresses()
{
    std::vector<std::string> addresses;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the call that sizes it and the next.
    for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(size);
        result =
            GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                 reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) {
        return addresses;
    }
    for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) {
            continue;
        }
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
             unicast != nullptr; unicast = unicast->Next) {
            char text[NI_MAXHOST] = "";
            if (getnameinfo(unicast->Address.lpSockaddr, unicast->Address.iSockaddrLength, text,
                            sizeof text, nullptr, 0, NI_NUMERICHOST) == 0) {
                addresses.emplace_back(text);
            }
        }
    }
    return addresses;
}

} // namespace logbook

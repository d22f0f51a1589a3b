// ohmlog's platform for Windows.
#if !defined(_WIN32)
#error "log_platform_win32.cpp is for Windows builds; POSIX builds take log_platform_posix.cpp"
#endif

#include "log_platform.h"

#include <algorithm>
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

namespace {

// Set by the run once its rows, plot and summary are out.
HANDLE finished = nullptr;

// Ctrl-C and Ctrl-Break end the run as a normal end. Closing the console, logging off or
// shutting down end the process as soon as this returns: wait for the run's end first.
BOOL WINAPI on_console_event(DWORD event)
{
    stop_requested = true;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;
    }
    WaitForSingleObject(finished, 4000);
    return FALSE;
}

} // namespace

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

bool stderr_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
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

int process_id()
{
    return static_cast<int>(GetCurrentProcessId());
}

bool listening_address_reusable()
{
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

// The environment block of this process with `ours` in place of the same names: sorted, as
// Windows keeps it, each entry ended by a zero and the block by another.
std::string environment_block(const std::vector<std::string>& ours)
{
    std::vector<std::string> entries = ours;
    char* block = GetEnvironmentStringsA();
    for (const char* entry = block; entry != nullptr && *entry != '\0';
         entry += std::strlen(entry) + 1) {
        const std::string variable = entry;
        const std::string name = variable.substr(0, variable.find('=', 1) + 1);
        bool replaced = false;
        for (const std::string& mine : ours) {
            replaced = replaced || _strnicmp(mine.c_str(), name.c_str(), name.size()) == 0;
        }
        if (!replaced) {
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

} // namespace

int run_shell_command(const std::string& command, const std::vector<std::string>& environment)
{
    std::string line = "cmd /c " + command;
    std::string block = environment_block(environment);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, block.data(), nullptr,
                        &startup, &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

std::string host_name()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) && name[0] != '\0' ? name : "ohmlog";
}

bool replace_file(const std::string& from, const std::string& to)
{
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
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

// The MQTT output's system parts for Windows. libmosquitto is built for MinGW from Debian's
// source package without TLS: its TLS is OpenSSL's, which is not built for Windows with it.
#if !defined(_WIN32)
#error "mqtt_system_win32.cpp is for Windows builds; POSIX builds take mqtt_system_posix.cpp"
#endif

#include "mqtt_system.h"

#include <cstdlib>

// Winsock's headers before windows.h, which would bring the old Winsock's.
#include <winsock2.h>
#include <windows.h>

namespace logbook {

bool tls_built_in(std::string& problem)
{
    problem = "mqtts:// is not in the Windows builds: their libmosquitto has no TLS (it takes TLS "
              "from OpenSSL, which is not built for Windows with it); publish with mqtt:// on a "
              "network you trust";
    return false;
}

bool check_cafile(const std::string&, const std::string&, std::string& problem)
{
    return tls_built_in(problem);
}

// A mutex in the global namespace: one name for every session, a service's included. One made
// by another account may be closed to this one, which is told so: it is there all the same.
bool hold_name(const std::string& name, std::intptr_t& holder, bool& taken)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, ("Global\\" + name).c_str());
    const DWORD error = GetLastError();
    taken = error == ERROR_ALREADY_EXISTS || (mutex == nullptr && error == ERROR_ACCESS_DENIED);
    if (taken && mutex != nullptr) {
        CloseHandle(mutex);
        mutex = nullptr;
    }
    holder = mutex == nullptr ? -1 : reinterpret_cast<std::intptr_t>(mutex);
    return !taken;
}

void release_name(std::intptr_t holder)
{
    if (holder != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(holder));
    }
}

// A 32-bit program on 64-bit Windows reads the machine's own key, not its WOW64 copy.
std::string machine_identity()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return "";
    }
    char guid[64] = "";
    DWORD size = sizeof guid - 1;
    DWORD type = 0;
    const bool read = RegQueryValueExA(key, "MachineGuid", nullptr, &type,
                                       reinterpret_cast<BYTE*>(guid), &size) == ERROR_SUCCESS &&
                      type == REG_SZ;
    RegCloseKey(key);
    return read ? std::string(guid) : "";
}

// Out of the C library's copy and of the process's environment, which commands are given.
void forget_variable(const char* name)
{
    _putenv((std::string(name) + "=").c_str());
    SetEnvironmentVariableA(name, nullptr);
}

void keep_from_commands(int socket)
{
    SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(socket)), HANDLE_FLAG_INHERIT,
                         0);
}

// Winsock tells a connection that failed in the exception set, not as writable.
bool connection_settled(int socket, int ms, int& error)
{
    const auto handle = static_cast<SOCKET>(socket);
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(handle, &writable);
    FD_SET(handle, &failed);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &wait) <= 0) {
        return false;
    }
    int size = sizeof error;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
        error = WSAGetLastError();
    }
    if (error == 0 && FD_ISSET(handle, &failed)) {
        error = WSAECONNREFUSED;
    }
    return true;
}

bool connection_refused(int error)
{
    return error == WSAECONNREFUSED;
}

std::string socket_error_text(int error)
{
    char text[512] = "";
    const DWORD size =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string words(text, size);
    words.erase(words.find_last_not_of(" .\r\n") + 1);
    return words.empty() ? "error " + std::to_string(error) : words;
}

// getaddrinfo's errors are Winsock's.
std::string lookup_error_text(int error)
{
    return socket_error_text(error);
}

} // namespace logbook

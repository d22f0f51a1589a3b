// The Windows form of the serial link, on the Win32 communications functions.
#if !defined(_WIN32)
#error "serial_link_win32.cpp is the Windows form; POSIX builds take serial_link_posix.cpp"
#endif

#include "serial_link.h"
#include "line_settings_win32.h"

#include <chrono>
#include <string>

#include <windows.h>

namespace {

// Ports are opened as "\\.\NAME" so that COM10 and above, which have no DOS alias, open too.
constexpr const char* DEVICE_NAMESPACE = "\\\\.\\";
constexpr std::size_t LONGEST_NAME = 59;

constexpr COMMTIMEOUTS LINK_TIMEOUTS{
    100, // ReadIntervalTimeout
    10,  // ReadTotalTimeoutMultiplier
    100, // ReadTotalTimeoutConstant
    100, // WriteTotalTimeoutMultiplier
    10,  // WriteTotalTimeoutConstant
};

HANDLE handle_of(std::int32_t id)
{
    const SerialLink* link = resolve_port(id);
    return link != nullptr ? reinterpret_cast<HANDLE>(*link) : nullptr;
}

std::int32_t escape(HANDLE handle, std::int32_t value, DWORD on, DWORD off)
{
    return EscapeCommFunction(handle, value != 0 ? on : off) ? 1 : 0;
}

// What the calls on a port give once its device has gone: a USB adapter pulled out fails
// ReadFile, WriteFile and ClearCommError with one of these until the handle is closed. Wine
// says ERROR_NOT_READY for a line that has hung up.
void note_if_gone(HANDLE handle)
{
    switch (GetLastError()) {
    case ERROR_NOT_READY:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BROKEN_PIPE: note_link_lost(reinterpret_cast<SerialLink>(handle)); break;
    default: break;
    }
}

std::int32_t flow_character(HANDLE handle, char DCB::*field, std::int32_t value)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        return 0;
    }
    dcb.*field = static_cast<char>(value & 0xFF);
    return SetCommState(handle, &dcb) ? 1 : 0;
}

} // namespace

std::string device_path_for(const char* name)
{
    return DEVICE_NAMESPACE + std::string(name).substr(0, LONGEST_NAME);
}

void apply_line_settings(DCB& dcb, const LineSettings& settings)
{
    dcb.BaudRate = static_cast<DWORD>(settings.baud);
    dcb.ByteSize = static_cast<BYTE>(settings.data_bits & 0xFF);
    dcb.Parity = static_cast<BYTE>(settings.parity & 0xFF);
    dcb.fParity = 1;
    if (settings.stop_bits == 1.0f) {
        dcb.StopBits = ONESTOPBIT;
    } else if (settings.stop_bits == 2.0f) {
        dcb.StopBits = TWOSTOPBITS;
    } else {
        dcb.StopBits = ONE5STOPBITS;
    }
    // Codes 0 to 2 leave software flow control as the driver had it, and 3 the hardware one.
    switch (settings.handshake) {
    case 0:
        dcb.fOutxCtsFlow = 0;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        break;
    case 1:
        dcb.fOutxCtsFlow = 0;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case 2:
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case 3:
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.XonChar = 17;
        dcb.XoffChar = 19;
        dcb.XonLim = static_cast<WORD>(settings.input_buffer / 10);
        dcb.XoffLim = static_cast<WORD>(7 * (settings.input_buffer / 10));
        break;
    default: break;
    }
}

std::int32_t open_port(std::int32_t id, const char* name, const LineSettings& settings)
{
    if (name == nullptr || !identifier_can_open(id)) {
        return 0;
    }
    HANDLE handle = CreateFileA(device_path_for(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    if (settings.input_buffer > 0 && settings.output_buffer > 0) {
        SetupComm(handle, static_cast<DWORD>(settings.input_buffer),
                  static_cast<DWORD>(settings.output_buffer));
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return 0;
    }
    apply_line_settings(dcb, settings);
    if (!SetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return 0;
    }
    COMMTIMEOUTS timeouts = LINK_TIMEOUTS;
    SetCommTimeouts(handle, &timeouts);
    return register_port(id, reinterpret_cast<SerialLink>(handle));
}

// A line that has hung up just reads as silence under Wine; asking for its state fails.
void probe_link(SerialLink link)
{
    HANDLE handle = reinterpret_cast<HANDLE>(link);
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status)) {
        note_if_gone(handle);
    }
}

void release_link(SerialLink link)
{
    CloseHandle(reinterpret_cast<HANDLE>(link));
}

std::int32_t set_line_state(std::int32_t id, std::int32_t line, std::int32_t value)
{
    HANDLE handle = handle_of(id);
    if (handle == nullptr) {
        return 0;
    }
    switch (line) {
    case LINE_DTR: return escape(handle, value, SETDTR, CLRDTR);
    case LINE_RTS: return escape(handle, value, SETRTS, CLRRTS);
    case LINE_BREAK: return escape(handle, value, SETBREAK, CLRBREAK);
    case LINE_XON_CHAR: return flow_character(handle, &DCB::XonChar, value);
    case LINE_XOFF_CHAR: return flow_character(handle, &DCB::XoffChar, value);
    default: return 0;
    }
}

std::int32_t write_text(std::int32_t id, const char* text)
{
    HANDLE handle = handle_of(id);
    if (text == nullptr || handle == nullptr) {
        return 0;
    }
    DWORD written = 0;
    if (!WriteFile(handle, text, static_cast<DWORD>(std::char_traits<char>::length(text)), &written,
                   nullptr)) {
        note_if_gone(handle);
    }
    return static_cast<std::int32_t>(written);
}

std::int32_t read_bytes(std::int32_t id, void* buffer, std::int32_t count)
{
    HANDLE handle = handle_of(id);
    if (buffer == nullptr || count <= 0 || handle == nullptr) {
        return 0;
    }
    DWORD received = 0;
    if (!ReadFile(handle, buffer, static_cast<DWORD>(count), &received, nullptr)) {
        note_if_gone(handle);
        return 0;
    }
    return static_cast<std::int32_t>(received);
}

std::int32_t input_pending(std::int32_t id)
{
    HANDLE handle = handle_of(id);
    DWORD errors = 0;
    COMSTAT status{};
    if (handle == nullptr) {
        return 0;
    }
    if (!ClearCommError(handle, &errors, &status)) {
        note_if_gone(handle);
        return 0;
    }
    return static_cast<std::int32_t>(status.cbInQue);
}

// A port opened for plain (not overlapped) reads cannot wait for a byte with a time limit of
// its own: it is looked at every millisecond.
std::int32_t wait_for_input(std::int32_t id, std::int32_t timeout_ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (input_pending(id) == 0) {
        if (std::chrono::steady_clock::now() >= until || port_was_lost(id) != 0) {
            return 0;
        }
        Sleep(1);
    }
    return 1;
}

// Only a device whose communications state could be read and set has opened.
std::int32_t port_is_serial_line(std::int32_t id)
{
    return port_is_open(id);
}

void discard_input(std::int32_t id)
{
    HANDLE handle = handle_of(id);
    if (handle != nullptr) {
        PurgeComm(handle, PURGE_RXCLEAR);
    }
}

std::string serial_port_device(std::int32_t n)
{
    return "COM" + std::to_string(n);
}

std::string device_for_port_name(const std::string& name)
{
    return name;
}

// The meter link: the process's table of open serial ports and the operations on them.
//
// Callers never hold system handles: they name ports by identifier. A numbered identifier
// (0, 1, 2, ...) is chosen by the caller; PORT_ANY asks open_port to make a fresh one.
// Every operation is synchronous; reads and writes are bounded by the time-outs that
// open_port sets. Failures show only as neutral results (0).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr std::int32_t PORT_ANY = -1;

// The number under which both Windows deliverables keep the meter.
constexpr std::int32_t METER_PORT = 0;

// One open port as the table holds it: the system handle and nothing else (a Win32 HANDLE
// or a POSIX descriptor). 0 marks a free numbered slot.
using SerialLink = std::intptr_t;

// A port opened with PORT_ANY, in a chain whose head is the newest.
struct MadePort {
    std::int32_t id;
    SerialLink link;
    MadePort* next;
};

struct PortTable {
    std::vector<SerialLink> slots;
    MadePort* made = nullptr;
    std::int32_t last_made_id = 0;
};

// Made identifiers live at and above this value; numbered identifiers stay below it, so the
// two can never meet however far the numbered slots grow.
constexpr std::int32_t FIRST_MADE_ID = 0x01000000;

struct LineSettings {
    std::int32_t baud;
    std::int32_t parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::int32_t data_bits; // 5 to 8
    float stop_bits;        // 1, 1.5 or 2
    std::int32_t handshake; // 0 none, 1 RTS held on, 2 RTS/CTS, 3 XON/XOFF
    std::int32_t input_buffer;
    std::int32_t output_buffer;
};

// 600 baud, 7 data bits, no parity, 2 stop bits, no handshake: what the MAS-345 speaks.
constexpr LineSettings METER_SETTINGS{600, 0, 7, 2.0f, 0, 1024, 1024};
// Settings used only to find out whether a port can be opened and configured.
constexpr LineSettings PROBE_SETTINGS{300, 0, 8, 1.0f, 3, 1024, 1024};

enum LineCode : std::int32_t {
    LINE_DTR = 1,
    LINE_RTS = 2,
    LINE_BREAK = 3,
    LINE_XON_CHAR = 8,
    LINE_XOFF_CHAR = 9,
};

void init_port_table();

// Result: 0 when the port did not open; for a numbered identifier a non-zero value, for
// PORT_ANY the new identifier (positive). After a failure the system's last error says why
// (errno, GetLastError), a port that another program holds included.
std::int32_t open_port(std::int32_t id, const char* name, std::int32_t baud, std::int32_t parity,
                       std::int32_t data_bits, float stop_bits, std::int32_t handshake,
                       std::int32_t input_buffer, std::int32_t output_buffer);
std::int32_t open_port(std::int32_t id, const char* name, const LineSettings& settings);

std::int32_t set_line_state(std::int32_t id, std::int32_t line, std::int32_t value);
std::int32_t write_text(std::int32_t id, const char* text);
std::int32_t read_bytes(std::int32_t id, void* buffer, std::int32_t count);
std::int32_t input_pending(std::int32_t id);
// Waits until a received byte can be read, at most `timeout_ms`; non-zero when one can.
std::int32_t wait_for_input(std::int32_t id, std::int32_t timeout_ms);
// Drops every received byte that has not been read yet.
void discard_input(std::int32_t id);
std::int32_t port_is_open(std::int32_t id);
// Non-zero when the device behind an open port has gone away (an adapter unplugged, the line
// hung up): every later read and write fails. The port stays open until it is closed; the
// device may come back under its name.
std::int32_t port_was_lost(std::int32_t id);
// Non-zero when the open port is a serial line, not merely a device that opens (/dev/null).
std::int32_t port_is_serial_line(std::int32_t id);
void close_port(std::int32_t id);
void close_all_ports();

// Each deliverable links the pause that suits it (plain sleep, or sleep at 1 ms timer
// resolution in the library).
void pause_ms(std::int32_t ms);

// --- Port names ----------------------------------------------------------------------------

// n for "COMn" in any case, n from 1 to 255 written without leading zeros, as Windows names its
// serial ports; 0 for any other name.
std::int32_t com_port_number(const std::string& name);
// The device of serial port n (1 for the first): "COMn" on Windows, /dev/ttyS(n-1) on Linux.
std::string serial_port_device(std::int32_t n);
// The device a name that a user typed stands for. Windows resolves names itself, so the name
// goes unchanged. Linux: "COMn" as above, or the absolute path of a character device; any
// other name gives the empty text, which opens nothing.
std::string device_for_port_name(const std::string& name);

// --- Shared by the platform forms -------------------------------------------------------

// Process-wide records are built before any initialiser of a shared library can use them
// (the Linux library opens its port from one), whatever the order the objects were linked in.
#define CONSTRUCTED_EARLY __attribute__((init_priority(101)))

// The process's port table.
extern PortTable port_table;

// Whether open_port may register a port under this identifier at all.
bool identifier_can_open(std::int32_t id);
// The link an identifier names, or nullptr when it names no open port.
const SerialLink* resolve_port(std::int32_t id);
// Last step of a successful open: store the opened and configured link under the
// identifier, closing the port it replaces. Gives open_port's result.
std::int32_t register_port(std::int32_t id, SerialLink link);
// Platform form: give the device back and close the handle.
void release_link(SerialLink link);
// The platform form saw the device go away.
void note_link_lost(SerialLink link);
// Platform form: asks the device whether it is still there, where its reads alone cannot tell.
void probe_link(SerialLink link);

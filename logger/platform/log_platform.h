// What ohmlog needs from its platform; log_platform_posix.cpp and log_platform_win32.cpp give
// it.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace logbook {

// Set when the user asks the run to end: Ctrl-C (SIGINT), SIGTERM, a closed terminal
// (SIGHUP), or on Windows the console's control events.
extern std::atomic<bool> stop_requested;

// Installs the handlers that set stop_requested. A write that a signal interrupts goes on.
void watch_for_stop();
// The run has written everything: a console that is closing may now end the process.
void run_finished();

bool stderr_is_terminal();
bool stdout_is_terminal();
// Rows end in CR LF as written; standard output must not add to them.
void use_binary_stdout();

// Why the port the user named did not open, in a few words, with a hint where there is one.
std::string open_failure(const std::string& port);
// The same text for two names of one port: COM1 and com1; on Linux COM1 and /dev/ttyS0, or a
// link and the device it leads to.
std::string port_identity(const std::string& port);

int process_id();
// Whether a listening socket may take an address that connections of a program that has ended
// still hold: on Linux, yes; on Windows the same option would let it take a port another
// program listens on.
bool listening_address_reusable();
// A file that did not exist, created for writing (binary); nullptr with errno set otherwise.
std::FILE* create_new_file(const std::string& path);
// Puts `from` in the place of `to`, replacing it in one step.
bool replace_file(const std::string& from, const std::string& to);

// Runs the command through the system's shell (/bin/sh -c, on Windows cmd /c) with these
// KEY=VALUE added to the environment, and waits for its end: its exit status, or -1 when it
// could not be started.
int run_shell_command(const std::string& command, const std::vector<std::string>& environment);

// The name of this machine, for --mqtt-node; "ohmlog" when it has none.
std::string host_name();

// The IP addresses of this machine's network interfaces that are up, as text ("192.168.1.20",
// "fe80::1%eth0"); none when they cannot be listed.
std::vector<std::string> interface_addresses();

} // namespace logbook

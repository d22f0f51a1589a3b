// What ohmlog needs from its platform; log_platform_posix.cpp and log_platform_win32.cpp give
// it.
#pragma once

#include <atomic>
#include <string>

namespace logbook {

// Set when the user asks the run to end: Ctrl-C (SIGINT), SIGTERM, or on Windows the
// console's control events.
extern std::atomic<bool> stop_requested;

// Installs the handlers that set stop_requested.
void watch_for_stop();
// The run has written everything: a console that is closing may now end the process.
void run_finished();

bool stderr_is_terminal();
// Rows end in CR LF as written; standard output must not add to them.
void use_binary_stdout();

// Why the port the user named did not open, in a few words, with a hint where there is one.
std::string open_failure(const std::string& port);

} // namespace logbook

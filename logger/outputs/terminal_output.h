// What ohmlog tells the person watching, on standard error: on a terminal a status line
// rewritten in place for each row, notices on lines of their own (a port lost and back, a
// meter on a quantity that gives no power), and at the end the summary.
#pragma once

#include "log_platform.h"
#include "output.h"

#include <string>

namespace logbook {

struct Terminal {
    bool status = false;          // standard error is a terminal: a status line is kept on it
    std::size_t status_width = 0; // of the status line shown, 0 when none is
};

// Clears the status line, so that a line of another kind starts on its own.
void clear_status(Terminal& terminal);
// One notice on standard error, after the program's name.
void tell(Terminal& terminal, Severity severity, const std::string& message);

// The status line for each row, and the summary at the end.
Output terminal_output(Terminal& terminal);

// Lines for the end of a run, each ending in a line feed: per meter and unit, the port's
// losses, the charge of DC ampere series, and the power and its energy.
std::string run_summary(const RunView& view);

} // namespace logbook

// What an alarm's rise or clear does: a line on standard error, and with --on-alarm a command
// run through the system's shell, with the alarm in its environment (OHM_ALARM, OHM_STATE,
// OHM_METER, OHM_VALUE, OHM_UNIT, OHM_TIME). The commands never make logging wait: each rule
// has a thread of its own that runs its commands one at a time, in order; a command that
// fails is said, and the run goes on.
#pragma once

#include "output.h"
#include "terminal_output.h"

#include <memory>
#include <string>

namespace logbook {

struct AlarmCommands;

// `command` empty: the lines only.
std::shared_ptr<AlarmCommands> new_alarm_commands(const std::string& command, std::size_t rules);

// The lines and the commands of each event; at the end, the commands still queued are run
// (for at most a few seconds) before the summary.
Output alarm_output(AlarmCommands& commands, Terminal& terminal);

// "2026-12-09T07:13:58.445Z alarm V<3.0 raised: U 2.98 V".
std::string alarm_line(const RunView& view, const AlarmEvent& event);

} // namespace logbook

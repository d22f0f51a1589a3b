// What an alarm's rise or clear does: a line on standard error, and with --on-alarm a command
// run through the system's shell, with the alarm in its environment (OHM_ALARM, OHM_STATE,
// OHM_METER, OHM_VALUE, OHM_UNIT, OHM_TIME) and its output on standard error. The commands
// never make logging wait: each rule has a thread of its own that runs its commands one at a
// time, in order, each for at most its time limit; a command that fails or is ended is said,
// and the run goes on.
#pragma once

#include "output.h"
#include "terminal_output.h"

#include <memory>
#include <string>

namespace logbook {

struct AlarmCommands;

// A command's time limit unless the run sets one.
constexpr double COMMAND_TIME_LIMIT_S = 60.0;

// `command` empty: the lines only. A command running longer than `time_limit_s` is ended with
// the processes it started.
std::shared_ptr<AlarmCommands> new_alarm_commands(const std::string& command, std::size_t rules,
                                                  double time_limit_s);

// The lines and the commands of each event. At the end of the run, the commands waiting behind
// a running one are dropped and counted, and a command still running is given two seconds
// before it is ended.
Output alarm_output(AlarmCommands& commands, Terminal& terminal);

// "2026-12-09T07:13:58.445Z alarm V<3.0 raised: U 2.98 V".
std::string alarm_line(const RunView& view, const AlarmEvent& event);

} // namespace logbook

// ohmlog service ACTION: ohmlog as a Windows service, installed, started, stopped, shown and
// removed through the Service Control Manager, and run by it as `ohmlog --config FILE` runs.
#pragma once

namespace logbook {

// Whether the command line is the service command: its first word is "service".
bool is_service_command(int argc, char** argv);
// The exit status: as the action's (log_service.h), or the run's for `service run`.
int run_service_command(int argc, char** argv);

} // namespace logbook

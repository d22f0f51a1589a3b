// ohmlog as a Windows service, under the Service Control Manager (log_service_win32.cpp). On
// Linux systemd's unit runs ohmlog as a service, and these refuse (log_service_posix.cpp).
// Each action says what it did, or why it could not in the system's own words, and gives the
// exit status: 0 done, 1 the system refused, 2 bad usage.
#pragma once

#include "log_platform.h"

#include <functional>
#include <string>

namespace logbook {

// The folder of the service's own, %ProgramData%\ohmlog\NAME, where its relative paths lead.
std::string service_folder(const std::string& name);

// Records the service NAME that runs this program with `--config FILE` (an absolute path),
// started with Windows, restarted after a failure, its messages in the event log; its folder
// made, `check` (the file checked as the run would check it) run in that folder first.
int install_service(const std::string& name, const std::string& config,
                    const std::function<int()>& check);
// Stops the service if it runs, and removes it; its folder and what it holds are kept.
int uninstall_service(const std::string& name);
// Starts it and waits for it to run, or to stop at its start (then 1, with why).
int start_service(const std::string& name);
// Stops it and waits for its end.
int stop_service(const std::string& name);
// Its state, exit status, file of options, folder and last message, on standard output.
int show_service(const std::string& name);

// For the Service Control Manager, which starts the service's command line: runs `run` (the run
// of the file `config`) as the service NAME in its folder, reporting START_PENDING, then RUNNING
// when the run says READY=1 (notify_service_manager), STOP_PENDING when a stop is asked (STOP,
// SHUTDOWN: the run is asked to end as at Ctrl-C) or the run says STOPPING=1, and at the end the
// run's exit status as the service's exit code. Messages go to the event log.
int run_as_service(const std::string& name, const std::string& config,
                   const std::function<int()>& run);

// For the platform's messages: when running as a service, one to its event log, kept as its
// last message (the lines of a summary added to those before them).
bool running_as_service();
void tell_service(Severity severity, const std::string& message, bool summary);
// READY=1 and STOPPING=1 of a run, as the service's state.
void set_service_state(const std::string& state);

} // namespace logbook

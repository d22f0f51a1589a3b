// For native test drivers started by tests/rig/wine-session: running the Windows programs of
// the windows-x64 build under Wine and wiring its COM ports to simulated meters.
#pragma once

#include "process.h"

#include <string>
#include <vector>

bool in_wine_session();
std::string session_dir();
// A program or library of the windows-x64 build tree.
std::string windows_binary(const std::string& name);
// $WINEPREFIX/dosdevices/comN, the link that stands for COMN.
std::string com_path(int number);
// $WINEPREFIX/dosdevices/comN leads to `target` (a pseudo-terminal, or any path).
void link_com(int number, const std::string& target);
void unlink_com(int number);
// Runs wine64 with the arguments, the line shim preloaded; `environment` adds KEY=VALUE.
ProcessResult run_under_wine(const std::vector<std::string>& arguments,
                             std::vector<std::string> environment = {}, int timeout_ms = 30000);
Launch wine_launch(const std::vector<std::string>& arguments,
                   std::vector<std::string> environment = {});

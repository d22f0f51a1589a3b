// Reading what the line shim recorded about the pseudo-terminals a program configured.
#pragma once

#include <set>
#include <string>

// The number N of /dev/pts/N.
int pts_number(const std::string& device_path);

// The pseudo-terminals that received terminal settings, according to the shim's log.
std::set<int> configured_ptys(const std::string& log);

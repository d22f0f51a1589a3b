// What a Windows test program running in a Wine session (tests/rig/wine-session) can see of
// its rig: the files the simulated meters and the line shim write.
#pragma once

#include <string>

// The session directory as a Windows path (through Wine's Z: drive).
std::string session_path(const std::string& name);
std::string read_session_file(const std::string& name);
// Seconds on a monotonic clock.
double now_seconds();

// Internals of the Windows form that its tests check directly.
#pragma once

#include "serial_link.h"

#include <string>

#include <windows.h>

// "\\.\" followed by at most the first 59 characters of the name.
std::string device_path_for(const char* name);

// Changes the DCB fields that the settings decide and keeps every other one as the driver
// reported it.
void apply_line_settings(DCB& dcb, const LineSettings& settings);

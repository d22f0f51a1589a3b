// What the command-line driver's run needs from its platform; each main file provides it.
#pragma once

#include <cstdint>
#include <string>

// Writes the text and the platform's line end to standard output.
void print_line(const std::string& text);

// The device name for a port number (1 for the first serial port); empty when the number
// names no device.
std::string device_name_for_port(std::int8_t port_number);

// Whether the second parameter names the meter's device itself rather than a port number.
bool parameter_names_device(const std::string& parameter);

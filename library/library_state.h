// The library's process-wide state and the steps of its load and unload that every platform
// shares: choosing the meter's port and opening it.
#pragma once

#include "catalogue.h"

#include <string>

struct LibraryState {
    // The meter's port exactly as the user typed it; may be empty.
    std::string port_name = "COM1";
    driver::Catalogue catalogue{driver::BehaviourSet::library};
};

extern LibraryState library_state;

constexpr int PROBED_PORTS = 20;
constexpr const char* PROMPT_TITLE = "Choix du connecteur s\xE9riel";
constexpr const char* PROMPT_MESSAGE_START = "disponibles : ";
constexpr const char* DEFAULT_PORT_NAME = "COM1";

// Tries ports 1 to 20 with the probe settings: "|Com2:|Com11:" for the ones that open.
std::string probe_ports();
// Asks the user, showing the ports that opened; the answer is also kept in port_name.
std::string choose_port();
// From the port table to the meter port opened, DTR on and RTS off.
void start_library();
// Every port closed.
void stop_library();

// --- Provided by the platform files ---
// One line of text from the user; the empty text when cancelled or when no prompt can be shown.
std::string prompt_text(const std::string& title, const std::string& message,
                        const char* default_text);

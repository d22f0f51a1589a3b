#include "library_state.h"

#include "serial_link.h"

LibraryState library_state CONSTRUCTED_EARLY;

std::string probe_ports()
{
    std::string list;
    for (int n = 1; n <= PROBED_PORTS; ++n) {
        const std::int32_t id = open_port(PORT_ANY, serial_port_device(n).c_str(), PROBE_SETTINGS);
        if (id > 0) {
            list += "|Com" + std::to_string(n) + ":";
            close_port(id);
        }
    }
    return list;
}

std::string choose_port()
{
    library_state.port_name = DEFAULT_PORT_NAME;
    const std::string message = PROMPT_MESSAGE_START + probe_ports();
    library_state.port_name = prompt_text(PROMPT_TITLE, message, library_state.port_name.c_str());
    return library_state.port_name;
}

void start_library()
{
    init_port_table();
    library_state.catalogue = driver::Catalogue{driver::BehaviourSet::library};
    choose_port();
    // Nothing is shown when these fail: the library stays loaded without a meter port and the
    // driver functions give their neutral answers.
    open_port(METER_PORT, device_for_port_name(library_state.port_name).c_str(), METER_SETTINGS);
    set_line_state(METER_PORT, LINE_DTR, 1);
    set_line_state(METER_PORT, LINE_RTS, 0);
}

void stop_library()
{
    close_all_ports();
}

// What the MQTT output needs from the system that differs between Linux and Windows:
// mqtt_system_posix.cpp and mqtt_system_win32.cpp give it. libmosquitto hands out its socket as
// an int on both.
#pragma once

#include <cstdint>
#include <string>

namespace logbook {

// Whether this build's libmosquitto speaks TLS (mqtts://); false with the reason when not.
bool tls_built_in(std::string& problem);
// The certificates that libmosquitto will trust, read now so that a wrong file is said at once;
// `option` as the user wrote it (--mqtt-cafile, or mqtt-cafile in the file of options).
bool check_cafile(const std::string& path, const std::string& option, std::string& problem);

// A name held by this process, machine-wide, for as long as it lives however it ends, or until
// released: `taken` when another process holds it. A name that cannot be held at all (the
// system refuses) is no other's.
bool hold_name(const std::string& name, std::intptr_t& holder, bool& taken);
void release_name(std::intptr_t holder);

// What tells this machine from another of the same name (systemd's machine id, Windows'
// machine GUID); empty when it has none.
std::string machine_identity();

// The variable taken out of the environment, which commands of --on-alarm inherit.
void forget_variable(const char* name);

// The socket not handed to the commands of --on-alarm.
void keep_from_commands(int socket);

// Waits up to `ms` for a connection under way on `socket`: false while it is; true once it is
// made (`error` 0) or failed (`error` its cause).
bool connection_settled(int socket, int ms, int& error);
bool connection_refused(int error);
// The system's words for a socket's error, and for a failed name lookup.
std::string socket_error_text(int error);
std::string lookup_error_text(int error);

} // namespace logbook

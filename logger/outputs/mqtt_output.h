// The run published to an MQTT broker, for the tools a lab already runs (QoS 1 and retained
// unless said otherwise):
//   ohm/NODE/availability        online, or offline at the end; offline is the connection's will
//   ohm/NODE/METER/availability  online, offline while its port is lost and at the end
//   ohm/NODE/METER/reading       each row as JSON (the fields of an /events row), QoS 0, not
//                                retained; ohm/NODE/power/reading the power (exact product)
//   ohm/NODE/power/energy        the run's energy in Wh, ohm/NODE/METER/charge a DC ampere
//                                meter's charge in Ah: {"time", "value", "base_unit", "status",
//                                "last_reset" (the run's start)}, QoS 0, not retained
//   ohm/NODE/alarm               each alarm's rise and clear, not retained
//   ohm/NODE/alarm/RULE          ON while that alarm is raised, else OFF
//   ohm/NODE/sensors             {"logger": the machine that publishes as NODE, "topics": the
//                                retained topics it owns}: a later run clears those it does not
//                                publish itself, but for the charge sensors of its own meters
//   ohm/NODE/hello               a run's greeting, not retained: when it comes back, the node's
//                                retained state has come before it
//   homeassistant/sensor/NODE_METER/config (and NODE_power, NODE_energy, NODE_METER_charge),
//   homeassistant/binary_sensor/NODE_alarm_RULE/config: Home Assistant's discovery, sent again
//                                when a meter's unit changes
// One logger per node: a run refuses a node that another run on this machine publishes as, or
// whose availability the broker holds online for another machine. The network runs on a thread of
// this output's own that never blocks for long (the connection is made without waiting, a name
// lookup aside): it can always be told to stop. Publishing never waits: a broker that is away is
// tried again with a growing pause, and what comes meanwhile is dropped and counted, never held
// without bound. What goes wrong is said on standard error, once for each cause. The Windows
// builds' libmosquitto has no TLS: there mqtts:// is refused.
#pragma once

#include "output.h"
#include "terminal_output.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace logbook {

struct MqttSettings {
    std::string url;           // mqtt://[USER@]HOST[:PORT] or mqtts://...
    std::string cafile;        // for mqtts://
    std::string password_file; // else OHM_MQTT_PASSWORD, else none
    std::string node;          // this logger's name; empty: the host name up to its first dot
    // Where the options were given, by long name ("mqtt", "mqtt-cafile", ...): "FILE:LINE: "
    // for a line of the file of options, which then leads the refusal of what it says.
    std::map<std::string, std::string> places;
};

struct MqttPublisher;

// Ready to publish the run's meters, power and alarms (the rules as written), and connecting.
// Null with the problem when the settings cannot be used (a bad URL or node, a password or
// certificate file that cannot be read, names that would share a topic, a build without TLS)
// or when another logger has the node: one of this machine, or one of another as the broker,
// reached within a moment, says.
std::shared_ptr<MqttPublisher>
new_mqtt_publisher(const MqttSettings& settings, const std::vector<std::string>& meters, bool power,
                   const std::vector<std::string>& alarms, std::string& problem);

// The settings checked as new_mqtt_publisher checks them, for --check-config: no connection is
// made and the node is not held, so that the file of a logger that runs can be checked.
bool check_mqtt_settings(const MqttSettings& settings, const std::vector<std::string>& meters,
                         bool power, const std::vector<std::string>& alarms, std::string& problem);

// Publishes each record, power point, availability change and alarm, says what goes wrong and
// keeps `view.mqtt` up to date; at the end says offline, disconnects and tells how many messages
// went, were dropped, and the last failure. It needs to be called as the time passes, not only
// for records, to say a failure at once.
Output mqtt_output(MqttPublisher& publisher, Terminal& terminal, RunView& view);

} // namespace logbook

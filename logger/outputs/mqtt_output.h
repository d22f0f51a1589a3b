// The run published to an MQTT broker, for the tools a lab already runs:
//   ohm/NODE/METER/reading       each row as JSON (the fields of an /events row), QoS 0
//   ohm/NODE/availability        online or offline, retained; offline is the connection's will
//   ohm/NODE/METER/availability  offline while that meter's port is lost, retained
//   ohm/NODE/alarm               each alarm's rise and clear, QoS 1
//   homeassistant/sensor/NODE_METER/config  Home Assistant's discovery, retained, sent again
//                                when a meter's unit changes
// The network runs on libmosquitto's own thread: publishing never waits, a broker that is
// away is tried again with a growing pause, and what comes meanwhile is dropped and counted,
// never held without bound. The Windows builds have no libmosquitto: there --mqtt is refused.
#pragma once

#include "output.h"
#include "terminal_output.h"

#include <memory>
#include <string>
#include <vector>

namespace logbook {

struct MqttSettings {
    std::string url;           // mqtt://[USER@]HOST[:PORT] or mqtts://...
    std::string cafile;        // for mqtts://
    std::string password_file; // else OHM_MQTT_PASSWORD, else none
    std::string node;          // this logger's name; empty: the host name
};

struct MqttPublisher;

// Ready to publish the run's meters (and the power); null with the problem when the settings
// cannot be used (a bad URL, a password file that cannot be read, a build without MQTT).
std::shared_ptr<MqttPublisher> new_mqtt_publisher(const MqttSettings& settings,
                                                  const std::vector<std::string>& meters,
                                                  bool power, std::string& problem);

// Connects (in the background) and publishes each record, availability change and alarm; at
// the end says offline, disconnects and tells how many messages went and were dropped.
Output mqtt_output(MqttPublisher& publisher, Terminal& terminal);

} // namespace logbook

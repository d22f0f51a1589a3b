// The MQTT output of the Windows builds: MinGW has no libmosquitto, so --mqtt is refused.
#if !defined(_WIN32)
#error "mqtt_output_none.cpp is for Windows builds; POSIX builds take mqtt_output_mosquitto.cpp"
#endif

#include "mqtt_output.h"

namespace logbook {

bool check_mqtt_settings(const MqttSettings& settings, const std::vector<std::string>&, bool,
                         const std::vector<std::string>&, std::string& problem)
{
    const auto given = settings.places.find("mqtt");
    problem = refusal_at(given == settings.places.end() ? "" : given->second,
                         "--mqtt: this build has no MQTT (libmosquitto is built for Linux only); "
                         "publish from the Linux ohmlog");
    return false;
}

std::shared_ptr<MqttPublisher>
new_mqtt_publisher(const MqttSettings& settings, const std::vector<std::string>& meters, bool power,
                   const std::vector<std::string>& alarms, std::string& problem)
{
    check_mqtt_settings(settings, meters, power, alarms, problem);
    return nullptr;
}

Output mqtt_output(MqttPublisher&, Terminal&, RunView&)
{
    return Output{[](const RunView&, const RecordNews&) { return true; },
                  [](const RunView&) { return true; }};
}

} // namespace logbook

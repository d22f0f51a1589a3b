// The run as MQTT and Home Assistant's discovery name it: its topics, its sensors' ids and their
// discovery configs. No I/O.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace logbook {

struct MqttNames {
    std::string node;                // this logger's: letters, digits, "_" and "-"
    std::vector<std::string> meters; // as named, each a level of its topics
    bool power = false;              // --power: the power and its energy
    std::vector<std::string> rules;  // the alarms as written
};

// Letters, digits, "-" and "_" kept, "<" and ">" in words, anything else one "_": a rule as a
// word of its topics ("U:V<3" is U_V_below_3), the host name's first label as the node.
std::string word_of(const std::string& text);

// ohm/NODE/LEAF
std::string node_topic(const MqttNames& names, const std::string& leaf);
std::string alarm_word(const MqttNames& names, std::size_t alarm);
// homeassistant/COMPONENT/NODE_WORD/config
std::string config_topic(const MqttNames& names, const char* component, const std::string& word);

// A meter's sensor in the base unit it reads, or past the meters the power's.
std::string reading_config(const MqttNames& names, std::size_t target, const std::string& unit);
// A total of the run: a meter's charge, or past the meters the energy; and its config's topic.
std::string total_config(const MqttNames& names, std::size_t meter);
std::string total_topic(const MqttNames& names, std::size_t meter);
// An alarm's binary sensor, on while it is raised.
std::string alarm_config(const MqttNames& names, std::size_t alarm);

// The retained topics a run publishes, `charged` telling the meters whose charge sensor it
// owns: a later run clears the others.
std::vector<std::string> owned_topics(const MqttNames& names, const std::vector<bool>& charged);

// False with the problem when two of the run's sensors would share a topic: a meter named
// "power" beside --power, "U_charge" beside U.
bool distinct_sensors(const MqttNames& names, std::string& problem);

} // namespace logbook

#include "mqtt_sensors.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace logbook {

namespace {

using nlohmann::json;

// An entity id as Home Assistant writes one: lower case, "_" between words.
std::string entity_id(const std::string& component, const std::string& words)
{
    std::string id;
    for (const char c : words) {
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        const char kept =
            (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') ? lower : '_';
        if (kept != '_' || (!id.empty() && id.back() != '_')) {
            id += kept;
        }
    }
    while (!id.empty() && id.back() == '_') {
        id.pop_back();
    }
    return component + "." + id;
}

struct Unit {
    const char* base_unit;
    const char* unit;         // as Home Assistant writes it
    const char* device_class; // nullptr: none
};

constexpr Unit UNITS[] = {{"V", "V", "voltage"},
                          {"A", "A", "current"},
                          {"Ohm", "\xce\xa9", nullptr},
                          {"F", "F", nullptr},
                          {"Hz", "Hz", "frequency"},
                          {"degC",
                           "\xc2\xb0"
                           "C",
                           "temperature"},
                          {"W", "W", "power"},
                          {"", nullptr, nullptr}};

std::string text_of(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// What every sensor of the run has: its device, its ids, its state and the node's availability.
json sensor_config(const MqttNames& names, const char* component, const std::string& word,
                   const std::string& name, const std::string& state_topic)
{
    return json{{"name", name},
                {"unique_id", "ohmlog_" + names.node + "_" + word},
                {"default_entity_id", entity_id(component, names.node + "_" + word)},
                {"device",
                 {{"identifiers", json::array({"ohmlog_" + names.node})},
                  {"name", "ohmlog " + names.node},
                  {"manufacturer", "ohm"},
                  {"model", "MAS-345 logger"},
                  {"sw_version", OHM_VERSION}}},
                {"state_topic", state_topic},
                {"availability", json::array({{{"topic", node_topic(names, "availability")}}})},
                {"availability_mode", "all"}};
}

} // namespace

std::string word_of(const std::string& text)
{
    std::string word;
    for (const char c : text) {
        const bool kept =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        const std::string piece = kept       ? std::string(1, c)
                                  : c == '<' ? "_below_"
                                  : c == '>' ? "_above_"
                                             : "_";
        for (const char p : piece) {
            if (p != '_' || (!word.empty() && word.back() != '_')) {
                word += p;
            }
        }
    }
    while (!word.empty() && word.back() == '_') {
        word.pop_back();
    }
    return word;
}

std::string node_topic(const MqttNames& names, const std::string& leaf)
{
    return "ohm/" + names.node + "/" + leaf;
}

std::string alarm_word(const MqttNames& names, std::size_t alarm)
{
    return word_of(names.rules[alarm]);
}

std::string config_topic(const MqttNames& names, const char* component, const std::string& word)
{
    return std::string("homeassistant/") + component + "/" + names.node + "_" + word + "/config";
}

std::string reading_config(const MqttNames& names, std::size_t target, const std::string& unit)
{
    const bool meter = target < names.meters.size();
    const std::string word = meter ? names.meters[target] : "power";
    json config = sensor_config(names, "sensor", word, word, node_topic(names, word + "/reading"));
    config["value_template"] = "{{ value_json.value if value_json.status == 'ok' else None }}";
    config["state_class"] = "measurement";
    if (meter) {
        config["availability"].push_back({{"topic", node_topic(names, word + "/availability")}});
    }
    for (const Unit& known : UNITS) {
        if (unit == known.base_unit) {
            if (known.unit != nullptr) {
                config["unit_of_measurement"] = known.unit;
            }
            if (known.device_class != nullptr) {
                config["device_class"] = known.device_class;
            }
            break;
        }
    }
    return text_of(config);
}

// Home Assistant's energy dashboard takes a total with its last reset for a meter reset at the
// run's start. It may fall, as while a battery is charged: not total_increasing.
std::string total_config(const MqttNames& names, std::size_t meter)
{
    const bool energy = meter >= names.meters.size();
    json config = energy ? sensor_config(names, "sensor", "energy", "energy",
                                         node_topic(names, "power/energy"))
                         : sensor_config(names, "sensor", names.meters[meter] + "_charge",
                                         names.meters[meter] + " charge",
                                         node_topic(names, names.meters[meter] + "/charge"));
    config["value_template"] = "{{ value_json.value }}";
    config["last_reset_value_template"] = "{{ value_json.last_reset }}";
    config["state_class"] = "total";
    config["unit_of_measurement"] = energy ? "Wh" : "Ah";
    if (energy) {
        config["device_class"] = "energy";
    }
    return text_of(config);
}

std::string alarm_config(const MqttNames& names, std::size_t alarm)
{
    json config = sensor_config(names, "binary_sensor", "alarm_" + alarm_word(names, alarm),
                                "alarm " + names.rules[alarm],
                                node_topic(names, "alarm/" + alarm_word(names, alarm)));
    config["device_class"] = "problem";
    return text_of(config);
}

std::string total_topic(const MqttNames& names, std::size_t meter)
{
    return meter >= names.meters.size()
               ? config_topic(names, "sensor", "energy")
               : config_topic(names, "sensor", names.meters[meter] + "_charge");
}

std::vector<std::string> owned_topics(const MqttNames& names, const std::vector<bool>& charged)
{
    std::vector<std::string> topics;
    for (std::size_t meter = 0; meter < names.meters.size(); ++meter) {
        topics.push_back(config_topic(names, "sensor", names.meters[meter]));
        topics.push_back(node_topic(names, names.meters[meter] + "/availability"));
        if (charged[meter]) {
            topics.push_back(total_topic(names, meter));
        }
    }
    if (names.power) {
        topics.push_back(config_topic(names, "sensor", "power"));
        topics.push_back(total_topic(names, names.meters.size()));
    }
    for (std::size_t alarm = 0; alarm < names.rules.size(); ++alarm) {
        topics.push_back(config_topic(names, "binary_sensor", "alarm_" + alarm_word(names, alarm)));
        topics.push_back(node_topic(names, "alarm/" + alarm_word(names, alarm)));
    }
    return topics;
}

bool distinct_sensors(const MqttNames& names, std::string& problem)
{
    std::vector<std::pair<std::string, std::string>> sensors; // word, what it is
    for (const std::string& meter : names.meters) {
        sensors.emplace_back(meter, "the meter " + meter);
        sensors.emplace_back(meter + "_charge", "the charge of " + meter);
    }
    if (names.power) {
        sensors.emplace_back("power", "the power of --power");
        sensors.emplace_back("energy", "the energy of --power");
    }
    for (std::size_t alarm = 0; alarm < names.rules.size(); ++alarm) {
        sensors.emplace_back("alarm_" + alarm_word(names, alarm),
                             "the alarm " + names.rules[alarm]);
    }
    for (auto one = sensors.begin(); one != sensors.end(); ++one) {
        for (auto other = one + 1; other != sensors.end(); ++other) {
            if (one->first == other->first) {
                problem = one->second + " and " + other->second + " would share the MQTT sensor " +
                          names.node + "_" + one->first + ": name them apart";
                return false;
            }
        }
    }
    return true;
}

} // namespace logbook

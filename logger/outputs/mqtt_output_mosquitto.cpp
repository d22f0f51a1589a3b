// The MQTT output through libmosquitto (Debian's libmosquitto-dev), for the Linux builds.
#include "mqtt_output.h"

#include "log_json.h"
#include "log_platform.h"

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

namespace logbook {

namespace {

using nlohmann::json;

constexpr int KEEPALIVE_S = 30;
// A broker that is away is tried again after a second, then after twice as long, up to this.
constexpr unsigned int LONGEST_RETRY_S = 30;
// Messages handed to libmosquitto and not yet sent: past this, a slow broker loses the next.
constexpr int MOST_PENDING = 200;
// The end of a run gives what is still pending this long to go.
constexpr auto END_WAIT = std::chrono::seconds(2);

struct Broker {
    std::string host;
    int port = 1883;
    std::string user;
    bool tls = false;
};

// mqtt://[USER@]HOST[:PORT] and mqtts://..., HOST an address in brackets for IPv6.
bool parse_url(const std::string& url, Broker& broker, std::string& problem)
{
    const std::string plain = "mqtt://";
    const std::string secure = "mqtts://";
    broker.tls = url.rfind(secure, 0) == 0;
    if (!broker.tls && url.rfind(plain, 0) != 0) {
        problem = "bad --mqtt '" + url + "': mqtt://[USER@]HOST[:PORT] or mqtts://...";
        return false;
    }
    std::string rest = url.substr(broker.tls ? secure.size() : plain.size());
    const auto at = rest.find('@');
    if (at != std::string::npos) {
        broker.user = rest.substr(0, at);
        rest = rest.substr(at + 1);
    }
    broker.port = broker.tls ? 8883 : 1883;
    const auto bracket = rest.find(']');
    const auto colon = rest.find(':', bracket == std::string::npos ? 0 : bracket);
    if (colon != std::string::npos) {
        const std::string digits = rest.substr(colon + 1);
        const auto result =
            std::from_chars(digits.data(), digits.data() + digits.size(), broker.port);
        if (digits.empty() || result.ec != std::errc() ||
            result.ptr != digits.data() + digits.size() || broker.port < 1 || broker.port > 65535) {
            problem = "bad --mqtt '" + url + "': the port is a number from 1 to 65535";
            return false;
        }
        rest.resize(colon);
    }
    if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']') {
        rest = rest.substr(1, rest.size() - 2);
    }
    broker.host = rest;
    if (broker.host.empty() || broker.host.find('/') != std::string::npos) {
        problem = "bad --mqtt '" + url + "': no broker named";
        return false;
    }
    return true;
}

// A name as a topic level and a Home Assistant object id take it: letters, digits, _ and -.
std::string topic_word(const std::string& name)
{
    std::string word;
    for (const char c : name) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '-';
        word += kept ? c : '_';
    }
    return word.empty() ? std::string("_") : word;
}

struct Sensor {
    const char* base_unit;
    const char* unit;         // as Home Assistant writes it
    const char* device_class; // nullptr: none
};

constexpr Sensor SENSORS[] = {{"V", "V", "voltage"},
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

} // namespace

struct MqttPublisher {
    Broker broker;
    std::string password;
    bool has_password = false;
    std::string cafile;
    std::string node;                // as a topic level
    std::vector<std::string> topics; // each meter's name as a topic level, then "power"
    std::vector<std::string> names;  // as named
    mosquitto* client = nullptr;
    std::atomic<bool> connected{false};
    std::atomic<int> pending{0};
    std::atomic<long> sent{0};
    std::atomic<long> dropped{0};
    // What the network thread publishes again on each connection, and the loop's thread
    // changes.
    std::mutex lock;
    std::vector<bool> away;         // each meter's port lost
    std::vector<std::string> units; // the base unit last announced to Home Assistant; "?": none

    MqttPublisher() = default;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;
    ~MqttPublisher()
    {
        if (client != nullptr) {
            mosquitto_destroy(client);
            mosquitto_lib_cleanup();
        }
    }
};

namespace {

std::string node_topic(const MqttPublisher& publisher, const std::string& leaf)
{
    return "ohm/" + publisher.node + "/" + leaf;
}

void publish(MqttPublisher& publisher, const std::string& topic, const std::string& payload,
             int qos, bool retain)
{
    if (!publisher.connected || publisher.pending >= MOST_PENDING) {
        ++publisher.dropped;
        return;
    }
    ++publisher.pending;
    if (mosquitto_publish(publisher.client, nullptr, topic.c_str(),
                          static_cast<int>(payload.size()), payload.data(), qos,
                          retain) != MOSQ_ERR_SUCCESS) {
        --publisher.pending;
        ++publisher.dropped;
    }
}

std::string discovery(const MqttPublisher& publisher, std::size_t target, const std::string& unit)
{
    const std::string name = target < publisher.names.size() ? publisher.names[target] : "power";
    const std::string word = publisher.topics[target];
    json config{
        {"name", name},
        {"unique_id", "ohmlog_" + publisher.node + "_" + word},
        {"object_id", publisher.node + "_" + word},
        {"device",
         {{"identifiers", json::array({"ohmlog_" + publisher.node})},
          {"name", "ohmlog " + publisher.node},
          {"manufacturer", "ohm"},
          {"model", "MAS-345 logger"},
          {"sw_version", OHM_VERSION}}},
        {"state_topic", node_topic(publisher, word + "/reading")},
        {"value_template", "{{ value_json.value if value_json.status == 'ok' else None }}"},
        {"state_class", "measurement"},
        {"availability", json::array({{{"topic", node_topic(publisher, "availability")}},
                                      {{"topic", node_topic(publisher, word + "/availability")}}})},
        {"availability_mode", "all"}};
    for (const Sensor& sensor : SENSORS) {
        if (unit == sensor.base_unit) {
            if (sensor.unit != nullptr) {
                config["unit_of_measurement"] = sensor.unit;
            }
            if (sensor.device_class != nullptr) {
                config["device_class"] = sensor.device_class;
            }
            break;
        }
    }
    return config.dump(-1, ' ', false, json::error_handler_t::replace);
}

void announce(MqttPublisher& publisher, std::size_t target)
{
    publish(publisher,
            "homeassistant/sensor/" + publisher.node + "_" + publisher.topics[target] + "/config",
            discovery(publisher, target, publisher.units[target]), 1, true);
}

void set_availability(MqttPublisher& publisher, std::size_t target)
{
    publish(publisher, node_topic(publisher, publisher.topics[target] + "/availability"),
            publisher.away[target] ? "offline" : "online", 1, true);
}

// On each connection, from the network thread: online, and every meter's state and sensor.
void on_connect(mosquitto*, void* data, int result)
{
    auto& publisher = *static_cast<MqttPublisher*>(data);
    if (result != 0) {
        return;
    }
    publisher.connected = true;
    publish(publisher, node_topic(publisher, "availability"), "online", 1, true);
    const std::lock_guard<std::mutex> hold(publisher.lock);
    for (std::size_t target = 0; target < publisher.topics.size(); ++target) {
        set_availability(publisher, target);
        if (publisher.units[target] != "?") {
            announce(publisher, target);
        }
    }
}

void on_disconnect(mosquitto*, void* data, int)
{
    static_cast<MqttPublisher*>(data)->connected = false;
}

void on_publish(mosquitto*, void* data, int)
{
    auto& publisher = *static_cast<MqttPublisher*>(data);
    --publisher.pending;
    ++publisher.sent;
}

bool connect(MqttPublisher& publisher, std::string& problem)
{
    mosquitto_lib_init();
    const std::string id = "ohmlog-" + publisher.node + "-" + std::to_string(process_id());
    publisher.client = mosquitto_new(id.c_str(), true, &publisher);
    if (publisher.client == nullptr) {
        problem = "cannot make an MQTT client";
        return false;
    }
    mosquitto_connect_callback_set(publisher.client, on_connect);
    mosquitto_disconnect_callback_set(publisher.client, on_disconnect);
    mosquitto_publish_callback_set(publisher.client, on_publish);
    const std::string offline = "offline";
    const std::string will = node_topic(publisher, "availability");
    const bool set_up =
        mosquitto_will_set(publisher.client, will.c_str(), static_cast<int>(offline.size()),
                           offline.data(), 1, true) == MOSQ_ERR_SUCCESS &&
        (publisher.broker.user.empty() ||
         mosquitto_username_pw_set(publisher.client, publisher.broker.user.c_str(),
                                   publisher.has_password ? publisher.password.c_str() : nullptr) ==
             MOSQ_ERR_SUCCESS) &&
        (!publisher.broker.tls ||
         mosquitto_tls_set(publisher.client, publisher.cafile.c_str(), nullptr, nullptr, nullptr,
                           nullptr) == MOSQ_ERR_SUCCESS) &&
        mosquitto_reconnect_delay_set(publisher.client, 1, LONGEST_RETRY_S, true) ==
            MOSQ_ERR_SUCCESS;
    if (!set_up) {
        problem = "cannot set up the MQTT client (is --mqtt-cafile readable?)";
        return false;
    }
    // The network thread first: a broker not there yet is then no failure, and the thread
    // keeps trying (started after a failed connection, it would not).
    if (mosquitto_loop_start(publisher.client) != MOSQ_ERR_SUCCESS) {
        problem = "cannot start the MQTT client's thread";
        return false;
    }
    mosquitto_connect_async(publisher.client, publisher.broker.host.c_str(), publisher.broker.port,
                            KEEPALIVE_S);
    return true;
}

void take_record(MqttPublisher& publisher, const RunView& view, const Record& record)
{
    const auto meter = static_cast<std::size_t>(record.meter);
    {
        const std::lock_guard<std::mutex> hold(publisher.lock);
        const bool away = record.status == Status::port_lost;
        if (away != publisher.away[meter]) {
            publisher.away[meter] = away;
            set_availability(publisher, meter);
        }
        if (shows_unit(record) && record.base_unit != publisher.units[meter]) {
            publisher.units[meter] = record.base_unit; // the dial turned
            announce(publisher, meter);
        }
    }
    publish(publisher, node_topic(publisher, publisher.topics[meter] + "/reading"),
            row_text(view, record), 0, false);
}

void take_power(MqttPublisher& publisher, const PowerPoint& point)
{
    const std::size_t power = publisher.topics.size() - 1;
    {
        const std::lock_guard<std::mutex> hold(publisher.lock);
        if (publisher.units[power] != "W") {
            publisher.units[power] = "W";
            announce(publisher, power);
        }
    }
    char watts[64];
    const std::string value(watts, std::to_chars(watts, watts + sizeof watts, point.watts).ptr);
    publish(
        publisher, node_topic(publisher, "power/reading"),
        json{{"time", point.time}, {"value", value}, {"base_unit", "W"}, {"status", "ok"}}.dump(),
        0, false);
}

// The end: offline said, what is pending given a moment to go, the connection closed.
void end(MqttPublisher& publisher)
{
    publish(publisher, node_topic(publisher, "availability"), "offline", 1, true);
    const auto until = std::chrono::steady_clock::now() + END_WAIT;
    while (publisher.connected && publisher.pending > 0 &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The network thread sends the disconnection, which keeps the broker from publishing the
    // will, then ends.
    mosquitto_disconnect(publisher.client);
    mosquitto_loop_stop(publisher.client, false);
}

} // namespace

std::shared_ptr<MqttPublisher> new_mqtt_publisher(const MqttSettings& settings,
                                                  const std::vector<std::string>& meters,
                                                  bool power, std::string& problem)
{
    auto publisher = std::make_shared<MqttPublisher>();
    if (!parse_url(settings.url, publisher->broker, problem)) {
        return nullptr;
    }
    if (publisher->broker.tls && settings.cafile.empty()) {
        problem =
            "mqtts:// needs --mqtt-cafile, the authority that signed the broker's certificate";
        return nullptr;
    }
    if (!settings.password_file.empty()) {
        std::ifstream file(settings.password_file);
        if (!file || !std::getline(file, publisher->password)) {
            problem = "cannot read the MQTT password from " + settings.password_file;
            return nullptr;
        }
        publisher->has_password = true;
    } else if (const char* password = std::getenv("OHM_MQTT_PASSWORD")) {
        publisher->password = password;
        publisher->has_password = true;
    }
    publisher->cafile = settings.cafile;
    publisher->node = topic_word(settings.node.empty() ? host_name() : settings.node);
    publisher->names = meters;
    for (const std::string& name : meters) {
        publisher->topics.push_back(topic_word(name));
    }
    if (power) {
        publisher->topics.emplace_back("power");
    }
    publisher->away.assign(publisher->topics.size(), false);
    publisher->units.assign(publisher->topics.size(), "?");
    return publisher;
}

Output mqtt_output(MqttPublisher& publisher, Terminal& terminal)
{
    Output output;
    std::string problem;
    if (!connect(publisher, problem)) {
        tell(terminal, problem + "; the run goes on without MQTT");
    }
    output.take = [&publisher](const RunView& view, const RecordNews& news) {
        if (publisher.client == nullptr) {
            return true;
        }
        if (news.record != nullptr) {
            take_record(publisher, view, *news.record);
        }
        for (const PowerPoint& point : news.power) {
            take_power(publisher, point);
        }
        for (const AlarmEvent& alarm : news.alarms) {
            publish(publisher, node_topic(publisher, "alarm"), alarm_event_json(view, alarm), 1,
                    false);
        }
        return true;
    };
    output.finish = [&publisher](const RunView&) {
        if (publisher.client != nullptr) {
            end(publisher);
        }
        std::fprintf(stderr,
                     "  mqtt: %ld messages published, %ld dropped while the broker was "
                     "away or slow\n",
                     publisher.sent.load(), publisher.dropped.load());
        return true;
    };
    return output;
}

} // namespace logbook

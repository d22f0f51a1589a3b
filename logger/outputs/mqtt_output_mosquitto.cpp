// The MQTT output through libmosquitto: Debian's libmosquitto-dev on Linux, and on Windows
// Debian's source package of it built for MinGW (cmake/mosquitto_mingw.cmake). What differs
// between the two systems is in mqtt_system_posix.cpp and mqtt_system_win32.cpp.
#include "mqtt_output.h"

#include "log_files.h"
#include "log_json.h"
#include "log_platform.h"
#include "mqtt_sensors.h"
#include "mqtt_system.h"

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

namespace logbook {

namespace {

using nlohmann::json;
using Steady = std::chrono::steady_clock;

constexpr int KEEPALIVE_S = 30;
// A broker that is away is tried again after a second, then after twice as long, up to this.
constexpr int LONGEST_RETRY_S = 30;
// A connection not accepted within this (an address whose packets are dropped, a broker that
// never answers) is given up and tried again.
constexpr auto CONNECT_LIMIT = std::chrono::seconds(10);
// How long the start waits for the broker to say whether another logger has the node.
constexpr auto START_WAIT = std::chrono::seconds(2);
// The network thread looks this often whether it is told to stop.
constexpr int LOOP_MS = 100;
// MQTT's longest password.
constexpr std::size_t MOST_PASSWORD = 65535;
// Messages handed to libmosquitto and not yet sent: past this, a slow broker loses the next.
constexpr int MOST_PENDING = 200;
// The end of a run gives what is still pending this long to go...
constexpr auto END_WAIT = std::chrono::milliseconds(1500);
// ...and the network thread this long to end: one stuck in a name lookup is left behind.
constexpr auto STOP_WAIT = std::chrono::seconds(1);

struct Broker {
    std::string host;
    int port = 1883;
    std::string user;
    bool tls = false;
};

std::string address_of(const Broker& broker)
{
    const bool ipv6 = broker.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + broker.host + "]" : broker.host) + ":" + std::to_string(broker.port);
}

// Where an option was given: "FILE:LINE: " for a line of the file of options, else "".
std::string place_in(const MqttSettings& settings, const std::string& option)
{
    const auto given = settings.places.find(option);
    return given == settings.places.end() ? "" : given->second;
}

// The option as its user wrote it: "--mqtt-cafile", or in the file "mqtt-cafile".
std::string written(const MqttSettings& settings, const std::string& option)
{
    return option_written(place_in(settings, option), option);
}

// mqtt://[USER@]HOST[:PORT] and mqtts://..., HOST an address in brackets for IPv6. A password
// has no place there: the process list would show it, or --check-config the file's.
bool parse_url(const MqttSettings& settings, Broker& broker, std::string& problem)
{
    const std::string& url = settings.url;
    const std::string plain = "mqtt://";
    const std::string secure = "mqtts://";
    broker.tls = url.rfind(secure, 0) == 0;
    if (!broker.tls && url.rfind(plain, 0) != 0) {
        problem = "bad --mqtt '" + url + "': mqtt://[USER@]HOST[:PORT] or mqtts://...";
        return false;
    }
    const std::string scheme = broker.tls ? secure : plain;
    std::string rest = url.substr(scheme.size());
    const auto at = rest.find('@');
    if (at != std::string::npos) {
        broker.user = rest.substr(0, at);
        rest = rest.substr(at + 1);
    }
    const auto colon = broker.user.find(':');
    if (colon != std::string::npos) {
        const bool in_file = !place_in(settings, "mqtt").empty();
        problem = "bad --mqtt '" + scheme + broker.user.substr(0, colon) + ":...@" + rest +
                  "': no password in the URL, where " +
                  (in_file ? "--check-config shows it" : "the process list shows it") +
                  "; give it in OHM_MQTT_PASSWORD or " +
                  option_written(place_in(settings, "mqtt"), "mqtt-password-file");
        return false;
    }
    broker.port = broker.tls ? 8883 : 1883;
    const auto bracket = rest.find(']');
    const auto port_colon = rest.find(':', bracket == std::string::npos ? 0 : bracket);
    if (port_colon != std::string::npos) {
        const std::string digits = rest.substr(port_colon + 1);
        const auto result =
            std::from_chars(digits.data(), digits.data() + digits.size(), broker.port);
        if (digits.empty() || result.ec != std::errc() ||
            result.ptr != digits.data() + digits.size() || broker.port < 1 || broker.port > 65535) {
            problem = "bad --mqtt '" + url + "': the port is a number from 1 to 65535";
            return false;
        }
        rest.resize(port_colon);
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

// The file's text up to `most` bytes (a device such as /dev/zero has no end), or false with
// the system's words for what went wrong.
bool read_whole(const std::string& path, std::size_t most, std::string& text, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    char block[4096];
    std::size_t got = 0;
    while (text.size() <= most && (got = std::fread(block, 1, sizeof block, file)) > 0) {
        text.append(block, got);
    }
    const bool failed = std::ferror(file) != 0;
    error = failed ? std::strerror(errno) : "";
    std::fclose(file);
    if (!failed && text.size() > most) {
        error = "longer than " + std::to_string(most) + " bytes";
    }
    return error.empty();
}

// The file's text but one line end (LF or CR LF) at its end; else OHM_MQTT_PASSWORD, taken
// out of the environment that commands of --on-alarm inherit.
bool read_password(const std::string& path, std::string& password, bool& has_password,
                   std::string& problem)
{
    if (const char* given = std::getenv("OHM_MQTT_PASSWORD")) {
        has_password = path.empty();
        password = has_password ? given : "";
        forget_variable("OHM_MQTT_PASSWORD");
    }
    if (path.empty()) {
        return true;
    }
    std::string error;
    if (!read_whole(path, MOST_PASSWORD, password, error) ||
        !skip_byte_order_mark(password, error)) {
        problem = "cannot read the MQTT password from " + path + ": " + error;
        return false;
    }
    for (const char* end : {"\r\n", "\n"}) {
        const std::size_t size = std::strlen(end);
        if (password.size() >= size && password.compare(password.size() - size, size, end) == 0) {
            password.resize(password.size() - size);
            break;
        }
    }
    has_password = !password.empty();
    if (!has_password) {
        problem = "cannot read the MQTT password from " + path + ": the file holds none";
    }
    return has_password;
}

std::string default_node()
{
    const std::string host = host_name();
    const std::string word = word_of(host.substr(0, host.find('.')));
    return word.empty() ? std::string("ohmlog") : word;
}

enum class Phase {
    waiting,    // no connection; the next attempt is due at a time
    connecting, // an attempt not yet accepted
    greeting,   // accepted; the node's retained state being read
    known,      // the node is this run's; announced once the run starts
    ready,      // announced: the run's messages go
    refused     // another logger is online on the node: no more attempts
};

} // namespace

// What the run's loop and the network thread share. The settings above `lock` are set before
// the thread starts and read only after.
struct MqttLink {
    Broker broker;
    std::string password;
    bool has_password = false;
    std::string cafile;
    MqttNames names;
    std::string client_id;        // this process's
    std::string owner;            // this machine's, as the owner of the node's retained topics
    std::intptr_t node_lock = -1; // held while this process publishes as the node
    mosquitto* client = nullptr;
    std::atomic<bool> ready{false};
    std::atomic<int> pending{0};
    std::atomic<long> sent{0};
    std::atomic<long> dropped{0};
    std::mutex log_lock;    // libmosquitto logs from both threads
    std::string error_line; // its latest error line: OpenSSL's words for a refused certificate

    std::mutex lock;
    std::condition_variable changed;
    Phase phase = Phase::waiting;
    bool stopping = false;
    bool finished = false; // the network thread ended
    bool running = false;  // the run's outputs are set: the node may be announced
    bool settled = false;  // the first attempt came to something
    bool reached = false;  // the run was announced once at least
    int retry_s = 1;
    std::optional<Steady::time_point> known_since; // of the connection
    std::string refusal;                           // the broker's refusal of the current attempt
    std::string failure;                           // the latest, while not connected
    std::string last_failure;                      // of the run, for its summary
    std::string said;                              // the failure last said on standard error
    std::vector<std::pair<Severity, std::string>> notices; // for standard error
    std::string earlier_availability;                      // of the node, as retained
    std::string earlier_owner;
    std::vector<std::string> earlier_topics;
    std::vector<bool> away;         // each meter's port lost
    std::vector<std::string> units; // the base unit last announced; "?": none yet
    std::vector<bool> charged;      // its charge sensor announced
    std::vector<bool> charge_kept;  // its charge sensor, of an earlier run, left in place
    std::vector<bool> raised;       // each alarm's state as published

    MqttLink() = default;
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;
    ~MqttLink()
    {
        if (client != nullptr) {
            mosquitto_destroy(client);
            mosquitto_lib_cleanup();
        }
        release_name(node_lock);
    }
};

struct MqttPublisher {
    std::shared_ptr<MqttLink> link; // shared with the network thread, which may outlive this
    std::thread network;
    ~MqttPublisher();
};

namespace {

// Hands a message to libmosquitto, counted as pending until it is sent.
void send(MqttLink& link, const std::string& topic, const std::string& payload, int qos,
          bool retain)
{
    if (link.pending >= MOST_PENDING) {
        ++link.dropped;
        return;
    }
    ++link.pending;
    if (mosquitto_publish(link.client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), qos, retain) != MOSQ_ERR_SUCCESS) {
        --link.pending;
        ++link.dropped;
    }
}

// A message of the run: dropped, and counted, unless the broker is there and knows the run.
void publish(MqttLink& link, const std::string& topic, const std::string& payload, int qos,
             bool retain)
{
    if (!link.ready) {
        ++link.dropped;
        return;
    }
    send(link, topic, payload, qos, retain);
}

void retain(MqttLink& link, const std::string& topic, const std::string& payload)
{
    publish(link, topic, payload, 1, true);
}

// The charge sensors the run owns: those it announced, and those of its meters that an earlier
// run announced. A meter may read DC amperes again at any moment: clearing its charge sensor
// until then would have Home Assistant delete it, and its settings with it.
std::vector<bool> owned_charges(const MqttLink& link)
{
    std::vector<bool> owned = link.charged;
    for (std::size_t meter = 0; meter < owned.size(); ++meter) {
        owned[meter] = owned[meter] || link.charge_kept[meter];
    }
    return owned;
}

void publish_owned(MqttLink& link)
{
    retain(link, node_topic(link.names, "sensors"),
           json{{"logger", link.owner}, {"topics", owned_topics(link.names, owned_charges(link))}}
               .dump());
}

void announce_reading(MqttLink& link, std::size_t target)
{
    const std::string word =
        target < link.names.meters.size() ? link.names.meters[target] : "power";
    retain(link, config_topic(link.names, "sensor", word),
           reading_config(link.names, target, link.units[target]));
}

void set_availability(MqttLink& link, std::size_t meter)
{
    retain(link, node_topic(link.names, link.names.meters[meter] + "/availability"),
           link.away[meter] ? "offline" : "online");
}

void set_alarm(MqttLink& link, std::size_t alarm)
{
    retain(link, node_topic(link.names, "alarm/" + alarm_word(link.names, alarm)),
           link.raised[alarm] ? "ON" : "OFF");
}

// Under the lock, from either thread: the run's state on a connection the node is known on,
// and what an earlier run left that this one does not publish, cleared.
void announce(MqttLink& link)
{
    link.ready = true;
    link.reached = true;
    link.phase = Phase::ready;
    for (std::size_t meter = 0; meter < link.names.meters.size(); ++meter) {
        const std::string charge = total_topic(link.names, meter);
        link.charge_kept[meter] = link.charge_kept[meter] ||
                                  std::find(link.earlier_topics.begin(), link.earlier_topics.end(),
                                            charge) != link.earlier_topics.end();
    }
    const std::vector<std::string> owned = owned_topics(link.names, owned_charges(link));
    for (const std::string& topic : link.earlier_topics) {
        if (std::find(owned.begin(), owned.end(), topic) == owned.end()) {
            retain(link, topic, "");
        }
    }
    link.earlier_topics.clear();
    publish_owned(link);
    retain(link, node_topic(link.names, "availability"), "online");
    for (std::size_t target = 0; target < link.units.size(); ++target) {
        if (target < link.names.meters.size()) {
            set_availability(link, target);
        }
        if (link.units[target] != "?") {
            announce_reading(link, target);
        }
    }
    for (std::size_t meter = 0; meter <= link.names.meters.size(); ++meter) {
        if (meter < link.names.meters.size() ? link.charged[meter] : link.names.power) {
            retain(link, total_topic(link.names, meter), total_config(link.names, meter));
        }
    }
    for (std::size_t alarm = 0; alarm < link.names.rules.size(); ++alarm) {
        retain(link,
               config_topic(link.names, "binary_sensor", "alarm_" + alarm_word(link.names, alarm)),
               alarm_config(link.names, alarm));
        set_alarm(link, alarm);
    }
    if (!link.said.empty()) {
        link.notices.emplace_back(Severity::info, "mqtt: connected to " + address_of(link.broker));
    }
    link.said.clear();
    link.failure.clear();
}

// Under the lock: a failure, said when it is not the one said last.
void note_failure(MqttLink& link, const std::string& failure)
{
    link.ready = false;
    link.failure = failure;
    link.last_failure = failure;
    if (failure != link.said) {
        link.notices.emplace_back(Severity::warning, "mqtt: no connection to " +
                                                         address_of(link.broker) + ": " + failure +
                                                         "; trying again");
        link.said = failure;
    }
    link.settled = true;
    link.changed.notify_all();
}

std::string refusal_of(int code)
{
    if (code == 4 || code == 5) {
        return std::string("login refused (") +
               (code == 4 ? "bad user name or password" : "not authorised") + ")";
    }
    return std::string("refused by the broker (") + mosquitto_connack_string(code) + ")";
}

// A failed attempt or a lost connection in words.
std::string failure_of(MqttLink& link, int code, int error, bool lost)
{
    if (!link.refusal.empty()) {
        return link.refusal;
    }
    // A plain connection to a TLS port, among others, is lost before the broker answers.
    if (code == MOSQ_ERR_CONN_LOST || (lost && code == MOSQ_ERR_ERRNO)) {
        return "connection lost";
    }
    if (code == MOSQ_ERR_EAI) {
        return "name not found (" + link.broker.host + ": " + lookup_error_text(error) + ")";
    }
    if (code == MOSQ_ERR_TLS) {
        const std::lock_guard<std::mutex> hold(link.log_lock);
        return link.error_line.find("certificate verify failed") != std::string::npos
                   ? "certificate refused (not signed by --mqtt-cafile's authority, or not "
                     "this host's)"
                   : "TLS failed (" + link.error_line + ")";
    }
    if (code == MOSQ_ERR_ERRNO) {
        return connection_refused(error) ? std::string("connection refused")
                                         : socket_error_text(error);
    }
    return mosquitto_strerror(code);
}

void on_log(mosquitto*, void* data, int level, const char* line)
{
    if ((level & MOSQ_LOG_ERR) != 0) {
        auto& link = *static_cast<MqttLink*>(data);
        const std::lock_guard<std::mutex> hold(link.log_lock);
        link.error_line = line;
    }
}

// The node's retained availability and list of topics, then the greeting that follows them.
std::vector<std::string> greeting_topics(const MqttLink& link)
{
    return {node_topic(link.names, "availability"), node_topic(link.names, "sensors"),
            node_topic(link.names, "hello")};
}

std::vector<char*> pointers_to(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    pointers.reserve(texts.size());
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    return pointers;
}

void on_connect(mosquitto* client, void* data, int code)
{
    auto& link = *static_cast<MqttLink*>(data);
    const std::lock_guard<std::mutex> hold(link.lock);
    if (code != 0) {
        link.refusal = refusal_of(code);
        return;
    }
    // The messages of the connection before, not sent, went with it.
    link.pending = 0;
    link.phase = Phase::greeting;
    link.earlier_availability.clear();
    link.earlier_owner.clear();
    link.earlier_topics.clear();
    std::vector<std::string> topics = greeting_topics(link);
    const std::vector<char*> names = pointers_to(topics);
    mosquitto_subscribe_multiple(client, nullptr, static_cast<int>(names.size()), names.data(), 1,
                                 0, nullptr);
}

// Under the lock: the node is this run's unless a logger of another machine has it online (one
// of this machine would hold the node's lock: an "online" of this machine's is one the broker
// kept when its will was lost, after a power cut).
void greeted(MqttLink& link)
{
    std::vector<std::string> topics = greeting_topics(link);
    const std::vector<char*> names = pointers_to(topics);
    mosquitto_unsubscribe_multiple(link.client, nullptr, static_cast<int>(names.size()),
                                   names.data(), nullptr);
    if (link.earlier_availability == "online" && link.earlier_owner != link.owner) {
        link.phase = Phase::refused;
        link.failure = "node " + link.names.node + " is online on " + address_of(link.broker) +
                       ": another ohmlog publishes as " + link.names.node;
        link.last_failure = link.failure;
        link.notices.emplace_back(Severity::error,
                                  "mqtt: " + link.failure + "; this run stops publishing");
        link.settled = true;
        link.changed.notify_all();
        mosquitto_disconnect(link.client); // a clean end: the broker keeps the other's state
        return;
    }
    link.phase = Phase::known;
    link.known_since = Steady::now();
    if (link.running) {
        announce(link);
    }
    link.settled = true;
    link.changed.notify_all();
}

void on_subscribe(mosquitto*, void* data, int, int count, const int* granted)
{
    auto& link = *static_cast<MqttLink*>(data);
    const std::lock_guard<std::mutex> hold(link.lock);
    if (link.phase != Phase::greeting) {
        return;
    }
    if (std::any_of(granted, granted + count, [](int qos) { return qos > 2; })) {
        link.notices.emplace_back(
            Severity::warning, "mqtt: the broker lets this user read none of ohm/" +
                                   link.names.node +
                                   "/: another logger on the node is not looked for, nor what an "
                                   "earlier run left cleared");
        greeted(link);
        return;
    }
    send(link, node_topic(link.names, "hello"), link.client_id, 1, false);
}

void on_message(mosquitto*, void* data, const mosquitto_message* message)
{
    auto& link = *static_cast<MqttLink*>(data);
    const std::lock_guard<std::mutex> hold(link.lock);
    const std::string topic = message->topic;
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    if (link.phase != Phase::greeting) {
        return;
    }
    if (topic == node_topic(link.names, "availability") && message->retain) {
        link.earlier_availability = payload;
    } else if (topic == node_topic(link.names, "sensors") && message->retain) {
        const json earlier = json::parse(payload, nullptr, false);
        if (earlier.is_object() && earlier.value("topics", json()).is_array()) {
            link.earlier_owner = earlier.value("logger", "");
            for (const json& each : earlier["topics"]) {
                // Only what this node's runs publish is ever cleared.
                const std::string owned = each.is_string() ? each.get<std::string>() : "";
                if (owned.rfind(node_topic(link.names, ""), 0) == 0 ||
                    (owned.rfind("homeassistant/", 0) == 0 &&
                     owned.find("/" + link.names.node + "_") != std::string::npos)) {
                    link.earlier_topics.push_back(owned);
                }
            }
        }
    } else if (topic == node_topic(link.names, "hello") && payload == link.client_id) {
        greeted(link);
    }
}

void on_disconnect(mosquitto*, void* data, int)
{
    static_cast<MqttLink*>(data)->ready = false;
}

void on_publish(mosquitto*, void* data, int)
{
    auto& link = *static_cast<MqttLink*>(data);
    int pending = link.pending;
    while (pending > 0 && !link.pending.compare_exchange_weak(pending, pending - 1)) {
    }
    ++link.sent;
}

// Under the lock: when to try again, after a pause that doubles up to LONGEST_RETRY_S, and
// from a second again after a connection that held as long: a broker that drops every
// connection is not tried, nor its failure said, more often than that.
Steady::time_point next_attempt(MqttLink& link)
{
    const Steady::time_point now = Steady::now();
    if (link.known_since && now - *link.known_since >= std::chrono::seconds(LONGEST_RETRY_S)) {
        link.retry_s = 1;
    }
    link.known_since.reset();
    const Steady::time_point next = now + std::chrono::seconds(link.retry_s);
    link.retry_s = std::min(2 * link.retry_s, LONGEST_RETRY_S);
    return next;
}

// An attempt that failed at once or a connection that ended, and when to try again.
void fail(MqttLink& link, int code, int error, Steady::time_point& next_try)
{
    const std::lock_guard<std::mutex> hold(link.lock);
    link.ready = false;
    if (link.phase == Phase::refused) {
        return;
    }
    const bool lost =
        link.phase == Phase::greeting || link.phase == Phase::known || link.phase == Phase::ready;
    note_failure(link, failure_of(link, code, error, lost));
    link.refusal.clear();
    link.phase = Phase::waiting;
    next_try = next_attempt(link);
}

// Waits for the next attempt; false when told to stop (or refused, until then).
bool wait_to_try(MqttLink& link, Steady::time_point next_try)
{
    std::unique_lock<std::mutex> hold(link.lock);
    link.changed.wait_until(hold, next_try, [&link] { return link.stopping; });
    if (link.phase == Phase::refused) {
        link.changed.wait(hold, [&link] { return link.stopping; });
    }
    link.phase = Phase::connecting;
    return !link.stopping;
}

// Waits up to `ms` for the attempt's TCP connection; its failure as MOSQ_ERR_ERRNO and
// `error`. libmosquitto does not see a TLS connection refused: it tries its handshake again and
// again, at once, until the attempt is given up. Its first try may have taken the socket's
// error already.
int wait_for_connection(mosquitto* client, int ms, int& error, bool& connected)
{
    if (!connection_settled(mosquitto_socket(client), ms, error)) {
        return MOSQ_ERR_SUCCESS;
    }
    connected = error == 0;
    return connected ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
}

// The network thread: connections made without blocking, each wait bounded, so that a broker
// or a firewall cannot keep the run from ending.
void run_network(const std::shared_ptr<MqttLink>& shared)
{
    MqttLink& link = *shared;
    Steady::time_point next_try = Steady::now();
    Steady::time_point limit = next_try;
    bool open = false;
    bool connected = false; // the attempt's TCP connection is made
    bool first = true;
    while (open || wait_to_try(link, next_try)) {
        if (!open) {
            connected = false;
            errno = 0;
            const int code = first ? mosquitto_connect_async(link.client, link.broker.host.c_str(),
                                                             link.broker.port, KEEPALIVE_S)
                                   : mosquitto_reconnect_async(link.client);
            const int error = errno; // the cause, before the calls below set errno
            first = false;
            open = code == MOSQ_ERR_SUCCESS;
            // Not for the commands of --on-alarm: one that outlives the run would hold the
            // connection, and keep the broker from saying offline.
            keep_from_commands(mosquitto_socket(link.client));
            limit = Steady::now() + CONNECT_LIMIT;
            if (!open) {
                fail(link, code, error, next_try);
                continue;
            }
        }
        int error = 0;
        int code = MOSQ_ERR_SUCCESS;
        if (connected) {
            errno = 0;
            code = mosquitto_loop(link.client, LOOP_MS, 1);
            error = errno;
        } else {
            code = wait_for_connection(link.client, LOOP_MS, error, connected);
        }
        if (code != MOSQ_ERR_SUCCESS) {
            open = false;
            fail(link, code, error, next_try);
            continue;
        }
        const std::lock_guard<std::mutex> hold(link.lock);
        if (link.stopping) {
            break;
        }
        if ((link.phase == Phase::connecting || link.phase == Phase::greeting) &&
            Steady::now() > limit) {
            open = false; // the next attempt closes the socket
            note_failure(
                link,
                "no answer in " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::seconds>(CONNECT_LIMIT).count()) +
                    " s");
            link.phase = Phase::waiting;
            next_try = next_attempt(link);
        }
    }
    // The disconnection sent keeps the broker from publishing the will.
    if (open && mosquitto_disconnect(link.client) == MOSQ_ERR_SUCCESS) {
        for (int k = 0; k < 5 && mosquitto_socket(link.client) != -1; ++k) {
            mosquitto_loop(link.client, LOOP_MS / 2, 1);
        }
    }
    const std::lock_guard<std::mutex> hold(link.lock);
    link.finished = true;
    link.changed.notify_all();
}

void stop_network(MqttPublisher& publisher)
{
    if (!publisher.network.joinable()) {
        return;
    }
    MqttLink& link = *publisher.link;
    std::unique_lock<std::mutex> hold(link.lock);
    link.stopping = true;
    link.changed.notify_all();
    const bool ended = link.changed.wait_for(hold, STOP_WAIT, [&link] { return link.finished; });
    hold.unlock();
    if (ended) {
        publisher.network.join();
    } else {
        publisher.network.detach(); // it holds the link, and lets it go when its lookup ends
    }
}

bool set_up_client(MqttLink& link, std::string& problem)
{
    mosquitto_lib_init();
    link.client = mosquitto_new(link.client_id.c_str(), true, &link);
    if (link.client == nullptr) {
        problem = "cannot make an MQTT client";
        return false;
    }
    mosquitto_threaded_set(link.client, true); // publishing wakes the network thread
    mosquitto_log_callback_set(link.client, on_log);
    mosquitto_connect_callback_set(link.client, on_connect);
    mosquitto_disconnect_callback_set(link.client, on_disconnect);
    mosquitto_publish_callback_set(link.client, on_publish);
    mosquitto_subscribe_callback_set(link.client, on_subscribe);
    mosquitto_message_callback_set(link.client, on_message);
    const std::string offline = "offline";
    const std::string will = node_topic(link.names, "availability");
    const bool set_up =
        mosquitto_will_set(link.client, will.c_str(), static_cast<int>(offline.size()),
                           offline.data(), 1, true) == MOSQ_ERR_SUCCESS &&
        (link.broker.user.empty() ||
         mosquitto_username_pw_set(link.client, link.broker.user.c_str(),
                                   link.has_password ? link.password.c_str() : nullptr) ==
             MOSQ_ERR_SUCCESS) &&
        (!link.broker.tls || mosquitto_tls_set(link.client, link.cafile.c_str(), nullptr, nullptr,
                                               nullptr, nullptr) == MOSQ_ERR_SUCCESS);
    if (!set_up) {
        problem = "cannot set up the MQTT client";
    }
    return set_up;
}

// This machine: its name, and its identity where it has one, so that two machines of one name
// are told apart.
std::string machine_owner()
{
    const std::string id = machine_identity();
    return id.empty() ? host_name() : host_name() + "/" + id;
}

// One logger a node on this machine: a name held by the process for as long as it lives,
// however it ends.
bool hold_node(MqttLink& link, std::string& problem)
{
    bool taken = false;
    if (!hold_name("ohmlog MQTT node " + link.names.node, link.node_lock, taken)) {
        problem = "another ohmlog on this machine publishes as node " + link.names.node +
                  "; name this one with --mqtt-node";
        return false;
    }
    return true;
}

bool take_settings(const MqttSettings& settings, MqttLink& link, std::string& problem)
{
    // A refusal leads with the place of the option it is about, in the file of options.
    const auto refused = [&settings, &problem](const char* option) {
        problem = refusal_at(place_in(settings, option), problem);
        return false;
    };
    if (!parse_url(settings, link.broker, problem)) {
        return refused("mqtt");
    }
    if (link.broker.tls && !tls_built_in(problem)) {
        return refused("mqtt");
    }
    if (!link.broker.tls && !settings.cafile.empty()) {
        problem =
            written(settings, "mqtt-cafile") +
            " is for mqtts://: with mqtt:// the connection, and a password, would go in clear";
        return refused("mqtt-cafile");
    }
    if (link.broker.tls && settings.cafile.empty()) {
        problem = "mqtts:// needs " + option_written(place_in(settings, "mqtt"), "mqtt-cafile") +
                  ", the authority that signed the broker's certificate";
        return refused("mqtt");
    }
    if (link.broker.tls &&
        !check_cafile(settings.cafile, written(settings, "mqtt-cafile"), problem)) {
        return refused("mqtt-cafile");
    }
    if (!read_password(settings.password_file, link.password, link.has_password, problem)) {
        return refused("mqtt-password-file");
    }
    if (link.has_password && link.broker.user.empty()) {
        problem = "a password (OHM_MQTT_PASSWORD or " +
                  option_written(place_in(settings, "mqtt"), "mqtt-password-file") +
                  ") needs a user: mqtt://USER@HOST";
        return refused("mqtt");
    }
    if (!settings.node.empty() && !plain_name(settings.node)) {
        problem = "bad --mqtt-node '" + settings.node +
                  "': letters, digits, _ and -, as it names MQTT topics";
        return refused("mqtt-node");
    }
    link.cafile = settings.cafile;
    link.names.node = settings.node.empty() ? default_node() : settings.node;
    return true;
}

// The start: the first attempt's outcome, for a moment. What it said goes to standard error
// now; another logger online on the node refuses the run.
bool wait_for_start(MqttLink& link, std::string& problem)
{
    std::unique_lock<std::mutex> hold(link.lock);
    link.changed.wait_for(hold, START_WAIT, [&link] { return link.settled; });
    if (link.phase == Phase::refused) {
        problem = link.failure +
                  "; name this one with --mqtt-node (if none runs, clear the "
                  "node: mosquitto_pub -r -n -t ohm/" +
                  link.names.node + "/availability)";
        return false;
    }
    for (const auto& [severity, notice] : link.notices) {
        say(severity, notice);
    }
    link.notices.clear();
    return true;
}

std::string total_json(const std::string& time, double value, const char* unit, const RunView& view)
{
    char number[400]; // the largest double in fixed notation

    return json{
        {"time", time},
        {"value",
         std::string(
             number,
             std::to_chars(number, number + sizeof number, value, std::chars_format::fixed).ptr)},
        {"base_unit", unit},
        {"status", "ok"},
        {"last_reset", utc_timestamp(view.start_utc)}}
        .dump();
}

void publish_energy(MqttLink& link, const RunView& view, const std::string& time)
{
    publish(link, node_topic(link.names, "power/energy"),
            total_json(time, view.power->pairing.energy.total / 3600.0, "Wh", view), 0, false);
}

void publish_charge(MqttLink& link, const RunView& view, std::size_t meter, const std::string& time)
{
    publish(link, node_topic(link.names, link.names.meters[meter] + "/charge"),
            total_json(time, view.meters[meter].charge.total / 3600.0, "Ah", view), 0, false);
}

void take_record(MqttLink& link, const RunView& view, const Record& record)
{
    const auto meter = static_cast<std::size_t>(record.meter);
    const bool charge = is_dc(record, "A") && view.meters[meter].charge.measured;
    {
        const std::lock_guard<std::mutex> hold(link.lock);
        const bool away = record.status == Status::port_lost;
        if (away != link.away[meter]) {
            link.away[meter] = away;
            set_availability(link, meter);
        }
        if (shows_unit(record) && record.base_unit != link.units[meter]) {
            link.units[meter] = record.base_unit; // the dial turned
            announce_reading(link, meter);
        }
        if (charge && !link.charged[meter]) {
            link.charged[meter] = true;
            retain(link, total_topic(link.names, meter), total_config(link.names, meter));
            publish_owned(link);
        }
    }
    publish(link, node_topic(link.names, link.names.meters[meter] + "/reading"),
            row_text(view, record), 0, false);
    if (charge) {
        publish_charge(link, view, meter, record.time);
    }
}

void take_power(MqttLink& link, const RunView& view, const PowerPoint& point)
{
    publish(link, node_topic(link.names, "power/reading"),
            json{{"time", point.time}, {"value", point.value}, {"base_unit", "W"}, {"status", "ok"}}
                .dump(),
            0, false);
    publish_energy(link, view, point.time);
}

void take_alarm(MqttLink& link, const RunView& view, const AlarmEvent& event)
{
    publish(link, node_topic(link.names, "alarm"), alarm_event_json(view, event), 1, false);
    const auto alarm = static_cast<std::size_t>(event.alarm);
    const std::lock_guard<std::mutex> hold(link.lock);
    const bool active = alarm_active(view.alarms[alarm]);
    if (active != link.raised[alarm]) {
        link.raised[alarm] = active;
        set_alarm(link, alarm);
    }
}

// What the network thread found, said on standard error and shown in the view.
void report(MqttLink& link, Terminal& terminal, RunView& view)
{
    std::vector<std::pair<Severity, std::string>> notices;
    MqttState state{address_of(link.broker), link.names.node, false, ""};
    {
        const std::lock_guard<std::mutex> hold(link.lock);
        notices.swap(link.notices);
        state.connected = link.phase == Phase::ready;
        state.problem = link.failure;
    }
    for (const auto& [severity, notice] : notices) {
        tell(terminal, severity, notice);
    }
    if (state.connected != view.mqtt.connected || state.problem != view.mqtt.problem ||
        view.mqtt.broker.empty()) {
        const std::lock_guard<std::mutex> hold(view.lock);
        view.mqtt = state;
    }
}

// For the summary: the last failure, or why messages were dropped without one.
std::string why_dropped(MqttLink& link)
{
    const std::lock_guard<std::mutex> hold(link.lock);
    if (!link.last_failure.empty()) {
        return "; the last failure: " + link.last_failure +
               (link.failure.empty() ? " (connected again since)" : "");
    }
    if (link.dropped == 0) {
        return "";
    }
    return link.reached ? " while the broker was slow"
                        : " before " + address_of(link.broker) + " answered";
}

// The end: the run's totals, every meter and the node offline, what is pending given a moment
// to go, the connection closed.
void end(MqttPublisher& publisher, const RunView& view)
{
    MqttLink& link = *publisher.link;
    const std::string now = utc_timestamp(std::chrono::system_clock::now());
    if (view.power) {
        publish_energy(link, view, now);
    }
    {
        const std::lock_guard<std::mutex> hold(link.lock);
        for (std::size_t meter = 0; meter < link.names.meters.size(); ++meter) {
            if (link.charged[meter]) {
                publish_charge(link, view, meter, now);
            }
            link.away[meter] = true;
            set_availability(link, meter);
        }
        retain(link, node_topic(link.names, "availability"), "offline");
    }
    const auto until = Steady::now() + END_WAIT;
    while (link.ready && link.pending > 0 && Steady::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop_network(publisher);
    link.dropped += link.pending.exchange(0); // never sent
}

// The settings and the sensors' names taken into `link`, or the problem with them.
bool take_names(const MqttSettings& settings, const std::vector<std::string>& meters, bool power,
                const std::vector<std::string>& alarms, MqttLink& link, std::string& problem)
{
    link.names.meters = meters;
    link.names.power = power;
    link.names.rules = alarms;
    if (!take_settings(settings, link, problem)) {
        return false;
    }
    if (!distinct_sensors(link.names, problem)) {
        problem = refusal_at(place_in(settings, "mqtt"), problem);
        return false;
    }
    return true;
}

} // namespace

MqttPublisher::~MqttPublisher()
{
    stop_network(*this);
}

std::shared_ptr<MqttPublisher>
new_mqtt_publisher(const MqttSettings& settings, const std::vector<std::string>& meters, bool power,
                   const std::vector<std::string>& alarms, std::string& problem)
{
    auto link = std::make_shared<MqttLink>();
    if (!take_names(settings, meters, power, alarms, *link, problem) ||
        !hold_node(*link, problem)) {
        return nullptr;
    }
    link->client_id = "ohmlog-" + host_name() + "-" + std::to_string(process_id());
    link->owner = machine_owner();
    const std::size_t targets = meters.size() + (power ? 1 : 0);
    link->away.assign(meters.size(), false);
    link->units.assign(targets, "?");
    if (power) {
        link->units.back() = "W";
    }
    link->charged.assign(meters.size(), false);
    link->charge_kept.assign(meters.size(), false);
    link->raised.assign(alarms.size(), false);
    if (!set_up_client(*link, problem)) {
        return nullptr;
    }
    auto publisher = std::make_shared<MqttPublisher>();
    publisher->link = link;
    publisher->network = std::thread(run_network, link);
    return wait_for_start(*link, problem) ? publisher : nullptr;
}

bool check_mqtt_settings(const MqttSettings& settings, const std::vector<std::string>& meters,
                         bool power, const std::vector<std::string>& alarms, std::string& problem)
{
    MqttLink link;
    return take_names(settings, meters, power, alarms, link, problem);
}

std::string mqtt_usage()
{
    std::string without_tls;
    const bool tls = tls_built_in(without_tls);
    return std::string(
               "      --mqtt mqtt://[USER@]HOST[:PORT]  publish readings, availability, alarms\n") +
           (tls ? "                       and Home Assistant discovery (mqtts:// with "
                  "--mqtt-cafile);\n"
                : "                       and Home Assistant discovery (no TLS: no mqtts://);\n") +
           "                       the password from OHM_MQTT_PASSWORD or --mqtt-password-file\n"
           "      --mqtt-node NAME this logger's name in the topics: letters, digits, _, -\n"
           "                       (default the host name up to its first dot); one logger\n"
           "                       a node\n";
}

Output mqtt_output(MqttPublisher& publisher, Terminal& terminal, RunView& view)
{
    MqttLink& link = *publisher.link;
    {
        const std::lock_guard<std::mutex> hold(link.lock);
        link.running = true;
        if (link.phase == Phase::known) {
            announce(link);
        }
    }
    report(link, terminal, view);
    Output output;
    output.take = [&link, &terminal, &view](const RunView&, const RecordNews& news) {
        if (news.record != nullptr) {
            take_record(link, view, *news.record);
        }
        for (const PowerPoint& point : news.power) {
            take_power(link, view, point);
        }
        for (const AlarmEvent& alarm : news.alarms) {
            take_alarm(link, view, alarm);
        }
        report(link, terminal, view);
        return true;
    };
    output.finish = [&publisher, &terminal, &view](const RunView&) {
        MqttLink& ended = *publisher.link;
        end(publisher, view);
        report(ended, terminal, view);
        say_summary("  mqtt: " + std::to_string(ended.sent.load()) + " messages published, " +
                    std::to_string(ended.dropped.load()) + " dropped" + why_dropped(ended) + "\n");
        return true;
    };
    return output;
}

} // namespace logbook

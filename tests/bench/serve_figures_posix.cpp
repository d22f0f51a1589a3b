// ohmlog --serve under load: 50 clients of /events on loopback while it reads a prompt meter.
#include "bench_readings.h"

#include "process.h"
#include "sim_meter.h"
#include "test_paths.h"

#include <algorithm>
#include <map>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int connect_to(int port)
{
    const int socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(socket_fd);
        return -1;
    }
    return socket_fd;
}

void send_text(int socket_fd, const std::string& text)
{
    const ssize_t sent = send(socket_fd, text.data(), text.size(), MSG_NOSIGNAL);
    (void)sent;
}

// The whole answer to a request that closes its connection.
std::string fetch(int port, const std::string& target)
{
    const int socket_fd = connect_to(port);
    send_text(socket_fd,
              "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    std::string answer;
    char buffer[65536];
    for (ssize_t got; (got = recv(socket_fd, buffer, sizeof buffer, 0)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    close(socket_fd);
    return answer;
}

int served_port(const std::string& stderr_path)
{
    for (int waited = 0; waited < 200; ++waited) {
        const std::string said = read_file(stderr_path);
        const auto at = said.find("http://127.0.0.1:");
        if (at != std::string::npos) {
            return std::stoi(said.substr(at + 17));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return -1;
}

double children_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Client {
    int socket_fd;
    std::string tail; // the end of what came, where a split "event: row" may wait
    std::vector<double> rows_at;
};

// Reads every client until each has `rows` row events or the time is up.
void follow(std::vector<Client>& clients, std::size_t rows, double seconds)
{
    const double start = monotonic_seconds();
    const std::string marker = "event: row\n";
    while (seconds_since(start) < seconds &&
           std::any_of(clients.begin(), clients.end(),
                       [rows](const Client& client) { return client.rows_at.size() < rows; })) {
        std::vector<pollfd> watch;
        watch.reserve(clients.size());
        for (const Client& client : clients) {
            watch.push_back(pollfd{client.socket_fd, POLLIN, 0});
        }
        poll(watch.data(), watch.size(), 100);
        const double now = monotonic_seconds();
        for (std::size_t i = 0; i < clients.size(); ++i) {
            char buffer[65536];
            const ssize_t got = (watch[i].revents & POLLIN) != 0
                                    ? recv(clients[i].socket_fd, buffer, sizeof buffer, 0)
                                    : 0;
            if (got <= 0) {
                continue;
            }
            std::string text = clients[i].tail + std::string(buffer, static_cast<std::size_t>(got));
            for (std::size_t at = text.find(marker); at != std::string::npos;
                 at = text.find(marker, at + 1)) {
                clients[i].rows_at.push_back(now);
            }
            clients[i].tail = text.substr(text.size() - std::min(text.size(), marker.size() - 1));
        }
    }
}

} // namespace

void ohmlog_serve_figures(double cpu_percent_alone)
{
    constexpr std::size_t readings = 40;
    constexpr int client_count = 50;
    const std::string dir = make_temp_dir("ohm-bench");
    SimMeter meter;
    Launch launch;
    launch.argv = {std::string(OHM_NATIVE_BIN) + "/ohmlog",
                   "-n",
                   std::to_string(readings),
                   "--serve",
                   "127.0.0.1:0",
                   meter.path()};
    launch.stderr_path = dir + "/stderr";
    const double cpu_before = children_cpu_seconds();
    const double start = monotonic_seconds();
    BackgroundProcess log(launch);
    const int port = served_port(launch.stderr_path);
    std::vector<Client> clients;
    for (int i = 0; i < client_count; ++i) {
        clients.push_back(Client{connect_to(port), "", {}});
        send_text(clients.back().socket_fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    report("ohmlog_page_kb", static_cast<double>(fetch(port, "/").size()) / 1024.0);
    std::vector<double> written_at;
    std::thread rows([&log, &written_at] {
        for (std::string line = log.read_line(5000); !line.empty(); line = log.read_line(5000)) {
            written_at.push_back(monotonic_seconds());
        }
    });
    follow(clients, readings, 60.0);
    log.wait(10000);
    rows.join();
    const double seconds = seconds_since(start);
    report("ohmlog_served_rate_per_s", static_cast<double>(readings) / seconds);
    double latest_ms = 0.0;
    for (const Client& client : clients) {
        for (std::size_t k = 0; k < client.rows_at.size() && k + 1 < written_at.size(); ++k) {
            latest_ms = std::max(latest_ms, (client.rows_at[k] - written_at[k + 1]) * 1000.0);
        }
        close(client.socket_fd);
    }
    report("ohmlog_served_latest_ms", latest_ms);
    report("ohmlog_server_cpu_percent",
           100.0 * (children_cpu_seconds() - cpu_before) / seconds - cpu_percent_alone);
    remove_tree(dir);
}

namespace {

int free_port()
{
    const int socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound =
        bind(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(socket_fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(socket_fd);
    return bound ? ntohs(address.sin_port) : -1;
}

// When each line came, by the request time it starts with (a CSV row) or holds ("time":...).
std::map<std::string, double> arrivals(BackgroundProcess& process, const std::string& before)
{
    std::map<std::string, double> came;
    for (std::string line = process.read_line(5000); !line.empty();
         line = process.read_line(5000)) {
        const auto at = line.find(before);
        if (at != std::string::npos && line.size() >= at + before.size() + 24) {
            came[line.substr(at + before.size(), 24)] = monotonic_seconds();
        }
    }
    return came;
}

} // namespace

void ohmlog_lab_figures()
{
    constexpr int readings = 60;
    const std::string dir = make_temp_dir("ohm-bench");
    const int broker_port = free_port();
    write_file(dir + "/broker.conf", "listener " + std::to_string(broker_port) +
                                         " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                         "user root\n");
    Launch broker;
    broker.argv = {"/usr/sbin/mosquitto", "-c", dir + "/broker.conf"};
    broker.stderr_path = dir + "/broker.err";
    BackgroundProcess mosquitto(broker);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Launch watch;
    watch.argv = {"/usr/bin/stdbuf",     "-oL", "/usr/bin/mosquitto_sub",    "-h",
                  "127.0.0.1",           "-p",  std::to_string(broker_port), "-t",
                  "ohm/bench/U/reading", "-C",  std::to_string(readings)};
    BackgroundProcess subscriber(watch);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    SimMeter meter;
    Launch launch;
    launch.argv = {std::string(OHM_NATIVE_BIN) + "/ohmlog",
                   "-n",
                   std::to_string(readings),
                   "--alarm",
                   "V<-1",
                   "--serve",
                   "127.0.0.1:0",
                   "--mqtt",
                   "mqtt://127.0.0.1:" + std::to_string(broker_port),
                   "--mqtt-node",
                   "bench",
                   "U=" + meter.path()};
    launch.stderr_path = dir + "/stderr";
    const double start = monotonic_seconds();
    BackgroundProcess log(launch);
    const int port = served_port(launch.stderr_path);
    std::map<std::string, double> published;
    std::thread messages([&] { published = arrivals(subscriber, "\"time\":\""); });
    std::thread scrapes([&] {
        while (log.running()) {
            fetch(port, "/metrics");
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    const std::map<std::string, double> written = arrivals(log, "");
    const double seconds = seconds_since(start);
    log.wait(10000);
    scrapes.join();
    messages.join();
    report("ohmlog_lab_rate_per_s", readings / seconds);
    std::vector<double> delays_ms;
    for (const auto& [time, at] : published) {
        const auto row = written.find(time);
        if (row != written.end()) {
            delays_ms.push_back((at - row->second) * 1000.0);
        }
    }
    report("ohmlog_lab_mqtt_messages", static_cast<double>(delays_ms.size()));
    report("ohmlog_lab_mqtt_median_ms", delays_ms.empty() ? -1.0 : median(delays_ms));
    remove_tree(dir);
}

// A client of /events that stops reading, its receive buffer small so that the kernel's buffers
// fill within seconds at a healthy meter's pace: how long after it connected it is dropped.
void ohmlog_stalled_client_figure()
{
    const std::string dir = make_temp_dir("ohm-bench");
    SimMeter meter;
    Launch launch;
    launch.argv = {std::string(OHM_NATIVE_BIN) + "/ohmlog",
                   "-t",
                   "120",
                   "--serve",
                   "127.0.0.1:0",
                   meter.path()};
    launch.stderr_path = dir + "/stderr";
    BackgroundProcess log(launch);
    const int port = served_port(launch.stderr_path);
    const int stalled = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        connect(stalled, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    send_text(stalled, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const double start = monotonic_seconds();
    double dropped_s = -1.0;
    while (connected && dropped_s < 0.0 && seconds_since(start) < 110.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (fetch(port, "/latest.json").find("\"clients\":1,") != std::string::npos) {
            dropped_s = seconds_since(start);
        }
    }
    report("ohmlog_stalled_client_dropped_s", dropped_s);
    close(stalled);
    log.stop();
    remove_tree(dir);
}

#include "log_serve.h"

#include "log_json.h"
#include "log_metrics.h"
#include "log_page.h"
#include "log_platform.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cctype>
#include <deque>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace logbook {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// Connections served at once, counted by what they asked: the page's clients, and a few more
// of their own for /metrics and /latest.json, so that clients of the page that stop reading
// never shut out a scraper. Connections that have not asked anything yet wait apart, clients
// arriving at once among them: at most WAITING_SLOTS, the oldest going for a newcomer, so that
// silent connections take no client's place.
constexpr std::size_t MOST_CLIENTS = 64;
constexpr std::size_t SCRAPER_SLOTS = 4;
constexpr std::size_t WAITING_SLOTS = 256;
// A request line and headers beyond this are refused (431).
constexpr std::size_t HEADER_LIMIT = std::size_t{8} * 1024;
// Events waiting for one client of /events; a client this far behind has stopped reading.
constexpr std::size_t CLIENT_QUEUE_BYTES = std::size_t{1024} * 1024;
// A new connection that sends no complete request within FIRST_REQUEST_TIME is closed, one
// kept open between requests after REQUEST_TIME, and one that takes no byte of an answer for
// STALL_TIME: a phone gone to sleep, a tab in the background or a stalled proxy keeps no slot
// longer. A client of /events that takes nothing for EVENTS_STALL_TIME has missed heartbeats
// enough for its page to call the server late: it connects again, and is sent a snapshot.
constexpr auto FIRST_REQUEST_TIME = std::chrono::seconds(10);
constexpr auto REQUEST_TIME = std::chrono::seconds(30);
constexpr auto STALL_TIME = std::chrono::seconds(30);
constexpr auto EVENTS_STALL_TIME = std::chrono::seconds(10);
// What the system may hold for a client of /events before its writes stop: a stalled client
// is then noticed within seconds at a meter's pace, where the system's own growing buffer
// (4 MB on Linux) would take it most of an hour. Enough for a phone's path all the same.
constexpr int EVENTS_SEND_BUFFER = 32 * 1024;
constexpr auto ACCEPT_RETRY = std::chrono::milliseconds(100);
// A client of /events hears from the server at least this often, rows or not: a page tells a
// stalled ohmlog, or a path that went dead, from a quiet meter.
constexpr auto HEARTBEAT = std::chrono::seconds(2);
// At the end of the run, how long its clients have to take the `end` event.
constexpr auto END_TIME = std::chrono::seconds(1);
// How soon a page whose connection broke tries again.
constexpr const char* RETRY = "retry: 1000\n\n";

} // namespace

struct WebServer;

// What a connection's place is counted as: nothing asked yet, a page's (the page, /events,
// /log.csv) or a script's (/metrics, /latest.json).
enum class ClientSlot { waiting, page, script };

// One connection of a client.
struct WebClient {
    WebClient(WebServer& owner, boost::asio::ip::tcp::socket socket)
        : server(&owner), stream(std::move(socket))
    {
    }

    WebServer* server;
    boost::beast::tcp_stream stream;
    boost::beast::flat_buffer buffer;
    std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> parser;
    bool streaming = false; // a client of /events
    ClientSlot slot = ClientSlot::waiting;
    bool asked = false; // has sent a request: the next one is given REQUEST_TIME
    bool writing = false;
    bool closed = false;
    bool ending = false;           // closed once its queue is written
    std::deque<std::string> queue; // events not yet written
    std::size_t written = 0;       // of the first
    std::size_t queued_bytes = 0;
    char ignored = 0; // what a client of /events sends is read only to see it go away
};

// The server of one run: its thread runs every connection.
struct WebServer {
    asio::io_context io{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::optional<tcp::acceptor> acceptor;
    asio::steady_timer retry{io};
    asio::steady_timer heartbeat{io};
    asio::steady_timer ending{io}; // the end event's time
    bool stopping = false;
    std::vector<std::shared_ptr<WebClient>> sessions;
    RunView* view = nullptr;
    std::function<std::string()> csv_path; // the file served as /log.csv now; "": none
    std::vector<std::string> urls;         // where the run is served, for the user
    std::string place;                     // "HOST:PORT" as named, or "this machine on port PORT"
    std::string loopback;                  // "127.0.0.1", or "vm (127.0.1.1)": a loopback address
    std::string port;                      // the port listened on
    bool local = false;                 // on a loopback address: only this machine's names may ask
    std::vector<std::string> own_names; // this machine's, that Host may name when local
    std::thread thread;
};

namespace {

using SessionPointer = std::shared_ptr<WebClient>;

using RunJson = std::string (*)(const RunView&, int);

std::string metrics_json(const RunView& view, int)
{
    return metrics_text(
        view, std::chrono::duration<double>(std::chrono::steady_clock::now() - view.start).count());
}

std::size_t clients_in(const WebServer& server, ClientSlot slot)
{
    return static_cast<std::size_t>(
        std::count_if(server.sessions.begin(), server.sessions.end(),
                      [slot](const SessionPointer& session) { return session->slot == slot; }));
}

// The run as JSON, read while the loop cannot change it; its clients are the connections that
// asked something.
std::string run_json(WebServer& server, RunJson make)
{
    const int clients =
        static_cast<int>(server.sessions.size() - clients_in(server, ClientSlot::waiting));
    const std::lock_guard<std::mutex> hold(server.view->lock);
    return make(*server.view, clients);
}

std::string event(const char* name, const std::string& data)
{
    return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

void close_session(const SessionPointer& session)
{
    if (session->closed) {
        return;
    }
    session->closed = true;
    beast::error_code ignored;
    session->stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    session->stream.close();
    WebServer& server = *session->server;
    server.sessions.erase(std::remove(server.sessions.begin(), server.sessions.end(), session),
                          server.sessions.end());
    if (server.stopping && server.sessions.empty()) {
        server.ending.cancel();
    }
}

// NOLINTBEGIN(misc-no-recursion): a connection's steps start one another from completion
// handlers, which the server's thread runs later, each on a fresh stack.
void read_request(const SessionPointer& session);

// Part by part, each given STALL_TIME: a client that takes its answer slowly, the whole CSV
// included, is served; one that takes nothing is dropped. The connection is then kept for the
// next request if asked for.
template <class Body>
void write_answer(const SessionPointer& session,
                  const std::shared_ptr<http::response<Body>>& message,
                  const std::shared_ptr<http::response_serializer<Body>>& serializer)
{
    session->stream.expires_after(STALL_TIME);
    http::async_write_some(session->stream, *serializer,
                           [session, message, serializer](beast::error_code error, std::size_t) {
                               if (!error && !serializer->is_done()) {
                                   write_answer(session, message, serializer);
                               } else if (!error && message->keep_alive()) {
                                   read_request(session);
                               } else {
                                   close_session(session);
                               }
                           });
}

// The response's length is set.
template <class Body>
void send(const SessionPointer& session, http::response<Body> response, bool keep_alive)
{
    response.set(http::field::server, "ohmlog/" OHM_VERSION);
    response.keep_alive(keep_alive);
    auto message = std::make_shared<http::response<Body>>(std::move(response));
    write_answer(session, message, std::make_shared<http::response_serializer<Body>>(*message));
}

http::response<http::string_body> text_response(http::status status, unsigned version,
                                                const char* type, std::string body)
{
    http::response<http::string_body> response{status, version};
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-store");
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

void refuse(const SessionPointer& session, http::status status, unsigned version, bool keep_alive)
{
    auto response = text_response(status, version, "text/plain; charset=utf-8",
                                  std::string(http::obsolete_reason(status)) + "\n");
    if (status == http::status::method_not_allowed) {
        response.set(http::field::allow, "GET, HEAD");
    }
    send(session, std::move(response), keep_alive);
}

// HEAD: the answer's header, its length included, without its body.
template <class Body>
void send_head(const SessionPointer& session, const http::response<Body>& response,
               std::uint64_t length, bool keep_alive)
{
    http::response<http::empty_body> head{response.base()};
    head.content_length(length);
    send(session, std::move(head), keep_alive);
}

// Each write is given EVENTS_STALL_TIME to move at least a byte, whatever waits behind it.
void write_next(const SessionPointer& session)
{
    if (session->writing || session->closed) {
        return;
    }
    if (session->queue.empty()) {
        if (session->ending) {
            close_session(session);
        }
        return;
    }
    session->writing = true;
    const std::string& front = session->queue.front();
    session->stream.expires_after(EVENTS_STALL_TIME);
    session->stream.async_write_some(
        asio::buffer(front.data() + session->written, front.size() - session->written),
        [session](beast::error_code error, std::size_t bytes) {
            session->writing = false;
            if (error) {
                close_session(session);
                return;
            }
            session->written += bytes;
            if (session->written == session->queue.front().size()) {
                session->queued_bytes -= session->written;
                session->written = 0;
                session->queue.pop_front();
            }
            write_next(session);
        });
}

// A client too far behind is dropped rather than held in memory without bound.
void enqueue(const SessionPointer& session, std::string text)
{
    if (session->queued_bytes + text.size() > CLIENT_QUEUE_BYTES) {
        close_session(session);
        return;
    }
    session->queued_bytes += text.size();
    session->queue.push_back(std::move(text));
    write_next(session);
}

void watch_for_hang_up(const SessionPointer& session)
{
    session->stream.socket().async_read_some(asio::buffer(&session->ignored, 1),
                                             [session](beast::error_code error, std::size_t) {
                                                 if (error) {
                                                     close_session(session);
                                                 } else {
                                                     watch_for_hang_up(session);
                                                 }
                                             });
}

// Tells the page how often to expect one.
std::string heartbeat_event()
{
    return event("heartbeat", "{\"every_s\":" + std::to_string(HEARTBEAT.count()) + "}");
}

void start_events(const SessionPointer& session, unsigned version, bool head)
{
    http::response<http::empty_body> header{http::status::ok, version};
    header.set(http::field::server, "ohmlog/" OHM_VERSION);
    header.set(http::field::content_type, "text/event-stream");
    header.set(http::field::cache_control, "no-store");
    header.set(http::field::connection, "close");
    auto message = std::make_shared<http::response<http::empty_body>>(std::move(header));
    auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*message);
    beast::error_code ignored;
    session->stream.socket().set_option(asio::socket_base::send_buffer_size(EVENTS_SEND_BUFFER),
                                        ignored);
    session->stream.expires_after(EVENTS_STALL_TIME);
    http::async_write_header(
        session->stream, *serializer,
        [session, message, serializer, head](beast::error_code error, std::size_t) {
            if (error || head) {
                close_session(session);
                return;
            }
            session->streaming = true;
            enqueue(session, RETRY + event("snapshot", run_json(*session->server, snapshot_json)) +
                                 heartbeat_event());
            watch_for_hang_up(session);
        });
}

void send_csv(const SessionPointer& session, unsigned version, bool head, bool keep_alive)
{
    http::response<http::file_body> response{http::status::ok, version};
    beast::error_code error;
    response.body().open(session->server->csv_path().c_str(), beast::file_mode::scan, error);
    if (error) {
        refuse(session, http::status::not_found, version, keep_alive);
        return;
    }
    response.set(http::field::content_type, "text/csv; charset=utf-8");
    response.set(http::field::cache_control, "no-store");
    response.prepare_payload();
    if (head) {
        send_head(session, response, response.body().size(), keep_alive);
    } else {
        send(session, std::move(response), keep_alive);
    }
}

// A host name as names are compared: in lower case, without the dot that may end it.
std::string plain_host(std::string host)
{
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (host.size() > 1 && host.back() == '.') {
        host.pop_back();
    }
    return host;
}

// A page of another site that points a name of its own at this machine (DNS rebinding) sends
// that name as Host; a server on a loopback address answers only this machine's names (its
// host name, as Debian maps it to 127.0.1.1, the name it was started on, localhost and the
// loopback addresses), with any port. A request without Host comes from no browser.
bool asked_by_local_name(const WebServer& server, const http::request<http::empty_body>& request)
{
    const auto field = request.find(http::field::host);
    if (field == request.end()) {
        return true;
    }
    std::string host(field->value());
    if (!host.empty() && host.front() == '[') {
        host = host.substr(1, host.find(']') - 1);
    } else {
        host.erase(std::min(host.find(':'), host.size()));
    }
    host = plain_host(host);
    if (host == "localhost" || std::find(server.own_names.begin(), server.own_names.end(), host) !=
                                   server.own_names.end()) {
        return true;
    }
    beast::error_code error;
    const asio::ip::address address = asio::ip::make_address(host, error);
    return !error && address.is_loopback();
}

// A place for what is asked: a script's request takes a scraper's slot, or a page's when those
// are taken; anything else a page's. False when none is free.
bool take_slot(WebClient& session, bool for_scripts)
{
    const WebServer& server = *session.server;
    if (session.slot == ClientSlot::page || (for_scripts && session.slot == ClientSlot::script)) {
        return true;
    }
    if (for_scripts && clients_in(server, ClientSlot::script) < SCRAPER_SLOTS) {
        session.slot = ClientSlot::script;
    } else if (clients_in(server, ClientSlot::page) < MOST_CLIENTS) {
        session.slot = ClientSlot::page;
    } else {
        return false;
    }
    return true;
}

// Fixed answers only: no part of a URL names a file. A request with a body is answered without
// reading it, and its connection closed.
void answer(const SessionPointer& session, const http::request<http::empty_body>& request)
{
    const unsigned version = request.version();
    const bool head = request.method() == http::verb::head;
    const bool keep_alive = request.keep_alive() && session->parser->is_done();
    if (session->server->local && !asked_by_local_name(*session->server, request)) {
        refuse(session, http::status::forbidden, version, false);
        return;
    }
    if (request.method() != http::verb::get && !head) {
        refuse(session, http::status::method_not_allowed, version, false);
        return;
    }
    const std::string target(request.target());
    const std::string path = target.substr(0, target.find('?'));
    const bool for_scripts = path == "/latest.json" || path == "/metrics";
    if (!take_slot(*session, for_scripts)) {
        refuse(session, http::status::service_unavailable, version, false);
        return;
    }
    session->asked = true;
    if (path == "/events") {
        start_events(session, version, head);
    } else if (path == "/log.csv" && !session->server->csv_path().empty()) {
        send_csv(session, version, head, keep_alive);
    } else if (path == "/" || for_scripts) {
        auto response =
            path == "/" ? text_response(http::status::ok, version, "text/html; charset=utf-8",
                                        std::string(PAGE_HTML, PAGE_HTML_SIZE))
            : path == "/metrics" ? text_response(http::status::ok, version,
                                                 "text/plain; version=0.0.4; charset=utf-8",
                                                 run_json(*session->server, metrics_json))
                                 : text_response(http::status::ok, version, "application/json",
                                                 run_json(*session->server, latest_json));
        if (head) {
            send_head(session, response, response.body().size(), keep_alive);
        } else {
            send(session, std::move(response), keep_alive);
        }
    } else {
        refuse(session, http::status::not_found, version, keep_alive);
    }
}

bool is_http_error(const beast::error_code& error)
{
    return &error.category() == &http::make_error_code(http::error::end_of_stream).category();
}

void read_request(const SessionPointer& session)
{
    session->parser.emplace();
    session->parser->header_limit(HEADER_LIMIT);
    session->stream.expires_after(session->asked ? REQUEST_TIME : FIRST_REQUEST_TIME);
    http::async_read_header(
        session->stream, session->buffer, *session->parser,
        [session](beast::error_code error, std::size_t) {
            if (!error) {
                answer(session, session->parser->get());
            } else if (error == http::error::header_limit) {
                refuse(session, http::status::request_header_fields_too_large, 11, false);
            } else if (is_http_error(error) && error != http::error::end_of_stream) {
                refuse(session, http::status::bad_request, 11, false);
            } else {
                close_session(session); // gone, or silent too long
            }
        });
}

// NOLINTEND(misc-no-recursion)

// The oldest of the connections that have asked nothing goes when WAITING_SLOTS wait.
void make_room_to_wait(WebServer& server)
{
    if (clients_in(server, ClientSlot::waiting) < WAITING_SLOTS) {
        return;
    }
    const auto oldest = std::find_if(
        server.sessions.begin(), server.sessions.end(),
        [](const SessionPointer& session) { return session->slot == ClientSlot::waiting; });
    const SessionPointer oldest_session = *oldest;
    close_session(oldest_session);
}

void accept_next(WebServer& server)
{
    server.acceptor->async_accept([&server](beast::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (error) {
            // Out of descriptors, say: try again a little later rather than at once.
            server.retry.expires_after(ACCEPT_RETRY);
            server.retry.async_wait([&server](beast::error_code cancelled) {
                if (!cancelled && server.acceptor->is_open()) {
                    accept_next(server);
                }
            });
            return;
        }
        make_room_to_wait(server);
        auto session = std::make_shared<WebClient>(server, std::move(socket));
        server.sessions.push_back(session);
        read_request(session);
        accept_next(server);
    });
}

void send_to_streams(const WebServer& server, const std::string& text)
{
    const std::vector<SessionPointer> sessions = server.sessions;
    for (const SessionPointer& session : sessions) {
        if (session->streaming) {
            enqueue(session, text);
        }
    }
}

// Sends an event to every client of /events; after a change of a chart's bucket width, a new
// snapshot too. Called on the loop's thread; never waits.
void serve_event(WebServer& server, const char* name, std::string event_json, bool new_snapshot)
{
    if (!server.thread.joinable()) {
        return;
    }
    asio::post(server.io, [&server, name, text = std::move(event_json), new_snapshot] {
        send_to_streams(server,
                        event(name, text) +
                            (new_snapshot ? event("snapshot", run_json(server, snapshot_json))
                                          : std::string()));
    });
}

void beat(WebServer& server)
{
    server.heartbeat.expires_after(HEARTBEAT);
    server.heartbeat.async_wait([&server](beast::error_code cancelled) {
        if (!cancelled) {
            send_to_streams(server, heartbeat_event());
            beat(server);
        }
    });
}

// The clients of /events are told that the run ended, with its summary, and given END_TIME to
// take it; every other connection is closed at once.
void end_sessions(WebServer& server)
{
    beast::error_code ignored;
    server.acceptor->close(ignored);
    server.retry.cancel();
    server.heartbeat.cancel();
    server.stopping = true;
    const std::string end = event("end", run_json(server, latest_json));
    const std::vector<SessionPointer> sessions = server.sessions;
    for (const SessionPointer& session : sessions) {
        if (session->streaming) {
            session->ending = true;
            enqueue(session, end);
        } else {
            close_session(session);
        }
    }
    if (server.sessions.empty()) {
        return;
    }
    server.ending.expires_after(END_TIME);
    server.ending.async_wait([&server](beast::error_code) {
        const std::vector<SessionPointer> left = server.sessions;
        for (const SessionPointer& session : left) {
            close_session(session);
        }
    });
}

// A name is resolved, its first IPv4 address taken when it has one: `localhost` is 127.0.0.1
// for the browsers and tools that users type it into, whatever order the system gives.
std::optional<asio::ip::address> address_of(asio::io_context& io, const std::string& host,
                                            std::string& problem)
{
    beast::error_code error;
    const asio::ip::address numeric = asio::ip::make_address(host, error);
    if (!error) {
        return numeric;
    }
    tcp::resolver resolver(io);
    const tcp::resolver::results_type found = resolver.resolve(host, "", error);
    if (error || found.empty()) {
        problem = "cannot serve on " + host + ": " + (error ? error.message() : "no address");
        return std::nullopt;
    }
    for (const tcp::resolver::results_type::value_type& entry : found) {
        if (entry.endpoint().address().is_v4()) {
            return entry.endpoint().address();
        }
    }
    return found.begin()->endpoint().address();
}

// This machine's addresses that others can reach: neither the loopback nor link-local ones;
// the IPv6 ones only for a server that listens on IPv6.
std::vector<asio::ip::address> reachable_addresses(bool with_v6)
{
    std::vector<asio::ip::address> reachable;
    for (const std::string& text : interface_addresses()) {
        beast::error_code error;
        const asio::ip::address address =
            asio::ip::make_address(text.substr(0, text.find('%')), error);
        const bool link_local = address.is_v6() ? address.to_v6().is_link_local()
                                                : address.to_v4().to_bytes()[0] == 169 &&
                                                      address.to_v4().to_bytes()[1] == 254;
        if (!error && !address.is_loopback() && !link_local && (with_v6 || address.is_v4()) &&
            std::find(reachable.begin(), reachable.end(), address) == reachable.end()) {
            reachable.push_back(address);
        }
    }
    return reachable;
}

// The names that a server on a loopback address answers besides localhost and the addresses:
// this machine's host name, alone and up to its first dot, and a name it was started on.
std::vector<std::string> names_of_this_machine(const std::string& served_on)
{
    const std::string host = plain_host(host_name());
    std::vector<std::string> names{host, host.substr(0, host.find('.'))};
    beast::error_code error;
    asio::ip::make_address(served_on, error);
    if (error) {
        names.push_back(plain_host(served_on));
    }
    return names;
}

// "HOST:PORT", an IPv6 address in brackets.
std::string host_port(const std::string& host, unsigned short port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace

std::shared_ptr<WebServer> new_web_server()
{
    return std::make_shared<WebServer>();
}

bool listen_for_clients(WebServer& server, const std::string& host, unsigned short port,
                        std::string& problem)
{
    const std::optional<asio::ip::address> address = address_of(server.io, host, problem);
    if (!address) {
        return false;
    }
    const tcp::endpoint endpoint(*address, port);
    tcp::acceptor& acceptor = server.acceptor.emplace(server.io);
    beast::error_code error;
    if (acceptor.open(endpoint.protocol(), error) ||
        acceptor.set_option(asio::socket_base::reuse_address(listening_address_reusable()),
                            error) ||
        (address->is_v6() && address->is_unspecified() &&
         acceptor.set_option(asio::ip::v6_only(false), error)) ||
        acceptor.bind(endpoint, error) ||
        acceptor.listen(asio::socket_base::max_listen_connections, error)) {
        problem = "cannot serve on " + host + ":" + std::to_string(port) + ": " + error.message();
        server.acceptor.reset();
        return false;
    }
    const unsigned short bound = acceptor.local_endpoint().port();
    server.port = std::to_string(bound);
    const std::string numeric = address->to_string();
    server.loopback = host == numeric ? host : host + " (" + numeric + ")";
    server.local = address->is_loopback();
    server.own_names = names_of_this_machine(host);
    server.urls.clear();
    if (address->is_unspecified()) {
        server.place = "this machine on port " + std::to_string(bound);
        for (const asio::ip::address& reachable : reachable_addresses(address->is_v6())) {
            server.urls.push_back("http://" + host_port(reachable.to_string(), bound) + "/");
        }
        if (server.urls.empty()) { // no network but the loopback
            const char* loopback = address->is_v6() ? "::1" : "127.0.0.1";
            server.urls.push_back("http://" + host_port(loopback, bound) + "/");
        }
    } else {
        server.place = host_port(host, bound);
        server.urls.push_back("http://" + server.place + "/");
    }
    return true;
}

void start_serving(WebServer& server, RunView& view, std::function<std::string()> csv_path)
{
    if (!server.acceptor) {
        return;
    }
    server.view = &view;
    server.csv_path = std::move(csv_path);
    std::string urls;
    for (const std::string& url : server.urls) {
        urls += (urls.empty() ? "" : ", ") + url;
    }
    say(Severity::info, "the run is served at " + urls);
    if (!server.local) {
        say(Severity::warning,
            "anyone who can reach " + server.place + " can see the readings (read-only)");
    } else {
        say(Severity::info, "only this machine can reach it: " + server.loopback +
                                " is a loopback address (--serve 0.0.0.0:" + server.port +
                                " lets others see it)");
    }
    server.work.emplace(server.io.get_executor());
    accept_next(server);
    beat(server);
    server.thread = std::thread([&server] { server.io.run(); });
}

Output web_output(WebServer& server)
{
    Output output;
    output.take = [&server](const RunView& view, const RecordNews& news) {
        if (news.record != nullptr) {
            serve_event(server, "row", row_event_json(view, *news.record, news),
                        news.new_bucket_width);
        }
        for (const AlarmEvent& alarm : news.alarms) {
            serve_event(server, "alarm", alarm_event_json(view, alarm), false);
        }
        return true;
    };
    output.finish = [](const RunView&) { return true; };
    return output;
}

void stop_serving(WebServer& server)
{
    if (!server.thread.joinable()) {
        server.acceptor.reset();
        return;
    }
    asio::post(server.io, [&server] { end_sessions(server); });
    server.work.reset();
    server.thread.join();
}

} // namespace logbook

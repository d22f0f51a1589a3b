// metersim: a simulated MAS-345 on a pseudo-terminal.
//
// It prints the path of the device end, then answers every carriage return that arrives
// with a 14-byte frame ("DC -0.842   V" and a carriage return), paced as the meter's line
// sends it: 600 baud, 7 data bits, 2 stop bits, about 16.7 ms a character. Options make it
// misbehave the ways real lines do. It runs until it is killed.
#include "sim_options.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct OutgoingByte {
    Clock::time_point due;
    char byte;
};

struct Meter {
    SimOptions options;
    int master = -1;
    int slave = -1; // held open so that the line does not hang up between clients
    std::string slave_path;
    std::deque<OutgoingByte> outgoing;
    std::size_t next_reading = 0;
    int requests = 0;
    int replies_sent = 0;
    int replies_to_hang_up = -1; // replies still to finish before hanging up; -1: never
    bool vanished = false;
    Clock::time_point last_byte_sent{};
};

// Toggled by SIGUSR1: the cable between the meter and the port is out.
volatile std::sig_atomic_t unplugged = 0;
// Counted by SIGUSR2: each one pulls the line out or plugs it back in.
volatile std::sig_atomic_t line_toggles = 0;

void toggle_cable(int)
{
    unplugged = unplugged == 0 ? 1 : 0;
}

void toggle_line(int)
{
    line_toggles = line_toggles + 1;
}

Clock::duration character_time(const SimOptions& options)
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(options.char_ms));
}

bool open_line(Meter& meter)
{
    meter.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (meter.master < 0 || grantpt(meter.master) != 0 || unlockpt(meter.master) != 0) {
        return false;
    }
    const char* name = ptsname(meter.master);
    if (name == nullptr) {
        return false;
    }
    meter.slave_path = name;
    meter.slave = open(name, O_RDWR | O_NOCTTY);
    if (meter.slave < 0) {
        return false;
    }
    // Raw from the start: nothing the meter sends may be echoed back to it before a client
    // configures the line.
    termios raw{};
    tcgetattr(meter.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(meter.slave, TCSANOW, &raw);
    return true;
}

// The path printed last: whoever waits for it finds the path file and the link in place.
void publish_path(const Meter& meter)
{
    if (!meter.options.path_file.empty()) {
        const std::string temporary = meter.options.path_file + ".tmp";
        std::ofstream(temporary) << meter.slave_path << '\n';
        std::rename(temporary.c_str(), meter.options.path_file.c_str());
    }
    if (!meter.options.link.empty()) {
        // Replaced in one step: whoever opens the link finds the old line or the new one.
        const std::string temporary = meter.options.link + ".tmp";
        unlink(temporary.c_str());
        if (symlink(meter.slave_path.c_str(), temporary.c_str()) == 0) {
            std::rename(temporary.c_str(), meter.options.link.c_str());
        }
    }
    std::printf("%s\n", meter.slave_path.c_str());
    std::fflush(stdout);
}

// As a USB adapter pulled out: the port's end hangs up and its device node goes away.
void unplug_line(Meter& meter)
{
    close(meter.slave);
    close(meter.master);
    meter.slave = meter.master = -1;
    meter.outgoing.clear();
    if (!meter.options.link.empty()) {
        unlink(meter.options.link.c_str());
    }
}

// The real meter's optocoupler draws its power from DTR and needs RTS low; on a
// pseudo-terminal the line shim records the lines the client asked for.
bool lines_powered(const Meter& meter)
{
    if (meter.options.lines_dir.empty()) {
        return true;
    }
    const auto number = meter.slave_path.substr(meter.slave_path.find_last_of('/') + 1);
    std::ifstream state(meter.options.lines_dir + "/pts-" + number);
    std::string dtr;
    std::string rts;
    state >> dtr >> rts;
    return dtr == "dtr=1" && rts == "rts=0";
}

Clock::time_point queue_end(const Meter& meter, Clock::time_point earliest)
{
    if (meter.outgoing.empty() || meter.outgoing.back().due < earliest) {
        return earliest;
    }
    return meter.outgoing.back().due + character_time(meter.options);
}

void queue_text(Meter& meter, const std::string& text, Clock::time_point start)
{
    Clock::time_point due = queue_end(meter, start);
    for (char byte : text) {
        meter.outgoing.push_back({due, byte});
        due += character_time(meter.options);
    }
}

std::string next_reply(Meter& meter)
{
    const auto& readings = meter.options.readings;
    std::string reply = readings[meter.next_reading % readings.size()] + '\r';
    ++meter.next_reading;
    if (meter.options.numbered) {
        char frame[32];
        std::snprintf(frame, sizeof frame, "DC  %04d    V\r", meter.requests % 10000);
        reply = frame;
    }
    if (meter.options.cut >= 0 && static_cast<std::size_t>(meter.options.cut) < reply.size()) {
        reply.resize(static_cast<std::size_t>(meter.options.cut));
    }
    return reply;
}

void queue_reply(Meter& meter, Clock::time_point start)
{
    const SimOptions& options = meter.options;
    const std::string reply = next_reply(meter);
    queue_text(meter, options.junk, start);
    const auto split = std::min(reply.size(), static_cast<std::size_t>(options.tail_from));
    queue_text(meter, reply.substr(0, split), start);
    if (split < reply.size()) {
        const auto tail_start =
            queue_end(meter, start) + std::chrono::milliseconds(options.tail_delay_ms);
        queue_text(meter, reply.substr(split), tail_start);
    }
    if (options.twice) {
        // Half a character of silence, then the copy: too short a gap to send the next request.
        queue_text(meter, reply, queue_end(meter, start) + character_time(options) / 2);
    }
    if (!options.stray.empty()) {
        queue_text(meter, options.stray,
                   queue_end(meter, start) + std::chrono::milliseconds(options.stray_after_ms));
    }
}

// A meter busy with its reply, or resting just after it, does not hear a request.
bool ready_for_request(const Meter& meter)
{
    const SimOptions& options = meter.options;
    if (options.lose_every > 0 && meter.requests % options.lose_every == 0) {
        return false;
    }
    if (options.busy_deaf && !meter.outgoing.empty()) {
        return false;
    }
    return options.not_ready_ms <= 0 ||
           (meter.outgoing.empty() &&
            Clock::now() >= meter.last_byte_sent + std::chrono::milliseconds(options.not_ready_ms));
}

void answer_request(Meter& meter)
{
    ++meter.requests;
    if (meter.requests == meter.options.vanish_on_request) {
        meter.vanished = true;
        return;
    }
    if (meter.options.silent || unplugged != 0 || !lines_powered(meter) ||
        !ready_for_request(meter)) {
        return;
    }
    const std::vector<int>& delays = meter.options.delays_ms;
    const int delay_ms =
        delays.empty()
            ? meter.options.delay_ms
            : delays[std::min(static_cast<std::size_t>(meter.replies_sent), delays.size() - 1)];
    // A meter that answers in turn starts measuring for a request once its reply before is out.
    const Clock::time_point heard =
        meter.options.in_turn ? queue_end(meter, Clock::now()) : Clock::now();
    queue_reply(meter, heard + std::chrono::milliseconds(delay_ms));
    ++meter.replies_sent;
    if (meter.options.hangup_after > 0 && meter.replies_sent == meter.options.hangup_after) {
        meter.replies_to_hang_up = static_cast<int>(meter.outgoing.size());
    }
}

void log_received(const Meter& meter, const char* bytes, ssize_t count)
{
    if (meter.options.log_file.empty()) {
        return;
    }
    std::ofstream log(meter.options.log_file, std::ios::binary | std::ios::app);
    log.write(bytes, count);
}

// How long after the meter's last byte a request came, for whoever checks the asker's pace.
void log_gap(const Meter& meter)
{
    if (meter.options.gap_log.empty() || meter.last_byte_sent == Clock::time_point{}) {
        return;
    }
    std::ofstream(meter.options.gap_log, std::ios::app)
        << std::chrono::duration<double, std::milli>(Clock::now() - meter.last_byte_sent).count()
        << '\n';
}

// When each request came, for whoever tells which request a row's reply answered.
void log_request_time(const Meter& meter)
{
    if (!meter.options.request_times.empty()) {
        std::ofstream(meter.options.request_times, std::ios::app)
            << std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count()
            << '\n';
    }
}

// Returns false when the line is gone.
bool receive(Meter& meter)
{
    char bytes[256];
    const ssize_t count = read(meter.master, bytes, sizeof bytes);
    if (count < 0) {
        return errno == EINTR || errno == EAGAIN || errno == EIO;
    }
    log_received(meter, bytes, count);
    for (ssize_t i = 0; i < count; ++i) {
        if (bytes[i] == '\r') {
            log_gap(meter);
            log_request_time(meter);
            answer_request(meter);
        }
    }
    return true;
}

void send_due(Meter& meter)
{
    const auto now = Clock::now();
    while (!meter.outgoing.empty() && meter.outgoing.front().due <= now) {
        if (write(meter.master, &meter.outgoing.front().byte, 1) != 1) {
            return;
        }
        meter.outgoing.pop_front();
        meter.last_byte_sent = now;
        if (meter.replies_to_hang_up > 0) {
            --meter.replies_to_hang_up;
        }
    }
    if (meter.options.stream && meter.outgoing.empty()) {
        queue_text(meter, next_reply(meter), now);
    }
}

// Idle, it still wakes now and then to see whether the line was pulled or plugged.
int wait_ms(const Meter& meter)
{
    constexpr int IDLE_MS = 100;
    if (meter.outgoing.empty()) {
        return IDLE_MS;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          meter.outgoing.front().due - Clock::now())
                          .count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// False when a new line could not be made.
bool toggle_line_plug(Meter& meter)
{
    if (meter.master >= 0) {
        unplug_line(meter);
        return true;
    }
    if (!open_line(meter)) {
        return false;
    }
    publish_path(meter);
    return true;
}

void serve(Meter& meter)
{
    if (meter.options.stream) {
        send_due(meter);
    }
    for (sig_atomic_t toggles_done = 0;;) {
        if (toggles_done != line_toggles) {
            ++toggles_done;
            if (!toggle_line_plug(meter)) {
                return;
            }
            continue;
        }
        if (meter.master < 0) {
            poll(nullptr, 0, wait_ms(meter));
            continue;
        }
        pollfd watch{meter.master, POLLIN, 0};
        const int ready = poll(&watch, 1, wait_ms(meter));
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready > 0 && (watch.revents & POLLIN) != 0 && !receive(meter)) {
            return;
        }
        if (meter.vanished) {
            return; // the meter is gone before it answered: both ends of the line close
        }
        send_due(meter);
        if (meter.replies_to_hang_up == 0) {
            return; // the meter is unplugged: both ends of the line close
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    Meter meter;
    std::string problem;
    if (!parse_sim_options(argc, argv, meter.options, problem)) {
        if (problem.empty()) {
            std::fputs(sim_usage(), stdout);
            return 0;
        }
        std::fprintf(stderr, "metersim: %s\n%s", problem.c_str(), sim_usage());
        return 2;
    }
    if (meter.options.version) {
        std::printf("metersim %s\n", OHM_VERSION);
        return 0;
    }
    if (!open_line(meter)) {
        std::perror("metersim: cannot open a pseudo-terminal");
        return 1;
    }
    std::signal(SIGUSR1, toggle_cable);
    std::signal(SIGUSR2, toggle_line);
    publish_path(meter);
    serve(meter);
    if (meter.master >= 0) {
        close(meter.slave);
        close(meter.master);
    }
    return 0;
}

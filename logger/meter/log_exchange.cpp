#include "log_exchange.h"

#include "meter_reading.h"
#include "serial_link.h"

#include <algorithm>
#include <thread>

namespace logbook {

namespace {

// How often a lost port is looked for, and how often a wait looks for a stop.
constexpr auto REOPEN_EVERY = std::chrono::seconds(1);
constexpr auto WAIT_SLICE = std::chrono::milliseconds(50);
// An extra reply that a meter queued starts within a character of the one before; on a link
// faster than the meter's own line, within this.
constexpr auto SHORTEST_FOLLOW_ON = std::chrono::milliseconds(10);

bool port_lost(const ExchangePolicy& policy)
{
    return port_was_lost(policy.port) != 0;
}

bool send_request(const ExchangePolicy& policy)
{
    return write_text(policy.port, "\r") == 1;
}

// One line of the meter's as it arrives, and when its bytes came.
struct Line {
    std::string text;
    Clock::time_point first{};
    Clock::time_point last{};
};

// Adds a byte that arrived at `at`; true when it ended the line.
bool take_byte(Line& line, char byte, Clock::time_point at)
{
    const std::size_t before = line.text.size();
    const bool ended = meter::take_reply_byte(line.text, byte);
    if (line.text.size() > before) {
        line.first = before == 0 ? at : line.first;
        line.last = at;
    }
    return ended;
}

void learn_character_time(ExchangePolicy& policy, const Line& line)
{
    if (line.text.size() > 1) {
        remember(policy.character_times,
                 (line.last - line.first) / static_cast<int>(line.text.size() - 1));
    }
}

// A line that began before the request's own character had crossed the line answers an
// earlier request.
bool began_too_soon(const ExchangePolicy& policy, const Exchange& exchange, const Line& line)
{
    return line.first - exchange.requested < character_time(policy);
}

// True as soon as a byte waits to be read; false when `until` passes first.
bool input_by(const ExchangePolicy& policy, Clock::time_point until)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0 || port_lost(policy)) {
            return input_pending(policy.port) > 0;
        }
        if (wait_for_input(policy.port, static_cast<std::int32_t>(left.count())) != 0) {
            return true;
        }
    }
}

// Reads until a line ends, the deadline passes, the user stops or the port goes. While
// `answering`, the line is the reply to the exchange's request: one that began too soon is
// dropped, and the request goes out again after a silence as long as the meter's answer time,
// if a reply could still come in time.
ExchangeEnd collect(ExchangePolicy& policy, Exchange& exchange, Clock::time_point deadline,
                    bool answering, const Asking& carry_on)
{
    Line line;
    Clock::time_point heard = exchange.sent.back(); // the last request or byte
    char byte = 0;
    for (;;) {
        if (port_lost(policy)) {
            return ExchangeEnd::port_lost;
        }
        if (Clock::now() >= deadline) {
            break;
        }
        if (!carry_on()) {
            return ExchangeEnd::stopped;
        }
        const auto now = Clock::now();
        if (answering && line.text.empty() && deadline - now > FRAME_TIME) {
            const auto repeat_at = heard + repeat_after(policy);
            if (now >= repeat_at) {
                heard = now;
                if (send_request(policy)) {
                    exchange.sent.push_back(now);
                }
                continue;
            }
            if (!input_by(policy, std::min<Clock::time_point>(repeat_at, now + WAIT_SLICE))) {
                continue;
            }
        }
        if (read_bytes(policy.port, &byte, 1) <= 0) {
            continue;
        }
        heard = Clock::now();
        policy.last_heard = heard;
        if (!take_byte(line, byte, heard)) {
            continue;
        }
        // Judged once the line is whole: its own pace shows a link faster than the meter's.
        learn_character_time(policy, line);
        if (!answering || !began_too_soon(policy, exchange, line)) {
            exchange.reply = line.text;
            exchange.first_byte = line.first;
            return ExchangeEnd::reply;
        }
        line = Line{};
    }
    if (!line.text.empty() && (!answering || !began_too_soon(policy, exchange, line))) {
        exchange.reply = line.text;
        exchange.first_byte = line.first;
    }
    return ExchangeEnd::bound;
}

// A reply that came at the meter's known pace after the last request answered that one: the
// meter, which answers in order, heard none of the requests before it.
bool answered_last_request(const ExchangePolicy& policy, const Exchange& exchange)
{
    const Clock::duration after_last = exchange.first_byte - exchange.sent.back();
    const Clock::duration leeway =
        std::max<Clock::duration>(policy.answer_time / 4, character_time(policy) / 2);
    return policy.answered && after_last >= policy.answer_time - leeway &&
           after_last <= policy.answer_time + leeway;
}

// A meter that heard more than one of the requests answers each of them: right behind the
// reply when it queues them, or in turn, each as long after the reply before as it took for
// the first. Each extra reply is read and dropped; gives how many came.
int drain_extra_replies(ExchangePolicy& policy, const Exchange& exchange, const Asking& carry_on)
{
    const Clock::duration wait =
        (exchange.first_byte - exchange.requested) +
        std::max<Clock::duration>(character_time(policy) * 5 / 2, SHORTEST_FOLLOW_ON);
    int extras = 0;
    while (extras + 1 < static_cast<int>(exchange.sent.size()) &&
           input_by(policy, policy.last_heard + wait)) {
        Exchange extra;
        extra.requested = Clock::now();
        extra.sent.push_back(extra.requested);
        if (collect(policy, extra, extra.requested + REPLY_BOUND, false, carry_on) !=
            ExchangeEnd::reply) {
            break;
        }
        ++extras;
    }
    return extras;
}

// The reply answered the request `extras` places before the last: each later one had its own
// extra reply.
Clock::time_point answered_request(const Exchange& exchange, int extras)
{
    return exchange.sent[exchange.sent.size() - 1 - static_cast<std::size_t>(extras)];
}

// The rest starts when two hurried readings (their request sent less than a rest after the
// meter's last byte), not necessarily in a row, needed their request again, and ends when a
// rested reading needs it again too: then the rest was not the cure. A request after a long
// quiet (an interval, the wait for an extra reply) says nothing of the meter's readiness.
void learn_rest(ExchangePolicy& policy, bool hurried, bool first_request_unheard)
{
    if (policy.resting) {
        policy.resting = !first_request_unheard;
        policy.hurried_misses = 0;
    } else if (hurried) {
        policy.hurried_misses = first_request_unheard ? policy.hurried_misses + 1 : 0;
        policy.resting = policy.hurried_misses >= 2;
    }
}

// Until nothing has come from the meter for a character's time (its rest, when it needs one):
// a meter that answers twice starts its second reply within a character of the first. What
// comes meanwhile answers no request of this exchange.
void wait_for_quiet_line(ExchangePolicy& policy)
{
    const Clock::duration quiet = policy.resting ? REST : character_time(policy);
    while (input_by(policy, policy.last_heard + quiet)) {
        discard_input(policy.port);
        policy.last_heard = Clock::now();
    }
}

} // namespace

void remember(RecentTimes& recent, Clock::duration duration)
{
    recent.seen[recent.count % recent.seen.size()] = std::max(duration, Clock::duration::zero());
    ++recent.count;
}

Clock::duration typical(const RecentTimes& recent, Clock::duration otherwise)
{
    if (recent.count == 0) {
        return otherwise;
    }
    std::array<Clock::duration, REMEMBERED_LINES> sorted = recent.seen;
    const auto end =
        sorted.begin() + static_cast<std::ptrdiff_t>(std::min(recent.count, sorted.size()));
    const auto middle = sorted.begin() + (end - sorted.begin()) / 2;
    std::nth_element(sorted.begin(), middle, end);
    return *middle;
}

Clock::duration character_time(const ExchangePolicy& policy)
{
    // Gaps within a reply may be longer than a character; the request's own takes no longer.
    return std::min<Clock::duration>(typical(policy.character_times, CHARACTER_TIME),
                                     CHARACTER_TIME);
}

void learn_answer_time(ExchangePolicy& policy, Clock::duration took)
{
    took = std::max(took, Clock::duration::zero());
    const bool slower = !policy.answered || took > policy.answer_time;
    policy.answer_time = slower ? took : (policy.answer_time + took) / 2;
    policy.answered = true;
}

Clock::duration repeat_after(const ExchangePolicy& policy)
{
    if (!policy.answered) {
        return FIRST_REPEAT_AFTER;
    }
    // A quarter more than the meter's answer time, and at least three characters more.
    const Clock::duration answer = policy.answer_time;
    const Clock::duration margin =
        std::max<Clock::duration>(answer / 4, character_time(policy) * 3);
    return std::clamp<Clock::duration>(answer + margin, REPEAT_AFTER, REPLY_BOUND - FRAME_TIME);
}

Exchange exchange_reading(ExchangePolicy& policy, const Asking& carry_on)
{
    wait_for_quiet_line(policy);
    const bool hurried = Clock::now() - policy.last_heard < REST;
    Exchange exchange;
    exchange.requested = Clock::now();
    exchange.requested_utc = std::chrono::system_clock::now();
    if (!send_request(policy)) {
        exchange.end = port_lost(policy) ? ExchangeEnd::port_lost : ExchangeEnd::bound;
        return exchange;
    }
    exchange.sent.push_back(exchange.requested);
    exchange.end = collect(policy, exchange, exchange.requested + REPLY_BOUND, true, carry_on);
    if (exchange.end == ExchangeEnd::reply) {
        Clock::time_point answered = exchange.sent.back();
        if (exchange.sent.size() > 1 && !answered_last_request(policy, exchange)) {
            answered = answered_request(exchange, drain_extra_replies(policy, exchange, carry_on));
        }
        learn_answer_time(policy, exchange.first_byte - answered);
        learn_rest(policy, hurried, answered != exchange.requested);
    }
    return exchange;
}

MeterOpen open_meter(std::int32_t port, const std::string& device)
{
    if (open_port(port, device.c_str(), METER_SETTINGS) == 0) {
        return MeterOpen::failed;
    }
    if (port_is_serial_line(port) == 0) {
        close_port(port);
        return MeterOpen::not_serial;
    }
    set_line_state(port, LINE_DTR, 1);
    set_line_state(port, LINE_RTS, 0);
    return MeterOpen::opened;
}

bool wait_while(const Asking& go_on, Clock::time_point moment)
{
    while (go_on() && Clock::now() < moment) {
        std::this_thread::sleep_for(std::min<Clock::duration>(WAIT_SLICE, moment - Clock::now()));
    }
    return go_on();
}

bool wait_for_meter(std::int32_t port, const std::string& device, const Asking& go_on)
{
    close_port(port);
    while (wait_while(go_on, Clock::now() + REOPEN_EVERY)) {
        if (open_meter(port, device) == MeterOpen::opened) {
            return true;
        }
    }
    return false;
}

} // namespace logbook

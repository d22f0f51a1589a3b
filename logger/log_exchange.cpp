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

bool port_lost()
{
    return port_was_lost(METER_PORT) != 0;
}

bool send_request()
{
    return write_text(METER_PORT, "\r") == 1;
}

// The meter was given its rest when the previous reply ended long enough ago.
void rest_after_reply(const ExchangePolicy& policy)
{
    const auto rested = policy.last_reply_end + REST;
    if (policy.resting && Clock::now() < rested) {
        std::this_thread::sleep_until(rested);
    }
}

// Reads until the reply ends, the deadline passes, the user stops or the port goes. The request
// goes out again when nothing has arrived `repeat_after` (if not zero) after it and a reply
// could still come in time.
ExchangeEnd collect(Exchange& exchange, Clock::time_point deadline, Clock::duration repeat_after,
                    bool (*carry_on)())
{
    auto last_request = exchange.requested;
    char byte = 0;
    for (;;) {
        if (port_lost()) {
            return ExchangeEnd::port_lost;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return ExchangeEnd::bound;
        }
        if (!carry_on()) {
            return ExchangeEnd::stopped;
        }
        if (read_bytes(METER_PORT, &byte, 1) > 0) {
            if (exchange.first_byte == Clock::time_point{}) {
                exchange.first_byte = Clock::now();
            }
            if (meter::take_reply_byte(exchange.reply, byte)) {
                return ExchangeEnd::reply;
            }
            continue;
        }
        if (repeat_after > Clock::duration::zero() && exchange.reply.empty() &&
            Clock::now() - last_request >= repeat_after && deadline - Clock::now() > FRAME_TIME &&
            send_request()) {
            last_request = Clock::now();
            ++exchange.requests;
        }
    }
}

// A meter that heard more than one of the requests answers each of them; true when it did.
bool drain_extra_replies(int extra, bool (*carry_on)())
{
    bool drained = false;
    for (int i = 0; i < extra && !port_lost(); ++i) {
        pause_ms(DUPLICATE_START_MS);
        if (input_pending(METER_PORT) == 0) {
            break;
        }
        Exchange duplicate;
        duplicate.requested = Clock::now();
        collect(duplicate, duplicate.requested + REPLY_BOUND, Clock::duration::zero(), carry_on);
        drained = true;
    }
    return drained;
}

// The reply answered the first request, and took this long.
void learn_answer_time(ExchangePolicy& policy, const Exchange& exchange)
{
    const auto took = exchange.first_byte - exchange.requested;
    policy.repeat_after = std::min<Clock::duration>(std::max(policy.repeat_after, took * 3 / 2),
                                                    LONGEST_REPEAT_AFTER);
}

// The rest starts when two readings in a row, sent without one, needed their request again,
// and ends when a rested reading needs it again too: then the rest was not the cure.
void learn_rest(ExchangePolicy& policy, bool first_request_unheard)
{
    if (policy.resting) {
        policy.resting = !first_request_unheard;
        policy.hurried_misses = 0;
        return;
    }
    policy.hurried_misses = first_request_unheard ? policy.hurried_misses + 1 : 0;
    policy.resting = policy.hurried_misses >= 2;
}

} // namespace

Exchange exchange_reading(ExchangePolicy& policy, bool (*carry_on)())
{
    rest_after_reply(policy);
    // Whatever arrived since the last exchange belongs to no request of ours.
    discard_input(METER_PORT);
    Exchange exchange;
    exchange.requested = Clock::now();
    exchange.requested_utc = std::chrono::system_clock::now();
    if (!send_request()) {
        exchange.end = port_lost() ? ExchangeEnd::port_lost : ExchangeEnd::bound;
        return exchange;
    }
    exchange.requests = 1;
    exchange.end =
        collect(exchange, exchange.requested + REPLY_BOUND, policy.repeat_after, carry_on);
    if (exchange.end == ExchangeEnd::reply) {
        learn_rest(policy, exchange.requests > 1);
        if (drain_extra_replies(exchange.requests - 1, carry_on)) {
            learn_answer_time(policy, exchange);
        }
        policy.last_reply_end = Clock::now();
    }
    return exchange;
}

MeterOpen open_meter(const std::string& device)
{
    if (open_port(METER_PORT, device.c_str(), METER_SETTINGS) == 0) {
        return MeterOpen::failed;
    }
    if (port_is_serial_line(METER_PORT) == 0) {
        close_port(METER_PORT);
        return MeterOpen::not_serial;
    }
    set_line_state(METER_PORT, LINE_DTR, 1);
    set_line_state(METER_PORT, LINE_RTS, 0);
    return MeterOpen::opened;
}

bool wait_while(bool (*go_on)(), Clock::time_point moment)
{
    while (go_on() && Clock::now() < moment) {
        std::this_thread::sleep_for(std::min<Clock::duration>(WAIT_SLICE, moment - Clock::now()));
    }
    return go_on();
}

bool wait_for_meter(const std::string& device, bool (*go_on)())
{
    close_port(METER_PORT);
    while (wait_while(go_on, Clock::now() + REOPEN_EVERY)) {
        if (open_meter(device) == MeterOpen::opened) {
            return true;
        }
    }
    return false;
}

} // namespace logbook

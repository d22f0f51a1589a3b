// How ohmlog asks the meter for one reading, and what it does when the port goes away.
//
// A row holds the reply to its own request and to no other. The meter's line is 600 baud, so a
// reply cannot begin before the request's carriage return has crossed it (17 ms): a line that
// begins sooner belongs to an earlier request (a meter that answers twice, a late reply) when
// an earlier request may still be answered, and is then dropped through its line end. A meter
// that owes no earlier line and answers at once (or a link that hands the request over at once)
// is read as it answers. While an earlier request may still bring a line, and until the meter
// has shown that nothing follows its replies, a request waits for a quiet line first. A reply
// that came while earlier requests may still bring lines is read on: a meter that answers them
// late, in order or in turn, sends theirs first, so the last line that follows it unasked is the
// reply, and the lines before it are dropped; a reply at the meter's own pace after the request
// waited behind none. Lines that still follow a frame after the bound leave the row without one.
//
// A request the meter did not hear (a byte lost on the line, a meter not ready just after its
// last reply) is sent again once the meter's own answer time, learnt from its recent replies,
// has passed in silence. A meter that heard the request and its repeat both answers each, right
// behind the reply or in turn, its answer time after it: the extra replies are read and dropped
// before the next request, as long as they begin within two bounds and a frame of the request;
// those still to come then are owed, and the next readings drop them. A port whose device has gone
// (an adapter unplugged, the line hung up) ends the exchange at once. Every wait is bounded and
// asks whether to go on, so that a line that never goes quiet still gives a row, and a stop ends
// the exchange.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace logbook {

using Clock = std::chrono::steady_clock;

// A reply whose first byte has not come this long after the first request counts as missing.
constexpr auto REPLY_BOUND = std::chrono::milliseconds(1000);
// One character on the meter's line: a start bit, 7 data bits and 2 stop bits at 600 baud.
constexpr auto CHARACTER_TIME = std::chrono::microseconds(16667);
// The shortest silence after which a request is sent again. The link's read of one byte
// returns after 110 ms of silence, so such a repeat goes out 100 to 110 ms after its request.
constexpr auto REPEAT_AFTER = std::chrono::milliseconds(100);
// Before the meter has answered at all its answer time is unknown: the request goes out again
// only late in the bound, so that a slow meter is not asked twice before it has shown its pace.
constexpr auto FIRST_REPEAT_AFTER = std::chrono::milliseconds(700);
// A whole frame, 14 characters: a reply that began within the bound is read for this long
// from its first byte.
constexpr auto FRAME_TIME = std::chrono::milliseconds(250);
// The longest a request waits for a quiet line: a meter that chatters is asked regardless.
constexpr auto QUIET_BOUND = std::chrono::milliseconds(500);
// A line that begins this soon after a reply, unasked, follows it: a meter that answers twice.
constexpr auto FOLLOW_ON = 2 * CHARACTER_TIME;
// Replies after which the line stayed quiet for FOLLOW_ON before a request goes out at once.
constexpr int QUIET_PROOFS = 1;
// Bytes of a line that are kept: a line that never ends is cut here.
constexpr std::size_t LONGEST_LINE = 64;
// A meter that ignores a request arriving just after its reply (sigrok's drivers wait 50 ms)
// gets this rest before each request, once two readings in a row needed a repeat.
constexpr auto REST = std::chrono::milliseconds(60);
// How many of the latest lines the character time follows.
constexpr std::size_t REMEMBERED_LINES = 8;

enum class ExchangeEnd {
    reply,     // a reply ended by its line end
    bound,     // the bound passed: the reply is what arrived, possibly nothing
    noise,     // the bound passed while a line that answers no request went on: what came
    stopped,   // the user stopped the run before the reply was complete
    port_lost, // the device has gone
};

struct Exchange {
    std::string reply; // with its line end when it arrived
    ExchangeEnd end = ExchangeEnd::bound;
    std::vector<Clock::time_point> sent;                   // each time the request went out
    Clock::time_point first_byte{};                        // of the reply
    Clock::time_point requested{};                         // the first request
    std::chrono::system_clock::time_point requested_utc{}; // the same moment in UTC
    int dropped_lines = 0; // lines before the reply that answered no request of this one
};

// The last few durations seen, and the middle one of them: a line read late in one burst, or
// one spread by a busy machine, does not move it.
struct RecentTimes {
    std::array<Clock::duration, REMEMBERED_LINES> seen{};
    std::size_t count = 0;
};
void remember(RecentTimes& recent, Clock::duration duration);
// The median of what was seen; `otherwise` before anything was.
Clock::duration typical(const RecentTimes& recent, Clock::duration otherwise);

// One meter's port, and what its recent lines taught for the next exchange.
struct ExchangePolicy {
    std::int32_t port = 0; // the link's identifier of the port
    // From a request to the first byte of its reply: it rises at once with a slower reply and
    // halves its excess with each quicker one, so that it follows the meter both ways.
    Clock::duration answer_time{};
    bool answered = false;       // the meter has answered at least once
    RecentTimes character_times; // between the bytes of a line: 600 baud, or a faster link
    bool resting = false;
    int hurried_misses = 0;         // readings in a row whose first request went unheard, unrested
    Clock::time_point last_heard{}; // the latest byte from the meter
    // Lines that earlier requests may still bring: a reply missed or cut off by the bound, an
    // extra reply to a repeat not yet come, the copy of a meter that answers twice.
    int owed_lines = 0;
    // Until then a line is owed to them (the meter's answer time after the last of them);
    // a line sooner than a character after its request is, in any case.
    Clock::time_point owed_until{};
    bool follows_replies = false; // a line has come right behind a reply, unasked
    int quiet_replies = 0;        // replies the line stayed quiet after, up to QUIET_PROOFS
};

void learn_answer_time(ExchangePolicy& policy, Clock::duration took);

// The time one character takes on the line, as its recent lines showed it.
Clock::duration character_time(const ExchangePolicy& policy);
// How long the meter may stay silent after a request before it is sent again.
Clock::duration repeat_after(const ExchangePolicy& policy);

using Asking = std::function<bool()>;

// One reading on the policy's port. `carry_on` is asked between reads (at least every 110 ms);
// when it says no, an incomplete exchange ends as stopped. It ends within QUIET_BOUND,
// REPLY_BOUND and FRAME_TIME of its start; extra replies to its repeats are read while they
// begin within 2 * REPLY_BOUND + FRAME_TIME of the request, each for a frame; lines owed to
// earlier requests are read for about a frame more.
Exchange exchange_reading(ExchangePolicy& policy, const Asking& carry_on);

enum class MeterOpen { opened, failed, not_serial };

// Opens the device under the port identifier (600 baud, 7 data bits, 2 stop bits, DTR on, RTS
// off) when it is a serial line; otherwise the port stays closed.
MeterOpen open_meter(std::int32_t port, const std::string& device);

// Waits until `moment` while `go_on` says yes (asked every 50 ms); false as soon as it says no.
bool wait_while(const Asking& go_on, Clock::time_point moment);

// After a lost port: closes it and tries to open the device again about once a second until
// it is back (true) or `go_on` says no (false).
bool wait_for_meter(std::int32_t port, const std::string& device, const Asking& go_on);

} // namespace logbook

// How ohmlog asks the meter for one reading, and what it does when the port goes away.
//
// A request the meter did not hear (a byte lost on the line, a meter not ready just after its
// last reply) is sent again after a short silence rather than costing the whole reply bound.
// A meter that queues the repeated requests answers them all: the extra replies are drained
// before the next request, so that no row ever holds the reply to an earlier request. A port
// whose device has gone (an adapter unplugged, the line hung up) ends the exchange at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace logbook {

using Clock = std::chrono::steady_clock;

// A reply not complete this long after the first request counts as missing.
constexpr auto REPLY_BOUND = std::chrono::milliseconds(1000);
// The meter starts its reply within a few tens of milliseconds (metersim: 20 ms and a character
// of 16.7 ms); silence this long after a request means it was not heard. The link's read of one
// byte returns after 110 ms of silence, so a repeat goes out 100 to 110 ms after its request.
constexpr auto REPEAT_AFTER = std::chrono::milliseconds(100);
// A meter that answered a request and its repeat both was slow, not deaf: the repeat then waits
// half as long again as that meter took, up to this.
constexpr auto LONGEST_REPEAT_AFTER = std::chrono::milliseconds(500);
// A request is not repeated when a whole frame (14 characters at 600 baud) could no longer
// arrive within the bound.
constexpr auto FRAME_TIME = std::chrono::milliseconds(250);
// A meter that queues requests starts the reply to a repeat within a character or two of the
// reply it has just finished.
constexpr std::int32_t DUPLICATE_START_MS = 40;
// A meter that ignores a request arriving just after its reply (sigrok's drivers wait 50 ms)
// gets this rest before each request, once two readings in a row needed a repeat.
constexpr auto REST = std::chrono::milliseconds(60);

enum class ExchangeEnd {
    reply,     // a reply ended by its line end
    bound,     // the bound passed: the reply is what arrived, possibly nothing
    stopped,   // the user stopped the run before the reply was complete
    port_lost, // the device has gone
};

struct Exchange {
    std::string reply; // with its line end when it arrived
    ExchangeEnd end = ExchangeEnd::bound;
    int requests = 0; // how many times the request went out
    Clock::time_point first_byte{};
    Clock::time_point requested{};                         // the first request
    std::chrono::system_clock::time_point requested_utc{}; // the same moment in UTC
};

// What one exchange leaves for the next: how long the meter may be silent before a request is
// repeated, and whether it needs a rest after its replies.
struct ExchangePolicy {
    Clock::duration repeat_after = REPEAT_AFTER;
    bool resting = false;
    int hurried_misses = 0; // readings in a row whose first request went unheard, unrested
    Clock::time_point last_reply_end{};
};

// One reading on METER_PORT. `carry_on` is asked between reads (at least every 110 ms); when
// it says no, an incomplete exchange ends as stopped.
Exchange exchange_reading(ExchangePolicy& policy, bool (*carry_on)());

enum class MeterOpen { opened, failed, not_serial };

// Opens the device as the meter port (600 baud, 7 data bits, 2 stop bits, DTR on, RTS off)
// when it is a serial line; otherwise the port stays closed.
MeterOpen open_meter(const std::string& device);

// Waits until `moment` while `go_on` says yes (asked every 50 ms); false as soon as it says no.
bool wait_while(bool (*go_on)(), Clock::time_point moment);

// After a lost port: closes it and tries to open the device again about once a second until
// it is back (true) or `go_on` says no (false).
bool wait_for_meter(const std::string& device, bool (*go_on)());

} // namespace logbook

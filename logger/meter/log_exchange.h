// How ohmlog asks the meter for one reading, and what it does when the port goes away.
//
// A row holds the reply to its own request and to no other, however late a busy machine reads the
// bytes. A request goes out only on a clear line, when no earlier request can still bring a line,
// and the input is emptied as it goes: every line read after it then answers it or a repeat of it,
// both the row's own. What makes the line clear again rests on the meter answering in order, each
// request it heard with one line, or with the line and a copy right behind it (as its first replies
// show); on a line queued behind another beginning within a character and a half of it; on a reply
// beginning within three bounds of its request; and on the requests of one reading taking about as
// long as each other. The line is clear once every request of the last row has brought its lines,
// counted as they come, or once it has been quiet, since the last request and the last byte, for as
// long as a line still owed could take: three characters when one could only follow right behind,
// the row's answer time and a quarter more when a repeat may be answered in turn, three bounds when
// no reply came. Quiet is judged by what waits unread, so reading late only lengthens the wait; a
// machine that lately woke the exchange late lengthens it by as much, for the meter's bytes reach
// it as late. One conclusion rests on timing: a reply that begins at the meter's own answer time
// after a repeat answers the repeat, the request before it went unheard, and the line is clear when
// nothing follows right behind; the next reply must then come at the meter's answer time too, or it
// is not taken. A row whose line is not clear in time sends no request: its row has no reply, or is
// garbled with the bytes of a line that does not end.
//
// A request the meter did not hear (a byte lost on the line, a meter not ready just after its
// last reply) is sent again, once, when the meter's own answer time has passed in silence. A port
// whose device has gone (an adapter unplugged, the line hung up) ends the exchange at once. Every
// wait is bounded and asks whether to go on, so that a line that never goes quiet still gives a
// row, and a stop ends the exchange.
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
// The shortest silence after which a request is sent again.
constexpr auto REPEAT_AFTER = std::chrono::milliseconds(100);
// Before the meter has answered at all its answer time is unknown: the request goes out again
// only late in the bound, so that a slow meter is not asked twice before it has shown its pace.
constexpr auto FIRST_REPEAT_AFTER = std::chrono::milliseconds(700);
// A whole frame, 14 characters: a reply that began within the bound is read for this long
// from its first byte.
constexpr auto FRAME_TIME = std::chrono::milliseconds(250);
// A request and its repeat.
constexpr int MOST_REQUESTS = 2;
// A meter that has begun no reply this long after a request, and after its last byte, will not.
constexpr auto LATEST_ANSWER = 3 * REPLY_BOUND;
// Bytes of a line that are kept: a line that never ends is cut here.
constexpr std::size_t LONGEST_LINE = 64;
// A meter that ignores a request arriving just after its reply (sigrok's drivers wait 50 ms)
// gets this rest before each request, once two readings needed a repeat.
constexpr auto REST = std::chrono::milliseconds(60);
// How many of the latest lines the character time follows.
constexpr std::size_t REMEMBERED_LINES = 8;

enum class ExchangeEnd {
    reply,     // a reply ended by its line end
    bound,     // the bound passed: the reply is what arrived, possibly nothing
    busy,      // the line did not clear in time: no request went out; the reply is the line
               // under way, when it has gone on for longer than a frame
    stopped,   // the user stopped the run before the reply was complete
    port_lost, // the device has gone
};

struct Exchange {
    std::string reply; // with its line end when it arrived
    ExchangeEnd end = ExchangeEnd::bound;
    std::vector<Clock::time_point> sent;                   // each time the request went out
    Clock::time_point first_byte{};                        // of the reply
    Clock::time_point requested{};                         // the first request, or its moment
    std::chrono::system_clock::time_point requested_utc{}; // the same moment in UTC
    int dropped_lines = 0; // lines before the request that answered earlier ones
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
// The longest of what was seen; zero before anything was.
Clock::duration longest(const RecentTimes& recent);

// Whether the meter follows each reply with a copy of it: its first reply shows it.
enum class Copies { unknown, none, one };

// One meter's port, what its lines taught, and what earlier requests may still bring.
struct ExchangePolicy {
    std::int32_t port = 0; // the link's identifier of the port
    // From a request to the first byte of its reply, as the latest reply showed it, and the
    // latest few.
    Clock::duration answer_time{};
    RecentTimes answer_times;
    bool answered = false;       // the meter has answered at least once
    RecentTimes character_times; // between the bytes of a line: 600 baud, or a faster link
    Copies copies = Copies::unknown;
    int quiet_proofs = 0; // replies the line stayed quiet after, while copies were unknown
    bool resting = false;
    int hurried_misses = 0;         // readings whose first request went unheard, unrested
    Clock::time_point last_heard{}; // the latest byte from the meter
    // Lines the last row's requests may still bring; the line is clear at 0, or once it has been
    // quiet for `settle` since `last_activity` (the last request or byte).
    int owed = 0;
    Clock::duration settle{};
    Clock::time_point last_activity{};
    bool proving_copies = false;  // the line owed is the copy the meter may send
    bool pace_to_confirm = false; // the last row was cleared on its reply's timing alone
    // After the reply, and after what is owed, the line is checked by staying quiet this long.
    Clock::duration quiet_after{};
    int checks_left = 0; // readings still to be checked so
    // The answer time the last reply showed if the meter heard each of its row's requests.
    Clock::duration answer_if_all_came{};
    long readings = 0;
    RecentTimes wake_delays; // how late this machine woke the exchange's latest timed waits
};

void learn_answer_time(ExchangePolicy& policy, Clock::duration took);

// The time one character takes on the line, as its recent lines showed it.
Clock::duration character_time(const ExchangePolicy& policy);
// How long the meter may stay silent after a request before it is sent again.
Clock::duration repeat_after(const ExchangePolicy& policy);
// How soon a line queued behind another, or a reply's copy, begins after it at the latest.
Clock::duration follow_on(const ExchangePolicy& policy);

using Asking = std::function<bool()>;

// One reading on the policy's port: the line is cleared (by `give_up` at the latest; otherwise
// the exchange ends busy), then the request goes out. `carry_on` is asked between reads (at least
// every 50 ms); when it says no, an incomplete exchange ends as stopped. Once asked, it ends
// within REPLY_BOUND and FRAME_TIME.
Exchange exchange_reading(ExchangePolicy& policy, Clock::time_point give_up,
                          const Asking& carry_on);

// A freshly opened port: nothing is owed on it.
void start_clear(ExchangePolicy& policy);

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

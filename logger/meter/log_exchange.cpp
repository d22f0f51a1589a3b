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
// Lines owed when which requests the meter still answers is not known: more than ever come
// before the line settles by time.
constexpr int UNKNOWN_OWED = 1 << 20;
// Readings checked after one that settled by time, and how often one is checked regardless.
constexpr int CHECKED_READINGS = 2;
constexpr long CHECK_EVERY = 128;
// Replies after which the line stayed quiet before the meter is taken to send no copies.
constexpr int QUIET_PROOFS = 2;

bool port_lost(const ExchangePolicy& policy)
{
    return port_was_lost(policy.port) != 0;
}

bool send_request(const ExchangePolicy& policy)
{
    return write_text(policy.port, "\r") == 1;
}

// One line of the meter's as it arrives, and when its bytes were read.
struct Line {
    std::string text; // its first LONGEST_LINE bytes, and its line end
    Clock::time_point first{};
    Clock::time_point last{};
    bool cut = false; // longer than what is kept
};

// Adds a byte that was read at `at`; true when it ended the line.
bool take_byte(Line& line, char byte, Clock::time_point at)
{
    const std::size_t before = line.text.size();
    const bool ended = meter::take_reply_byte(line.text, byte);
    if (line.text.size() > before) {
        line.first = before == 0 ? at : line.first;
        line.last = at;
    }
    if (!ended && line.text.size() > LONGEST_LINE) {
        line.text.resize(LONGEST_LINE);
        line.cut = true;
    }
    return ended;
}

void learn_character_time(ExchangePolicy& policy, const Line& line)
{
    if (line.text.size() > 1 && !line.cut) {
        remember(policy.character_times,
                 (line.last - line.first) / static_cast<int>(line.text.size() - 1));
    }
}

// A whole frame on the meter's line as its recent lines showed it: slower than 600 baud too.
Clock::duration frame_time(const ExchangePolicy& policy)
{
    return std::clamp<Clock::duration>(15 * typical(policy.character_times, CHARACTER_TIME),
                                       FRAME_TIME, 2 * FRAME_TIME);
}

// Reads one byte into the line when one waits; true when it ended the line.
bool read_into(ExchangePolicy& policy, Line& line)
{
    char byte = 0;
    if (read_bytes(policy.port, &byte, 1) <= 0) {
        return false;
    }
    policy.last_heard = Clock::now();
    policy.last_activity = policy.last_heard;
    const bool ended = take_byte(line, byte, policy.last_heard);
    if (ended) {
        learn_character_time(policy, line);
    }
    return ended;
}

// True as soon as a byte waits to be read; false when `until` passes first, the port goes or
// `carry_on` says no. How late the machine wakes the wait is remembered.
bool input_by(ExchangePolicy& policy, Clock::time_point until, const Asking& carry_on)
{
    for (;;) {
        const auto now = Clock::now();
        if (now >= until || port_lost(policy) || !carry_on()) {
            return input_pending(policy.port) > 0;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            std::min<Clock::duration>(until - now, WAIT_SLICE));
        if (wait_for_input(policy.port, static_cast<std::int32_t>(left.count())) != 0) {
            return true;
        }
        remember(policy.wake_delays, Clock::now() - (now + left));
    }
}

// The line must stay quiet this long before the next request: long enough that what is owed can
// no longer come, and for the check after a reading.
Clock::duration quiet_needed(const ExchangePolicy& policy)
{
    const Clock::duration quiet =
        policy.owed > 0 ? std::max(policy.settle, policy.quiet_after) : policy.quiet_after;
    // A busy machine that wakes this exchange late hands over the meter's bytes late too.
    return quiet > Clock::duration::zero() ? quiet + longest(policy.wake_delays) : quiet;
}

// Whether the line is clear: nothing owed and nothing waiting, or quiet long enough. The moment
// is taken before the input is looked at, so a byte that came since is still waiting unread: the
// line was quiet at least that long.
bool line_clear(ExchangePolicy& policy)
{
    const Clock::time_point checked = Clock::now();
    if (checked < policy.last_activity + quiet_needed(policy) || input_pending(policy.port) > 0) {
        return false;
    }
    if (policy.proving_copies && ++policy.quiet_proofs == QUIET_PROOFS) {
        policy.copies = Copies::none;
    }
    policy.owed = 0;
    policy.proving_copies = false;
    policy.quiet_after = Clock::duration::zero();
    policy.answer_if_all_came = Clock::duration::zero();
    return true;
}

// A line that nothing owed: the meter is out of step with the requests. Which of them it still
// answers is not known: the line settles as after no reply, and the next readings check it.
void owe_unknown(ExchangePolicy& policy)
{
    // It may send copies after all, late once: its next replies show it again.
    policy.copies = Copies::unknown;
    policy.quiet_proofs = 0;
    policy.owed = UNKNOWN_OWED;
    policy.settle = LATEST_ANSWER;
    policy.checks_left = CHECKED_READINGS;
    policy.proving_copies = false;
    policy.pace_to_confirm = false;
    policy.answer_if_all_came = Clock::duration::zero();
}

// Reads and drops what earlier requests still bring, until the line is clear (reply) or
// `give_up` passes (busy, with the line under way then).
ExchangeEnd clear_line(ExchangePolicy& policy, Exchange& exchange, Clock::time_point give_up,
                       const Asking& carry_on)
{
    Line line;
    for (;;) {
        if (port_lost(policy)) {
            return ExchangeEnd::port_lost;
        }
        if (!carry_on()) {
            return ExchangeEnd::stopped;
        }
        // Past its time the request goes out only on a line that was clear all along.
        const bool waited =
            policy.owed > 0 || policy.quiet_after > Clock::duration::zero() || !line.text.empty();
        if (Clock::now() >= give_up && (waited || input_pending(policy.port) > 0)) {
            // A line under way for longer than a frame is no reply that was cut short.
            exchange.reply = Clock::now() - line.first > frame_time(policy) ? line.text : "";
            return ExchangeEnd::busy;
        }
        if (line_clear(policy)) {
            exchange.dropped_lines += line.text.empty() ? 0 : 1;
            return ExchangeEnd::reply;
        }
        const Clock::time_point quiet_by = policy.last_activity + quiet_needed(policy);
        if (!input_by(policy, std::min(give_up, quiet_by), carry_on) || !read_into(policy, line)) {
            continue;
        }
        ++exchange.dropped_lines;
        line = Line{};
        if (policy.owed == 0) {
            owe_unknown(policy);
            continue;
        }
        --policy.owed;
        if (policy.owed == 0 && policy.answer_if_all_came > Clock::duration::zero()) {
            learn_answer_time(policy, policy.answer_if_all_came);
        }
        if (policy.proving_copies) {
            policy.copies = Copies::one;
            policy.proving_copies = false;
        }
        // Every line came: the line is clear without resting on any reply's timing.
        policy.pace_to_confirm = policy.pace_to_confirm && policy.owed > 0;
    }
}

// A repeat helps only while its reply could still begin within the bound: the meter takes its
// answer time, or at least the request's character and its own first one.
bool reply_could_begin(const ExchangePolicy& policy, Clock::time_point now,
                       Clock::time_point first_byte_by)
{
    const Clock::duration answer =
        policy.answered ? policy.answer_time : 2 * character_time(policy);
    return now + answer < first_byte_by;
}

// Reads the reply: the first line after the request, which answers it or a repeat. The request
// goes out again after a silence as long as the meter's answer time, if a reply could still
// begin within the bound. A reply that began by the bound is read for a frame's time from its
// first byte; a byte waiting when the bound passes may have come in time, and is read.
ExchangeEnd collect(ExchangePolicy& policy, Exchange& exchange, const Asking& carry_on)
{
    const Clock::time_point first_byte_by = exchange.requested + REPLY_BOUND;
    Clock::time_point deadline = first_byte_by;
    Line line;
    for (;;) {
        if (port_lost(policy)) {
            return ExchangeEnd::port_lost;
        }
        const auto now = Clock::now();
        if (now >= deadline && (!line.text.empty() || input_pending(policy.port) == 0)) {
            break;
        }
        if (!carry_on()) {
            return ExchangeEnd::stopped;
        }
        Clock::time_point wait_until = deadline;
        if (line.text.empty() && exchange.sent.size() < MOST_REQUESTS &&
            reply_could_begin(policy, now, first_byte_by)) {
            const auto repeat_at = exchange.sent.back() + repeat_after(policy);
            if (now >= repeat_at && input_pending(policy.port) == 0) {
                exchange.sent.push_back(now);
                policy.last_activity = now;
                send_request(policy);
                continue;
            }
            wait_until = std::min(repeat_at, deadline);
        }
        if (!input_by(policy, wait_until, carry_on)) {
            continue;
        }
        const bool starting = line.text.empty();
        const bool ended = read_into(policy, line);
        if (starting && !line.text.empty()) {
            exchange.first_byte = line.first;
            deadline = std::max(deadline, line.first + frame_time(policy));
        }
        if (ended) {
            exchange.reply = line.text;
            return ExchangeEnd::reply;
        }
    }
    exchange.reply = line.text;
    return ExchangeEnd::bound;
}

// The answer time of most of the meter's latest replies: one late by a busy machine does not
// move it.
Clock::duration usual_answer_time(const ExchangePolicy& policy)
{
    return typical(policy.answer_times, policy.answer_time);
}

// The reply began at the meter's usual answer time after the last request, give or take a
// character and an eighth (`spread` 1), or twice that (`spread` 2).
bool began_at_pace(const ExchangePolicy& policy, const Exchange& exchange, int spread = 1)
{
    const Clock::duration after_last = exchange.first_byte - exchange.sent.back();
    const Clock::duration usual = usual_answer_time(policy);
    const Clock::duration leeway = spread * (usual / 8 + CHARACTER_TIME);
    return policy.answered && after_last <= usual + leeway && after_last + leeway >= usual;
}

// The rest starts when two hurried readings (their request sent less than a rest after the
// meter's last byte), not necessarily in a row, needed their request again, and ends when a
// rested reading needs it again too: then the rest was not the cure.
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

// What a reply leaves owed: the lines of the row's other requests, and the copies. A reply that
// began no later than the meter's answer time after a repeat answered that repeat: the request
// before went unheard. Had it been heard after all, its reply was the slow one, and a repeat
// heard as well is answered as slowly, right behind it or that long after the repeat: the line is
// clear once neither can come, and the next reply confirms it. Otherwise the repeat's own reply
// may still come, and a meter's next answer may take far longer than its last: the line settles
// as after no reply, unless the lines owed come first.
void owe_after_reply(ExchangePolicy& policy, const Exchange& exchange, bool hurried)
{
    const int requests = static_cast<int>(exchange.sent.size());
    const int lines_each = policy.copies == Copies::none ? 1 : 2;
    const bool repeat_answered = requests > 1 && began_at_pace(policy, exchange);
    policy.proving_copies = requests == 1 && policy.copies == Copies::unknown;
    policy.owed = policy.proving_copies ? 1 : requests * lines_each - 1;
    const Clock::duration slow = exchange.first_byte - exchange.sent.front();
    const Clock::time_point repeat_answered_by =
        exchange.sent.back() + slow * 5 / 4 + 3 * CHARACTER_TIME;
    // A copy comes for sure from a meter that sends them: late only when the machine is busy.
    policy.settle =
        requests == 1     ? (policy.copies == Copies::one ? LATEST_ANSWER : follow_on(policy))
        : repeat_answered ? std::max(follow_on(policy), repeat_answered_by - policy.last_heard)
                          : LATEST_ANSWER;
    policy.pace_to_confirm = repeat_answered;
    // A slow reply with repeats is taken for the repeat's until every repeat has been answered:
    // then the meter heard them all, and the first request's reply was the slow one.
    const Clock::time_point answered =
        policy.answered && requests > 1 ? exchange.sent.back() : exchange.sent.front();
    policy.answer_if_all_came = requests > 1 && !repeat_answered ? slow : Clock::duration::zero();
    const bool unusual =
        requests > 1 ? !repeat_answered : policy.answered && !began_at_pace(policy, exchange, 2);
    learn_answer_time(policy, exchange.first_byte - answered);
    learn_rest(policy, hurried, repeat_answered);
    // The readings after one that settled by time or came at an unusual time, and one now and
    // then, are checked: the line stays quiet after them for as long as the meter answers, and a
    // line that comes then answers nothing owed.
    ++policy.readings;
    const bool check = policy.checks_left > 0 || policy.readings % CHECK_EVERY == 0;
    policy.checks_left = unusual ? CHECKED_READINGS : std::max(policy.checks_left - 1, 0);
    policy.quiet_after = check ? repeat_after(policy) : Clock::duration::zero();
}

// What the request leaves owed when no whole reply came: every line of its requests, after as
// long as a meter may take, or, after a line begun and not ended, as long as that one took.
void owe_without_reply(ExchangePolicy& policy, const Exchange& exchange)
{
    const int lines_each = policy.copies == Copies::none ? 1 : 2;
    policy.owed = static_cast<int>(exchange.sent.size()) * lines_each;
    policy.settle =
        exchange.reply.empty()
            ? LATEST_ANSWER
            : std::max(frame_time(policy),
                       (exchange.first_byte - exchange.sent.front()) * 5 / 4 + 3 * CHARACTER_TIME);
    policy.proving_copies = false;
    policy.pace_to_confirm = false;
    policy.checks_left = CHECKED_READINGS;
    policy.answer_if_all_came = Clock::duration::zero();
}

// A row cleared on the timing of a reply to a repeat is confirmed by its next reply: it begins
// at the meter's answer time too, give or take what a busy machine adds. A line of the earlier
// request answered in turn would come later, after the repeat's time less the quiet waited. One
// that does not confirm it is not taken, and the line is left to clear as after no reply.
bool confirms_pace(ExchangePolicy& policy, Exchange& exchange)
{
    const Clock::duration after_last = exchange.first_byte - exchange.sent.back();
    const bool unconfirmed =
        policy.pace_to_confirm &&
        (!began_at_pace(policy, exchange) &&
         !(after_last >= usual_answer_time(policy) &&
           after_last <= usual_answer_time(policy) * 5 / 4 + CHARACTER_TIME * 3 / 2));
    policy.pace_to_confirm = false;
    if (!unconfirmed) {
        return true;
    }
    learn_answer_time(policy, exchange.first_byte - exchange.sent.front());
    exchange.reply.clear();
    exchange.end = ExchangeEnd::bound;
    ++exchange.dropped_lines;
    owe_without_reply(policy, exchange);
    ++policy.owed; // the earlier request's copy, if the line was its
    return false;
}

} // namespace

void remember(RecentTimes& recent, Clock::duration duration)
{
    recent.seen[recent.count % recent.seen.size()] = std::max(duration, Clock::duration::zero());
    ++recent.count;
}

Clock::duration longest(const RecentTimes& recent)
{
    const auto end = recent.seen.begin() +
                     static_cast<std::ptrdiff_t>(std::min(recent.count, recent.seen.size()));
    return recent.count == 0 ? Clock::duration::zero()
                             : *std::max_element(recent.seen.begin(), end);
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

Clock::duration follow_on(const ExchangePolicy& policy)
{
    // Lines read in one burst by a busy machine seem quicker than the line: never less than
    // the meter's own characters.
    return 3 * std::max<Clock::duration>(typical(policy.character_times, CHARACTER_TIME),
                                         CHARACTER_TIME);
}

void learn_answer_time(ExchangePolicy& policy, Clock::duration took)
{
    policy.answer_time = std::max(took, Clock::duration::zero());
    remember(policy.answer_times, policy.answer_time);
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

void start_clear(ExchangePolicy& policy)
{
    policy.owed = 0;
    policy.quiet_after = Clock::duration::zero();
    policy.proving_copies = false;
    policy.pace_to_confirm = false;
}

Exchange exchange_reading(ExchangePolicy& policy, Clock::time_point give_up, const Asking& carry_on)
{
    Exchange exchange;
    exchange.requested = Clock::now();
    exchange.requested_utc = std::chrono::system_clock::now();
    exchange.end = clear_line(policy, exchange, give_up, carry_on);
    if (exchange.end != ExchangeEnd::reply) {
        return exchange;
    }
    if (policy.resting && !wait_while(carry_on, policy.last_heard + REST)) {
        exchange.end = ExchangeEnd::stopped;
        return exchange;
    }
    const bool hurried = Clock::now() - policy.last_heard < REST;
    discard_input(policy.port);
    exchange.requested = Clock::now();
    exchange.requested_utc = std::chrono::system_clock::now();
    policy.last_activity = exchange.requested;
    if (!send_request(policy)) {
        exchange.end = port_lost(policy) ? ExchangeEnd::port_lost : ExchangeEnd::bound;
        owe_without_reply(policy, exchange);
        return exchange;
    }
    exchange.sent.push_back(exchange.requested);
    exchange.end = collect(policy, exchange, carry_on);
    if (exchange.end == ExchangeEnd::reply) {
        if (confirms_pace(policy, exchange)) {
            owe_after_reply(policy, exchange, hurried);
        }
    } else if (exchange.end == ExchangeEnd::port_lost) {
        start_clear(policy);
    } else {
        owe_without_reply(policy, exchange);
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

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
// Lines owed to earlier requests at most: those of two bounds. A meter silent for long did not
// hear its requests, and one whose lines follow without end is not waited for longer.
constexpr int MOST_OWED = 2 * static_cast<int>(REPLY_BOUND / REPEAT_AFTER);

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
    std::string text; // its first LONGEST_LINE bytes, and its line end
    Clock::time_point first{};
    Clock::time_point last{};
    bool cut = false; // longer than what is kept
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

// A line that began before the request's own character had crossed the line, or while earlier
// requests may still be answered, answers one of them when one may still bring a line, and
// then accounts for it. Otherwise the meter, or a link that hands the request over at once,
// answered this one at once.
bool owed_to_earlier_request(ExchangePolicy& policy, const Exchange& exchange, const Line& line)
{
    const Clock::time_point earliest =
        std::max(exchange.requested + character_time(policy), policy.owed_until);
    if (line.first >= earliest || policy.owed_lines == 0) {
        return false;
    }
    --policy.owed_lines;
    return true;
}

// True as soon as a byte waits to be read; false when `until` passes first, the port goes or
// `carry_on` says no.
bool input_by(const ExchangePolicy& policy, Clock::time_point until, const Asking& carry_on)
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

// Reads until a line ends, the deadline passes, the user stops or the port goes. While
// `answering`, the line is the reply to the exchange's request: one owed to an earlier request
// is dropped, and the request goes out again after a silence as long as the meter's answer
// time, if a reply could still begin in time. A reply that began by the deadline is read for a
// frame's time from its first byte.
ExchangeEnd collect(ExchangePolicy& policy, Exchange& exchange, Clock::time_point deadline,
                    bool answering, const Asking& carry_on)
{
    const Clock::time_point first_byte_by = deadline;
    Line line;
    bool ours = true;                               // the line under way answers this exchange
    Clock::time_point heard = exchange.sent.back(); // the last request or byte
    char byte = 0;
    for (;;) {
        if (port_lost(policy)) {
            return ExchangeEnd::port_lost;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            break;
        }
        if (!carry_on()) {
            return ExchangeEnd::stopped;
        }
        if (answering && line.text.empty() && reply_could_begin(policy, now, first_byte_by)) {
            const auto repeat_at = heard + repeat_after(policy);
            if (now >= repeat_at) {
                heard = now;
                if (send_request(policy)) {
                    exchange.sent.push_back(now);
                }
                continue;
            }
            if (!input_by(policy, std::min<Clock::time_point>(repeat_at, now + WAIT_SLICE),
                          carry_on)) {
                continue;
            }
        }
        if (read_bytes(policy.port, &byte, 1) <= 0) {
            continue;
        }
        heard = Clock::now();
        policy.last_heard = heard;
        const bool starting = line.text.empty();
        const bool ended = take_byte(line, byte, heard);
        if (starting && !line.text.empty()) {
            ours = !answering || !owed_to_earlier_request(policy, exchange, line);
            deadline = ours ? std::max(deadline, line.first + FRAME_TIME) : deadline;
        }
        if (!ended) {
            continue;
        }
        // Judged once the line is whole: its own pace shows a link faster than the meter's.
        learn_character_time(policy, line);
        if (ours) {
            exchange.reply = line.text;
            exchange.first_byte = line.first;
            return ExchangeEnd::reply;
        }
        ++exchange.dropped_lines;
        line = Line{};
    }
    if (line.text.empty()) {
        return ExchangeEnd::bound;
    }
    exchange.reply = line.text;
    exchange.first_byte = line.first;
    return ours ? ExchangeEnd::bound : ExchangeEnd::noise;
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

// A line queued behind another begins this soon after it.
Clock::duration follow_on(const ExchangePolicy& policy)
{
    return std::max<Clock::duration>(character_time(policy) * 5 / 2, SHORTEST_FOLLOW_ON);
}

// True when a line begins, unasked, by `by` and ends within the bound; `line` then holds it.
bool line_follows(ExchangePolicy& policy, Clock::time_point by, const Asking& carry_on,
                  Exchange& line)
{
    if (Clock::now() > by || !input_by(policy, by, carry_on)) {
        return false;
    }
    line = Exchange{};
    line.requested = Clock::now();
    line.sent.push_back(line.requested);
    return collect(policy, line, line.requested + REPLY_BOUND, false, carry_on) ==
           ExchangeEnd::reply;
}

// Extra replies to repeats are read while they begin by then: the latest one extra reply does,
// the meter's answer time (at most the bound) after a reply begun within the bound and read for a
// frame. A meter that queued more of them does not hold the row up longer.
Clock::time_point extras_begin_by(const Exchange& exchange)
{
    return exchange.requested + 2 * REPLY_BOUND + FRAME_TIME;
}

// What the wait for the extra replies to repeats came to.
struct Drain {
    int extras = 0;          // the extra replies read and dropped
    int unread = 0;          // those still to come when the exchange had to end
    Clock::duration apart{}; // the longest one extra reply may take after the one before
};

// A meter that heard more than one of the requests answers each of them: right behind the
// reply when it queues them, or in turn, each as long after the reply before as it took for
// the first. Each extra reply is read and dropped, while the exchange may still go on.
Drain drain_extra_replies(ExchangePolicy& policy, const Exchange& exchange, const Asking& carry_on)
{
    Drain drain;
    drain.apart = (exchange.first_byte - exchange.requested) + follow_on(policy);
    const int repeats = static_cast<int>(exchange.sent.size()) - 1;
    Exchange extra;
    while (drain.extras < repeats &&
           line_follows(policy,
                        std::min(policy.last_heard + drain.apart, extras_begin_by(exchange)),
                        carry_on, extra)) {
        ++drain.extras;
    }
    const bool cut = policy.last_heard + drain.apart > extras_begin_by(exchange);
    drain.unread = cut ? repeats - drain.extras : 0;
    return drain;
}

// A reply that came while `owed` lines were still owed to earlier requests: a meter that
// answers them late, in order, sends theirs first and this request's last, so each line that
// follows unasked shows that the one before answered an earlier request. One that answers in
// turn takes as long after each line as it took for the late one: each is waited for as long as
// a reply, but only while the row can still come within two seconds of the request. When lines
// still follow then, which one is the reply is not known: the exchange has none. The last line
// that came is the reply; gives how many were dropped before it.
int catch_up(ExchangePolicy& policy, Exchange& exchange, int owed, const Asking& carry_on)
{
    const Clock::time_point until = exchange.requested + REPLY_BOUND + FRAME_TIME;
    int dropped = 0;
    Exchange next;
    while (dropped < owed &&
           line_follows(policy, std::min(policy.last_heard + REPLY_BOUND, until), carry_on, next)) {
        exchange.reply = next.reply;
        exchange.first_byte = next.first_byte;
        ++dropped;
    }
    exchange.dropped_lines += dropped;
    if (dropped < owed && Clock::now() >= until &&
        input_by(policy, policy.last_heard + follow_on(policy), carry_on)) {
        exchange.reply.clear();
        exchange.end = ExchangeEnd::bound;
        ++exchange.dropped_lines;
    }
    return dropped;
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

// Before a request: the rest the meter needs, and a quiet line while an earlier request may
// still bring a line or the meter has not yet shown that nothing follows its replies: for a
// character's time, or, to see whether a line follows a reply, for FOLLOW_ON after it. What
// comes meanwhile answers no request of this exchange. A line that is not quiet within
// QUIET_BOUND is asked regardless. False when the user stops the run.
bool prepare_line(ExchangePolicy& policy, Exchange& exchange, const Asking& carry_on)
{
    const bool proving = policy.answered && policy.owed_lines == 0 && !policy.follows_replies &&
                         policy.quiet_replies < QUIET_PROOFS;
    if (!policy.resting && policy.owed_lines == 0 && !proving) {
        discard_input(policy.port);
        return carry_on();
    }
    const Clock::duration quiet = policy.resting ? REST
                                  : proving      ? FOLLOW_ON
                                                 : character_time(policy);
    const Clock::time_point give_up = Clock::now() + QUIET_BOUND;
    bool came = false;
    while (input_by(policy, policy.last_heard + quiet, carry_on)) {
        discard_input(policy.port);
        came = true;
        policy.last_heard = Clock::now();
        if (!carry_on() || policy.last_heard >= give_up) {
            break;
        }
    }
    if (came) {
        ++exchange.dropped_lines;
        policy.owed_lines = std::max(policy.owed_lines - 1, 0);
    }
    if (proving) {
        policy.follows_replies = came;
        policy.quiet_replies += came ? 0 : 1;
    }
    return carry_on();
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
    Exchange exchange;
    if (!prepare_line(policy, exchange, carry_on)) {
        exchange.end = ExchangeEnd::stopped;
        return exchange;
    }
    const bool hurried = Clock::now() - policy.last_heard < REST;
    exchange.requested = Clock::now();
    exchange.requested_utc = std::chrono::system_clock::now();
    if (!send_request(policy)) {
        exchange.end = port_lost(policy) ? ExchangeEnd::port_lost : ExchangeEnd::bound;
        return exchange;
    }
    exchange.sent.push_back(exchange.requested);
    exchange.end = collect(policy, exchange, exchange.requested + REPLY_BOUND, true, carry_on);
    const int owed = policy.owed_lines;
    // Without a reply, each request may still be answered late, after those still owed: as late
    // as the meter takes, or before it has answered at all, as late as the bound and the frame
    // read from there.
    policy.owed_lines = std::min(owed + static_cast<int>(exchange.sent.size()), MOST_OWED);
    // Lines owed before come first: their time is not shortened.
    policy.owed_until = std::max(
        policy.owed_until,
        exchange.sent.back() + (policy.answered ? repeat_after(policy) : REPLY_BOUND + FRAME_TIME));
    if (exchange.end == ExchangeEnd::reply) {
        Clock::time_point answered = exchange.sent.back();
        Drain drain;
        if (exchange.sent.size() > 1 && !answered_last_request(policy, exchange)) {
            drain = drain_extra_replies(policy, exchange, carry_on);
            // No extra reply from a meter whose pace is still unknown: it did not hear the
            // repeats while it was answering, the patient reading of its pace.
            answered = drain.extras == 0 && !policy.answered
                           ? exchange.sent.front()
                           : answered_request(exchange, drain.extras);
        }
        // A reply at the meter's pace after the last request waited behind no other line; one
        // that waited behind others says nothing of the meter's pace, nor does one whose extra
        // replies were not all read: which request it answered is not known.
        const int dropped = owed == 0 || answered_last_request(policy, exchange)
                                ? 0
                                : catch_up(policy, exchange, owed, carry_on);
        if (dropped == 0 && drain.unread == 0 && exchange.end == ExchangeEnd::reply) {
            learn_answer_time(policy, exchange.first_byte - answered);
            learn_rest(policy, hurried, answered != exchange.requested);
        }
        if (exchange.end == ExchangeEnd::reply) {
            // The extra replies not read yet are owed: each may come as long after the last line.
            policy.owed_lines = drain.unread + (policy.follows_replies ? 1 : 0);
            policy.owed_until = drain.unread == 0 ? Clock::time_point{}
                                                  : policy.last_heard + drain.unread * drain.apart;
        } else {
            policy.owed_lines = std::max(policy.owed_lines - dropped - 1, 1);
        }
    } else if (exchange.end == ExchangeEnd::port_lost) {
        policy.owed_lines = 0;
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

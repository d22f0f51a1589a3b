#include "meter_session.h"

#include "meter_frame.h"
#include "serial_link.h"

#include <cmath>

namespace logbook {

namespace {

// An exchange under way when the user stops the run may finish within this.
constexpr auto STOP_GRACE = std::chrono::milliseconds(300);
// Readings in a row that dropped a line answering none of their requests, before it is told.
constexpr int TOLD_AFTER_DROPS = 3;

// The earliest first request of the run's meters.
Clock::time_point origin_of(const SessionPlan& plan, Clock::time_point requested)
{
    Clock::time_point origin = plan.origin.load();
    while ((origin == Clock::time_point{} || requested < origin) &&
           !plan.origin.compare_exchange_weak(origin, requested)) {
    }
    return plan.origin.load();
}

Record record_of(const MeterSession& session, const SessionPlan& plan, const Exchange& exchange)
{
    Record record;
    if (exchange.end == ExchangeEnd::port_lost) {
        record.status = Status::port_lost;
    } else if (exchange.end == ExchangeEnd::busy) {
        // Not asked: earlier requests may still be answered. A line that never ended is shown.
        record.status = exchange.reply.empty() ? Status::no_reply : Status::garbled;
        record.frame = exchange.reply;
    } else {
        record = decode_reply(meter::trim_trailing_spaces(exchange.reply));
    }
    record.time = utc_timestamp(exchange.requested_utc);
    record.elapsed_s =
        std::chrono::duration<double>(exchange.requested - origin_of(plan, exchange.requested))
            .count();
    record.meter = session.index;
    return record;
}

// Once the run's first request went out, the pace counts from it, as elapsed seconds do.
Clock::time_point pace_origin(const SessionPlan& plan)
{
    const Clock::time_point origin = plan.origin.load();
    return origin == Clock::time_point{} ? plan.start : origin;
}

// Request k starts at k intervals from the first, so that a long run keeps its pace; after a
// late reply the next request goes out at once for the interval under way, and intervals that
// passed whole during the reading are skipped.
long next_slot(long slot, const SessionPlan& plan)
{
    const double since_start =
        std::chrono::duration<double>(Clock::now() - pace_origin(plan)).count();
    return std::max(slot + 1, static_cast<long>(std::floor(since_start / plan.interval_s)));
}

Clock::time_point slot_time(const SessionPlan& plan, long slot)
{
    return pace_origin(plan) +
           std::chrono::duration_cast<Clock::duration>(
               std::chrono::duration<double>(static_cast<double>(slot) * plan.interval_s));
}

// A port that was not there at the start, taken as one lost at the first request.
Exchange missing_port()
{
    Exchange exchange;
    exchange.end = ExchangeEnd::port_lost;
    exchange.requested = Clock::now();
    exchange.requested_utc = std::chrono::system_clock::now();
    return exchange;
}

void run_session(MeterSession& session, const SessionPlan& plan, RecordStream& stream)
{
    const auto may_go_on = [&] {
        return !*plan.stop && Clock::now() < plan.end && !stream_closed(stream);
    };
    Clock::time_point stop_noticed{};
    const auto exchange_may_go_on = [&] {
        if (!*plan.stop || plan.let_exchanges_end) {
            return true;
        }
        stop_noticed = stop_noticed == Clock::time_point{} ? Clock::now() : stop_noticed;
        return Clock::now() - stop_noticed < STOP_GRACE;
    };
    long rows = 0;
    bool missing = session.missing_at_start;
    int dropping = 0; // readings in a row that dropped a line
    bool told_drops = false;
    for (long slot = 0; plan.count == 0 || rows < plan.count;) {
        if (!wait_while(may_go_on, slot_time(plan, slot))) {
            break;
        }
        // The line has until the next interval, and at least a bound, to clear for the request;
        // never more than two bounds, so that each row follows its time within 2.5 s (pairing
        // for power waits no longer for a reading).
        const Clock::time_point give_up =
            std::min(plan.interval_s > 0.0
                         ? std::max(slot_time(plan, slot + 1), slot_time(plan, slot) + REPLY_BOUND)
                         : Clock::now() + REPLY_BOUND,
                     Clock::now() + 2 * REPLY_BOUND);
        const Exchange exchange =
            missing ? missing_port()
                    : exchange_reading(session.policy, give_up, exchange_may_go_on);
        missing = false;
        if (exchange.end == ExchangeEnd::stopped ||
            !put(stream, MeterEvent{MeterEventKind::reading,
                                    session.index,
                                    record_of(session, plan, exchange),
                                    {}})) {
            break;
        }
        ++rows;
        dropping = exchange.dropped_lines > 0 ? dropping + 1 : 0;
        if (dropping == TOLD_AFTER_DROPS && !told_drops) {
            told_drops = true;
            put(stream, MeterEvent{MeterEventKind::notice,
                                   session.index,
                                   {},
                                   {},
                                   session.name + ": lines keep coming that answer no request; "
                                                  "they are dropped"});
        }
        // The lost port's row may be the last one asked for: nothing is left to wait for.
        const bool wanted_more = plan.count == 0 || rows < plan.count;
        if (exchange.end == ExchangeEnd::port_lost && wanted_more) {
            if (!wait_for_meter(session.policy.port, session.device, may_go_on)) {
                break;
            }
            start_clear(session.policy);
            put(stream, MeterEvent{MeterEventKind::port_back, session.index, {}, {}});
        }
        slot = plan.interval_s > 0.0 ? next_slot(slot, plan) : slot;
    }
    close_port(session.policy.port);
    put(stream, MeterEvent{MeterEventKind::ended, session.index, {}, {}});
}

} // namespace

MeterOpen open_session(const MeterSession& session)
{
    return open_meter(session.policy.port, session.device);
}

void start_session(MeterSession& session, const SessionPlan& plan, RecordStream& stream)
{
    session.thread =
        std::thread([&session, &plan, &stream] { run_session(session, plan, stream); });
}

void join_session(MeterSession& session)
{
    if (session.thread.joinable()) {
        session.thread.join();
    }
}

} // namespace logbook

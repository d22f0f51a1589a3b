// A meter session: one meter's port, its exchanges, its reconnection and its pace, on a thread
// of its own. It knows nothing of files or HTTP: its readings become records, with the
// meter's index, on the run's stream. A slow, silent or unplugged meter delays only its own
// readings.
#pragma once

#include "log_exchange.h"
#include "record_stream.h"

#include <atomic>
#include <string>
#include <thread>

namespace logbook {

// What every session of a run follows; read only once the sessions run.
struct SessionPlan {
    long count = 0;            // readings per meter; 0: no limit
    double interval_s = 0.0;   // 0: each request as soon as the previous reply is complete
    Clock::time_point start{}; // the common start, until the first request went out
    Clock::time_point end{};   // no request starts after this
    const std::atomic<bool>* stop = nullptr; // the user asked the run to end
    // With the stop, the exchanges under way end as they would (--stop-on-alarm), not cut short.
    std::atomic<bool> let_exchanges_end{false};
    // The run's first request, whichever meter sent it: elapsed seconds and request k of each
    // meter (at k intervals) count from it.
    mutable std::atomic<Clock::time_point> origin{Clock::time_point{}};
};

struct MeterSession {
    int index = 0;      // in the order the meters were named
    std::string name;   // as named, or the port as given
    std::string port;   // as given: COM3, /dev/ttyUSB0
    std::string device; // what opens it
    ExchangePolicy policy;
    bool missing_at_start = false; // its port did not open: waited for as a lost one
    std::thread thread;
};

// Opens the session's port, before any meter is asked anything.
MeterOpen open_session(const MeterSession& session);
// Starts the session's thread; it ends when the plan is done, the user stops the run or the
// stream closes, and puts an `ended` event last.
void start_session(MeterSession& session, const SessionPlan& plan, RecordStream& stream);
void join_session(MeterSession& session);

} // namespace logbook

// The one stream of a run: the meter sessions put their readings on it in the order their
// replies completed, and the run's loop takes them off for the outputs. It is bounded: a meter
// whose readings the outputs cannot take yet (standard output a full pipe) waits, as a meter
// alone would, instead of memory growing.
#pragma once

#include "log_record.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

namespace logbook {

enum class MeterEventKind {
    reading,   // a row: a reply, or a reading missing, or the port lost
    port_back, // the lost port is open again
    ended,     // the session has done its readings, or was stopped
    notice,    // something the person watching should know, once
};

struct MeterEvent {
    MeterEventKind kind = MeterEventKind::reading;
    int meter = 0;
    Record record;                            // of a reading
    std::chrono::steady_clock::time_point at; // when it was put on the stream
    std::string notice;                       // of a notice
};

constexpr std::size_t STREAM_BOUND = 1000;

struct RecordStream {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<MeterEvent> events;
    bool closed = false; // the run is ending: nothing more is taken
};

// Waits while the stream is full; false, and the event dropped, once it is closed.
bool put(RecordStream& stream, MeterEvent event);
// The next event, waiting at most `timeout`; false when none came.
bool take(RecordStream& stream, MeterEvent& event, std::chrono::milliseconds timeout);
void close_stream(RecordStream& stream);
bool stream_closed(RecordStream& stream);

} // namespace logbook

#include "record_stream.h"

namespace logbook {

bool put(RecordStream& stream, MeterEvent event)
{
    std::unique_lock<std::mutex> hold(stream.lock);
    stream.changed.wait(hold, [&] { return stream.closed || stream.events.size() < STREAM_BOUND; });
    if (stream.closed) {
        return false;
    }
    event.at = std::chrono::steady_clock::now();
    stream.events.push_back(std::move(event));
    stream.changed.notify_all();
    return true;
}

bool take(RecordStream& stream, MeterEvent& event, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> hold(stream.lock);
    if (!stream.changed.wait_for(hold, timeout, [&] { return !stream.events.empty(); })) {
        return false;
    }
    event = std::move(stream.events.front());
    stream.events.pop_front();
    stream.changed.notify_all();
    return true;
}

void close_stream(RecordStream& stream)
{
    const std::lock_guard<std::mutex> hold(stream.lock);
    stream.closed = true;
    stream.changed.notify_all();
}

bool stream_closed(RecordStream& stream)
{
    const std::lock_guard<std::mutex> hold(stream.lock);
    return stream.closed;
}

} // namespace logbook

#include "meter_reading.h"

#include "meter_frame.h"
#include "serial_link.h"

#include <chrono>

namespace meter {

namespace {

bool is_line_end(char c)
{
    // The POSIX link delivers the meter's carriage return as a line feed.
    return c == '\r' || c == '\n';
}

bool is_meter_channel(std::int32_t channel)
{
    return (channel & 0xFF) == 0;
}

// Reads byte by byte until the line end that ends the frame, until a read gets nothing within the
// link's read time-out, or until the collection limit: a tail still on the line is not left to
// shift the next reading, and a device that never stops cannot hold the caller.
std::string collect_reply()
{
    const auto limit =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(COLLECTION_LIMIT_MS);
    std::string reply;
    char byte = 0;
    while (read_bytes(METER_PORT, &byte, 1) > 0) {
        if (take_reply_byte(reply, byte) || std::chrono::steady_clock::now() >= limit) {
            break;
        }
    }
    return reply;
}

void send_request(const std::string& command)
{
    // Whatever arrived since the last exchange belongs to no request of ours.
    discard_input(METER_PORT);
    write_text(METER_PORT, (command + '\r').c_str());
}

} // namespace

bool take_reply_byte(std::string& reply, char byte)
{
    // Noise may put a line end ahead of the frame; it ends no reply.
    if (byte == '\0' || (reply.empty() && is_line_end(byte))) {
        return false;
    }
    reply += byte;
    return is_line_end(byte);
}

std::string read_meter(const std::string& command)
{
    send_request(command);
    pause_ms(ANSWER_WAIT_MS);
    return trim_trailing_spaces(collect_reply());
}

double ead(std::int32_t channel)
{
    if (!is_meter_channel(channel)) {
        return 0.0;
    }
    return frame_value(read_meter(std::string()));
}

std::string nead(std::int32_t channel, std::string& stored_label)
{
    stored_label =
        is_meter_channel(channel) ? frame_label(read_meter(std::string())) : std::string();
    return stored_label;
}

} // namespace meter

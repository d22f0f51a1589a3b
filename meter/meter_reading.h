// One exchange with the MAS-345 on the meter port, and the two measuring functions built
// on it. The front end must have opened METER_PORT with METER_SETTINGS, DTR on, RTS off.
#pragma once

#include <cstdint>
#include <string>

namespace meter {

// How long the meter is given to answer before its reply is collected.
constexpr std::int32_t ANSWER_WAIT_MS = 700;
// However fast a device keeps sending, collection stops this long after the wait.
constexpr std::int32_t COLLECTION_LIMIT_MS = 1000;

// Sends the command and a carriage return, waits, and returns the reply without its trailing
// spaces: the MeterFrame. Empty when nothing was received.
std::string read_meter(const std::string& command);

// Adds one received byte to a reply; true when it was the line end that ends the frame. A zero
// byte adds nothing, and line ends ahead of the frame are noise.
bool take_reply_byte(std::string& reply, char byte);

// The reading's value; 0.0 at once for any channel whose low 8 bits are not 0.
double ead(std::int32_t channel);

// The reading's label (mode and unit columns). The stored label takes the new label, or the
// empty text for another channel; the result is a copy of it.
std::string nead(std::int32_t channel, std::string& stored_label);

} // namespace meter

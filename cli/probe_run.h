// One run of the command-line driver: parameters in, one printed answer out.
#pragma once

#include "catalogue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct PortAndChannel {
    std::int8_t port_number;
    double channel_value;
};

// "10" is COM1 channel 0: the tens choose the port, the rest is the channel. A port number is
// kept to 8 signed bits, and 0 becomes 1 (the channel is then left as it was).
PortAndChannel decode_port_and_channel(const std::string& parameter);

struct DispatchArguments {
    std::int32_t channel;
    std::int32_t value;
    double output_value;
};

// The printed form of the named function's answer; nothing when no function has that name.
std::optional<std::string> dispatch(const std::string& name, driver::Catalogue& catalogue,
                                    const DispatchArguments& arguments);

void print_help();

// Steps of a run, from the port table to closing every port. `parameters` excludes the
// program's own name.
void run_probe(const std::vector<std::string>& parameters);

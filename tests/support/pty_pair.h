// A pseudo-terminal whose master end the test holds, acting as the device.
#pragma once

#include <string>

struct PtyPair {
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Everything the device end has received within the time, or until `expected` bytes.
    std::string receive(int timeout_ms, std::size_t expected = static_cast<std::size_t>(-1));
    void send(const std::string& bytes);
    void hang_up();

    int master = -1;
    int held_slave = -1; // keeps the line up between the link's opens
    std::string slave_path;
};

// Number of descriptors this process has open.
int open_descriptor_count();

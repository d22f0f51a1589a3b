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
    // Another program holds the device as serial programs do: open, locked, at 600 baud, with
    // input waiting unread. Gives the holder's descriptor.
    int hold(const std::string& pending_input);
    // Received bytes that wait unread at the device end.
    int pending_input() const;

    int master = -1;
    int held_slave = -1; // keeps the line up between the link's opens
    int holder = -1;     // see hold()
    std::string slave_path;
};

// Number of descriptors this process has open.
int open_descriptor_count();

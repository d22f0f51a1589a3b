// Placeholder device nodes in the private /dev of tests/rig/sandbox: an empty regular file
// (opens, is no terminal), or a file with a pseudo-terminal slave bound onto it. Refuses to
// touch a /dev that is not the sandbox's own.
#pragma once

#include <string>

class FakeNode {
public:
    // `name` is relative to /dev ("ttyS3"); `target` a pseudo-terminal slave, or empty.
    FakeNode(const std::string& name, const std::string& target);
    ~FakeNode();
    FakeNode(const FakeNode&) = delete;
    FakeNode& operator=(const FakeNode&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    bool bound_ = false;
};

// True inside the sandbox's private /dev.
bool in_private_dev();

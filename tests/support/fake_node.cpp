#include "fake_node.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <sys/mount.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr long TMPFS_MAGIC_NUMBER = 0x01021994;

} // namespace

bool in_private_dev()
{
    const char* sandboxed = std::getenv("OHM_SANDBOXED");
    struct statfs dev {};
    return sandboxed != nullptr && std::strcmp(sandboxed, "1") == 0 && statfs("/dev", &dev) == 0 &&
           static_cast<long>(dev.f_type) == TMPFS_MAGIC_NUMBER;
}

FakeNode::FakeNode(const std::string& name, const std::string& target) : path_("/dev/" + name)
{
    if (!in_private_dev()) {
        std::fprintf(stderr, "FakeNode: not inside the sandbox's private /dev; refusing\n");
        std::abort();
    }
    std::ofstream(path_).flush();
    if (!target.empty()) {
        bound_ = mount(target.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (!bound_) {
            std::perror("FakeNode: bind");
        }
    }
}

FakeNode::~FakeNode()
{
    if (bound_) {
        umount2(path_.c_str(), MNT_DETACH);
    }
    unlink(path_.c_str());
}

// Test main for test programs that open device nodes or run Wine: the program first moves
// itself into a private mount namespace whose /dev holds only fake nodes (tests/rig/sandbox),
// so that nothing it starts can reach this machine's own serial ports.
#include "test_paths.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    const char* sandboxed = std::getenv("OHM_SANDBOXED");
    if (sandboxed == nullptr || std::strcmp(sandboxed, "1") != 0) {
        std::vector<char*> command{const_cast<char*>(OHM_SANDBOX)};
        char self[4096];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0) {
            return 1;
        }
        self[length] = '\0';
        command.push_back(self);
        for (int i = 1; i < argc; ++i) {
            command.push_back(argv[i]);
        }
        command.push_back(nullptr);
        execv(OHM_SANDBOX, command.data());
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

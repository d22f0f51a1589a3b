#include "wine_rig.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::string session_path(const std::string& name)
{
    const char* dir = std::getenv("OHM_SESSION_DIR");
    return std::string("Z:") + (dir != nullptr ? dir : "/nonexistent") + "/" + name;
}

std::string read_session_file(const std::string& name)
{
    std::ifstream file(session_path(name), std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

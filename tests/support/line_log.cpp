#include "line_log.h"

#include <sstream>

int pts_number(const std::string& device_path)
{
    return std::stoi(device_path.substr(device_path.rfind('/') + 1));
}

std::set<int> configured_ptys(const std::string& log)
{
    std::set<int> ptys;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("pts=", 0) == 0 && line.find(" tcsetattr ") != std::string::npos) {
            ptys.insert(std::stoi(line.substr(4)));
        }
    }
    return ptys;
}

// A metersim started for one test, on its own pseudo-terminal.
#pragma once

#include "process.h"

#include <memory>
#include <string>
#include <vector>

class SimMeter {
public:
    explicit SimMeter(std::vector<std::string> options = {}, const std::string& lines_dir = "");
    ~SimMeter();

    const std::string& path() const { return path_; }
    // Every byte the meter has received so far.
    std::string received() const;
    void stop() { process_->stop(); }
    // The meter's cable comes out, or goes back in (metersim's SIGUSR1).
    void toggle_cable() const;
    // The line itself is pulled out, or plugged back in (metersim's SIGUSR2).
    void toggle_line() const;
    pid_t pid() const { return process_->pid(); }

private:
    std::string dir_;
    std::string path_;
    std::unique_ptr<BackgroundProcess> process_;
};

#include "sim_meter.h"

#include "test_paths.h"

#include <csignal>
#include <sys/resource.h>

SimMeter::SimMeter(std::vector<std::string> options, const std::string& lines_dir)
    : dir_(make_temp_dir("ohm-sim"))
{
    Launch launch;
    launch.argv = {OHM_METERSIM, "--log", dir_ + "/received"};
    if (!lines_dir.empty()) {
        launch.argv.insert(launch.argv.end(), {"--lines-dir", lines_dir});
    }
    launch.argv.insert(launch.argv.end(), options.begin(), options.end());
    process_ = std::make_unique<BackgroundProcess>(launch);
    // A meter is hardware: a busy machine never makes its replies late. A late one would be
    // asked again, and its repeated reading would shift a test's sequence of readings.
    setpriority(PRIO_PROCESS, static_cast<id_t>(process_->pid()), -10);
    path_ = process_->read_line();
}

SimMeter::~SimMeter()
{
    process_->stop();
    remove_tree(dir_);
}

void SimMeter::toggle_cable() const
{
    kill(process_->pid(), SIGUSR1);
}

void SimMeter::toggle_line() const
{
    kill(process_->pid(), SIGUSR2);
}

std::string SimMeter::received() const
{
    return read_file(dir_ + "/received");
}

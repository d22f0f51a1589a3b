// ohmprobe for Linux: one driver-function query per run, on a serial device node.
#if defined(_WIN32)
#error "main_posix.cpp is the POSIX entry of ohmprobe; Windows builds take main_win32.cpp"
#endif

#include "probe_run.h"

#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    // Output to a closed pipe is lost, as to a full disk; it does not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    run_probe(std::vector<std::string>(argv + 1, argv + argc));
    std::fflush(stdout);
    return 0;
}

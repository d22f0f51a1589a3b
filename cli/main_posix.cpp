// ohmprobe for Linux: one driver-function query per run, on a serial device node.
#if defined(_WIN32)
#error "main_posix.cpp is the POSIX entry of ohmprobe; Windows builds take main_win32.cpp"
#endif

#include "probe_run.h"

#include <cstdio>

int main(int argc, char** argv)
{
    run_probe(std::vector<std::string>(argv + 1, argv + argc));
    std::fflush(stdout);
    return 0;
}

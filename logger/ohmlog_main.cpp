// ohmlog: records the MAS-345's readings as CSV, with a plot.
#include "log_run.h"

int main(int argc, char** argv)
{
    return logbook::run_ohmlog(argc, argv);
}

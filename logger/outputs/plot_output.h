// The plot: drawn from the run's view once the run has ended, written under its temporary
// name and put in place.
#pragma once

#include "log_files.h"
#include "output.h"

namespace logbook {

Output plot_output(Files& files);

} // namespace logbook

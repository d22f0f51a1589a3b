// The plot: drawn from the run's view once the run has ended, written under its temporary
// name and put in place. With strftime fields in its path, each file of the CSV is drawn as
// it closes, from the file, as --from would draw it.
#pragma once

#include "log_files.h"
#include "output.h"

namespace logbook {

Output plot_output(Files& files);

} // namespace logbook

// The rows as CSV, to a file or standard output: each written and flushed as soon as its
// record comes, so that `tail -f` and a crash both see whole rows. With several meters a tenth
// column names the meter; rows go out in the order their replies completed.
#pragma once

#include "log_files.h"
#include "output.h"

#include <string>
#include <vector>

namespace logbook {

Output csv_output(Files& files, const std::vector<std::string>& meters);

} // namespace logbook

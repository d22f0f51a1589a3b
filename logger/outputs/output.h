// An output of the run: it is told each record after the run's view took it, and once at the
// end. It knows no port and no meter session; the run's loop calls every output in turn, on
// its own thread.
#pragma once

#include "log_view.h"

#include <functional>

namespace logbook {

struct Output {
    // False when the output failed and the run must end (a file that cannot be written).
    std::function<bool(const RunView& view, const Record& record, const RecordNews& news)> take;
    // False when what it writes at the end could not be written.
    std::function<bool(const RunView& view)> finish;
};

} // namespace logbook

// An output of the run: it is told each record after the run's view took it (and what the time
// passing changed: power that could wait no longer, a port lost long enough for its alarm),
// and once at the end. It knows no port and no meter session; the run's loop calls every
// output in turn, on its own thread.
#pragma once

#include "log_view.h"

#include <functional>

namespace logbook {

struct Output {
    // False when the output failed and the run must end (a file that cannot be written).
    // `news.record` is the record, or null when only the time passed.
    std::function<bool(const RunView& view, const RecordNews& news)> take;
    // False when what it writes at the end could not be written.
    std::function<bool(const RunView& view)> finish;
};

} // namespace logbook

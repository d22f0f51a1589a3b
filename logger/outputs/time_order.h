// The rows of two of a file's meters kept aside as the file is read, and given back merged in
// time order: the power of a volt and an ampere meter is paired reading by reading in time, and
// a file of months of rows may hold them grouped by meter or in any other order. They are kept
// in temporary files, not in memory; each meter's rows come in its own time order.
#pragma once

#include "log_record.h"
#include "log_view.h"

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace logbook {

struct TimeOrder {
    std::array<int, 2> meters{};
    std::array<std::string, 2> paths;
    std::array<std::FILE*, 2> kept{};
};

// Temporary files for the rows of these two meters; false, with the cause, when they cannot be
// made.
bool start_time_order(TimeOrder& order, int first_meter, int second_meter, std::string& problem);
// Keeps the row when it is of one of the two meters.
void keep_in_time_order(TimeOrder& order, const Record& row);
// Every row kept, the earliest first; the temporary files go. False when not every row could
// be kept (a full disk).
bool replay_in_time_order(TimeOrder& order, const std::function<void(const Record&)>& take);

// --from: the meters of a file join the view as their first rows come (`names`, in that order),
// the two of `power` (as --power names them) in their places: a volt reading before the first
// ampere reading waits for it, as in a run.
void join_file_meters(RunView& view, const std::vector<std::string>& names,
                      const std::string& power);
// A row of the file: its meter joins the view, the row is counted there, and kept aside when it
// is one of the power's two meters', to be paired in time order (add_power_later) at the end.
RecordNews take_file_row(RunView& view, TimeOrder& order, const std::vector<std::string>& names,
                         const std::string& power, const Record& row);

} // namespace logbook

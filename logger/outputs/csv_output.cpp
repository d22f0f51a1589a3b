#include "csv_output.h"

namespace logbook {

// A meter that is slow, silent or flooding holds up no other meter's rows. A row goes to the
// file its request's time names (a file a day).
Output csv_output(Files& files, const std::vector<std::string>& meters)
{
    Output output;
    output.take = [&files, meters](const RunView&, const RecordNews& news) {
        if (news.record == nullptr) {
            return true;
        }
        const Record& record = *news.record;
        return write_csv_row(files, record.time,
                             meters.size() == 1
                                 ? csv_row(record)
                                 : csv_row(record, meters[static_cast<std::size_t>(record.meter)]));
    };
    output.finish = [&files](const RunView&) {
        close_csv(files);
        return true;
    };
    return output;
}

} // namespace logbook

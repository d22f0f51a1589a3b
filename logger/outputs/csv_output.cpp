#include "csv_output.h"

#include <algorithm>
#include <memory>

namespace logbook {

namespace {

// The rows held back until every meter has its first row.
struct FirstRows {
    std::vector<bool> seen;
    std::vector<Record> held;
    bool done = false;
};

// The held rows: first each meter's first row in the meters' order, then the others as they
// came.
bool release(Files& files, FirstRows& first, const std::vector<std::string>& meters)
{
    std::vector<const Record*> rows;
    for (std::size_t meter = 0; meter < meters.size(); ++meter) {
        const auto found =
            std::find_if(first.held.begin(), first.held.end(),
                         [&](const Record& row) { return row.meter == static_cast<int>(meter); });
        if (found != first.held.end()) {
            rows.push_back(&*found);
        }
    }
    std::vector<bool> placed(meters.size(), false);
    for (const Record& row : first.held) {
        const auto meter = static_cast<std::size_t>(row.meter);
        if (placed[meter]) {
            rows.push_back(&row);
        }
        placed[meter] = true;
    }
    bool written = true;
    for (const Record* row : rows) {
        written =
            written && write_csv_row(files, row->time,
                                     csv_row(*row, meters[static_cast<std::size_t>(row->meter)]));
    }
    first.held.clear();
    first.done = true;
    return written;
}

} // namespace

Output csv_output(Files& files, const std::vector<std::string>& meters)
{
    Output output;
    if (meters.size() == 1) {
        output.take = [&files](const RunView&, const RecordNews& news) {
            return news.record == nullptr ||
                   write_csv_row(files, news.record->time, csv_row(*news.record));
        };
        output.finish = [&files](const RunView&) {
            close_csv(files);
            return true;
        };
        return output;
    }
    auto first = std::make_shared<FirstRows>();
    first->seen.assign(meters.size(), false);
    output.take = [&files, first, meters](const RunView&, const RecordNews& news) {
        if (news.record == nullptr) {
            return true;
        }
        const Record& record = *news.record;
        if (first->done) {
            return write_csv_row(files, record.time,
                                 csv_row(record, meters[static_cast<std::size_t>(record.meter)]));
        }
        first->held.push_back(record);
        first->seen[static_cast<std::size_t>(record.meter)] = true;
        const bool all =
            std::find(first->seen.begin(), first->seen.end(), false) == first->seen.end();
        return !all || release(files, *first, meters);
    };
    output.finish = [&files, first, meters](const RunView&) {
        const bool written = first->done || release(files, *first, meters);
        close_csv(files);
        return written;
    };
    return output;
}

} // namespace logbook

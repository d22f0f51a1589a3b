#include "time_order.h"

#include "log_platform.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

namespace logbook {

namespace {

// What pairing for power reads of a row, as it is kept: its numbers as they are, its texts
// with their lengths.
void put_text(std::FILE* file, const std::string& text)
{
    const auto size = static_cast<std::uint32_t>(text.size());
    std::fwrite(&size, sizeof size, 1, file);
    std::fwrite(text.data(), 1, text.size(), file);
}

bool get_text(std::FILE* file, std::string& text)
{
    std::uint32_t size = 0;
    if (std::fread(&size, sizeof size, 1, file) != 1) {
        return false;
    }
    text.resize(size);
    return std::fread(text.data(), 1, size, file) == size;
}

void put_row(std::FILE* file, const Record& row)
{
    const auto status = static_cast<std::int32_t>(row.status);
    std::fwrite(&row.elapsed_s, sizeof row.elapsed_s, 1, file);
    std::fwrite(&row.number, sizeof row.number, 1, file);
    std::fwrite(&status, sizeof status, 1, file);
    put_text(file, row.time);
    put_text(file, row.mode);
    put_text(file, row.base_unit);
}

bool get_row(std::FILE* file, int meter, Record& row)
{
    std::int32_t status = 0;
    row.meter = meter;
    const bool read = std::fread(&row.elapsed_s, sizeof row.elapsed_s, 1, file) == 1 &&
                      std::fread(&row.number, sizeof row.number, 1, file) == 1 &&
                      std::fread(&status, sizeof status, 1, file) == 1 &&
                      get_text(file, row.time) && get_text(file, row.mode) &&
                      get_text(file, row.base_unit);
    row.status = static_cast<Status>(status);
    return read;
}

} // namespace

bool start_time_order(TimeOrder& order, int first_meter, int second_meter, std::string& problem)
{
    std::error_code error;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(error);
    if (error) {
        problem = "cannot keep rows aside: no temporary folder (" + error.message() + ")";
        return false;
    }
    order.meters = {first_meter, second_meter};
    for (std::size_t k = 0; k < order.kept.size(); ++k) {
        order.paths[k] = file_name(
            dir / ("ohmlog-" + std::to_string(process_id()) + "-" + std::to_string(k) + ".rows"));
        order.kept[k] = create_new_file(order.paths[k]);
        if (order.kept[k] == nullptr) {
            problem = "cannot keep rows in " + order.paths[k] + ": " + std::strerror(errno);
            order.paths[k].clear(); // not ours to remove
            replay_in_time_order(order, [](const Record&) {});
            return false;
        }
    }
    return true;
}

void keep_in_time_order(TimeOrder& order, const Record& row)
{
    for (std::size_t k = 0; k < order.kept.size(); ++k) {
        if (order.kept[k] != nullptr && row.meter == order.meters[k]) {
            put_row(order.kept[k], row);
        }
    }
}

bool replay_in_time_order(TimeOrder& order, const std::function<void(const Record&)>& take)
{
    std::array<Record, 2> next;
    std::array<bool, 2> has{};
    bool whole = true;
    for (std::size_t k = 0; k < order.kept.size(); ++k) {
        if (order.kept[k] != nullptr) {
            whole = std::ferror(order.kept[k]) == 0 && whole;
            whole = std::fclose(order.kept[k]) == 0 && whole;
            order.kept[k] =
                order.paths[k].empty() ? nullptr : std::fopen(order.paths[k].c_str(), "rb");
            has[k] = order.kept[k] != nullptr && get_row(order.kept[k], order.meters[k], next[k]);
        }
    }
    while (has[0] || has[1]) {
        const std::size_t k = !has[1] || (has[0] && next[0].elapsed_s <= next[1].elapsed_s) ? 0 : 1;
        take(next[k]);
        has[k] = get_row(order.kept[k], order.meters[k], next[k]);
    }
    for (std::size_t k = 0; k < order.kept.size(); ++k) {
        if (order.kept[k] != nullptr) {
            std::fclose(order.kept[k]);
            order.kept[k] = nullptr;
        }
        if (!order.paths[k].empty()) {
            std::remove(order.paths[k].c_str());
        }
    }
    return whole;
}

void join_file_meters(RunView& view, const std::vector<std::string>& names,
                      const std::string& power)
{
    const auto comma = power.find(',');
    while (view.meters.size() < names.size()) {
        const int index = static_cast<int>(view.meters.size());
        const std::string& name = names[view.meters.size()];
        view.meters.push_back(meter_view(name, ""));
        if (view.power && name == power.substr(0, comma)) {
            view.power->pairing.volt_meter = index;
        } else if (view.power && comma != std::string::npos && name == power.substr(comma + 1)) {
            view.power->pairing.ampere_meter = index;
        }
    }
}

RecordNews take_file_row(RunView& view, TimeOrder& order, const std::vector<std::string>& names,
                         const std::string& power, const Record& row)
{
    join_file_meters(view, names, power);
    RecordNews news = add_to_view(view, row);
    if (view.power) {
        order.meters = {view.power->pairing.volt_meter, view.power->pairing.ampere_meter};
    }
    keep_in_time_order(order, row);
    return news;
}

} // namespace logbook

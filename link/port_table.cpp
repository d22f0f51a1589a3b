// The port table, common to both platform forms: numbered slots and the chain of made ports.
#include "serial_link.h"

#include <algorithm>
#include <mutex>

PortTable port_table CONSTRUCTED_EARLY;

namespace {

// Open links whose device has gone; a closed link leaves the list, since the system may hand
// its handle value to the next device opened. A program that reads several ports from threads
// of their own (ohmlog) notes and asks from each.
struct LostLinks {
    std::mutex lock;
    std::vector<SerialLink> links;
};
LostLinks lost_links CONSTRUCTED_EARLY;

bool noted_lost(SerialLink link)
{
    const std::lock_guard<std::mutex> hold(lost_links.lock);
    const auto& links = lost_links.links;
    return std::find(links.begin(), links.end(), link) != links.end();
}

void forget_lost(SerialLink link)
{
    const std::lock_guard<std::mutex> hold(lost_links.lock);
    auto& links = lost_links.links;
    links.erase(std::remove(links.begin(), links.end(), link), links.end());
}

constexpr std::size_t INITIAL_SLOTS = 16;
constexpr std::size_t GROWTH_MARGIN = 16;

MadePort* find_made(std::int32_t id)
{
    for (MadePort* entry = port_table.made; entry != nullptr; entry = entry->next) {
        if (entry->id == id) {
            return entry;
        }
    }
    return nullptr;
}

std::int32_t make_identifier()
{
    std::int32_t id = port_table.last_made_id;
    do {
        id = (id < FIRST_MADE_ID || id == INT32_MAX) ? FIRST_MADE_ID : id + 1;
    } while (find_made(id) != nullptr);
    port_table.last_made_id = id;
    return id;
}

std::int32_t register_made(SerialLink link)
{
    auto* entry = new MadePort{make_identifier(), link, port_table.made};
    port_table.made = entry;
    return entry->id;
}

std::int32_t register_numbered(std::int32_t id, SerialLink link)
{
    const auto index = static_cast<std::size_t>(id);
    if (index >= port_table.slots.size()) {
        port_table.slots.resize(index + GROWTH_MARGIN, 0);
    }
    close_port(id);
    port_table.slots[index] = link;
    // Callers only compare the result with 0; a handle never truncates to 0 in practice,
    // but make sure success never reads as failure.
    const auto result = static_cast<std::int32_t>(link);
    return result != 0 ? result : 1;
}

void unlink_made(MadePort* target)
{
    MadePort** place = &port_table.made;
    while (*place != target) {
        place = &(*place)->next;
    }
    *place = target->next;
    delete target;
}

} // namespace

void init_port_table()
{
    port_table.slots.assign(INITIAL_SLOTS, 0);
    port_table.made = nullptr;
    port_table.last_made_id = 0;
}

bool identifier_can_open(std::int32_t id)
{
    return id == PORT_ANY || (id >= 0 && id < FIRST_MADE_ID);
}

const SerialLink* resolve_port(std::int32_t id)
{
    if (id >= 0 && static_cast<std::size_t>(id) < port_table.slots.size()) {
        const SerialLink& slot = port_table.slots[static_cast<std::size_t>(id)];
        return slot != 0 ? &slot : nullptr;
    }
    if (id >= FIRST_MADE_ID) {
        const MadePort* entry = find_made(id);
        return entry != nullptr ? &entry->link : nullptr;
    }
    return nullptr;
}

std::int32_t register_port(std::int32_t id, SerialLink link)
{
    return id == PORT_ANY ? register_made(link) : register_numbered(id, link);
}

std::int32_t port_is_open(std::int32_t id)
{
    return resolve_port(id) != nullptr ? 1 : 0;
}

void note_link_lost(SerialLink link)
{
    if (!noted_lost(link)) {
        const std::lock_guard<std::mutex> hold(lost_links.lock);
        lost_links.links.push_back(link);
    }
}

std::int32_t port_was_lost(std::int32_t id)
{
    const SerialLink* link = resolve_port(id);
    if (link == nullptr) {
        return 0;
    }
    probe_link(*link);
    return noted_lost(*link) ? 1 : 0;
}

void close_port(std::int32_t id)
{
    if (id >= 0 && static_cast<std::size_t>(id) < port_table.slots.size()) {
        SerialLink& slot = port_table.slots[static_cast<std::size_t>(id)];
        if (slot != 0) {
            release_link(slot);
            forget_lost(slot);
            slot = 0;
        }
        return;
    }
    if (id >= FIRST_MADE_ID) {
        if (MadePort* entry = find_made(id)) {
            release_link(entry->link);
            forget_lost(entry->link);
            unlink_made(entry);
        }
    }
}

void close_all_ports()
{
    for (std::size_t index = 0; index < port_table.slots.size(); ++index) {
        close_port(static_cast<std::int32_t>(index));
    }
    // The chain holds the newest first; close from the oldest.
    std::vector<std::int32_t> made_ids;
    for (const MadePort* entry = port_table.made; entry != nullptr; entry = entry->next) {
        made_ids.push_back(entry->id);
    }
    for (auto id = made_ids.rbegin(); id != made_ids.rend(); ++id) {
        close_port(*id);
    }
}

std::int32_t open_port(std::int32_t id, const char* name, std::int32_t baud, std::int32_t parity,
                       std::int32_t data_bits, float stop_bits, std::int32_t handshake,
                       std::int32_t input_buffer, std::int32_t output_buffer)
{
    const LineSettings settings{baud,      parity,       data_bits,    stop_bits,
                                handshake, input_buffer, output_buffer};
    return open_port(id, name, settings);
}

std::int32_t com_port_number(const std::string& name)
{
    constexpr std::int32_t HIGHEST_COM_PORT = 255;
    const auto is_letter = [&name](std::size_t i, char capital) {
        return name[i] == capital || name[i] == capital + ('a' - 'A');
    };
    if (name.size() < 4 || name.size() > 6 || !is_letter(0, 'C') || !is_letter(1, 'O') ||
        !is_letter(2, 'M') || name[3] == '0' ||
        name.find_first_not_of("0123456789", 3) != std::string::npos) {
        return 0;
    }
    const std::int32_t n = std::stoi(name.substr(3));
    return n <= HIGHEST_COM_PORT ? n : 0;
}

#include "command_line.h"

namespace {

std::string next_word(const std::string& raw, std::size_t& position)
{
    if (raw[position] == '"') {
        const std::size_t start = position + 1;
        const std::size_t closing = raw.find('"', start);
        position = closing == std::string::npos ? raw.size() : closing + 1;
        return raw.substr(start,
                          closing == std::string::npos ? std::string::npos : closing - start);
    }
    const std::size_t start = position;
    position = raw.find(' ', start);
    if (position == std::string::npos) {
        position = raw.size();
    }
    return raw.substr(start, position - start);
}

} // namespace

std::vector<std::string> split_command_line(const std::string& raw)
{
    std::vector<std::string> words;
    std::size_t position = 0;
    for (;;) {
        position = raw.find_first_not_of(' ', position);
        if (position == std::string::npos) {
            break;
        }
        words.push_back(next_word(raw, position));
    }
    if (!words.empty()) {
        words.erase(words.begin());
    }
    return words;
}

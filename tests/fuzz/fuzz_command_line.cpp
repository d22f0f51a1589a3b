// Splitting any raw command line: words never hold a separating space unless quoted, and
// words written back with quotes split into the same words.
#include "command_line.h"
#include "fuzz_support.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> words = split_command_line(raw);
    std::size_t characters = 0;
    for (const std::string& word : words) {
        characters += word.size();
    }
    FUZZ_EXPECT(characters <= raw.size());

    std::string rebuilt = "program";
    bool quotable = true;
    for (const std::string& word : words) {
        quotable = quotable && word.find('"') == std::string::npos;
        rebuilt += " \"" + word + "\"";
    }
    if (quotable) {
        FUZZ_EXPECT(split_command_line(rebuilt) == words);
    }
    return 0;
}

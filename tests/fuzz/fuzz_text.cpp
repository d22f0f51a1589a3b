// lower_latin1 and text_contains on any bytes; format_real and format_integer on any bit
// pattern, against printf's "%.10f" and "%d" in the "C" locale.
#include "fuzz_support.h"
#include "probe_text.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void check_lowering(const std::string& text)
{
    const std::string lowered = lower_latin1(text);
    FUZZ_EXPECT(lowered.size() == text.size());
    FUZZ_EXPECT(lower_latin1(lowered) == lowered);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool capital = (byte >= 0x41 && byte <= 0x5A) || (byte >= 0xC0 && byte <= 0xDE);
        FUZZ_EXPECT(static_cast<unsigned char>(lowered[i]) == (capital ? byte + 32 : byte));
    }
    const std::size_t half = text.size() / 2;
    const std::string needle = text.substr(half, half / 2 + 1);
    FUZZ_EXPECT(text_contains(text, needle) == (!text.empty() && !needle.empty()));
}

void check_formats(const std::uint8_t* data, std::size_t size)
{
    if (size < sizeof(double)) {
        return;
    }
    double value = 0;
    std::memcpy(&value, data, sizeof value);
    std::int32_t whole = 0;
    std::memcpy(&whole, data, sizeof whole);
    char expected[512];
    std::snprintf(expected, sizeof expected, "%.10f", value);
    FUZZ_EXPECT(format_real(value) == expected);
    std::snprintf(expected, sizeof expected, "%d", static_cast<int>(whole));
    FUZZ_EXPECT(format_integer(whole) == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    check_lowering(std::string(reinterpret_cast<const char*>(data), size));
    check_formats(data, size);
    return 0;
}

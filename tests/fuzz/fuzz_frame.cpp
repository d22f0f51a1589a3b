// Any reply, however broken, decomposes into a value and a label of the meter's columns.
#include "fuzz_support.h"
#include "meter_frame.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const std::string frame = meter::trim_trailing_spaces(reply);
    FUZZ_EXPECT(frame.size() <= reply.size());
    FUZZ_EXPECT(reply.compare(0, frame.size(), frame) == 0);
    FUZZ_EXPECT(frame.empty() || frame.back() != ' ');

    const std::string label = meter::frame_label(frame);
    FUZZ_EXPECT(label.size() <= 6);
    FUZZ_EXPECT(label == frame.substr(0, 2) + (frame.size() >= 10 ? frame.substr(9, 4) : ""));
    if (frame.size() >= 13) {
        FUZZ_EXPECT(label.size() == 6);
    }

    const double value = meter::frame_value(frame);
    const std::string field = meter::cut_columns(frame, 4, 6);
    FUZZ_EXPECT(field.size() <= 6);
    FUZZ_EXPECT(value == meter::parse_value_field(field) || (value != value));
    return 0;
}

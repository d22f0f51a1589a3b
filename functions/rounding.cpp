#include "rounding.h"

#include <cmath>
#include <limits>

namespace {

std::int32_t saturate_32(double whole)
{
    if (std::isnan(whole)) {
        return 0;
    }
    if (whole >= 2147483647.0) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (whole <= -2147483648.0) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(whole);
}

// The single-precision copy; a value beyond float's range is kept, since it saturates anyway.
double single_precision(double x)
{
    if (std::fabs(x) > std::numeric_limits<float>::max()) {
        return x;
    }
    return static_cast<float>(x);
}

} // namespace

std::int32_t nearest_integer(double x)
{
    const double single = single_precision(x);
    return saturate_32(single > 0 ? std::floor(single + 0.5) : std::ceil(single - 0.5));
}

std::int32_t floor_integer(double x)
{
    return saturate_32(std::floor(single_precision(x)));
}

std::int16_t saturate_16(std::int32_t value)
{
    if (value > std::numeric_limits<std::int16_t>::max()) {
        return std::numeric_limits<std::int16_t>::max();
    }
    if (value < std::numeric_limits<std::int16_t>::min()) {
        return std::numeric_limits<std::int16_t>::min();
    }
    return static_cast<std::int16_t>(value);
}

// Real to integer conversions of the catalogue and the command line, both taken on the
// single-precision copy of the real, as the driver has always done.
#pragma once

#include <cstdint>

// Nearest integer, halves away from zero: 0.5 gives 1, -0.5 gives -1, 2.5 gives 3.
// Beyond the 32-bit range the result saturates; not-a-number gives 0.
std::int32_t nearest_integer(double x);

// floor of the single-precision copy, saturated like nearest_integer.
std::int32_t floor_integer(double x);

// The 16-bit result of an integer driver function, saturated rather than wrapped.
std::int16_t saturate_16(std::int32_t value);

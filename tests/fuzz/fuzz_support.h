// Shared by the fuzz targets: a failed property aborts, which libFuzzer reports with the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_EXPECT(condition)                                                                     \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// A check that holds in every build: the fuzz targets are built with sanitizers
// and optimisation, where assert may be compiled out.
#pragma once

#include <cstdlib>

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            __builtin_printf("check failed: %s (line %d)\n", #cond, __LINE__); \
            std::abort();                                                      \
        }                                                                      \
    } while (0)

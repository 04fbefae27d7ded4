// The stress programs' checks: a failed one says where and what, and is counted; main() exits 1 when any failed.
#pragma once

#include <cstdio>

inline int failures = 0;

#define CHECK(cond, ...)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "check failed at line %d: %s: ", __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                    \
            std::fputc('\n', stderr);                                             \
            ++failures;                                                           \
        }                                                                         \
    } while (0)

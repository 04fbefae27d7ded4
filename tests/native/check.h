// The stress programs' checks: a failed one says where and what, and is counted; main() exits 1 when any failed.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

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

// A hang is a failure too: the program ends with status 2 once `limit` has passed.
inline void end_after(std::chrono::minutes limit) {
    std::thread([limit] {
        std::this_thread::sleep_for(limit);
        std::fprintf(stderr, "no end after %d minutes\n", static_cast<int>(limit.count()));
        std::_Exit(2);
    }).detach();
}

// main()'s status: 1 when any check failed, said on stderr; 0 with "all checks passed".
inline int verdict() {
    if (failures) {
        std::fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}

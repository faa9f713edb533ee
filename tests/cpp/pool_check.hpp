#pragma once
// A minimal check for the pool's plain-executable tests: report and count
// failures, exit non-zero at the end.
#include <cstdio>

namespace pool_test {

inline int failures = 0;

#define POOL_CHECK(condition, ...)                                          \
    do {                                                                    \
        if (!(condition)) {                                                 \
            ++pool_test::failures;                                          \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__,     \
                         __LINE__, #condition);                             \
            std::fprintf(stderr, __VA_ARGS__);                              \
            std::fputc('\n', stderr);                                       \
        }                                                                   \
    } while (0)

inline int finish(const char* name) {
    if (failures != 0) {
        std::fprintf(stderr, "%s: %d failure(s)\n", name, failures);
        return 1;
    }
    std::printf("%s: ok\n", name);
    return 0;
}

}  // namespace pool_test

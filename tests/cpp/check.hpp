#pragma once
// The C++ tests' one check: count failures, print the first twenty with
// their place, and end the program non-zero if any failed.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

inline int g_failures = 0;

#define EXPECT(cond, ...)                                                                \
    do {                                                                                 \
        if (!(cond) && ++g_failures <= 20) {                                             \
            std::fprintf(stderr, "%s:%d: failed: %s: ", __FILE__, __LINE__, #cond);      \
            std::fprintf(stderr, __VA_ARGS__);                                           \
            std::fputc('\n', stderr);                                                    \
        }                                                                                \
    } while (0)

inline int finish(const char* name) {
    if (g_failures != 0) std::fprintf(stderr, "%s: %d failure(s)\n", name, g_failures);
    return g_failures == 0 ? 0 : 1;
}

// Bit-identical, except that NaNs match whatever their sign and payload: which
// NaN an operation on two NaNs returns depends on the operand order the
// compiler picks for a commutative addition.
template <class T>
bool same_bits(T a, T b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    if constexpr (sizeof(T) == 8) return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
    else return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

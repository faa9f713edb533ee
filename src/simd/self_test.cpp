#include "simd/self_test.hpp"

#include <bit>
#include <cstring>
#include <iterator>

namespace velkor::simd {
namespace {

constexpr std::size_t kSamples = 4096;

// Inputs where a wrong guess about the libm build shows: the only two floats
// on which expf of glibc's FMA and SSE2 builds differ, and the thresholds of
// the special-case paths.
constexpr std::uint32_t kTelltales[] = {
    0x4202422f, 0xc27c65d9,              // expf: the two builds differ here
    0x42b00000, 0x42b17217, 0x42b17218,  // expf overflow threshold
    0xc2ce8ecf, 0xc2ce8ed0, 0xc2cff1b4, 0xc2cff1b5,  // expf underflow thresholds
    0x43000000, 0xc3150000, 0xc3160000,  // exp2f thresholds
    0x3f800000, 0x3f7fffff, 0x3b4d2e1c, 0x3b4d2e1d, 0x2edbe6ff,
    0x3b4d6d37, 0x3d570f5f, 0x3f3a0461, 0x4afd0cf5,  // powf(x, 1/2.4) not correctly rounded
};

}  // namespace

std::vector<float> self_test_inputs(Random& random, float lo, float hi) {
    std::vector<float> x(kSamples);
    for (std::size_t i = 0; i < kSamples; ++i) {
        switch (i % 4) {
            case 0:
            case 1: x[i] = random.uniform(lo, hi); break;
            case 2: x[i] = std::bit_cast<float>(random.bits()); break;
            default: x[i] = std::bit_cast<float>(0x3c000000u + (random.bits() >> 5)); break;
        }
    }
    for (std::size_t i = 0; i < std::size(kTelltales); ++i) x[i * 7] = std::bit_cast<float>(kTelltales[i]);
    return x;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace velkor::simd

#pragma once
// Inputs for the first-use self-tests of the operations built on the vector
// libm (encode/, tone/): what shows a wrong guess about the libm build or a
// path of the vector code that strays from libm.
#include <cstdint>
#include <vector>

namespace velkor::simd {

// xorshift64*: fixed seed, so a failure is reproducible.
class Random {
public:
    Random() = default;
    explicit Random(std::uint64_t seed) : state_(seed) {}  // the C++ tests draw several sequences
    std::uint32_t bits() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return static_cast<std::uint32_t>((state_ * 0x2545F4914F6CDD1DULL) >> 32);
    }
    float uniform(float lo, float hi) {
        return lo + (hi - lo) * static_cast<float>(bits() >> 8) * 0x1p-24f;
    }

private:
    std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

// A few thousand inputs: half uniform in [lo, hi], a quarter arbitrary bit
// patterns (every special case), a quarter with a random exponent near 1 so
// every table interval is hit, and the telltales of libm's builds and
// special paths spread over lanes and vectors.
std::vector<float> self_test_inputs(Random& random, float lo, float hi);

bool same_bits(const std::vector<float>& a, const std::vector<float>& b);

}  // namespace velkor::simd

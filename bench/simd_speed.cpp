// Single-thread speed of the span functions: scalar libm vs the dispatched
// vector code, in ns per element.  Run by hand:
//
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/simd_speed.cpp \
//       build/cpp/libvelkor_kernels.a -lm -o build/simd_speed && build/simd_speed
//
// A streaming copy of the same buffers is timed alongside as the memory floor.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "encode/srgb.hpp"
#include "simd/kernel_set.hpp"
#include "simd/math_span.hpp"

namespace {

constexpr std::size_t kCount = 1 << 20;

using Span = std::function<void(const float*, float*, std::size_t)>;

double ns_per_element(const Span& span, const std::vector<float>& in, std::vector<float>& out) {
    double best = 1e30;
    for (int run = 0; run < 9; ++run) {
        auto start = std::chrono::steady_clock::now();
        span(in.data(), out.data(), in.size());
        auto stop = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
    }
    return best / static_cast<double>(in.size());
}

std::vector<float> uniform(float lo, float hi) {
    std::mt19937 generator(42);
    std::uniform_real_distribution<float> distribution(lo, hi);
    std::vector<float> values(kCount);
    for (float& v : values) v = distribution(generator);
    return values;
}

void row(const char* name, const Span& scalar, const Span& vector, const std::vector<float>& in) {
    std::vector<float> out(in.size());
    double s = ns_per_element(scalar, in, out);
    double v = ns_per_element(vector, in, out);
    std::printf("%-28s %8.2f %8.2f %7.1fx\n", name, s, v, s / v);
}

}  // namespace

int main() {
    using namespace velkor::simd;
    const KernelSet& scalar = kScalarKernels;
    std::printf("vector level: %s, libm build: %s, %zu elements, best of 9\n", active_level(),
                libm_build(), kCount);
    std::printf("%-28s %8s %8s %8s\n", "ns/element", "scalar", "vector", "speedup");
    const float zone_a[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const float zone_b[11] = {0.1f, -0.2f, 0.3f, 0.05f, -0.4f, 0.25f, 0.0f, -0.1f, 0.6f, -0.3f, 0.2f};
    const float y = velkor::srgb::kExponent;
    row("expf [-10, 10]", scalar.expf, expf_span, uniform(-10, 10));
    row("exp2f [-10, 10]", scalar.exp2f, exp2f_span, uniform(-10, 10));
    row("logf (0, 4]", scalar.logf, logf_span, uniform(1e-6f, 4));
    row("powf(x, 1/2.4) [0, 1]",
        [&](const float* i, float* o, std::size_t n) { scalar.powf(i, o, n, y); },
        [&](const float* i, float* o, std::size_t n) { powf_span(i, o, n, y); }, uniform(0, 1));
    row("encode_srgb [0, 1]", scalar.encode_srgb, encode_srgb_span, uniform(0, 1));
    auto zone_scalar = [&](const float* i, float* o, std::size_t n) {
        scalar.zone_curve(i, o, n, zone_a, zone_b, 11);
    };
    auto zone_vector = [&](const float* i, float* o, std::size_t n) {
        zone_curve_span(i, o, n, zone_a, zone_b, 11);
    };
    row("zone_curve 11 zones [0, 1]", zone_scalar, zone_vector, uniform(0, 1));
    row("zone_curve 11 zones, zeros", zone_scalar, zone_vector, std::vector<float>(kCount, 0.0f));
    std::vector<float> in = uniform(0, 1);
    std::vector<float> out(kCount);
    double copy = ns_per_element(
        [](const float* i, float* o, std::size_t n) { std::memcpy(o, i, n * sizeof(float)); }, in, out);
    std::printf("%-28s %8.2f\n", "memcpy (memory floor)", copy);
}

// Single-thread speed of each operation's implementations in the same run:
// the scalar formulas, AVX2 and (where the CPU has it) AVX-512, in ns per
// element, on buffers that stay in cache.  Run by hand:
//
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/simd_speed.cpp \
//       build/cpp/libvelkor_kernels.a -lm -o build/simd_speed && build/simd_speed
//
// A copy of the same buffers is timed alongside as the memory floor.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string_view>
#include <vector>

#include "encode/srgb_span.hpp"
#include "simd/level.hpp"
#include "tone/zone_curve_span.hpp"

namespace {

constexpr std::size_t kCount = 1 << 16;
constexpr int kRepeats = 20;

using Span = std::function<void(const float*, float*, std::size_t)>;

double ns_per_element(const Span& span, const std::vector<float>& in) {
    std::vector<float> out(in.size());
    double best = 1e30;
    for (int run = 0; run < 15; ++run) {
        auto start = std::chrono::steady_clock::now();
        for (int k = 0; k < kRepeats; ++k) span(in.data(), out.data(), in.size());
        auto stop = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count() / kRepeats);
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

}  // namespace

int main() {
    using namespace velkor;
    const bool fused = simd::fused_libm();
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx512f");
    std::printf("libm build: %s, %zu elements in cache, best of 15\n", simd::libm_build(), kCount);
    std::printf("%-28s %8s %8s %8s %13s\n", "ns/element", "scalar", "avx2", "avx512", "avx512/avx2");
    const float zone_a[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const float zone_b[11] = {0.1f, -0.2f, 0.3f, 0.05f, -0.4f, 0.25f, 0.0f, -0.1f, 0.6f, -0.3f, 0.2f};
    const auto encode = srgb::encode_implementations();
    const auto zone = zone_curve::zone_curve_implementations();
    auto zone_span = [&](zone_curve::Span z) {
        return Span([z, &zone_a, &zone_b](const float* i, float* o, std::size_t n) { z(i, o, n, zone_a, zone_b, 11); });
    };
    struct Row {
        const char* name;
        Span spans[3];  // scalar, AVX2, AVX-512 (empty where the CPU lacks it)
        std::vector<float> in;
    };
    const Row rows[] = {
        {"encode_srgb [0, 1]",
         {encode.scalar, encode.avx2[fused], avx512 ? Span(encode.avx512[fused]) : Span()},
         uniform(0, 1)},
        {"zone_curve 11 zones [0, 1]",
         {zone_span(zone.scalar), zone_span(zone.avx2[fused]), avx512 ? zone_span(zone.avx512[fused]) : Span()},
         uniform(0, 1)},
    };
    for (const Row& row : rows) {
        double ns[3] = {0, 0, 0};
        for (int s = 0; s < 3; ++s) ns[s] = row.spans[s] ? ns_per_element(row.spans[s], row.in) : 0.0;
        std::printf("%-28s %8.2f %8.2f %8.2f %12.2fx\n", row.name, ns[0], ns[1], ns[2],
                    ns[2] > 0 ? ns[1] / ns[2] : 0.0);
    }
    double copy = ns_per_element(
        [](const float* i, float* o, std::size_t n) { std::memcpy(o, i, n * sizeof(float)); }, uniform(0, 1));
    std::printf("%-28s %8.2f\n", "memcpy (memory floor)", copy);
}

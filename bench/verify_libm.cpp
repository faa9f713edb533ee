// Exhaustive check that the span functions return libm's bits.  Run by hand
// (minutes, not CI):
//
//   cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build/cpp
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/verify_libm.cpp \
//       build/cpp/libvelkor_kernels.a -lm -o build/verify_libm
//   build/verify_libm            # encode_srgb on every float in [0, 1]
//   build/verify_libm encode     # encode_srgb on all 2^32 floats
//   build/verify_libm all        # also expf, exp2f, logf, powf(x, 1/2.4) on all 2^32 floats
//
// VELKOR_SIMD and GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2 select what is checked.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "encode/srgb.hpp"
#include "simd/math_span.hpp"

namespace {

constexpr std::uint64_t kChunk = 1 << 20;

// Checks every bit pattern in [first, last]; returns the mismatch count.
std::uint64_t verify(const char* name, std::uint64_t first, std::uint64_t last,
                     const std::function<void(const float*, float*, std::size_t)>& span,
                     const std::function<float(float)>& reference) {
    std::vector<float> in(kChunk), out(kChunk);
    std::uint64_t mismatches = 0;
    for (std::uint64_t start = first; start <= last; start += kChunk) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, last - start + 1));
        for (std::size_t i = 0; i < n; ++i) in[i] = std::bit_cast<float>(static_cast<std::uint32_t>(start + i));
        span(in.data(), out.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            float want = reference(in[i]);
            if (std::bit_cast<std::uint32_t>(out[i]) == std::bit_cast<std::uint32_t>(want)) continue;
            if (++mismatches <= 10) {
                std::printf("  %s(%a): got 0x%08x want 0x%08x\n", name, in[i],
                            std::bit_cast<std::uint32_t>(out[i]), std::bit_cast<std::uint32_t>(want));
            }
        }
    }
    std::printf("%-12s [0x%08llx, 0x%08llx]: %llu values, %llu mismatches\n", name,
                static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
                static_cast<unsigned long long>(last - first + 1),
                static_cast<unsigned long long>(mismatches));
    std::fflush(stdout);
    return mismatches;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace velkor::simd;
    std::printf("level=%s libm build=%s\n", active_level(), libm_build());
    const std::uint64_t all = 0xffffffffull;
    if (argc > 1 && std::strcmp(argv[1], "encode") == 0) {
        return verify("encode_srgb", 0, all, encode_srgb_span, velkor::srgb::encode_reference) == 0 ? 0 : 1;
    }
    std::uint64_t bad = verify("encode_srgb", 0, 0x3f800000, encode_srgb_span, velkor::srgb::encode_reference);
    if (argc > 1 && std::strcmp(argv[1], "all") == 0) {
        bad += verify("expf", 0, all, expf_span, [](float x) { return ::expf(x); });
        bad += verify("exp2f", 0, all, exp2f_span, [](float x) { return ::exp2f(x); });
        bad += verify("logf", 0, all, logf_span, [](float x) { return ::logf(x); });
        float y = velkor::srgb::kExponent;
        bad += verify("powf(x,1/2.4)", 0, all,
                      [y](const float* in, float* out, std::size_t n) { powf_span(in, out, n, y); },
                      [y](float x) { return ::powf(x, y); });
        bad += verify("encode_srgb", 0, all, encode_srgb_span, velkor::srgb::encode_reference);
    }
    return bad == 0 ? 0 : 1;
}

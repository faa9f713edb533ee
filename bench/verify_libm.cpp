// Exhaustive check that the vector code returns libm's bits.  Run by hand
// (minutes, not CI), once per vector width:
//
//   cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build/cpp
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc -DVERIFY_WIDTH=512 bench/verify_libm.cpp \
//       build/cpp/libvelkor_kernels.a -lm -o build/verify_libm
//   build/verify_libm            # encode_srgb on every float in [0, 1]
//   build/verify_libm encode     # encode_srgb on all 2^32 floats
//   build/verify_libm all        # also expf, exp2f, logf, powf(x, 1/2.4) on all 2^32 floats
//
// encode_srgb goes through its own choice (VELKOR_SIMD picks the level);
// the libm functions, which only the kernels call, are instantiated here at
// VERIFY_WIDTH (256 or 512) bits.  GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2
// selects glibc's SSE2 build.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <immintrin.h>
#include <string_view>
#include <vector>

#include "encode/srgb.hpp"
#include "simd/libm_tables.hpp"
#include "encode/srgb_span.hpp"
#include "simd/level.hpp"

#if VERIFY_WIDTH == 512
#pragma GCC target("avx512f,avx2,fma")
#include "simd/lanes_avx512.hpp"
using Lanes = velkor::simd::Avx512;
#else
#pragma GCC target("avx2,fma")
#include "simd/lanes_avx2.hpp"
using Lanes = velkor::simd::Avx2;
#endif
#include "simd/libm_lanes.hpp"

namespace velkor::simd {
namespace {

// Each function with the lanes where glibc leaves its main path flagged for
// libm, as the kernels flag them.
template <class L, bool Fused, bool Base2>
struct ExpOp {
    // |x| >= 88 (expf) or 128 (exp2f), or NaN.
    typename L::F vector(typename L::F x, typename L::Bits& special) const {
        special = L::magnitude_at_least(x, Base2 ? 0x43000000 : 0x42b00000);
        return Base2 ? exp2f_lanes<L, Fused>(x) : expf_lanes<L, Fused>(x);
    }
    static float scalar(float x) { return Base2 ? ::exp2f(x) : ::expf(x); }
};
template <class L, bool Fused>
using ExpfOp = ExpOp<L, Fused, false>;
template <class L, bool Fused>
using Exp2fOp = ExpOp<L, Fused, true>;

template <class L, bool Fused>
struct LogfOp {
    // Not positive normal; and 1, which glibc answers with +0 directly.
    typename L::F vector(typename L::F x, typename L::Bits& special) const {
        special = L::not_positive_normal(x) | L::equal_bits(x, 0x3f800000);
        return logf_lanes<L, Fused>(x);
    }
    static float scalar(float x) { return ::logf(x); }
};

template <class L, bool Fused>
struct PowfOp {
    typename L::D yd = L::splat(static_cast<double>(srgb::kExponent));
    typename L::F vector(typename L::F x, typename L::Bits& special) const {
        special = 0;
        return powf_lanes<L, Fused>(x, yd, special);
    }
    static float scalar(float x) { return ::powf(x, srgb::kExponent); }
};

template <template <class, bool> class Op>
void span(const float* in, float* out, std::size_t n) {
    if (fused_libm()) {
        run<Lanes>(Op<Lanes, true>{}, in, out, n);
    } else {
        run<Lanes>(Op<Lanes, false>{}, in, out, n);
    }
}

}  // namespace
}  // namespace velkor::simd

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
    using velkor::srgb::encode_span;
    std::printf("level=%s libm build=%s, libm functions at %d bits\n", velkor::srgb::encode_level(), libm_build(),
                Lanes::kLanes * 32);
    const std::uint64_t all = 0xffffffffull;
    if (argc > 1 && std::strcmp(argv[1], "encode") == 0) {
        return verify("encode_srgb", 0, all, encode_span, velkor::srgb::encode_reference) == 0 ? 0 : 1;
    }
    std::uint64_t bad = verify("encode_srgb", 0, 0x3f800000, encode_span, velkor::srgb::encode_reference);
    if (argc > 1 && std::strcmp(argv[1], "all") == 0) {
        bad += verify("expf", 0, all, span<ExpfOp>, [](float x) { return ::expf(x); });
        bad += verify("exp2f", 0, all, span<Exp2fOp>, [](float x) { return ::exp2f(x); });
        bad += verify("logf", 0, all, span<LogfOp>, [](float x) { return ::logf(x); });
        bad += verify("powf(x,1/2.4)", 0, all, span<PowfOp>, [](float x) { return ::powf(x, velkor::srgb::kExponent); });
        bad += verify("encode_srgb", 0, all, encode_span, velkor::srgb::encode_reference);
    }
    return bad == 0 ? 0 : 1;
}

// Picks, once per process, the kernel set behind the span functions.
//
// The vector sets reproduce one particular compiled libm: glibc on x86-64,
// in the build (FMA or SSE2) that glibc itself selected for this CPU.  So the
// choice is made in three steps: which libm build answers, what the CPU
// offers (capped by VELKOR_SIMD), and a self-test of the candidate against
// libm on a few thousand inputs per function.  Any doubt means scalar libm.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "parallel/compute_once.hpp"
#include "simd/kernel_set.hpp"
#include "simd/math_span.hpp"
#include "simd/self_test.hpp"

namespace velkor::simd {
namespace {

enum class Level { Scalar, Avx2, Avx512 };
enum class LibmBuild { Unknown, Fma, Sse2 };

// expf of this input is the one probe that tells glibc's two x86-64 builds
// apart: the FMA build returns 0x56fc9f1c, the SSE2 build 0x56fc9f1b.
LibmBuild probe_libm_build() {
#if defined(__GLIBC__) && defined(__x86_64__)
    volatile float probe = 0x1.04845ep+5f;  // volatile: keep the compiler from folding expf
    std::uint32_t bits = std::bit_cast<std::uint32_t>(::expf(probe));
    if (bits == 0x56fc9f1c) return LibmBuild::Fma;
    if (bits == 0x56fc9f1b) return LibmBuild::Sse2;
#endif
    return LibmBuild::Unknown;
}

Level cpu_level() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) return Level::Scalar;
    if (__builtin_cpu_supports("avx512f")) return Level::Avx512;
    return Level::Avx2;
#else
    return Level::Scalar;
#endif
}

// VELKOR_SIMD, for tests: the highest level allowed.  Unset or unknown
// values allow everything.
Level requested_cap() {
    const char* value = std::getenv("VELKOR_SIMD");
    if (value == nullptr) return Level::Avx512;
    std::string_view v(value);
    if (v == "scalar") return Level::Scalar;
    if (v == "avx2") return Level::Avx2;
    return Level::Avx512;
}

struct Choice {
    const KernelSet* kernels;
    const char* level;
    const char* build;
};

const char* build_name(LibmBuild build) {
    switch (build) {
        case LibmBuild::Fma: return "fma";
        case LibmBuild::Sse2: return "sse2";
        case LibmBuild::Unknown: break;
    }
    return "unknown";
}

// The vector set for a level and a libm build; the caller vouches for both.
Choice vector_choice(Level level, LibmBuild build) {
    bool fma = build == LibmBuild::Fma;
    if (level == Level::Avx512) {
        return {fma ? &kAvx512KernelsForFmaLibm : &kAvx512KernelsForSse2Libm, "avx512",
                build_name(build)};
    }
    return {fma ? &kAvx2KernelsForFmaLibm : &kAvx2KernelsForSse2Libm, "avx2", build_name(build)};
}

bool passes_self_test(const KernelSet& candidate) {
    int saved_errno = errno;  // libm's special cases set it during the test
    bool agrees = matches_libm(candidate);
    errno = saved_errno;
    return agrees;
}

Choice choose() {
    LibmBuild build = probe_libm_build();
    Level level = std::min(cpu_level(), requested_cap());
    if (build == LibmBuild::Unknown) level = Level::Scalar;
    // Try the widest allowed set first, then narrower ones.
    for (Level candidate : {Level::Avx512, Level::Avx2}) {
        if (candidate > level) continue;
        Choice choice = vector_choice(candidate, build);
        if (passes_self_test(*choice.kernels)) return choice;
    }
    return {&kScalarKernels, "scalar", build_name(build)};
}

// Threads that come first at the same time may each run the self-test, and
// agree.  No lock: a fork() during the self-test leaves the child nothing
// to wait for (see parallel/compute_once.hpp).
parallel::ComputeOnce<Choice> chosen;

const Choice& choice() { return chosen.get(choose); }

const KernelSet& kernels() { return *choice().kernels; }

}  // namespace

void encode_srgb_span(const float* in, float* out, std::size_t n) {
    kernels().encode_srgb(in, out, n);
}
void zone_curve_span(const float* in, float* out, std::size_t n, const float* zone_a,
                     const float* zone_b, std::size_t zones) {
    kernels().zone_curve(in, out, n, zone_a, zone_b, zones);
}

const char* active_level() { return choice().level; }
const char* libm_build() { return choice().build; }

}  // namespace velkor::simd

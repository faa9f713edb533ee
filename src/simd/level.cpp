// The vector code repeats one particular compiled libm: glibc on x86-64, in
// the build (FMA or SSE2) that glibc itself selected for this CPU.  So the
// level allowed takes three things: which libm build answers, what the CPU
// offers, and VELKOR_SIMD.
#include "simd/level.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "parallel/compute_once.hpp"

namespace velkor::simd {
namespace {

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

// Unset or unknown values allow everything.
Level requested_cap() {
    const char* value = std::getenv("VELKOR_SIMD");
    if (value == nullptr) return Level::Avx512;
    std::string_view v(value);
    if (v == "scalar") return Level::Scalar;
    if (v == "avx2") return Level::Avx2;
    return Level::Avx512;
}

struct Allowed {
    Level instructions;
    Level level;
    LibmBuild build;
};

Allowed find_allowed() {
    LibmBuild build = probe_libm_build();
    Level instructions = std::min(cpu_level(), requested_cap());
    return {instructions, build == LibmBuild::Unknown ? Level::Scalar : instructions, build};
}

// No lock: a fork() at first use leaves the child nothing to wait for (see
// parallel/compute_once.hpp).
parallel::ComputeOnce<Allowed> allowed;

const Allowed& get() { return allowed.get(find_allowed); }

}  // namespace

Level instruction_level() { return get().instructions; }

Level allowed_level() { return get().level; }

bool fused_libm() { return get().build == LibmBuild::Fma; }

const char* libm_build() {
    switch (get().build) {
        case LibmBuild::Fma: return "fma";
        case LibmBuild::Sse2: return "sse2";
        case LibmBuild::Unknown: break;
    }
    return "unknown";
}

const char* level_name(Level level) {
    switch (level) {
        case Level::Avx512: return "avx512";
        case Level::Avx2: return "avx2";
        case Level::Scalar: break;
    }
    return "scalar";
}

}  // namespace velkor::simd

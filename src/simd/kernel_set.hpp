#pragma once
// The interchangeable implementations behind the span functions.  Each set
// computes the same bits; the dispatcher picks one per process.
#include <cstddef>

namespace velkor::simd {

struct KernelSet {
    void (*encode_srgb)(const float* in, float* out, std::size_t n);
    void (*zone_curve)(const float* in, float* out, std::size_t n, const float* zone_a,
                       const float* zone_b, std::size_t zones);
};

// Element by element through the scalar formulas: correct everywhere, the
// fallback.
extern const KernelSet kScalarKernels;

// AVX2 code repeating glibc's algorithms.  glibc ships two x86-64 builds of
// them that round differently in a few places: the FMA build fuses some
// multiply-adds, the SSE2 build fuses none.  Each set mirrors one build.
extern const KernelSet kAvx2KernelsForFmaLibm;
extern const KernelSet kAvx2KernelsForSse2Libm;

// The same with AVX-512, eight double lanes at a time.  Used only after
// the self-test vouches for it, like the AVX2 sets.
extern const KernelSet kAvx512KernelsForFmaLibm;
extern const KernelSet kAvx512KernelsForSse2Libm;

}  // namespace velkor::simd

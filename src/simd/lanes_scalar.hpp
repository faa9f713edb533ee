#pragma once
// The scalar lane type: one float, with the operations of lanes_avx2.hpp
// that the operations written over lanes need (bw/), so that the baseline is
// the same source as the vector forms.
#include <cstddef>

namespace velkor::simd {
namespace {

struct Scalar {
    static constexpr int kLanes = 1;
    using F = float;

    static F load(const float* p) { return *p; }
    static void store(float* p, F v) { *p = v; }
    static void stream(float* p, F v) { *p = v; }
    static F splat(float v) { return v; }

    // In this order, as the vector forms: where both operands are NaN, x86
    // returns the first, and a compiler free to swap them would make the
    // surviving NaN depend on the instruction set.
#if defined(__x86_64__)
    static F add_in_order(F a, F b) {
        asm("addss %1, %0" : "+x"(a) : "x"(b));
        return a;
    }
    static F mul_in_order(F a, F b) {
        asm("mulss %1, %0" : "+x"(a) : "x"(b));
        return a;
    }
#else
    static F add_in_order(F a, F b) { return a + b; }
    static F mul_in_order(F a, F b) { return a * b; }
#endif

    struct Triple {
        F x, y, z;
    };
    static Triple deinterleave3(const float* p) { return {p[0], p[1], p[2]}; }
};

}  // namespace
}  // namespace velkor::simd

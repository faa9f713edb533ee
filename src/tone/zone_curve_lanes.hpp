#pragma once
// The Zone System tone curve over a lane type, bit-identical to
// zone_curve_reference (zone_curve.hpp) evaluated with the process's libm.
//
// Include after the lane type and simd/libm_lanes.hpp, in the instruction
// set's file: every function here is a template over the lane type.
#include <cstddef>

#include "simd/libm_lanes.hpp"
#include "tone/zone_curve.hpp"

namespace velkor::simd {
namespace {

// glibc's results for expf arguments below its underflow limits: float
// products of constants (__math_uflowf and __math_may_uflowf), which round
// differently in each rounding mode.  They are computed at run time, once
// per span (an underflowing multiply is slow), in the caller's mode.
template <class L>
struct UnderflowResults {
    typename L::F below_limit;  // x < -0x1.9fe368p6: 0x1p-95f * 0x1p-95f
    typename L::F near_limit;   // x < -0x1.9d1d9ep6: 0x1.4p-75f * 0x1.4p-75f
};

template <class L>
inline UnderflowResults<L> underflow_results() {
    auto tinier = L::opaque(L::splat(0x1p-95f));
    auto tiny = L::opaque(L::splat(0x1.4p-75f));
    return {L::mul(tinier, tinier), L::mul(tiny, tiny)};
}

// expf for the zone weights.  Dark pixels push the argument far below -88,
// so glibc's underflow results are produced here rather than by libm (only
// errno, which nobody reads here, is left unset).  NaN and large positive
// arguments, which no sensible table produces, are flagged for libm.
template <class L, bool Fused>
inline typename L::F zone_weight(typename L::F q, const UnderflowResults<L>& tiny,
                                 typename L::Bits& special) {
    typename L::Bits large = L::magnitude_at_least(q, 0x42b00000);
    if (large == 0) return expf_lanes<L, Fused>(q);
    special |= large & ~L::bits(L::less(q, L::zero()));
    // Lanes below the underflow limit are replaced below; clamping them first
    // keeps the main path from computing subnormal garbage, which is slow.
    auto w = expf_lanes<L, Fused>(L::max(q, L::splat(-0x1.9fe368p6f)));
    w = L::select(L::less(q, L::splat(-0x1.9d1d9ep6f)), tiny.near_limit, w);
    w = L::select(L::less(q, L::splat(-0x1.9fe368p6f)), tiny.below_limit, w);
    return L::select(L::equal(q, L::splat(-__builtin_inff())), L::zero(), w);
}

template <class L, bool Fused>
struct ZoneCurveOp {
    const float* zone_a;
    const float* zone_b;
    std::size_t zones;
    UnderflowResults<L> tiny;

    typename L::F vector(typename L::F x, typename L::Bits& special) const {
        using namespace zone_curve;
        // max returns its second operand when the first is NaN: NaN -> floor.
        auto m = L::max(x, L::splat(kFloor));
        // m is a positive normal float or +inf; only +inf needs libm.  logf(1)
        // is +0 from glibc's own early return.
        special = L::bits(L::equal(m, L::splat(__builtin_inff())));
        auto log_m = L::zero_where(L::equal(m, L::splat(1.0f)), logf_lanes<L, Fused>(m));
        auto z = L::div(log_m, L::splat(kLn2));
        z = L::add(z, L::splat(kFive));
        z = L::add(z, L::splat(kMiddleGreyOffset));
        auto s = L::zero();
        for (std::size_t i = 0; i < zones; ++i) {
            auto d = L::sub(z, L::splat(zone_a[i]));
            auto q = L::div(L::mul(d, d), L::splat(kNegTwiceVariance));
            auto w = zone_weight<L, Fused>(q, tiny, special);
            s = L::add(s, L::mul(L::splat(zone_b[i]), w));
        }
        special |= L::magnitude_at_least(s, 0x43000000);  // |s| >= 128 or NaN
        return L::mul(x, exp2f_lanes<L, Fused>(s));
    }
    float scalar(float x) const { return zone_curve::zone_curve_reference(x, zone_a, zone_b, zones); }
};

// With no zones the vector form has nothing to do; the reference copies.
template <class L, bool Fused>
void zone_curve_span_of(const float* in, float* out, std::size_t n, const float* zone_a,
                        const float* zone_b, std::size_t zones) {
    if (zones == 0) {
        for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
        return;
    }
    run<L>(ZoneCurveOp<L, Fused>{zone_a, zone_b, zones, underflow_results<L>()}, in, out, n);
}

}  // namespace
}  // namespace velkor::simd

#pragma once
// The kernel set of one lane type: every operation instantiated for its
// width.  Include after the lane type, in its instruction set's file.
#include "encode/srgb_lanes.hpp"
#include "simd/kernel_set.hpp"
#include "simd/libm_lanes.hpp"
#include "tone/zone_curve_lanes.hpp"

namespace velkor::simd {
namespace {

template <class L, bool Fused>
constexpr KernelSet lane_kernels() {
    return {encode_srgb_span_of<L, Fused>, zone_curve_span_of<L, Fused>};
}

}  // namespace
}  // namespace velkor::simd

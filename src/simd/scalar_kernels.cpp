// The fallback set: the scalar formulas, one libm call after another.
#include "encode/srgb.hpp"
#include "simd/kernel_set.hpp"
#include "tone/zone_curve.hpp"

namespace velkor::simd {
namespace {

void encode_srgb_each(const float* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = srgb::encode_reference(in[i]);
}

void zone_curve_each(const float* in, float* out, std::size_t n, const float* zone_a,
                     const float* zone_b, std::size_t zones) {
    for (std::size_t i = 0; i < n; ++i) out[i] = zone_curve::zone_curve_reference(in[i], zone_a, zone_b, zones);
}

}  // namespace

const KernelSet kScalarKernels = {encode_srgb_each, zone_curve_each};

}  // namespace velkor::simd

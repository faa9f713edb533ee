// The fallback set: one libm call per element.
#include <cmath>

#include "encode/srgb.hpp"
#include "simd/kernel_set.hpp"
#include "tone/zone_curve.hpp"

namespace velkor::simd {
namespace {

template <float (*F)(float)>
void each(const float* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = F(in[i]);
}

float libm_expf(float x) { return ::expf(x); }
float libm_exp2f(float x) { return ::exp2f(x); }
float libm_logf(float x) { return ::logf(x); }

void powf_each(const float* in, float* out, std::size_t n, float y) {
    for (std::size_t i = 0; i < n; ++i) out[i] = ::powf(in[i], y);
}

void zone_curve_each(const float* in, float* out, std::size_t n, const float* zone_a,
                     const float* zone_b, std::size_t zones) {
    for (std::size_t i = 0; i < n; ++i) out[i] = zone_curve::zone_curve_reference(in[i], zone_a, zone_b, zones);
}

}  // namespace

const KernelSet kScalarKernels = {
    each<libm_expf>, each<libm_exp2f>, each<libm_logf>, powf_each,
    each<srgb::encode_reference>, zone_curve_each,
};

}  // namespace velkor::simd

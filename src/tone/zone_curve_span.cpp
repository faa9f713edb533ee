#include "tone/zone_curve_span.hpp"

#include <vector>

#include "parallel/compute_once.hpp"
#include "simd/self_test.hpp"
#include "tone/zone_curve.hpp"

namespace velkor::zone_curve {
namespace {

void zone_curve_each(const float* in, float* out, std::size_t n, const float* zone_a, const float* zone_b,
                     std::size_t zones) {
    for (std::size_t i = 0; i < n; ++i) out[i] = zone_curve_reference(in[i], zone_a, zone_b, zones);
}

bool agrees(Span candidate) {
    simd::Random random;
    float zone_a[11];
    float zone_b[11];
    for (int i = 0; i < 11; ++i) {
        zone_a[i] = static_cast<float>(i);
        zone_b[i] = random.uniform(-0.5f, 0.5f);
    }
    const std::vector<float> x = simd::self_test_inputs(random, 0.0f, 1.0f);
    std::vector<float> got(x.size());
    std::vector<float> want(x.size());
    candidate(x.data(), got.data(), x.size(), zone_a, zone_b, 11);
    zone_curve_each(x.data(), want.data(), x.size(), zone_a, zone_b, 11);
    return simd::same_bits(got, want);
}

simd::Chosen<Span> choose_zone_curve() { return simd::choose(zone_curve_implementations(), agrees); }

parallel::ComputeOnce<simd::Chosen<Span>> chosen;

}  // namespace

// Built afresh for each caller: see encode_implementations().
simd::Implementations<Span> zone_curve_implementations() {
    return {zone_curve_each, {kAvx2ZoneCurve[0], kAvx2ZoneCurve[1]}, {kAvx512ZoneCurve[0], kAvx512ZoneCurve[1]}};
}

void zone_curve_span(const float* in, float* out, std::size_t n, const float* zone_a, const float* zone_b,
                     std::size_t zones) {
    chosen.get(choose_zone_curve).span(in, out, n, zone_a, zone_b, zones);
}

const char* zone_curve_level() { return simd::level_name(chosen.get(choose_zone_curve).level); }

}  // namespace velkor::zone_curve

#include "encode/srgb_span.hpp"

#include <cfenv>
#include <vector>

#include "encode/srgb.hpp"
#include "parallel/compute_once.hpp"
#include "simd/self_test.hpp"

namespace velkor::srgb {
namespace {

void encode_each(const float* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = encode_reference(in[i]);
}

// Both ways to the power: the direct one when rounding to nearest, glibc's
// steps in a directed mode (the caller's mode is restored).
bool agrees(Span candidate) {
    simd::Random random;
    const std::vector<float> x = simd::self_test_inputs(random, -0.1f, 1.1f);
    const int mode = std::fegetround();
    bool same = true;
    for (int test_mode : {FE_TONEAREST, FE_UPWARD}) {
        std::fesetround(test_mode);
        std::vector<float> got(x.size());
        std::vector<float> want(x.size());
        candidate(x.data(), got.data(), x.size());
        encode_each(x.data(), want.data(), x.size());
        same = same && simd::same_bits(got, want);
    }
    std::fesetround(mode);
    return same;
}

simd::Chosen<Span> choose_encode() { return simd::choose(encode_implementations(), agrees); }

parallel::ComputeOnce<simd::Chosen<Span>> chosen;

}  // namespace

// Built afresh for each caller rather than kept in a function-local static,
// whose guard a fork() during the first call could leave busy in the child.
simd::Implementations<Span> encode_implementations() {
    return {encode_each, {kAvx2Encode[0], kAvx2Encode[1]}, {kAvx512Encode[0], kAvx512Encode[1]}};
}

void encode_span(const float* in, float* out, std::size_t n) { chosen.get(choose_encode).span(in, out, n); }

const char* encode_level() { return simd::level_name(chosen.get(choose_encode).level); }

}  // namespace velkor::srgb
